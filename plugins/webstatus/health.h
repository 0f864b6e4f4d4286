// health.h: what looks stuck, in words for the page and as flags for the metrics.
//
//   a plugin    the event handler has been inside its Write or IOCTL for over 5 s (every queued
//               delivery waits meanwhile); it has kept a buffer for over a minute
//   a channel   its gate has been held for over 5 s
//   the server  no statistics document for two intervals and two seconds: the event handler,
//               which delivers them, is held up (a slow Write or IOCTL, or a long queue)
//
// Thread safety: the functions keep no state.
#ifndef ZENT_PLUGINS_WEBSTATUS_HEALTH_H_
#define ZENT_PLUGINS_WEBSTATUS_HEALTH_H_

#include <stdint.h>
#include <string>
#include <vector>

#include "documents.h"

namespace webstatus {

constexpr uint64_t kStuckCallUs = 5000000;
constexpr uint64_t kHeldGateMs = 5000;
constexpr uint64_t kKeptBufferMs = 60000;

// What looks stuck about one plugin; empty when nothing does.
std::vector<std::string> PluginMarks(const PluginStats& plugin);
// What looks stuck about one channel; empty when nothing does.
std::vector<std::string> ChannelMarks(const ChannelStats& channel);

// Whether the statistics are late: the last came sinceReceived seconds ago and one comes every
// interval seconds.
bool StatisticsLate(double interval, double sinceReceived);

// Notices about the server as a whole, for the top of the page: stats is the last statistics
// document (null when none came), sinceReceived how long ago it came.
std::vector<std::string> Notices(const Statistics* stats, double sinceReceived);

// A duration for people: "850 ms", "6.2 s", "75 s", "12 min", "3.5 h".
std::string Duration(double seconds);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_HEALTH_H_
