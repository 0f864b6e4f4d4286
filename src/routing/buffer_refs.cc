#include "routing/buffer_refs.h"

#include <algorithm>

void BufferRefTable::Adopt(const void* buffer) {
  if (buffer == nullptr) return;
  pt::lockguard guard(m_bufferRefsLock);
  m_bufferRefs[buffer] = Holds{};
}

void BufferRefTable::AddRef(const void* buffer, uint32_t holder) {
  if (buffer == nullptr) return;
  pt::lockguard guard(m_bufferRefsLock);
  auto it = m_bufferRefs.find(buffer);
  if (it != m_bufferRefs.end()) it->second.holders.push_back(holder);
}

BufferRefTable::Drop BufferRefTable::DropRef(const void* buffer, uint32_t holder) {
  if (buffer == nullptr) return Drop::kNotHeld;
  pt::lockguard guard(m_bufferRefsLock);
  auto it = m_bufferRefs.find(buffer);
  if (it == m_bufferRefs.end()) return Drop::kNotHeld;
  std::vector<uint32_t>& holders = it->second.holders;
  auto hold = std::find(holders.begin(), holders.end(), holder);
  if (hold == holders.end()) return Drop::kNotHeld;
  holders.erase(hold);
  return Settle(it);
}

BufferRefTable::Drop BufferRefTable::DropCoreHold(const void* buffer) {
  if (buffer == nullptr) return Drop::kNotHeld;
  pt::lockguard guard(m_bufferRefsLock);
  auto it = m_bufferRefs.find(buffer);
  if (it == m_bufferRefs.end() || !it->second.core) return Drop::kNotHeld;
  it->second.core = false;
  return Settle(it);
}

BufferRefTable::Drop BufferRefTable::Settle(std::map<const void*, Holds>::iterator it) {
  if (it->second.core || !it->second.holders.empty()) return Drop::kStillHeld;
  m_bufferRefs.erase(it);
  return Drop::kLast;
}

bool BufferRefTable::Owns(const void* buffer) const {
  pt::lockguard guard(m_bufferRefsLock);
  return m_bufferRefs.count(buffer) != 0;
}

size_t BufferRefTable::PluginHolds(const void* buffer) const {
  pt::lockguard guard(m_bufferRefsLock);
  auto it = m_bufferRefs.find(buffer);
  return it == m_bufferRefs.end() ? 0 : it->second.holders.size();
}

size_t BufferRefTable::size() const {
  pt::lockguard guard(m_bufferRefsLock);
  return m_bufferRefs.size();
}

std::vector<void*> BufferRefTable::TakeAll() {
  pt::lockguard guard(m_bufferRefsLock);
  std::vector<void*> buffers;
  buffers.reserve(m_bufferRefs.size());
  for (const auto& entry : m_bufferRefs) buffers.push_back(const_cast<void*>(entry.first));
  m_bufferRefs.clear();
  return buffers;
}
