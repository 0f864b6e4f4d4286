/*
 * hello.c: the smallest useful plugin, built outside the server's source tree against the
 * installed SDK. It says hello when the core sends its status document, the one message that
 * every plugin receives.
 *
 *   with CMake:       cmake -S . -B build && cmake --build build        (gives build/hello.so)
 *   with pkg-config:  cc -shared -fPIC -fvisibility=hidden \
 *                        $(pkg-config --cflags zentserver-plugin) hello.c -o hello.so
 *
 * Check it with "zentserver-inspect hello.so", then copy it into the server's plugins
 * directory ("pkg-config --variable=plugindir zentserver-plugin").
 */
#include <stdio.h>
#include <zentserver/plugin_api.h>

#define HELLO_ID 4242u

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  (void)context; /* keep context->callback to send messages; hello sends none */
  info->id = HELLO_ID;
  return 0; /* 0 with info->error 0: accepted */
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
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
