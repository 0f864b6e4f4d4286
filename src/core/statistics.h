// The Core's counters as one snapshot (Core::Statistics), the statistics document made of it,
// and the clock that turns the counters' ticks into seconds.
//
// The snapshot is taken without stopping anything: each counter is read whole, but the
// counters are not read at one instant, so two that move together may disagree by a message.
#ifndef ZENT_CORE_STATISTICS_H_
#define ZENT_CORE_STATISTICS_H_

#include <cstdint>
#include <string>
#include <vector>

// Turns pt::ticks into seconds: the rate is measured against the steady clock from the moment
// the clock was started, so it is exact to the extent that that moment lies well back.
class TickClock {
 public:
  TickClock();
  // Starts measuring now (the Core starts it at its own start).
  void Restart();
  double SecondsOf(uint64_t ticks) const;
  // The calendar time (seconds since 1970) of the moment a reading of pt::ticks was taken.
  double CalendarOf(uint64_t ticks) const;
  // The calendar time of the start, and the seconds since (on the steady clock).
  double Started() const { return m_startCalendar; }
  double Elapsed() const;

 private:
  double TicksPerSecond() const;

  uint64_t m_startTicks = 0;
  int64_t m_startNs = 0;  // steady clock
  double m_startCalendar = 0;
};

struct PluginStatistics {
  uint32_t id = 0;
  std::string file;
  int32_t openCode = 0;
  int64_t loadMs = 0, openMs = 0;
  uint64_t reads = 0, writes = 0, ioctls = 0;
  double readSeconds = 0, writeSeconds = 0, ioctlSeconds = 0;
  double longestSeconds = 0;
  std::string longestEntry;  // "Read", "Write", "IOCTL" or empty
  double longestAt = 0;      // calendar time it began; 0 for none
  std::string running;       // "Write" or "IOCTL" the event handler is inside now, or empty
  double runningSeconds = 0;
  int inFlight = 0, inFlightMax = 0;
  long skippedClosed = 0, skippedNoThread = 0, skippedBound = 0;
  uint64_t sentQueued = 0, sentRefused = 0, sentNoMemory = 0, broadcasts = 0;
  uint64_t buffersHeld = 0, bytesHeld = 0;
  double oldestHeldSeconds = 0;
  uint64_t badReleases = 0;
};

struct ChannelStatistics {
  uint32_t number = 0;
  bool open = false;
  int waiting = 0;
  double heldSeconds = 0;  // 0: free
  uint64_t passed = 0;
};

struct CoreStatistics {
  double time = 0, started = 0, uptime = 0;  // calendar seconds, seconds
  uint64_t rss = 0;                          // bytes
  int threads = 0;
  uint64_t clockJumps = 0, warnings = 0, errors = 0;
  uint64_t queued = 0, delivered = 0;
  uint64_t depth = 0, depthBytes = 0, depthMax = 0, depthBytesMax = 0;
  uint64_t broadcasts = 0, callThreads = 0;
  uint64_t refusedChannel = 0, refusedNoMemory = 0, refusedBound = 0, refusedStopping = 0;
  std::vector<PluginStatistics> plugins;
  std::vector<ChannelStatistics> channels;
};

// The statistics document of snapshot (the text a plugin receives), numbered sequence, for an
// interval of intervalSeconds.
std::string StatisticsDocument(const CoreStatistics& snapshot, uint64_t sequence,
                               int intervalSeconds);

// The process's resident memory in bytes and its threads, as the kernel counts them now (0
// when it cannot be read).
uint64_t ResidentBytes();
int ThreadCount();

#endif  // ZENT_CORE_STATISTICS_H_
