#include "routing/message_queue.h"

#include <new>
#include <utility>

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

void MessageQueue::PopFront() {
  ++m_head;
  --m_size;
  if (m_head == kBlockRecords || m_size == 0) {
    // An emptied front block becomes a spare (the last one as well: the next Push reuses it).
    // (Room for the spares is reserved, so keeping one never allocates.)
    if (m_spares.size() < kSpareBlocks) m_spares.push_back(std::move(m_blocks.front()));
    m_blocks.pop_front();
    m_head = 0;
    m_tail = m_blocks.empty() ? 0 : m_tail;
  }
}

void MessageQueue::Swap(MessageQueue& other) noexcept {
  m_blocks.swap(other.m_blocks);
  m_spares.swap(other.m_spares);
  std::swap(m_head, other.m_head);
  std::swap(m_tail, other.m_tail);
  std::swap(m_size, other.m_size);
}

void MessageQueue::TakeAll(std::deque<Message>* out) {
  out->clear();
  while (!empty()) {
    out->push_back(Front());
    PopFront();
  }
}
