#include "routing/buffer_refs.h"

#include <algorithm>
#include <new>

#include "core/payload.h"
#include "pt/ticks.h"

namespace {

// Enough for the buffers of a few deliveries at a time; the table never shrinks below it.
constexpr size_t kMinCapacity = 64;

}  // namespace

BufferRefTable::BufferRefTable() {
  pt::lockguard guard(m_bufferRefsLock);
  Rehash(kMinCapacity);
}

BufferRefTable::~BufferRefTable() {
  pt::lockguard guard(m_bufferRefsLock);
  delete m_delivering.more;
  for (size_t i = 0; i < m_capacity; ++i) delete m_slots[i].more;
}

size_t BufferRefTable::SlotOf(const void* buffer) const {
  // Payload addresses are 16-byte aligned: mix the bits above those into the index.
  uint64_t key = reinterpret_cast<uintptr_t>(buffer) >> 4;
  key *= 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(key >> 32) & (m_capacity - 1);
}

BufferRefTable::Entry* BufferRefTable::Find(const void* buffer) const {
  if (m_delivering.buffer == buffer) return const_cast<Entry*>(&m_delivering);
  for (size_t i = SlotOf(buffer);; i = (i + 1) & (m_capacity - 1)) {
    Entry& entry = m_slots[i];
    if (entry.buffer == buffer) return &entry;
    if (entry.buffer == nullptr) return nullptr;
  }
}

bool BufferRefTable::Rehash(size_t capacity) {
  std::unique_ptr<Entry[]> slots(new (std::nothrow) Entry[capacity]);
  if (!slots) return false;
  std::swap(slots, m_slots);
  const size_t old = m_capacity;
  m_capacity = capacity;
  for (size_t i = 0; i < old; ++i) {
    if (slots[i].buffer == nullptr) continue;
    size_t at = SlotOf(slots[i].buffer);
    while (m_slots[at].buffer != nullptr) at = (at + 1) & (m_capacity - 1);
    m_slots[at] = slots[i];
  }
  return true;
}

void BufferRefTable::Erase(Entry* entry) {
  delete entry->more;
  if (entry == &m_delivering) {
    m_delivering = Entry{};
    return;
  }
  // Linear probing: the entries after the gap that would no longer be found are moved into it.
  size_t gap = static_cast<size_t>(entry - m_slots.get());
  for (size_t i = (gap + 1) & (m_capacity - 1); m_slots[i].buffer != nullptr;
       i = (i + 1) & (m_capacity - 1)) {
    const size_t home = SlotOf(m_slots[i].buffer);
    // Moves when its home is not in the cyclic range (gap, i].
    const bool inRange = gap < i ? (home > gap && home <= i) : (home > gap || home <= i);
    if (!inRange) {
      m_slots[gap] = m_slots[i];
      gap = i;
    }
  }
  m_slots[gap] = Entry{};
  --m_size;
  if (m_capacity > kMinCapacity && m_size * 8 < m_capacity) Rehash(m_capacity / 2);
}

