// The entry of every message: CoreCallback (for plugins) and Core::HandleMessage.
//
// HandleMessage tells four kinds of message apart, in this order:
//  1. flags == MSG_RELEASE: a holder gives back a buffer it kept. The buffer is freed when that
//     was its last hold, after the gates it holds are given back. A pointer the Core does not
//     own, or a holder without a hold on it, changes nothing.
//  2. source != 0: queued. The payload is copied into a buffer of the Core's; a channel other
//     than 0 is taken for that buffer (the sender may wait here while an earlier message holds
//     it); the record is appended to m_queue.
//  3. flags == MSG_CLOSE_CHANNEL (with source 0): the channel is closed.
//  4. anything else (source 0): broadcast at once, after waiting until its channel is free.
// Every accepted message posts m_wakeup. Refusals (no memory, channel refused) return without
// posting and are answered, not logged.
//
// Runs on the sender's thread, several at once; m_queueLock is held only for the append, and
// no lock is held while a gate is waited for.
#include <cstring>

#include <wx/log.h>

#include "core/core.h"
#include "core/payload.h"
#include "core/thread_log.h"

extern "C" int CoreCallback(const Message* message, MessageReply* reply) {
  return Core::s_instance->HandleMessage(message, reply);
}

int Core::HandleMessage(const Message* message, MessageReply* reply) {
  if (message->flags == MSG_RELEASE) {
    switch (m_bufferRefs.DropRef(message->data, message->source)) {
      case BufferRefTable::Drop::kLast:
        m_gates.ReleaseHeldBy(message->data);
        ReleasePayload(const_cast<void*>(message->data));
        break;
      case BufferRefTable::Drop::kStillHeld:
        break;
      case BufferRefTable::Drop::kNotHeld:
        if (message->data != nullptr) {
          RouteThreadLog();
          wxLogWarning("plugin %u gave back a buffer it does not hold (%p); ignored",
                       static_cast<unsigned>(message->source), message->data);
        }
        break;
    }
  } else if (message->source != 0) {
    Message copy = *message;
    void* buffer = nullptr;
    if (message->data != nullptr && message->length != 0) {
      buffer = AllocatePayload(message->length);
      if (buffer == nullptr) {
        reply->result = RESULT_NO_MEMORY;
        return 0;
      }
      std::memcpy(buffer, message->data, message->length);
      m_bufferRefs.Adopt(buffer);
    } else {
      copy.length = 0;
    }
    copy.data = buffer;
    if (message->channel != 0 &&
        m_gates.HoldChannel(message->channel, buffer, !MustNotWaitForGates())) {
      if (m_bufferRefs.DropCoreHold(buffer) == BufferRefTable::Drop::kLast) ReleasePayload(buffer);
      reply->result = RESULT_CHANNEL_REFUSED;
      return 0;
    }
    pt::lockguard guard(m_queueLock);
    m_queue.push_back(copy);
  } else if (message->flags == MSG_CLOSE_CHANNEL) {
    m_gates.CloseChannel(message->channel);
  } else {
    m_gates.OpenChannel(message->channel, !MustNotWaitForGates());
    BroadcastNow(*message);
  }
  if (m_wakeup != nullptr) m_wakeup->post();
  reply->result = RESULT_OK;
  return 0;
}
