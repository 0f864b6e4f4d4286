// PluginStats: what the Core counts of one plugin while the messages pass, readable at any time
// without stopping anything; and SenderTable, which finds a plugin's counters by its id.
//
// The counters are relaxed atomics. Those written by one thread only (the Write and IOCTL
// deliveries, by the event handler) are counted with a load and a store, without a locked
// instruction; those written by several (Read calls, what a plugin sends from its threads) with
// an atomic add. A reader sees each counter whole, not all of them at one instant.
//
// Times are pt::ticks; the Core converts them (TickClock).
//
// Lifetime: a plugin's counters are made when it is loaded and live as long as the Core, so that
// a thread the plugin left running that still calls back finds them.
#ifndef ZENT_CORE_PLUGIN_STATS_H_
#define ZENT_CORE_PLUGIN_STATS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pt/sync.h"

struct PluginStats {
  PluginStats() = default;
  PluginStats(const PluginStats&) = delete;
  PluginStats& operator=(const PluginStats&) = delete;

  // The plugin's id: set once its Load has filled it in, before the counters can be found by it.
  uint32_t id = 0;

  struct Entry {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> ticks{0};  // inside the calls that have returned
  };
  Entry read, write, ioctl;  // by entry point (op kOpRead, kOpWrite, kOpIoctl)

  // The Write or IOCTL call the event handler is inside now, in one word, so that it is set and
  // cleared with one store each: when it began (pt::ticks, the lowest bit dropped) and, in the
  // lowest bit, whether it is an IOCTL call. 0: none.
  std::atomic<uint64_t> running{0};
  static uint64_t Running(uint64_t start, bool ioctl) { return (start | 1) - !ioctl; }
  static uint64_t RunningSince(uint64_t running) { return running & ~uint64_t{1}; }
  static bool RunningIsIoctl(uint64_t running) { return (running & 1) != 0; }

  // Queued messages the plugin sent, by answer; broadcasts it sent from inside its calls;
  // releases that named no buffer it held.
  std::atomic<uint64_t> sentQueued{0}, sentRefused{0}, sentNoMemory{0};
  std::atomic<uint64_t> broadcasts{0}, badReleases{0};

  // Counts one call of op (kOpRead, kOpWrite or kOpIoctl) that ran from start to end. exclusive:
  // the calling thread is the only one that counts calls of op (the event handler's). Inline:
  // the event handler counts every call it makes.
  void CountCall(Entry& entry, uint32_t op, uint64_t start, uint64_t end, bool exclusive) {
    const uint64_t took = end > start ? end - start : 0;
    if (exclusive) {
      entry.calls.store(entry.calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      entry.ticks.store(entry.ticks.load(std::memory_order_relaxed) + took,
                        std::memory_order_relaxed);
    } else {
      entry.calls.fetch_add(1, std::memory_order_relaxed);
      entry.ticks.fetch_add(took, std::memory_order_relaxed);
    }
    if (took > m_longestTicks.load(std::memory_order_relaxed)) NoteLongest(op, start, took);
  }

  struct Longest {
    uint64_t ticks = 0;  // how long it ran
    uint64_t start = 0;  // when it began
    uint32_t op = 0;
  };
  Longest LongestCall();

 private:
  void NoteLongest(uint32_t op, uint64_t start, uint64_t took);

  std::atomic<uint64_t> m_longestTicks{0};  // a copy of m_longest.ticks, looked at first
  pt::mutex m_longestLock;
  Longest m_longest PT_GUARDED_BY(m_longestLock);
};

// The plugin whose entry point the calling thread is inside (a call the Core made and times),
// or null: broadcasts sent from inside a call are counted for that plugin.
inline thread_local PluginStats* t_callingPlugin = nullptr;

// For a scope: the calling thread is inside a call into the plugin of stats.
class CallingPlugin {
 public:
  explicit CallingPlugin(PluginStats* stats) : m_outer(t_callingPlugin) { t_callingPlugin = stats; }
  ~CallingPlugin() { t_callingPlugin = m_outer; }
  CallingPlugin(const CallingPlugin&) = delete;
  CallingPlugin& operator=(const CallingPlugin&) = delete;

 private:
  PluginStats* const m_outer;
};

// The counters of the plugins by id, for the senders of queued messages (whose source is their
// id). Immutable once made: the Core publishes a new table when a plugin is loaded.
class SenderTable {
 public:
  explicit SenderTable(const std::vector<PluginStats*>& plugins);
  // The counters of the plugin with id, or null. With several plugins of one id, the first.
  PluginStats* Find(uint32_t id) const {
    if (m_slots.empty()) return nullptr;
    for (size_t i = Slot(id);; i = (i + 1) & (m_slots.size() - 1)) {
      PluginStats* stats = m_slots[i];
      if (stats == nullptr || stats->id == id) return stats;
    }
  }

 private:
  size_t Slot(uint32_t id) const {
    return static_cast<size_t>((id * 0x9E3779B1u) >> 8) & (m_slots.size() - 1);
  }
  std::vector<PluginStats*> m_slots;  // open addressing, a power of two, at most half full
};

#endif  // ZENT_CORE_PLUGIN_STATS_H_
