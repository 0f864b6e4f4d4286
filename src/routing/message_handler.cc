// The entry of every message: CoreCallback (for plugins) and Core::HandleMessage.
//
// HandleMessage tells four kinds of message apart, in this order:
//  1. flags == MSG_RELEASE: a holder gives back a buffer it kept. The buffer is freed when that
//     was its last hold, after the gates it holds are given back. A pointer the Core does not
//     own, or a holder without a hold on it, changes nothing.
//  2. source != 0: queued. The payload is copied into a buffer of the Core's; a channel other
//     than 0 is taken for that buffer (the sender may wait here while an earlier message holds
//     it); the record is appended to m_queue. Once delivery has ended (the event handler's last
//     drain) queued messages are refused instead: nothing accepted is ever dropped.
//  3. flags == MSG_CLOSE_CHANNEL (with source 0): the channel is closed.
//  4. anything else (source 0): broadcast at once, after waiting until its channel is free.
// Every accepted message posts m_wakeup. Refusals (no memory, channel refused) return without
// posting and are answered, not logged.
//
// Runs on the sender's thread, several at once; m_queueLock is held only for the append, and
// no lock is held while a gate is waited for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <wx/log.h>

#include "core/core.h"
#include "core/payload.h"
#include "core/thread_log.h"

bool LogLimiter::Due(long* skipped) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t next = m_next.load();
  if (now < next || !m_next.compare_exchange_strong(next, now + 1000)) {
    ++m_skipped;
    return false;
  }
  *skipped = m_skipped.exchange(0);
  return true;
}

wxString LogLimiter::Skipped(long skipped) {
  return skipped == 0 ? wxString() : wxString::Format(" (and %ld more like it)", skipped);
}

extern "C" int CoreCallback(const Message* message, MessageReply* reply) {
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
    void* buffer = nullptr;
    const uint32_t length = message.data != nullptr ? message.length : 0;
    if (length != 0) {
      buffer = AllocatePayload(length, AllocationSite::kQueuedPayload);
      if (buffer == nullptr) return RESULT_NO_MEMORY;
      std::memcpy(buffer, message.data, length);
    }
    const bool onChannel = message.channel != 0;
    if (onChannel && m_gates.HoldChannel(message.channel, buffer, !MustNotWaitForGates())) {
      ReleasePayload(buffer);
      return RESULT_CHANNEL_REFUSED;
    }
    int result = RESULT_OK;
    {
      pt::lockguard guard(m_queueLock);
      // After the event handler has seen the stop nothing would deliver it: refused, not
      // accepted and dropped.
      Message* queued = m_deliveryEnded ? nullptr : m_queue.Push();
      if (queued != nullptr) {
        // The sender's record byte for byte, but for the Core's own copy of the payload.
        *queued = message;
        queued->data = buffer;
        queued->length = length;
      } else {
        result = m_deliveryEnded ? RESULT_CHANNEL_REFUSED : RESULT_NO_MEMORY;
      }
    }
    if (result != RESULT_OK) {
      // The channel it took goes back at once, before the buffer goes.
      if (onChannel) m_gates.ReleaseChannel(message.channel, buffer);
      ReleasePayload(buffer);
      return result;
    }
  } else if (message.flags == MSG_CLOSE_CHANNEL) {
    m_gates.CloseChannel(message.channel);
  } else {
    // Channel 0 is never held (queued messages on it take no gate): nothing to wait for.
    if (message.channel != 0) m_gates.OpenChannel(message.channel, !MustNotWaitForGates());
    BroadcastNow(message);
    // Nothing was queued: waking the event handler would only have it find the queue as it
    // was, and take a core from the broadcast's call threads while it looks.
    return RESULT_OK;
  }
  if (m_wakeup != nullptr) m_wakeup->post();
  return RESULT_OK;
}
