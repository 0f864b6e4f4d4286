#include "core/plugin_stats.h"

void PluginStats::NoteLongest(uint32_t op, uint64_t start, uint64_t took) {
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
