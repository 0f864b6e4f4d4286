// BufferRefTable: the payload buffers the Core delivers, and who still holds each.
//
// A queued message's payload is the Core's own copy (malloc). When the event handler takes the
// message from the queue it records the buffer here (Adopt), held by the Core itself for the
// whole delivery. Every plugin that is called with the buffer holds it too, under its id, from
// just before its call until its call returns, or, when it keeps the buffer, until it sends
// MSG_RELEASE. The buffer is freed exactly once, by whoever drops the last hold: a Drop that
// returns kLast has removed the buffer from the table, and its caller (and nobody else) must
// free it. While a message waits in the queue its buffer is not in the table: nobody but the
// Core knows its address yet.
//
// A pointer that is not in the table is not the Core's (or not yet delivered): dropping a hold
// on it does nothing. So a second release, a release of a pointer into a buffer or of one never
// handed out, and a release of a buffer already freed are all harmless. The Core's own hold is
// not a plugin id: nothing but DropCoreHold ends it, so a plugin whose id is CORE_SOURCE cannot
// end it either.
//
// Storage: an open-addressing hash table keyed by the buffer's address, with the holders of an
// entry stored in the entry itself (a few of them; more only when a buffer has many holders at
// once). So recording and dropping a hold allocates nothing, and finding a buffer's holders
// walks no tree. The table grows as buffers are kept and shrinks again when they are given back.
//
// Thread safety: every operation takes the table's own lock and nothing else; no operation
// calls out while holding it.
#ifndef ZENT_ROUTING_BUFFER_REFS_H_
#define ZENT_ROUTING_BUFFER_REFS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pt/sync.h"

class BufferRefTable {
 public:
  enum class Drop {
    kNotHeld,    // the pointer is not the Core's, or this holder held no hold on it
    kStillHeld,  // a hold was removed; others remain
    kLast,       // the last hold was removed: the caller must free the buffer now
  };

  BufferRefTable();
  ~BufferRefTable();
  BufferRefTable(const BufferRefTable&) = delete;
  BufferRefTable& operator=(const BufferRefTable&) = delete;

  // Records a buffer of the Core's that is about to be delivered, held by the Core. Ignores
  // null. False only when the table could not grow for it (then nothing is recorded).
  bool Adopt(const void* buffer);
  // One step of a delivery, under one lock (buffer not null): with adopt, Adopt(buffer) first;
  // then, if previous is given, DropRef(buffer, *previous) (the plugin called before, done with
  // the buffer; never the last hold, since the Core holds it); then AddRef(buffer, next). False
  // when the buffer could not be adopted (nothing changed) or next's hold could not be stored
  // (previous's hold is dropped all the same).
  bool Pass(const void* buffer, bool adopt, const uint32_t* previous, uint32_t next);
  // The end of a delivery (buffer not null): DropRef(buffer, *previous) if previous is given,
  // then DropCoreHold(buffer), under one lock.
  Drop EndDelivery(const void* buffer, const uint32_t* previous);
  // Records that holder holds buffer (one more hold). Ignores null and pointers that are not
  // the Core's. False only when the hold could not be stored.
  bool AddRef(const void* buffer, uint32_t holder);
  // Removes one hold of holder on buffer.
  Drop DropRef(const void* buffer, uint32_t holder);
  // Ends the Core's own hold on buffer.
  Drop DropCoreHold(const void* buffer);

  // Whether buffer is the Core's, and how many plugin holds it has (for tests and checks).
  bool Owns(const void* buffer) const;
  size_t PluginHolds(const void* buffer) const;
  size_t size() const;

  // Empties the table and returns every buffer that was in it; the caller frees them. Used when
  // the Core is destroyed, after every plugin is unloaded and no holder can use them any more.
  std::vector<void*> TakeAll();

 private:
  static constexpr int kInlineHolders = 3;
  struct Entry {
    const void* buffer = nullptr;  // null: the slot is free
    bool core = false;             // the Core's own hold
    uint8_t inlineCount = 0;       // holders in inlineHolders
    uint32_t inlineHolders[kInlineHolders] = {};
    std::vector<uint32_t>* more = nullptr;  // further holders, when there are many; owned
    size_t Holders() const { return inlineCount + (more != nullptr ? more->size() : 0); }
  };

  // REQUIRES: m_bufferRefsLock is held. The slot of buffer, or null.
  Entry* Find(const void* buffer) const PT_REQUIRES(m_bufferRefsLock);
  // REQUIRES: m_bufferRefsLock is held. Removes the entry and closes the gap it leaves.
  void Erase(Entry* entry) PT_REQUIRES(m_bufferRefsLock);
  // REQUIRES: m_bufferRefsLock is held. Rebuilds the table with capacity slots (a power of 2).
  bool Rehash(size_t capacity) PT_REQUIRES(m_bufferRefsLock);
  // REQUIRES: m_bufferRefsLock is held. Erases the entry when no hold is left.
  Drop Settle(Entry* entry) PT_REQUIRES(m_bufferRefsLock);
  // REQUIRES: m_bufferRefsLock is held. The parts of the operations above.
  Entry* Insert(const void* buffer) PT_REQUIRES(m_bufferRefsLock);
  bool AddHolder(Entry* entry, uint32_t holder) PT_REQUIRES(m_bufferRefsLock);
  bool RemoveHolder(Entry* entry, uint32_t holder) PT_REQUIRES(m_bufferRefsLock);
  size_t SlotOf(const void* buffer) const PT_REQUIRES(m_bufferRefsLock);

  mutable pt::mutex m_bufferRefsLock;
  std::unique_ptr<Entry[]> m_slots PT_GUARDED_BY(m_bufferRefsLock);
  size_t m_capacity PT_GUARDED_BY(m_bufferRefsLock) = 0;  // a power of 2
  size_t m_size PT_GUARDED_BY(m_bufferRefsLock) = 0;
};

#endif  // ZENT_ROUTING_BUFFER_REFS_H_
