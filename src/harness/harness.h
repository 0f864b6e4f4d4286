/*
 * harness.h: runs one plugin inside the real zentserver core, in the test's own process, and
 * reports what it does: a test harness for plugin authors, usable from C and C++ and from any
 * test framework. It asserts nothing itself: it returns what happened and a list of contract
 * violations, each with a sentence, for the test to judge.
 *
 *   zh_options options;
 *   zh_options_init(&options);
 *   zh_started started;
 *   zh_harness* h = zh_start("build/myplugin.so", &options, &started);
 *   ... zh_send, zh_write, zh_read, zh_ioctl into the plugin; zh_next, zh_wait_for for what it
 *   sends; zh_jump_clock, zh_fail_allocations for time and faults ...
 *   zh_report report;
 *   zh_stop(h, &report);          report.violation_count == 0 for a plugin that keeps the rules
 *   zh_free(h);
 *
 * zh_start loads the file through the same loader and trust check as the server (the file and
 * every directory and link on the way to it must be owned by root or this user and not
 * writable by group or others), calls Load, loads the harness's probe after it (a plugin built
 * into this library), opens both, has the status document delivered, starts the core's event
 * handler and scheduler, and runs the scheduler's start Read (which has entered the plugin when
 * zh_start returns). The probe is the test's stand-in for the other plugins: zh_send sends as
 * the probe does, and the probe receives what its masks select. Every message the plugin sends
 * passes through the harness on its way into the core, and is seen by zh_next in the order the
 * core answered them, with the answer.
 *
 * One harness runs in a process at a time (the core is one per process): zh_start fails while
 * another harness has not been stopped. The plugin's Load, Open, Close and Unload run on a
 * thread of the harness, as they run on the server's main thread; zh_start and zh_stop wait
 * for them at most options.call_timeout_ms and report a call that did not return.
 *
 * Thread safety: zh_send, zh_fail_allocations, zh_jump_clock and zh_release_kept may be called
 * from any thread, several at once. zh_next and zh_wait_for from one thread at a time. zh_stop
 * and zh_free from the thread that called zh_start.
 */
#ifndef ZENTSERVER_HARNESS_H_
#define ZENTSERVER_HARNESS_H_

#include <stddef.h>
#include <stdint.h>
#include <zentserver/plugin_api.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZH_API __attribute__((visibility("default")))
#else
#define ZH_API
#endif

typedef struct zh_harness zh_harness;

/* Results of the harness's own functions. */
#define ZH_OK 0
#define ZH_TIMEOUT 1 /* nothing came, or a call did not return, within the time given */
#define ZH_ERROR                                                              \
  (-100) /* not possible now (the plugin was not loaded, or is stopped), or a \
            null argument; apart from every RESULT_* */

/* The entry points, in the interface's order (PluginEntryFn numbering). */
#define ZH_ENTRY_NONE (-1) /* a thread of the plugin's own, not a call the core made */
#define ZH_ENTRY_LOAD 0
#define ZH_ENTRY_UNLOAD 1
#define ZH_ENTRY_OPEN 2
#define ZH_ENTRY_CLOSE 3
#define ZH_ENTRY_READ 4
#define ZH_ENTRY_WRITE 5
#define ZH_ENTRY_SEEK 6
#define ZH_ENTRY_IOCTL 7

/* Where the plugin is in its life. */
#define ZH_PHASE_LOAD 0    /* from Load (and in a load-only run until Close) */
#define ZH_PHASE_OPEN 1    /* during Open */
#define ZH_PHASE_RUNNING 2 /* after Open, until Close */
#define ZH_PHASE_CLOSE 3   /* from Close until Unload */
#define ZH_PHASE_UNLOAD 4  /* during Unload */
#define ZH_PHASE_AFTER 5   /* after Unload has returned */

/* What to capture of the process's standard output and error while the harness runs. */
#define ZH_OUTPUT_THROUGH 0 /* not captured */
#define ZH_OUTPUT_TEE 1     /* captured, and still written where it went */
#define ZH_OUTPUT_CAPTURE 2 /* captured only */

