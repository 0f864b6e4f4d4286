/* A plugin for the benchmarks: takes every Write and Read with a payload, touches the payload
 * (a byte in every 64) and counts the call. Its file name, sink-<id>-<mask>.so, gives its id
 * and its subscription mask for class bit 0x01 (hexadecimal), so that copies of the one file
 * can subscribe to different codes. The benchmark drives it through the functions of
 * bench_plugins.h. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include "bench_plugins.h"

static atomic_long g_count;
static atomic_uint g_checksum;
/* A waiter in SinkWait is woken by the call that brings the count to g_target. */
static atomic_long g_target = -1;
static _Atomic(int64_t*) g_times;
static long g_timesBase;
static long g_timesCapacity;
static atomic_int g_hold;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed; /* the count reached g_target, or g_hold was cleared */

__attribute__((constructor)) static void Init(void) { BenchInitCondition(&g_changed); }

ZENT_PLUGIN_EXPORT long SinkCount(void) { return atomic_load(&g_count); }

/* Waits on g_changed until done() or the deadline; 0 when done. REQUIRES: g_lock is held. */
static int WaitUntil(int (*done)(long), long arg, long timeoutMs) {
  const struct timespec deadline = BenchDeadline(timeoutMs);
  while (!done(arg)) {
    if (pthread_cond_timedwait(&g_changed, &g_lock, &deadline) != 0 && !done(arg)) return -1;
  }
  return 0;
}

static int Reached(long target) { return atomic_load(&g_count) >= target; }
static int Released(long unused) {
  (void)unused;
  return !atomic_load(&g_hold);
}

ZENT_PLUGIN_EXPORT int SinkWait(long target, long timeoutMs) {
  pthread_mutex_lock(&g_lock);
  /* Stored before the count is looked at, and the counter loads the target after it counts:
   * one of the two sees the other, so the last call cannot slip by unnoticed. */
  atomic_store(&g_target, target);
  const int result = WaitUntil(Reached, target, timeoutMs);
  atomic_store(&g_target, -1);
  pthread_mutex_unlock(&g_lock);
  return result;
}

ZENT_PLUGIN_EXPORT void SinkArrivals(int64_t* times, long capacity) {
  atomic_store(&g_times, NULL);
  g_timesBase = atomic_load(&g_count);
  g_timesCapacity = capacity;
  atomic_store(&g_times, times);
}

ZENT_PLUGIN_EXPORT void SinkHold(int on) {
  pthread_mutex_lock(&g_lock);
  atomic_store(&g_hold, on);
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_lock);
}

static void Take(const void* data, uint32_t length) {
  int64_t* times = atomic_load(&g_times);
  const int64_t arrival = times != NULL ? BenchNowNs() : 0;
  const unsigned char* bytes = (const unsigned char*)data;
  unsigned sum = 0;
  for (uint32_t i = 0; data != NULL && i < length; i += 64) sum += bytes[i];
  atomic_fetch_add(&g_checksum, sum);
  const long n = atomic_fetch_add(&g_count, 1);
  if (times != NULL && n - g_timesBase < g_timesCapacity) times[n - g_timesBase] = arrival;
  if (n + 1 == atomic_load(&g_target)) {
    pthread_mutex_lock(&g_lock);
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
  }
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  (void)context;
  Dl_info self;
  const char* name = NULL;
  if (dladdr((void*)&Load, &self) != 0 && self.dli_fname != NULL) {
    name = strrchr(self.dli_fname, '/');
    name = name != NULL ? name + 1 : self.dli_fname;
  }
  unsigned id = 0, mask = 0;
  if (name == NULL || sscanf(name, "sink-%u-%x.so", &id, &mask) != 2) {
    info->error = 1; /* a copy the benchmark did not name cannot know what it is for */
    return 1;
  }
  info->id = id;
  info->classMasks[0] = mask;
  info->acceptsRead = 1;
  info->acceptsWrite = 1;
  return 0;
}
ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}
ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply) {
  (void)reply;
  if (request->length != 0) Take(request->data, request->length);
  return 0;
}
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  Take(request->data, request->length);
  reply->retained = 0;
  if (atomic_load(&g_hold)) {
    pthread_mutex_lock(&g_lock);
    WaitUntil(Released, 0, 600000);
    pthread_mutex_unlock(&g_lock);
  }
  return 0;
}
ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}
ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}
ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}
