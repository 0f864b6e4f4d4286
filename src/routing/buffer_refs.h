// BufferRefTable: the payload buffers the Core delivers, and who still holds each.
//
// A queued message's payload is the Core's own copy (malloc). When the event handler calls the
// first plugin with it, it records the buffer here (Pass), held by the Core itself for the
// whole delivery. Every plugin that is called with the buffer holds it too, under its id, from
// just before its call until its call returns, or, when it keeps the buffer, until it sends
// MSG_RELEASE. The buffer is freed exactly once, by whoever drops the last hold: a Drop that
// returns kLast has removed the buffer from the table, and its caller (and nobody else) must
// free it. While a message waits in the queue its buffer is not in the table: nobody but the
// Core knows its address yet.
//
// A pointer that is not in the table is not the Core's (or not yet delivered): dropping a hold
// on it does nothing. So a release of a pointer into a buffer or of one never handed out, and a
// release of a buffer already freed whose address was not handed out again, change nothing.
// Buffers are named by address only, though: a second release of a buffer whose address now
// belongs to a newer buffer that the same plugin holds drops that hold. The Core's own hold is
// not a plugin id: nothing but EndDelivery ends it, so a plugin whose id is CORE_SOURCE cannot
// end it either.
//
// Storage: the buffer being delivered has an entry of its own; a buffer that plugins keep after
// its delivery moves into an open-addressing hash table keyed by its address. Holders are
// stored in the entry itself (a few of them; more only when a buffer has many holders at once).
// So recording and dropping a hold allocates nothing, a delivery that nobody keeps touches no
// hash table at all, and finding a buffer's holders walks no tree. The table grows as buffers
// are kept and shrinks again when they are given back; it always has room for the buffer being
// delivered, so that moving it there at the end of its delivery cannot fail.
//
// Thread safety: every operation takes the table's own lock and nothing else; no operation
// calls out while holding it.
#ifndef ZENT_ROUTING_BUFFER_REFS_H_
#define ZENT_ROUTING_BUFFER_REFS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "plugin_api/plugin_api.h"

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

  // One step of a delivery, under one lock (buffer not null): with adopt, records buffer (the
  // payload of the message about, whose length, channel and code it keeps for diagnostics) as
  // the buffer being delivered, held by the Core (only one is delivered at a time); then, if
  // previous is given, drops one hold of *previous (the plugin called before, done with the
  // buffer; never the last hold, since the Core holds it); then records that next holds it.
  // kNotAdopted when the buffer could not be adopted (nothing changed); kNotHeld when next's hold
  // could not be stored (the rest is done).
  enum class Step { kHeld, kNotHeld, kNotAdopted };
  Step Pass(const void* buffer, bool adopt, const uint32_t* previous, uint32_t next,
            const Message* about = nullptr);
  // The end of a delivery (buffer not null): drops one hold of *previous if given, then the
  // Core's own hold, under one lock.
  Drop EndDelivery(const void* buffer, const uint32_t* previous);
  // Removes one hold of holder on buffer.
  Drop DropRef(const void* buffer, uint32_t holder);

  // Whether buffer is the Core's, and how many plugin holds it has (for tests and checks).
  bool Owns(const void* buffer) const;
  size_t PluginHolds(const void* buffer) const;
  size_t size() const;

  // A buffer that plugins hold (kept after its delivery, or being delivered), for diagnostics.
  struct Held {
    const void* buffer = nullptr;
    uint32_t length = 0, channel = 0, code = 0;  // of its message
    uint64_t keptSince = 0;         // pt::ticks when its delivery ended; 0 while it is delivered
    std::vector<uint32_t> holders;  // a holder that holds it twice is named twice
  };
  // Every buffer kept after its delivery.
  std::vector<Held> Kept() const;
  // buffer as it stands; false when the table does not hold it (still queued, or not the
  // Core's).
  bool Look(const void* buffer, Held* held) const;

  // Empties the table and returns every buffer that was in it; the caller frees them. Used when
  // the Core is destroyed, after every plugin is unloaded and no holder can use them any more.
  std::vector<void*> TakeAll();

 private:
  static constexpr int kInlineHolders = 3;
  struct Entry {
    const void* buffer = nullptr;  // null: the slot is free
    bool core = false;             // the Core's own hold
    uint8_t inlineCount = 0;       // holders in inlineHolders
    uint32_t length = 0;           // the payload's bytes
    uint32_t channel = 0;          // its message's channel and code
    uint32_t code = 0;
    uint64_t keptSince = 0;  // pt::ticks when its delivery ended with holders left
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
  static bool AddHolder(Entry* entry, uint32_t holder);
  static bool RemoveHolder(Entry* entry, uint32_t holder);
  size_t SlotOf(const void* buffer) const PT_REQUIRES(m_bufferRefsLock);

  mutable pt::mutex m_bufferRefsLock;
  // The buffer being delivered: every delivery passes through here, and only a buffer that a
  // plugin keeps after its delivery moves into the hash table.
  Entry m_delivering PT_GUARDED_BY(m_bufferRefsLock);
  std::unique_ptr<Entry[]> m_slots PT_GUARDED_BY(m_bufferRefsLock);
  size_t m_capacity PT_GUARDED_BY(m_bufferRefsLock) = 0;  // a power of 2
  size_t m_size PT_GUARDED_BY(m_bufferRefsLock) = 0;      // entries in m_slots
};

#endif  // ZENT_ROUTING_BUFFER_REFS_H_
