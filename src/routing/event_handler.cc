#include "routing/event_handler.h"

#include "core/core.h"
#include "core/payload.h"
#include "core/thread_log.h"

namespace {
thread_local bool t_isEventHandler = false;
}  // namespace

bool IsEventHandlerThread() { return t_isEventHandler; }

EventHandlerThread::~EventHandlerThread() { waitfor(); }

void EventHandlerThread::execute() {
  t_isEventHandler = true;
  RouteThreadLog();
  while (!is_signaled()) {
    m_core->m_wakeup->wait();
    m_core->DispatchQueued(this);
  }
  // The stop is seen: from this moment queued messages are refused, so the last drain delivers
  // exactly what was accepted before and ends, however busy the plugins keep each other.
  m_core->EndDelivery();
  m_core->DispatchQueued();
}

void Core::EndDelivery() {
  pt::lockguard guard(m_queueLock);
  m_deliveryEnded = true;
}

void Core::DispatchQueued(const pt::thread* until) {
  for (;;) {
    // Looked at once per message: plugins that answer each delivery with a new message would
    // otherwise keep the queue from ever running empty.
    if (until != nullptr && until->is_signaled()) return;
    Message message;
    {
      pt::lockguard guard(m_queueLock);
      if (m_queue.empty()) return;
      message = m_queue.front();
      m_queue.pop_front();
    }
    // The Core has held the payload since it was queued, so the buffer outlives every call of
    // the delivery whatever the plugins do meanwhile.
    DeliverQueued(message);
    if (m_bufferRefs.DropCoreHold(message.data) == BufferRefTable::Drop::kLast) {
      // The gate first, so that no new payload at the same address is taken for this one.
      m_gates.ReleaseChannel(message.channel, message.data);
      ReleasePayload(const_cast<void*>(message.data));
    } else if (message.data == nullptr) {
      // A message without payload has no holder to wait for: its channel is free now.
      m_gates.ReleaseChannel(message.channel, nullptr);
    }
    // Otherwise a plugin keeps the buffer; its MSG_RELEASE frees it and gives the gate back.
  }
}
