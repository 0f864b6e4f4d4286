// The harness between the plugin and the core: its entry points as the core calls them, and
// the callback it sends through. Each passes the call on and records what the contract asks
// of it: the phase of the plugin's life, the calls in flight and their threads, the time Load
// and Open take, the records the plugin fills in, the buffers it keeps (with a hash of their
// bytes, looked at again when they are given back and at Unload), and every message it sends
// with the core's answer.
#ifndef ZENT_HARNESS_INTERPOSER_H_
#define ZENT_HARNESS_INTERPOSER_H_

#include <cstddef>
#include <cstdint>

#include "plugin_api/plugin_api.h"

namespace zh {

// Puts the harness's entry points in place of the plugin's (entries in the interface's
// order): those the plugin exports, and Open, Close and Unload always (they mark the phases).
void Interpose(PluginEntryFn entries[8]);
// The harness's entry points, for the direct calls (zh_write, zh_read, zh_ioctl).
int InterposedRead(ReadRequest* request, ReadReply* reply);
int InterposedWrite(WriteRequest* request, WriteReply* reply);
int InterposedIoctl(IoctlRequest* request, IoctlReply* reply);
// The callback the plugin receives in Load.
int PluginCallback(const Message* message, MessageReply* reply);
// FNV-1a over the bytes: whether a buffer's bytes changed.
uint64_t HashBytes(const void* data, size_t length);

}  // namespace zh

#endif  // ZENT_HARNESS_INTERPOSER_H_
