// The entry of every message: CoreCallback (for plugins) and Core::HandleMessage.
//
// HandleMessage tells four kinds of message apart, in this order:
//  1. flags == MSG_RELEASE: a holder gives back a buffer it kept. The buffer is freed when that
//     was its last hold, after the gates it holds are given back. A pointer the Core does not
//     own, or a holder without a hold on it, changes nothing.
//  2. source != 0: queued. The payload is copied into a buffer of the Core's; a channel other
//     than 0 is taken for that buffer (the sender may wait here while an earlier message holds
//     it); the record is appended to m_queue. Once delivery has ended (the event handler's last
//     drain) queued messages are refused instead: nothing accepted is ever dropped. A message
//     that would make the queue hold more bytes than its bound (payloads as allocated, and
//     records) is refused with RESULT_NO_MEMORY, as it would be when memory ran out.
//  3. flags == MSG_CLOSE_CHANNEL (with source 0): the channel is closed.
//  4. anything else (source 0): broadcast at once, after waiting until its channel is free.
// Every other accepted message posts m_wakeup; a queued one only when the event handler has
// found the queue empty (m_handlerWaiting): while it delivers, it takes what is queued with
// its next swap. Refusals (no memory, channel refused) return without posting and are
// answered, not logged.
//
// Runs on the sender's thread, several at once; m_queueLock is held only for the append, and
// no lock is held while a gate is waited for.
#include <cstdint>
#include <cstring>

#include <wx/log.h>

#include "core/core.h"
#include "core/payload.h"
#include "core/thread_log.h"

extern "C" int CoreCallback(const Message* message, MessageReply* reply) {
  if (Core::InForkedChild()) {
    // No lock, no log, nothing of the Core: only the answer.
    if (reply != nullptr) reply->result = RESULT_CHANNEL_REFUSED;
    return 0;
  }
  return Core::s_instance->HandleMessage(message, reply);
}

int Core::HandleMessage(const Message* message, MessageReply* reply) {
  // A plugin's null pointers must not take the server down: a missing message changes nothing
  // and is refused; a missing reply only means that nobody reads the outcome.
  long skipped = 0;
  if (message == nullptr) {
    if (m_nullWarnings.Due(&skipped)) {
      RouteThreadLog();
      wxLogWarning("a plugin sent a null message; refused%s", LogLimiter::Skipped(skipped));
    }
    if (reply != nullptr) reply->result = RESULT_CHANNEL_REFUSED;
    return 0;
  }
  if (reply == nullptr && m_nullWarnings.Due(&skipped)) {
    RouteThreadLog();
    wxLogWarning("plugin %u sent a message without a reply record; handled, outcome unread%s",
                 static_cast<unsigned>(message->source), LogLimiter::Skipped(skipped));
  }
  const int result = Route(*message);
  if (reply != nullptr) reply->result = result;
  return 0;
}

int Core::Route(const Message& message) {
  if (message.flags == MSG_RELEASE) {
    switch (m_bufferRefs.DropRef(message.data, message.source)) {
      case BufferRefTable::Drop::kLast:
        m_gates.ReleaseHeldBy(message.data);
        ReleasePayload(const_cast<void*>(message.data));
        break;
      case BufferRefTable::Drop::kStillHeld:
        break;
      case BufferRefTable::Drop::kNotHeld: {
        if (PluginStats* stats = SenderStats(message.source)) {
          stats->badReleases.fetch_add(1, std::memory_order_relaxed);
        }
        long skipped = 0;
        if (message.data != nullptr && m_releaseWarnings.Due(&skipped)) {
          RouteThreadLog();
          wxLogWarning("plugin %u gave back a buffer it does not hold (%p); ignored%s",
                       static_cast<unsigned>(message.source), message.data,
                       LogLimiter::Skipped(skipped));
        }
        break;
      }
    }
  } else if (message.source != 0) {
    return Queue(message);
  } else if (message.flags == MSG_CLOSE_CHANNEL) {
    m_gates.CloseChannel(message.channel);
  } else {
    // Channel 0 is never held (queued messages on it take no gate): nothing to wait for.
    if (message.channel != 0) m_gates.OpenChannel(message.channel, !MustNotWaitForGates());
    m_broadcasts.fetch_add(1, std::memory_order_relaxed);
    if (PluginStats* sender = t_callingPlugin) {
      sender->broadcasts.fetch_add(1, std::memory_order_relaxed);
    }
    BroadcastNow(message);
    // Nothing was queued: waking the event handler would only have it find the queue as it
    // was, and take a core from the broadcast's call threads while it looks.
    return RESULT_OK;
  }
  if (m_wakeup != nullptr) m_wakeup->post();
  return RESULT_OK;
}

