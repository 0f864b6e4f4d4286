// BufferRefTable: the payload buffers the Core owns, and who still holds each.
//
// A queued message's payload is the Core's own copy (malloc). From the moment the Core makes it
// (Adopt) the Core itself holds it: while it waits in the queue and while the event handler
// delivers it. Every plugin that keeps the buffer after its Write or IOCTL call holds it too,
// under its id, until it sends MSG_RELEASE. The buffer is freed exactly once, by whoever drops
// the last hold: a Drop that returns kLast has removed the buffer from the table, and its caller
// (and nobody else) must free it.
//
// A pointer that is not in the table is not the Core's: dropping a hold on it does nothing. So
// a second release, a release of a pointer into a buffer or of one never handed out, and a
// release of a buffer already freed are all harmless. The Core's own hold is not a plugin id:
// nothing but DropCoreHold ends it, so a plugin whose id is CORE_SOURCE cannot end it either.
//
// Thread safety: every operation takes the table's own lock and nothing else; no operation
// calls out while holding it.
#ifndef ZENT_ROUTING_BUFFER_REFS_H_
#define ZENT_ROUTING_BUFFER_REFS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "pt/sync.h"

class BufferRefTable {
 public:
  enum class Drop {
    kNotHeld,    // the pointer is not the Core's, or this holder held no hold on it
    kStillHeld,  // a hold was removed; others remain
    kLast,       // the last hold was removed: the caller must free the buffer now
  };

  BufferRefTable() = default;
  BufferRefTable(const BufferRefTable&) = delete;
  BufferRefTable& operator=(const BufferRefTable&) = delete;

  // Records a buffer the Core has just allocated, held by the Core. Ignores null.
  void Adopt(const void* buffer);
  // Records that holder keeps buffer (one more hold). Ignores null and pointers that are not
  // the Core's.
  void AddRef(const void* buffer, uint32_t holder);
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
  struct Holds {
    bool core = true;               // the Core's own hold: queued, then delivering
    std::vector<uint32_t> holders;  // plugin ids, one entry per hold
  };

  // REQUIRES: m_bufferRefsLock is held. Erases the entry when no hold is left.
  Drop Settle(std::map<const void*, Holds>::iterator it) PT_REQUIRES(m_bufferRefsLock);

  mutable pt::mutex m_bufferRefsLock;
  std::map<const void*, Holds> m_bufferRefs PT_GUARDED_BY(m_bufferRefsLock);
};

#endif  // ZENT_ROUTING_BUFFER_REFS_H_
