/*
 * hello.c: a small plugin, built outside the server's source tree against the installed SDK.
 * It says hello when the core sends its status document, the one message that every plugin
 * receives, and it answers every queued HELLO_ASK message with a queued HELLO_ANSWER whose
 * payload is "hello, " and the asker's payload. hello_test.c tests it with the harness.
 *
 *   with CMake:       cmake -S . -B build && cmake --build build        (gives build/hello.so)
 *   with pkg-config:  cc -shared -fPIC -fvisibility=hidden \
 *                        $(pkg-config --cflags zentserver-plugin) hello.c -o hello.so
 *
 * Check it with "zentserver-inspect hello.so", then copy it into the server's plugins
 * directory ("pkg-config --variable=plugindir zentserver-plugin").
 */
#include "hello.h"

#include <stdio.h>
#include <string.h>
#include <zentserver/plugin_api.h>

static CoreCallbackFn g_callback; /* the core's callback, from Load */

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  g_callback = context->callback; /* kept to send the answers */
  info->id = HELLO_ID;
  /* Queued messages of class bit 0 whose code is HELLO_ASK come by Write. */
  info->classMasks[HELLO_CLASS] = ZENT_QUEUED_MATCH(HELLO_ASK);
  info->acceptsWrite = 1;
  return 0; /* 0 with info->error 0: accepted */
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

/* On the core's event handler thread: answer at once, and keep nothing (retained stays 0). */
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  (void)reply;
  if (request->code != HELLO_ASK) return 0;
  char text[256];
  int n = snprintf(text, sizeof text, "hello, %.*s",
                   (int)(request->length < 200 ? request->length : 200),
                   request->data != NULL ? (const char*)request->data : "");
  Message message;
  memset(&message, 0, sizeof message); /* the sender zero-fills the records it prepares */
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.source = HELLO_ID; /* queued, from this plugin */
  message.flags = MSG_CLASS_BIT(HELLO_CLASS);
  message.code = HELLO_ANSWER;
  message.data = text; /* the core copies it before the call returns */
  message.length = (uint32_t)n;
  MessageReply answer;
  memset(&answer, 0, sizeof answer);
  answer.size = sizeof answer;
  answer.version = ZENT_RECORD_VERSION;
  g_callback(&message, &answer); /* the outcome is in answer.result */
  return 0;
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  (void)reply;
  if (request->command == IOCTL_TO_OTHERS) {
    printf("hello %u: the core runs (status document of %u bytes)\n", HELLO_ID, request->length);
    fflush(stdout);
  }
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
