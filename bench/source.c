/* A plugin for the benchmarks that sends: a thread of its own (started by the first SourceRun,
 * ended by Unload) runs one SourceJob at a time, each message through the callback the core
 * gave it in Load, or through the job's own send function for a baseline. It subscribes to
 * nothing and takes no calls but the lifecycle ones. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "bench_plugins.h"

static CoreCallbackFn g_callback;
static unsigned char g_payload[BENCH_MAX_PAYLOAD];

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed; /* a job was posted, finished, or the thread is to end */
static SourceJob* g_job;         /* the posted job until it is finished; guarded by g_lock */
static int g_started;            /* guarded by g_lock */
static int g_stop;               /* guarded by g_lock */
static pthread_t g_thread;

__attribute__((constructor)) static void Init(void) {
  BenchInitCondition(&g_changed);
  for (size_t i = 0; i < sizeof g_payload; ++i) g_payload[i] = (unsigned char)i;
}

static void Send(SourceJob* job) {
  const CoreCallbackFn send = job->send != NULL ? job->send : g_callback;
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = job->length;
  message.data = g_payload;
  message.source = job->source;
  message.channel = job->channel;
  message.flags = job->flags;
  message.code = job->code;
  long refused = 0;
  int64_t due = 0;
  for (long i = 0; i < job->count; ++i) {
    int64_t now = 0;
    if (job->gapNs != 0) {
      now = BenchNowNs();
      if (i != 0 && job->gapNs > 1000000 && now < due) {
        const struct timespec until = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
        }
        now = BenchNowNs();
      }
      while (i != 0 && now < due) now = BenchNowNs();
      /* Long gaps keep to a schedule (a late send does not shift the ones after, as a camera's
       * frames do not); short ones are counted from each send. */
      due = i != 0 && job->gapNs > 1000000 ? due + job->gapNs : now + job->gapNs;
    }
    message.length =
        job->bigEvery != 0 && (i + 1) % job->bigEvery == 0 ? job->bigLength : job->length;
    if (job->sendTimes != NULL) job->sendTimes[i] = job->gapNs != 0 ? now : BenchNowNs();
    MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
    send(&message, &reply);
    if (reply.result != RESULT_OK) ++refused;
  }
  job->refused = refused;
}

static void* Run(void* unused) {
  (void)unused;
  pthread_mutex_lock(&g_lock);
  for (;;) {
    while (g_job == NULL && !g_stop) pthread_cond_wait(&g_changed, &g_lock);
    if (g_stop) break;
    SourceJob* job = g_job;
    pthread_mutex_unlock(&g_lock);
    Send(job);
    pthread_mutex_lock(&g_lock);
    g_job = NULL;
    pthread_cond_broadcast(&g_changed);
  }
  pthread_mutex_unlock(&g_lock);
  return NULL;
}

ZENT_PLUGIN_EXPORT int SourceRun(SourceJob* job, long timeoutMs) {
  if (job->length > BENCH_MAX_PAYLOAD || job->bigLength > BENCH_MAX_PAYLOAD) return -1;
  const struct timespec deadline = BenchDeadline(timeoutMs);
  pthread_mutex_lock(&g_lock);
  int result = 0;
  if (!g_started) {
    g_started = pthread_create(&g_thread, NULL, Run, NULL) == 0;
    if (!g_started) result = -1;
  }
  if (result == 0 && g_job != NULL) result = -1; /* one job at a time */
  if (result == 0) {
    g_job = job;
    pthread_cond_broadcast(&g_changed);
    while (g_job == job && result == 0) {
      if (pthread_cond_timedwait(&g_changed, &g_lock, &deadline) != 0 && g_job == job) {
        result = -1;
      }
    }
  }
  pthread_mutex_unlock(&g_lock);
  return result;
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  g_callback = context->callback;
  Dl_info self;
  unsigned id = 800;
  if (dladdr((void*)&Load, &self) != 0 && self.dli_fname != NULL) {
    const char* name = strrchr(self.dli_fname, '/');
    if (sscanf(name != NULL ? name + 1 : self.dli_fname, "source-%u.so", &id) != 1) id = 800;
  }
  info->id = id;
  return 0;
}
ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
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
  pthread_mutex_lock(&g_lock);
  const int started = g_started;
  g_stop = 1;
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_lock);
  if (started) pthread_join(g_thread, NULL);
  return 0;
}
