#include "routing/message_queue.h"

#include <new>

#include "core/payload.h"

Message* MessageQueue::Push() {
  if (m_blocks.empty() || m_tail == kBlockRecords) {
    std::unique_ptr<Block> block;
    if (!m_spares.empty()) {
      block = std::move(m_spares.back());
      m_spares.pop_back();
    } else {
      if (AllocationAllowed(AllocationSite::kQueueBlock)) block.reset(new (std::nothrow) Block);
      if (!block) return nullptr;
    }
    try {
      m_blocks.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return nullptr;  // the block is freed
    }
    if (m_blocks.size() == 1) m_head = 0;
    m_tail = 0;
  }
  ++m_size;
  return &m_blocks.back()->records[m_tail++];
}

size_t MessageQueue::Pop(Message* out, size_t max) {
  size_t taken = 0;
  while (taken < max && m_size > 0) {
    out[taken++] = m_blocks.front()->records[m_head++];
    --m_size;
    const bool frontDone = m_head == kBlockRecords || m_size == 0;
    if (frontDone) {
      // An emptied front block becomes a spare (the last one as well: the next Push reuses it).
      // (Room for the spares is reserved, so keeping one never allocates.)
      if (m_spares.size() < kSpareBlocks) m_spares.push_back(std::move(m_blocks.front()));
      m_blocks.pop_front();
      m_head = 0;
      m_tail = m_blocks.empty() ? 0 : m_tail;
    }
  }
  return taken;
}

void MessageQueue::TakeAll(std::deque<Message>* out) {
  out->clear();
  Message message;
  while (Pop(&message, 1) == 1) out->push_back(message);
}