bool BufferRefTable::AddHolder(Entry* entry, uint32_t holder) {
  if (entry->inlineCount < kInlineHolders) {
    entry->inlineHolders[entry->inlineCount++] = holder;
    return true;
  }
  if (!AllocationAllowed(AllocationSite::kHoldRecord)) return false;
  if (entry->more == nullptr) {
    entry->more = new (std::nothrow) std::vector<uint32_t>;
    if (entry->more == nullptr) return false;
  }
  try {
    entry->more->push_back(holder);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool BufferRefTable::RemoveHolder(Entry* entry, uint32_t holder) {
  uint32_t* inlineEnd = entry->inlineHolders + entry->inlineCount;
  uint32_t* hold = std::find(entry->inlineHolders, inlineEnd, holder);
  if (hold != inlineEnd) {
    *hold = *(inlineEnd - 1);
    --entry->inlineCount;
    return true;
  }
  if (entry->more == nullptr) return false;
  auto it = std::find(entry->more->begin(), entry->more->end(), holder);
  if (it == entry->more->end()) return false;
  *it = entry->more->back();
  entry->more->pop_back();
  return true;
}

BufferRefTable::Step BufferRefTable::Pass(const void* buffer, bool adopt, const uint32_t* previous,
                                          uint32_t next, const Message* about) {
  pt::lockguard guard(m_bufferRefsLock);
  Entry* entry;
  if (adopt) {
    // Room in the hash table now for the moment a plugin keeps this buffer.
    if (m_delivering.buffer != nullptr) return Step::kNotAdopted;
    if ((m_size + 1) * 2 > m_capacity &&
        (!AllocationAllowed(AllocationSite::kHoldRecord) || !Rehash(m_capacity * 2))) {
      return Step::kNotAdopted;
    }
    entry = &m_delivering;
    entry->buffer = buffer;
    entry->core = true;
    if (about != nullptr) {
      entry->length = about->length;
      entry->channel = about->channel;
      entry->code = about->code;
    }
  } else {
    entry = Find(buffer);
    if (entry == nullptr) return Step::kNotAdopted;
  }
  if (previous != nullptr) RemoveHolder(entry, *previous);
  return AddHolder(entry, next) ? Step::kHeld : Step::kNotHeld;
}

BufferRefTable::Drop BufferRefTable::EndDelivery(const void* buffer, const uint32_t* previous) {
  pt::lockguard guard(m_bufferRefsLock);
  Entry* entry = Find(buffer);
  if (entry == nullptr || !entry->core) return Drop::kNotHeld;
  if (previous != nullptr) RemoveHolder(entry, *previous);
  entry->core = false;
  if (entry != &m_delivering || entry->Holders() == 0) return Settle(entry);
  // Plugins keep it: into the hash table, which has room for it (see Pass).
  size_t at = SlotOf(buffer);
  while (m_slots[at].buffer != nullptr) at = (at + 1) & (m_capacity - 1);
  m_slots[at] = m_delivering;
  m_slots[at].keptSince = pt::ticks();
  ++m_size;
  m_delivering = Entry{};
  return Drop::kStillHeld;
}

BufferRefTable::Drop BufferRefTable::DropRef(const void* buffer, uint32_t holder) {
  if (buffer == nullptr) return Drop::kNotHeld;
  pt::lockguard guard(m_bufferRefsLock);
  Entry* entry = Find(buffer);
  if (entry == nullptr || !RemoveHolder(entry, holder)) return Drop::kNotHeld;
  return Settle(entry);
}

BufferRefTable::Drop BufferRefTable::Settle(Entry* entry) {
  if (entry->core || entry->Holders() != 0) return Drop::kStillHeld;
  Erase(entry);
  return Drop::kLast;
}

bool BufferRefTable::Owns(const void* buffer) const {
  if (buffer == nullptr) return false;
  pt::lockguard guard(m_bufferRefsLock);
  return Find(buffer) != nullptr;
}

size_t BufferRefTable::PluginHolds(const void* buffer) const {
  if (buffer == nullptr) return 0;
  pt::lockguard guard(m_bufferRefsLock);
  const Entry* entry = Find(buffer);
  return entry == nullptr ? 0 : entry->Holders();
}

size_t BufferRefTable::size() const {
  pt::lockguard guard(m_bufferRefsLock);
  return m_size + (m_delivering.buffer != nullptr ? 1 : 0);
}

std::vector<void*> BufferRefTable::TakeAll() {
  pt::lockguard guard(m_bufferRefsLock);
  std::vector<void*> buffers;
  buffers.reserve(m_size + 1);
  if (m_delivering.buffer != nullptr) {
    buffers.push_back(const_cast<void*>(m_delivering.buffer));
    delete m_delivering.more;
    m_delivering = Entry{};
  }
  for (size_t i = 0; i < m_capacity; ++i) {
    Entry& entry = m_slots[i];
    if (entry.buffer == nullptr) continue;
    buffers.push_back(const_cast<void*>(entry.buffer));
    delete entry.more;
    entry = Entry{};
  }
  m_size = 0;
  return buffers;
}

namespace {

BufferRefTable::Held Describe(const void* buffer, uint32_t length, uint32_t channel, uint32_t code,
                              uint64_t keptSince, const uint32_t* holders, size_t count,
                              const std::vector<uint32_t>* more) {
  BufferRefTable::Held held;
  held.buffer = buffer;
  held.length = length;
  held.channel = channel;
  held.code = code;
  held.keptSince = keptSince;
  held.holders.assign(holders, holders + count);
  if (more != nullptr) held.holders.insert(held.holders.end(), more->begin(), more->end());
  return held;
}

}  // namespace

std::vector<BufferRefTable::Held> BufferRefTable::Kept() const {
  std::vector<Held> kept;
  pt::lockguard guard(m_bufferRefsLock);
  kept.reserve(m_size);
  for (size_t i = 0; i < m_capacity; ++i) {
    const Entry& e = m_slots[i];
    if (e.buffer == nullptr) continue;
    kept.push_back(Describe(e.buffer, e.length, e.channel, e.code, e.keptSince, e.inlineHolders,
                            e.inlineCount, e.more));
  }
  return kept;
}

bool BufferRefTable::Look(const void* buffer, Held* held) const {
  if (buffer == nullptr) return false;
  pt::lockguard guard(m_bufferRefsLock);
  const Entry* e = Find(buffer);
  if (e == nullptr) return false;
  *held = Describe(e->buffer, e->length, e->channel, e->code, e->keptSince, e->inlineHolders,
                   e->inlineCount, e->more);
  return true;
}
