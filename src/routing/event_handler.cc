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
  // Taken a few at a time under the lock, so that the senders and this thread meet on it less
  // often; every record taken is delivered before the next look at the stop.
  constexpr size_t kBatch = 16;
  Message batch[kBatch];
  for (;;) {
    // Looked at between batches: plugins that answer each delivery with a new message would
    // otherwise keep the queue from ever running empty.
    if (until != nullptr && until->is_signaled()) return;
    size_t taken;
    {
      pt::lockguard guard(m_queueLock);
      // The batch delivered last is done with now; its messages and bytes stop counting
      // against the bound and in the depth only here, so that a batch in hand counts as much
      // as one still queued.
      m_queuedBytes.store(m_queuedBytes.load(std::memory_order_relaxed) - m_inHand.bytes,
                          std::memory_order_relaxed);
      taken = m_queue.Pop(batch, kBatch);
      m_inHand.count = taken;
      m_inHand.bytes = 0;
      for (size_t i = 0; i < taken; ++i) m_inHand.bytes += QueuedCost(batch[i].length);
    }
    if (taken == 0) return;
    for (size_t i = 0; i < taken; ++i) DispatchOne(batch[i]);
    m_delivered.store(m_delivered.load(std::memory_order_relaxed) + taken,
                      std::memory_order_relaxed);
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
  ReleasePayload(const_cast<void*>(buffer));
}
