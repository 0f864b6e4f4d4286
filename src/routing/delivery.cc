// Delivery of messages to subscribed plugins.
//
// Immediate broadcast (BroadcastNow, on the sender's thread): one Read call thread per plugin
// that matches and takes Read calls, each with a private copy of the payload; the sender does
// not wait for them. The plugin list is read under m_pluginsLock (a plugin may broadcast from
// its own thread while Start still loads plugins or Stop unloads them); each target's call is
// counted in under the same lock, so that its plugin stays loaded until the call returns, and
// the threads are started after the lock is released.
//
// Queued delivery (DeliverQueued, on the event handler thread): every plugin in list order gets
// at most one call, made directly and with no lock held: IOCTL command 2 for MSG_TO_OTHERS
// (every plugin but the sender), else IOCTL command 3 for MSG_TO_ALL, else Write when its masks
// match and it takes Write calls. All of them see the Core's one payload buffer; a plugin's hold
// is recorded before its call and dropped after it unless the reply says retained (together
// with the next step of the delivery, so that each call takes the table's lock once).
#include "routing/delivery.h"

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include <wx/log.h>

#include "core/core.h"
#include "core/plugin_calls.h"
#include "core/plugin_thread.h"
#include "core/thread_log.h"
#include "pt/ticks.h"

void Core::BroadcastNow(const Message& message) {
  const uint32_t match = BroadcastMatchValue(message.code);
  struct Target {
    PluginEntryFn read;
    PluginCalls* calls;
  };
  // The targets of the usual broadcast fit here; only a plugin list longer than that needs the
  // heap, where running out of memory skips the calls that do not fit.
  constexpr size_t kInlineTargets = 16;
  Target inlineTargets[kInlineTargets];
  std::vector<Target> moreTargets;
  size_t count = 0;
  {
    pt::lockguard guard(m_pluginsLock);
    for (const PluginRecord& plugin : m_plugins) {
      if (plugin.library == nullptr || plugin.read == nullptr) continue;
      if (!MatchesSubscription(plugin.info, message.flags, match)) continue;
      if (plugin.info.acceptsRead == 0) continue;
      if (!plugin.calls->Enter()) continue;  // closed: no call starts any more
      const Target target = {plugin.read, plugin.calls};
      if (count < kInlineTargets) {
        inlineTargets[count++] = target;
        continue;
      }
      try {
        moreTargets.push_back(target);
      } catch (const std::bad_alloc&) {
        plugin.calls->Cancel("no memory for a broadcast to this many plugins");
      }
    }
  }
  if (count == 0) return;
  const CallRequest request = MakeReadCall(message.length, message.data, message.channel);
  const CallReply reply = MakeReadReply();
  for (size_t i = 0; i < count; ++i) {
    PluginThread::Launch(this, inlineTargets[i].read, inlineTargets[i].calls, request, reply);
  }
  for (const Target& target : moreTargets) {
    PluginThread::Launch(this, target.read, target.calls, request, reply);
  }
}

namespace {

IoctlRequest MakeIoctlDelivery(uint32_t command, const Message& message) {
  IoctlRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.command = command;
  request.argSize = 16;
  request.argVersion = 1;
  request.length = message.length;
  request.data = message.data;
  return request;
}

IoctlReply MakeIoctlDeliveryReply(uint32_t command) {
  IoctlReply reply;
  std::memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  reply.command = command;
  reply.resultSize = 8;
  reply.resultVersion = 1;
  return reply;
}

}  // namespace

bool Core::DeliverQueued(const Message& message, std::optional<uint32_t>* lastHolder) {
  const uint32_t match = QueuedMatchValue(message.code);
  const void* buffer = message.data;
  // The records every call of this message gets, made once; each call gets a fresh copy, since
  // a plugin may write into the records it is handed.
  const WriteRequest writeRequest = MakeWriteDelivery(message);
  bool adopted = false;
  // The plugin called last that is done with the buffer: its hold is dropped together with the
  // next step of the table, so that each call costs one lock of the table, not two.
  std::optional<uint32_t> done;
  // Read once: the calls below may touch any memory, as far as the compiler knows.
  const uint32_t flags = message.flags;
  const uint32_t source = message.source;
  for (const Recipient& plugin : m_recipients) {
    const uint32_t id = plugin.id;
    uint32_t command = 0;
    if ((flags & MSG_TO_OTHERS) != 0 && id != source) {
      command = IOCTL_TO_OTHERS;
    } else if ((flags & MSG_TO_ALL) != 0) {
      command = IOCTL_TO_ALL;
    } else if (!plugin.acceptsWrite || !MatchesMasks(plugin.masks, flags, match)) {
      continue;
    }
    PluginEntryFn entry = command != 0 ? plugin.ioctl : plugin.write;
    if (entry == nullptr) continue;
    if (buffer != nullptr) {
      // The Core holds the buffer from the first call on, and the plugin during its call, so
      // that it may give the buffer back from inside it.
      const BufferRefTable::Step step =
          m_bufferRefs.Pass(buffer, !adopted, done ? &*done : nullptr, id, &message);
      adopted = adopted || step != BufferRefTable::Step::kNotAdopted;
      done.reset();
      if (step != BufferRefTable::Step::kHeld) {
        RouteThreadLog();
        wxLogError("no memory to record plugin %u's hold on a payload; its call is skipped",
                   static_cast<unsigned>(id));
        continue;
      }
    }
    uint32_t retained;
    // Timed for the counters, and marked as running, so that a call that holds every delivery
    // up can be seen while it does.
    PluginStats* stats = plugin.stats;
    const uint64_t start = pt::ticks();
    stats->running.store(PluginStats::Running(start, command != 0), std::memory_order_relaxed);
    t_callingPlugin = stats;
    if (command != 0) {
      IoctlRequest request = MakeIoctlDelivery(command, message);
      IoctlReply reply = MakeIoctlDeliveryReply(command);
      CallEntry(entry, &request, &reply);
      retained = reply.retained;
    } else {
      WriteRequest request = writeRequest;
      WriteReply reply = MakeWriteReply();
      CallEntry(entry, &request, &reply);
      retained = reply.retained;
    }
    t_callingPlugin = nullptr;
    const uint64_t end = pt::ticks();
    stats->running.store(0, std::memory_order_relaxed);
    if (command != 0) {
      stats->CountCall(stats->ioctl, kOpIoctl, start, end, true);
    } else {
      stats->CountCall(stats->write, kOpWrite, start, end, true);
    }
    if (retained == 0) done = id;
  }
  *lastHolder = done;
  return adopted;
}
