/* A shared object with every entry point but Load: the core must not keep it, and must call
 * nothing in it. Each call it would receive leaves a file beside it, so a test can tell. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

#include "plugin_api/plugin_api.h"

/* Any object of this file: dladdr finds the shared object that holds it. */
static const char g_anchor = 0;

static void Mark(const char* what) {
  Dl_info info;
  if (dladdr(&g_anchor, &info) == 0 || info.dli_fname == NULL) return;
  char path[600];
  snprintf(path, sizeof path, "%s.%s-called", info.dli_fname, what);
  FILE* f = fopen(path, "w");
  if (f != NULL) fclose(f);
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  Mark("open");
  return 0;
}
ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  Mark("close");
  return 0;
}
ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  Mark("unload");
  return 0;
}
ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  (void)request;
  (void)reply;
  Mark("ioctl");
  return 0;
}
