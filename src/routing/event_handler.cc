#include "routing/event_handler.h"

#include <optional>

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
  // Everything queued is taken at once, in one swap under the lock, and delivered without it,
  // so that the senders and this thread meet on the lock once per drain, not per message.
  // The stop is looked at before each few messages (plugins that answer each delivery with a
  // new message would otherwise keep the queue from ever running empty); what was taken and
  // not yet delivered then stays in m_taken, in order, for the last drain.
  constexpr size_t kBetweenLooks = 16;
  for (;;) {
    if (until != nullptr && until->is_signaled()) return;
    if (m_taken.empty()) {
      pt::lockguard guard(m_queueLock);
      m_queue.Swap(m_taken);  // the queue gets m_taken's spare blocks for the next records
      m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
      // Nothing queued: the next message queued wakes this thread (see Core::Queue).
      if (m_taken.empty()) m_handlerWaiting = true;
    }
    if (m_taken.empty()) return;
    size_t delivered = 0, bytes = 0;
    while (delivered < kBetweenLooks && !m_taken.empty()) {
      const Message& message = m_taken.Front();
      bytes += QueuedCost(message.length);
      DispatchOne(message);
      m_taken.PopFront();
      ++delivered;
    }
    // Delivered messages and their bytes stop counting against the bound and in the depth only
    // here, after each few, as they did while they waited.
    m_queuedBytes.fetch_sub(bytes, std::memory_order_relaxed);
    m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
    m_delivered.store(m_delivered.load(std::memory_order_relaxed) + delivered,
                      std::memory_order_release);
  }
}

void Core::DispatchOne(const Message& message) {
  // The buffer goes into the reference table with the first call made with it, held by the
  // Core until every call of the delivery has returned, whatever the plugins do meanwhile.
  std::optional<uint32_t> lastHolder;
  const bool adopted = DeliverQueued(message, &lastHolder);
  const void* buffer = message.data;
  // Nobody was called with the buffer (or there is none), or the last hold went now: the
  // gate first, so that no new payload at the same address is taken for this one.
  const bool last =
      !adopted || m_bufferRefs.EndDelivery(buffer, lastHolder ? &*lastHolder : nullptr) ==
                      BufferRefTable::Drop::kLast;
  if (!last) return;  // a plugin keeps the buffer; its MSG_RELEASE frees it and the gate
  if (message.channel != 0) m_gates.ReleaseChannel(message.channel, buffer);
  ReleasePayload(const_cast<void*>(buffer), message.length);
}
