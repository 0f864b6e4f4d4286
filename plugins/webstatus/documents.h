// documents.h: the server's statistics and status documents, read into plain values.
//
// The statistics document comes every few seconds by Write (code ZENT_CODE_STATISTICS from
// CORE_SOURCE); the status document once after every plugin was opened, by IOCTL command 2.
// docs/plugins.md describes both. The parsers are strict about what they read (a number that
// does not parse, or an element out of place, rejects the document) and tolerant of what a later
// form adds (unknown attributes and elements are passed over; a missing attribute reads 0).
//
// Thread safety: the parsers keep no state; the values are plain data.
#ifndef ZENT_PLUGINS_WEBSTATUS_DOCUMENTS_H_
#define ZENT_PLUGINS_WEBSTATUS_DOCUMENTS_H_

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace webstatus {

struct ProcessStats {
  uint64_t rss = 0, threads = 0, clockJumps = 0, warnings = 0, errors = 0;
};

struct RoutingStats {
  uint64_t queued = 0, delivered = 0;
  uint64_t depth = 0, depthBytes = 0, depthMax = 0, depthBytesMax = 0;
  uint64_t broadcasts = 0, callThreads = 0;
  uint64_t refusedChannel = 0, refusedNoMemory = 0, refusedBound = 0, refusedStopping = 0;
};

struct PluginStats {
  uint32_t id = 0;
  std::string file;
  int64_t openCode = 0;
  uint64_t loadMs = 0, openMs = 0;
  // Calls
  uint64_t reads = 0, writes = 0, ioctls = 0;
  uint64_t readUs = 0, writeUs = 0, ioctlUs = 0;
  uint64_t longestUs = 0;
  std::string longestEntry;  // "Read", "Write", "IOCTL", ...; empty: none yet
  double longestAt = 0;      // seconds since 1970; 0: none yet
  std::string running;       // the Write or IOCTL the event handler is inside now; empty: none
  uint64_t runningUs = 0;
  uint64_t inFlight = 0, inFlightMax = 0;
  uint64_t skippedClosed = 0, skippedNoThread = 0, skippedBound = 0;
  // Sent
  uint64_t sentQueued = 0, sentRefused = 0, sentNoMemory = 0, sentBroadcasts = 0;
  // Buffers
  uint64_t held = 0, heldBytes = 0, oldestMs = 0, badReleases = 0;

  uint64_t Calls() const { return reads + writes + ioctls; }
};

struct ChannelStats {
  uint32_t number = 0;
  bool open = false;
  uint64_t waiting = 0, heldMs = 0, passed = 0;
};

struct Statistics {
  uint64_t version = 0, sequence = 0;
  double time = 0, started = 0, uptime = 0, interval = 0;  // seconds
  ProcessStats process;
  RoutingStats routing;
  std::vector<PluginStats> plugins;
  std::vector<ChannelStats> channels;
};

// One entry of the status document's module: the server itself or a plugin.
struct StatusEntry {
  uint32_t id = 0;
  std::string file;
  int64_t openCode = 0;
  bool hasTimes = false;  // LoadTime and OpenTime are given (plugins only)
  int64_t loadMs = 0, openMs = 0;
};

struct StatusDocument {
  std::string version;  // the server's, as its module names it
  std::vector<StatusEntry> entries;
};

// Reads a statistics document (length bytes at text, no terminating zero needed). On a fault
// returns false with the reason in *error.
bool ParseStatistics(const char* text, size_t length, Statistics* out, std::string* error);

// Reads a status document; false with the reason for anything else (an IOCTL command 2 may carry
// any plugin's MSG_TO_OTHERS message).
bool ParseStatusDocument(const char* text, size_t length, StatusDocument* out, std::string* error);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_DOCUMENTS_H_
