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
    m_core->DispatchQueued();
  }
  // Whatever is queued when the signal is seen still goes out (also when the stop came before
  // the first wait), and delivery ends only with an empty queue: a message is either delivered
  // or refused, never accepted and then dropped.
  m_core->DispatchQueued(true);
}

void Core::DispatchQueued(bool last) {
  for (;;) {
    Message message;
    {
      pt::lockguard guard(m_queueLock);
      if (m_queue.empty()) {
        if (last) m_deliveryEnded = true;
        return;
      }
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
