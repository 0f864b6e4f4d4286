// PluginRecord: the Core's record of one loaded plugin, held by value in Core::m_plugins, and
// the internal envelopes that a plugin call thread carries.
#ifndef ZENT_CORE_PLUGIN_RECORD_H_
#define ZENT_CORE_PLUGIN_RECORD_H_

#include <cstdint>
#include <string>

#include <wx/datetime.h>
#include <wx/string.h>

#include "plugin_api/plugin_api.h"

class wxDynamicLibrary;
class PluginCalls;
class PluginThread;
struct PluginStats;

// Operation numbers: the position of each entry point in the fixed order of the interface.
enum PluginOp : uint32_t {
  kOpLoad = 0,
  kOpUnload = 1,
  kOpOpen = 2,
  kOpClose = 3,
  kOpRead = 4,
  kOpWrite = 5,
  kOpSeek = 6,
  kOpIoctl = 7,
};

// Calls an entry point with its typed request and reply. The core looks entry points up as
// PluginEntryFn and calls each through the type that the interface declares for it.
template <typename Request, typename Reply>
inline int CallEntry(PluginEntryFn entry, Request* request, Reply* reply) {
  return reinterpret_cast<int (*)(Request*, Reply*)>(entry)(request, reply);
}

struct PluginRecord {
  // The loaded shared object, created on the heap; released by the Unload pass, never by the
  // record. Every record in m_plugins has one until the Unload pass clears it.
  wxDynamicLibrary* library = nullptr;
  // Entry points in interface order, null where the plugin does not export the name. A null
  // entry point is never called: the call is skipped.
  PluginEntryFn load = nullptr;
  PluginEntryFn unload = nullptr;
  PluginEntryFn open = nullptr;
  PluginEntryFn close = nullptr;
  PluginEntryFn read = nullptr;
  PluginEntryFn write = nullptr;
  PluginEntryFn seek = nullptr;
  PluginEntryFn ioctl = nullptr;
  // Notes of the call threads started for the load-time IOCTL and the start Read. The threads
  // free themselves; these pointers are never followed.
  PluginThread* ioctlThread = nullptr;
  PluginThread* readThread = nullptr;
  PluginThread* writeThread = nullptr;  // no path starts a Write on a call thread
  PluginInfo info = {};                 // as the plugin filled it in Load
  std::string fileName;                 // the listed name's bytes, in lower case
  int32_t openCode = 0;                 // result of Open
  wxTimeSpan loadTime;                  // duration of Load
  wxTimeSpan openTime;                  // duration of Open
  // The call threads in flight into this plugin; owned by the Core from acceptance until the
  // Unload pass.
  PluginCalls* calls = nullptr;
  // Its counters; owned by the Core, which keeps them as long as it lives.
  PluginStats* stats = nullptr;
};

// The envelope of a call thread's request: the operation and the entry point's request record.
struct CallRequest {
  uint32_t size;
  uint32_t version;
  uint32_t op;  // kOpRead, kOpWrite or kOpIoctl
  union {
    ReadRequest read;
    WriteRequest write;
    IoctlRequest ioctl;
    uint8_t bytes[192];
  } record;
};

// The envelope of a call thread's reply; nothing reads it after the call.
struct CallReply {
  uint32_t size;
  uint32_t version;
  uint32_t op;
  union {
    ReadReply read;
    WriteReply write;
    IoctlReply ioctl;
    uint8_t bytes[64];
  } record;
};

#if defined(__i386__)
static_assert(sizeof(CallRequest) == 204, "CallRequest size");
static_assert(offsetof(CallRequest, record) == 12, "CallRequest.record offset");
static_assert(sizeof(CallReply) == 76, "CallReply size");
static_assert(offsetof(CallReply, record) == 12, "CallReply.record offset");
#endif

// The envelopes of the calls made on call threads: all bytes zero, then the header and the
// record's size and version.
CallRequest MakeReadCall(uint32_t length, const void* data, uint32_t channel);
CallReply MakeReadReply();
CallRequest MakeIoctlAtLoadCall();
CallReply MakeIoctlAtLoadReply();

#endif  // ZENT_CORE_PLUGIN_RECORD_H_
