// MessageQueue: the Core's first-in-first-out queue of Message records, held by value.
//
// Records live in blocks of kBlockRecords; blocks emptied at the front are kept (up to
// kSpareBlocks of them) for the next ones needed at the back, so a queue that fills and drains
// in turn (the normal case: the event handler keeps up, or a burst of a few hundred messages
// comes and goes) allocates nothing, and a long queue costs little beyond its records. Two
// queues trade their contents in a few pointer moves (Swap), so that the Core's event handler
// takes everything queued at once and gives the blocks it emptied back to the senders' side.
// Not thread-safe: the Core guards its queue with m_queueLock.
#ifndef ZENT_ROUTING_MESSAGE_QUEUE_H_
#define ZENT_ROUTING_MESSAGE_QUEUE_H_

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "plugin_api/plugin_api.h"

class MessageQueue {
 public:
  MessageQueue() { m_spares.reserve(kSpareBlocks); }
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  bool empty() const { return m_size == 0; }
  size_t size() const { return m_size; }
  // Appends a record and returns it for the caller to fill, or null (nothing appended) when no
  // block could be allocated.
  Message* Push();
  // REQUIRES: !empty(). The first record, and its removal.
  Message& Front() { return m_blocks.front()->records[m_head]; }
  void PopFront();
  // Trades the whole contents, spare blocks included, with other's; never allocates.
  void Swap(MessageQueue& other) noexcept;
  // Moves every record into out (whose earlier content is dropped), leaving this queue empty.
  void TakeAll(std::deque<Message>* out);

 private:
  static constexpr size_t kBlockRecords = 64;
  static constexpr size_t kSpareBlocks = 8;
  struct Block {
    Message records[kBlockRecords];
  };

  std::deque<std::unique_ptr<Block>> m_blocks;
  std::vector<std::unique_ptr<Block>> m_spares;
  size_t m_head = 0;  // index of the first record in the front block
  size_t m_tail = 0;  // index after the last record in the back block
  size_t m_size = 0;
};

#endif  // ZENT_ROUTING_MESSAGE_QUEUE_H_
