/* The functions the benchmark plugins export besides the plugin entry points. The benchmark
 * finds them with dlsym in the objects the core has loaded (or in copies it loads itself for the
 * baselines), so that every case sends from a plugin's thread and receives in a plugin's entry
 * point, whatever carries the message between them.
 *
 * source.c: a plugin with a thread of its own that sends messages on command (SourceRun). Its
 *           id is 800, or N when its file is named source-N.so.
 * sink.c:   a plugin that takes every Write and Read, touches the payload and counts it; it can
 *           record arrival times, hold its Write calls, and wake a waiter at a given count. */
#ifndef ZENT_BENCH_BENCH_PLUGINS_H_
#define ZENT_BENCH_BENCH_PLUGINS_H_

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "plugin_api/plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The clock of every timestamp the plugins and the benchmark take, in nanoseconds. */
static inline int64_t BenchNowNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* Initialises a condition variable whose timed waits use that clock. */
static inline void BenchInitCondition(pthread_cond_t* condition) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(condition, &attr);
  pthread_condattr_destroy(&attr);
}

/* The deadline for such a timed wait, timeoutMs from now. */
static inline struct timespec BenchDeadline(long timeoutMs) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += (timeoutMs % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  return deadline;
}

/* The largest payload the source sends: a raw 1080p frame. */
#define BENCH_MAX_PAYLOAD (3u * 1024u * 1024u)

/* One burst of the source: count messages of length bytes (at most BENCH_MAX_PAYLOAD) with the
 * given routing fields, sent one after the other through send (null: the core's callback). */
typedef struct SourceJob {
  CoreCallbackFn send;
  long count;
  uint32_t length;
  uint32_t source;
  uint32_t channel;
  uint32_t flags;
  uint32_t code;
  int64_t gapNs;      /* each send starts this long after the one before, 0: at once (spinning
                         up to a millisecond, sleeping for longer gaps) */
  long bigEvery;      /* if not 0: every bigEvery-th message (the last of each bigEvery) has */
  uint32_t bigLength; /* bigLength bytes instead of length (at most BENCH_MAX_PAYLOAD) */
  int64_t* sendTimes; /* if not null: count slots, BenchNowNs() just before each send */
  long refused;       /* set by the source: sends whose reply was not RESULT_OK */
} SourceJob;

/* Runs job on the source's thread and returns when its last send has returned: 0, or -1 when
 * it did not finish within timeoutMs (the job is then still running). */
typedef int (*SourceRunFn)(SourceJob* job, long timeoutMs);

/* Write and Read calls with a payload taken so far. */
typedef long (*SinkCountFn)(void);
/* Waits until the count reaches target: 0, or -1 after timeoutMs. */
typedef int (*SinkWaitFn)(long target, long timeoutMs);
/* From now on, the BenchNowNs() at entry of the next capacity calls goes to times[0..]; a null
 * times stops recording. Only for calls that do not overlap (Write calls). */
typedef void (*SinkArrivalsFn)(int64_t* times, long capacity);
/* on: every Write from now on waits inside the plugin until SinkHold(0). */
typedef void (*SinkHoldFn)(int on);

#ifdef __cplusplus
}
#endif

#endif /* ZENT_BENCH_BENCH_PLUGINS_H_ */