int Core::Queue(const Message& message) {
  // A refusal is counted for the routing (by its reason) and for the sender (by its answer).
  const auto refuse = [this, &message](std::atomic<uint64_t>& reason, int result) {
    reason.fetch_add(1, std::memory_order_relaxed);
    if (PluginStats* sender = SenderStats(message.source)) {
      (result == RESULT_CHANNEL_REFUSED ? sender->sentRefused : sender->sentNoMemory)
          .fetch_add(1, std::memory_order_relaxed);
    }
    return result;
  };
  void* buffer = nullptr;
  const uint32_t length = message.data != nullptr ? message.length : 0;
  if (length != 0) {
    buffer = AllocatePayload(length, AllocationSite::kQueuedPayload);
    if (buffer == nullptr) return refuse(m_refusedNoMemory, RESULT_NO_MEMORY);
    std::memcpy(buffer, message.data, length);
  }
  const bool onChannel = message.channel != 0;
  if (onChannel && m_gates.HoldChannel(message.channel, buffer, !MustNotWaitForGates())) {
    ReleasePayload(buffer);
    return refuse(m_refusedChannel, RESULT_CHANNEL_REFUSED);
  }
  const size_t cost = QueuedCost(length);
  std::atomic<uint64_t>* refused = nullptr;  // the reason, when refused
  size_t held = 0;
  bool wake = false;
  {
    pt::lockguard guard(m_queueLock);
    held = m_queuedBytes.load(std::memory_order_relaxed);
    const size_t bound = m_limits.maxQueuedBytes;
    // After the event handler has seen the stop nothing would deliver it: refused, not
    // accepted and dropped. Past the bound it is refused as if memory had run out, which it
    // would, in the end.
    Message* queued = nullptr;
    if (m_deliveryEnded) {
      refused = &m_refusedStopping;
    } else if (bound != 0 && held + cost > bound) {
      refused = &m_refusedBound;
    } else if ((queued = m_queue.Push()) == nullptr) {
      refused = &m_refusedNoMemory;
    } else {
      // The sender's record byte for byte, but for the Core's own copy of the payload.
      *queued = message;
      queued->data = buffer;
      queued->length = length;
      // An add, not a store: the event handler takes delivered bytes off without the lock.
      held = m_queuedBytes.fetch_add(cost, std::memory_order_relaxed) + cost;
      QueueCounts& counts = m_queueCounts;
      ++counts.queued;
      const size_t depth = m_queue.size() + m_takenCount.load(std::memory_order_relaxed);
      if (depth > counts.depthMax) counts.depthMax = depth;
      if (held > counts.depthBytesMax) counts.depthBytesMax = held;
      // The event handler is woken only when it has found the queue empty and is on its way
      // to sleep; while it delivers it takes this message with the next swap unasked.
      wake = m_handlerWaiting;
      m_handlerWaiting = false;
    }
  }
  if (refused != nullptr) {
    // The channel it took goes back at once, before the buffer goes.
    if (onChannel) m_gates.ReleaseChannel(message.channel, buffer);
    ReleasePayload(buffer);
    long skipped = 0;
    if (refused == &m_refusedBound && m_boundWarnings.Due(&skipped)) {
      RouteThreadLog();
      wxLogWarning(
          "the queue holds %zu KiB, its bound is %zu KiB: a message of %u bytes from plugin %u "
          "is refused (no memory)%s",
          held >> 10, m_limits.maxQueuedBytes >> 10, static_cast<unsigned>(length),
          static_cast<unsigned>(message.source), LogLimiter::Skipped(skipped));
    }
    return refuse(*refused,
                  refused == &m_refusedStopping ? RESULT_CHANNEL_REFUSED : RESULT_NO_MEMORY);
  }
  if (PluginStats* sender = SenderStats(message.source)) {
    sender->sentQueued.fetch_add(1, std::memory_order_relaxed);
  }
  if (wake && m_wakeup != nullptr) m_wakeup->post();
  return RESULT_OK;
}