typedef struct zh_options {
  uint32_t size;                          /* sizeof(zh_options), set by zh_options_init */
  uint32_t probe_id;                      /* the probe's id (0x7A480001) */
  uint32_t probe_masks[ZENT_CLASS_MASKS]; /* what the probe subscribes to (nothing) */
  int probe_accepts_read;                 /* the probe takes Read calls (0) */
  int probe_accepts_write;                /* the probe takes Write calls (0) */
  int probe_keeps;    /* the probe keeps every buffer delivered to it by Write (retained) until
                         zh_release_kept or its Close: it holds the channel, as a slow consumer
                         does (0) */
  int open;           /* 1: Open, delivery and the scheduler; 0: Load only, as
                         zentserver-inspect does: nothing is delivered, and what the plugin
                         queues after Load is refused (1) */
  int start_read;     /* the scheduler's start Read, to every plugin that takes Read calls (1) */
  int64_t wall_clock; /* 0: the core's wall clock is the machine's; otherwise it starts at this
                         calendar time (seconds since 1970) and stands still but for
                         zh_jump_clock (0) */
  int statistics_interval;      /* seconds between statistics documents; 0 for none (0) */
  int call_bound_ms;            /* a Load or Open that takes longer is a violation (1000) */
  int gate_held_ms;             /* a channel that a buffer the plugin keeps holds longer is a
                                   violation, as the server warns of it (10000) */
  int call_timeout_ms;          /* how long zh_start and zh_stop wait for the plugin (60000) */
  int stdout_mode, stderr_mode; /* ZH_OUTPUT_* for standard output and error (THROUGH) */
  int log_to_stderr;            /* the core's log lines also go to standard error (1); they are
                                   kept for zh_log either way */
} zh_options;

/* Fills options with the defaults given in parentheses above. */
ZH_API void zh_options_init(zh_options* options);

/* What zh_start found. */
#define ZH_ACCEPTED 0     /* loaded (and, unless options.open is 0, opened) */
#define ZH_REJECTED 1     /* Load returned non-zero or set error */
#define ZH_UNTRUSTED 2    /* the server would not load the file: see reason */
#define ZH_NOT_LOADABLE 3 /* cut short, refused by the dynamic loader, or no Load */
#define ZH_STUCK 4        /* a call did not return within options.call_timeout_ms */
#define ZH_FAILED 5       /* the harness could not start (another one runs, bad options) */

typedef struct zh_started {
  int status;        /* ZH_ACCEPTED ... ZH_FAILED */
  char reason[512];  /* for every status but ZH_ACCEPTED, why, in one sentence */
  int exports_known; /* the dynamic loader loaded the file: exports is set */
  int exports[8];    /* which entry points the file exports, in the interface's order */
  int load_called;   /* Load was called: load_result, load_ms and info are set */
  int load_result;
  double load_ms;
  PluginInfo info; /* as the plugin filled it in Load */
  int open_called; /* Open was called: open_result and open_ms are set */
  int open_result;
  double open_ms;
} zh_started;

/* Loads the plugin file at path and starts it with options (null: the defaults). Fills
 * started, also on failure. Returns the harness, to be given to zh_free in any case, or null
 * with started->status ZH_FAILED. With a status other than ZH_ACCEPTED only zh_next (what the
 * plugin sent from Load), zh_output, zh_log, zh_stop and zh_free do anything. */
ZH_API zh_harness* zh_start(const char* path, const zh_options* options, zh_started* started);

/* A message as a plugin prepares it: zero-filled, size and version set, the fields given. */
ZH_API Message zh_message(uint32_t source, uint32_t channel, uint32_t flags, uint32_t code,
                          const void* data, uint32_t length);

/* Sends message through the core's callback as the probe sends it: queued with the probe's
 * id (or any non-zero source), broadcast with source 0, MSG_TO_OTHERS, MSG_TO_ALL, channels,
 * MSG_CLOSE_CHANNEL. Returns the core's answer (RESULT_*), or ZH_ERROR before the core runs.
 * It may wait while the message's channel is held, as every sender does. */
ZH_API int32_t zh_send(zh_harness* h, const Message* message);

/* Calls one entry point of the plugin directly, bypassing masks and routing: for a unit test
 * of that entry point. Write and IOCTL commands 2 and 3 are made one at a time with the core's
 * own deliveries (as on the event handler thread); the payload is a copy of the harness's,
 * which the plugin may keep (retained) and give back with MSG_RELEASE as a delivered one.
 * *result receives the entry point's result and *reply its reply record (either may be null).
 * Returns ZH_OK, or ZH_ERROR when the plugin does not export the entry point or is closed. */
ZH_API int zh_write(zh_harness* h, const Message* message, WriteReply* reply, int* result);
ZH_API int zh_read(zh_harness* h, const void* data, uint32_t length, uint32_t channel,
                   ReadReply* reply, int* result);
ZH_API int zh_ioctl(zh_harness* h, uint32_t command, const void* data, uint32_t length,
                    IoctlReply* reply, int* result);

/* One message the plugin sent through its callback. */
typedef struct zh_sent {
  uint64_t sequence; /* 1, 2, ... in the order the core answered them */
  int null_message;  /* the plugin passed a null message (message is zero then) */
  int null_reply;    /* it passed a null reply record */
  Message message;   /* as sent; data points to the harness's copy of the payload (null when
                        there is none), valid until the next zh_next or zh_wait_for or zh_free;
                        for a release, the address of the buffer given back */
  int32_t result;    /* the core's answer (RESULT_*) */
  int phase;         /* ZH_PHASE_* when it was sent */
  int entry;         /* ZH_ENTRY_* the sending thread was inside, ZH_ENTRY_NONE for the
                        plugin's own threads */
} zh_sent;

