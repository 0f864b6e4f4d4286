/* A plugin for the benchmarks: takes every Write and Read, touches the payload and counts it.
 * The benchmark reads the count through SinkCount, found with dlsym in the loaded object. */
#include <stdatomic.h>

#include "plugin_api/plugin_api.h"

static atomic_long g_count;
static atomic_uint g_checksum;

ZENT_PLUGIN_EXPORT long SinkCount(void) { return atomic_load(&g_count); }

static void Take(const void* data, uint32_t length) {
  const unsigned char* bytes = (const unsigned char*)data;
  unsigned sum = 0;
  for (uint32_t i = 0; data != NULL && i < length; i += 64) sum += bytes[i];
  atomic_fetch_add(&g_checksum, sum);
  atomic_fetch_add(&g_count, 1);
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  (void)context;
  info->id = 900;
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
