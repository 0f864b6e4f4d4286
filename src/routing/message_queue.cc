#include "routing/message_queue.h"

#include <new>

bool MessageQueue::Push(const Message& message) {
  if (m_blocks.empty() || m_tail == kBlockRecords) {
    std::unique_ptr<Block> block = std::move(m_spare);
    if (!block) block.reset(new (std::nothrow) Block);
    if (!block) return false;
    try {
      m_blocks.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (m_blocks.size() == 1) m_head = 0;
    m_tail = 0;
  }
  m_blocks.back()->records[m_tail++] = message;
  ++m_size;
  return true;
}

size_t MessageQueue::Pop(Message* out, size_t max) {
  size_t taken = 0;
  while (taken < max && m_size > 0) {
    out[taken++] = m_blocks.front()->records[m_head++];
    --m_size;
    const bool frontDone = m_head == kBlockRecords || m_size == 0;
    if (frontDone) {
      // An emptied front block becomes the spare (the last one as well: the next Push reuses
      // it).
      m_spare = std::move(m_blocks.front());
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