/* The next message the plugin sent, in order, waiting up to timeout_ms for one: ZH_OK, or
 * ZH_TIMEOUT. Every message is seen once, whatever its masks select. */
ZH_API int zh_next(zh_harness* h, zh_sent* sent, int timeout_ms);
/* Takes messages as zh_next does until predicate(message, user) is non-zero for one, which is
 * returned in *sent; those passed over are gone. ZH_OK, or ZH_TIMEOUT when none came within
 * timeout_ms in all. */
typedef int (*zh_predicate)(const zh_sent* sent, void* user);
ZH_API int zh_wait_for(zh_harness* h, zh_predicate predicate, void* user, zh_sent* sent,
                       int timeout_ms);

/* Moves the core's wall clock by seconds and waits until its scheduler has looked at it: the
 * clock message ("system time changed by N seconds", code ZENT_CODE_CLOCK) is queued when it
 * returns ZH_OK. The scheduler reports steps of more than one second only. The plugin's own
 * clock reading (time(), clock_gettime) is not changed. */
ZH_API int zh_jump_clock(zh_harness* h, int seconds);
/* The core's next count allocations for messages fail as if memory had run out: a queued
 * payload (RESULT_NO_MEMORY), a Read call's copy or thread (the call is skipped), a record of
 * a kept buffer. -1: every one until zh_fail_allocations(h, 0). */
ZH_API int zh_fail_allocations(zh_harness* h, int count);
/* The probe gives back every buffer it keeps (options.probe_keeps); returns how many. */
ZH_API int zh_release_kept(zh_harness* h);

/* What was written to standard output (fd 1) or error (fd 2) since zh_start, when captured
 * (options.stdout_mode, stderr_mode); *length (if given) its bytes. Valid until the next call
 * of zh_output or zh_free. */
ZH_API const char* zh_output(zh_harness* h, int fd, size_t* length);
/* Waits up to timeout_ms until that output contains text: ZH_OK or ZH_TIMEOUT. */
ZH_API int zh_wait_output(zh_harness* h, int fd, const char* text, int timeout_ms);
/* The core's log lines since zh_start, one per line. Valid until the next zh_log or zh_free. */
ZH_API const char* zh_log(zh_harness* h);

/* The contract violations. */
#define ZH_KEPT_AFTER_CLOSE 1      /* buffers still held after Close */
#define ZH_BAD_RELEASE 2           /* a release of a buffer the plugin does not hold */
#define ZH_BUFFER_CHANGED 3        /* the bytes of a delivered or kept buffer changed */
#define ZH_CALLS_AFTER_UNLOAD 4    /* calls still running when Unload returned */
#define ZH_THREADS_LEFT 5          /* threads the plugin started still run after Unload */
#define ZH_CALLBACK_AFTER_UNLOAD 6 /* the callback was called after Unload returned */
#define ZH_SLOW_CALL 7             /* Load or Open took longer than options.call_bound_ms */
#define ZH_BAD_RECORD 8            /* a record's size, version or field out of range */
#define ZH_CHANNEL_HELD 9          /* a channel held longer than options.gate_held_ms */
#define ZH_STOP_STUCK                                 \
  10 /* Close, Unload or a call did not return within \
        options.call_timeout_ms */

typedef struct zh_violation {
  int kind;         /* ZH_KEPT_AFTER_CLOSE ... */
  const char* text; /* one sentence: what the plugin did, and why it matters */
} zh_violation;

typedef struct zh_report {
  int close_called, close_result;
  double close_ms;
  int unload_called, unload_result;
  double unload_ms;
  unsigned threads_left;   /* threads of the plugin still running after Unload */
  unsigned late_callbacks; /* callbacks after Unload returned */
  size_t violation_count;
  const zh_violation* violations; /* valid until zh_free */
} zh_report;

/* Stops the core as the server stops (Close, then Unload, then the plugin's code is unloaded)
 * and fills report with what was seen from zh_start on. Returns ZH_OK, or ZH_TIMEOUT when the
 * stop did not end within options.call_timeout_ms: the report then says where it is stuck, and
 * the stop goes on in the background (no other harness can start until it ends). A second
 * zh_stop only fills report again. */
ZH_API int zh_stop(zh_harness* h, zh_report* report);
/* Stops the harness if zh_stop was not called, and frees it. */
ZH_API void zh_free(zh_harness* h);

/* Names for messages: "Load" ... "IOCTL" (or "own thread"), "Load" ... "after Unload", and
 * the violation kinds ("kept after Close", ...). */
ZH_API const char* zh_entry_name(int entry);
ZH_API const char* zh_phase_name(int phase);
ZH_API const char* zh_violation_name(int kind);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZENTSERVER_HARNESS_H_ */
