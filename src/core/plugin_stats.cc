#include "core/plugin_stats.h"

#include "core/plugin_record.h"

void PluginStats::CountCall(uint32_t op, uint64_t start, uint64_t end, bool exclusive) {
  Entry& entry = op == kOpRead ? read : op == kOpWrite ? write : ioctl;
  const uint64_t took = end > start ? end - start : 0;
  if (exclusive) {
    entry.calls.store(entry.calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    entry.ticks.store(entry.ticks.load(std::memory_order_relaxed) + took,
                      std::memory_order_relaxed);
  } else {
    entry.calls.fetch_add(1, std::memory_order_relaxed);
    entry.ticks.fetch_add(took, std::memory_order_relaxed);
  }
  if (took <= m_longestTicks.load(std::memory_order_relaxed)) return;
  pt::lockguard guard(m_longestLock);
  if (took <= m_longest.ticks) return;
  m_longest = Longest{took, start, op};
  m_longestTicks.store(took, std::memory_order_relaxed);
}

PluginStats::Longest PluginStats::LongestCall() {
  pt::lockguard guard(m_longestLock);
  return m_longest;
}

SenderTable::SenderTable(const std::vector<PluginStats*>& plugins) {
  size_t size = 8;
  while (size < 2 * plugins.size()) size *= 2;
  m_slots.assign(size, nullptr);
  for (PluginStats* stats : plugins) {
    size_t i = Slot(stats->id);
    while (m_slots[i] != nullptr && m_slots[i]->id != stats->id) i = (i + 1) & (size - 1);
    if (m_slots[i] == nullptr) m_slots[i] = stats;
  }
}
