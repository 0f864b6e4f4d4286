/* A plugin that leaves a thread of its own running after Unload: the server would unload its
 * code under that thread. The thread only sleeps, so the process can end meanwhile. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <time.h>

#include "plugin_api/plugin_api.h"

static void* Linger(void* arg) {
  (void)arg;
  struct timespec minute = {60, 0};
  nanosleep(&minute, NULL);
  return NULL;
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  (void)context;
  pthread_t thread;
  if (pthread_create(&thread, NULL, Linger, NULL) != 0) return -1;
  pthread_detach(thread);
  info->id = 77;
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
  return 0;
}
