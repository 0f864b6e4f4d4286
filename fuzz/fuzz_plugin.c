/*
 * A plugin whose entry points are answered by the fuzz target that loaded it.
 *
 * On Load it looks up ZentFuzzHostCall among the process's global symbols (the fuzz target
 * exports it) and from then on forwards every call there, with the address of an object of its
 * own: the target finds the plugin's file from that address, so one shared object copied under
 * several names stands for several plugins, each configured by its name. Built a second time
 * without Read, Write and Seek.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

#include "plugin_api/plugin_api.h"

typedef int (*FuzzHostCall)(const void* plugin, int op, void* request, void* reply);

static const char g_self = 0;
/* Set in Load, before the core makes any other call. */
static FuzzHostCall g_host;

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  g_host = (FuzzHostCall)dlsym(RTLD_DEFAULT, "ZentFuzzHostCall");
  return g_host != NULL ? g_host(&g_self, 0, context, info) : 1;
}

#define FORWARD(name, op, Request, Reply)                       \
  ZENT_PLUGIN_EXPORT int name(Request* request, Reply* reply) { \
    return g_host(&g_self, op, request, reply);                 \
  }

FORWARD(Unload, 1, UnloadRequest, StatusReply)
FORWARD(Open, 2, OpenRequest, OpenReply)
FORWARD(Close, 3, CloseRequest, StatusReply)
FORWARD(IOCTL, 7, IoctlRequest, IoctlReply)
#ifndef FUZZ_PLUGIN_NO_DATA_ENTRIES
FORWARD(Read, 4, ReadRequest, ReadReply)
FORWARD(Write, 5, WriteRequest, WriteReply)
FORWARD(Seek, 6, void, void)
#endif
