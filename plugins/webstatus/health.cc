#include "health.h"

#include <stdio.h>

namespace webstatus {

std::string Duration(double seconds) {
  char text[32];
  if (seconds < 1) {
    snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
  } else if (seconds < 10) {
    snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 600) {
    snprintf(text, sizeof text, "%.0f s", seconds);
  } else if (seconds < 3 * 3600) {
    snprintf(text, sizeof text, "%.0f min", seconds / 60);
  } else {
    snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  }
  return text;
}

std::vector<std::string> PluginMarks(const PluginStats& plugin) {
  std::vector<std::string> marks;
  if (!plugin.running.empty() && plugin.runningUs > kStuckCallUs) {
    marks.push_back("inside " + plugin.running + " for " + Duration(plugin.runningUs / 1e6) +
                    ": every queued delivery waits");
  }
  if (plugin.held > 0 && plugin.oldestMs > kKeptBufferMs) {
    marks.push_back("keeps " + std::to_string(plugin.held) +
                    (plugin.held == 1 ? " buffer" : " buffers") + ", the oldest for " +
                    Duration(plugin.oldestMs / 1e3));
  }
  return marks;
}

std::vector<std::string> ChannelMarks(const ChannelStats& channel) {
  std::vector<std::string> marks;
  if (channel.heldMs > kHeldGateMs) {
    std::string mark = "held for " + Duration(channel.heldMs / 1e3);
    if (channel.waiting > 0) {
      mark += ", " + std::to_string(channel.waiting) +
              (channel.waiting == 1 ? " sender waits" : " senders wait");
    }
    marks.push_back(mark);
  }
  return marks;
}

bool StatisticsLate(double interval, double sinceReceived) {
  return interval > 0 && sinceReceived > 2 * interval + 2;
}

std::vector<std::string> Notices(const Statistics* stats, double sinceReceived) {
  std::vector<std::string> notices;
  if (stats == nullptr) {
    notices.push_back(
        "The server sends no statistics: start it with --stats-interval SECONDS (the service: "
        "ZENT_STATS_INTERVAL in /etc/default/zentserver). Until then only the status document "
        "is shown.");
    return notices;
  }
  if (StatisticsLate(stats->interval, sinceReceived)) {
    std::string notice = "No statistics for " + Duration(sinceReceived) + " (one comes every " +
                         Duration(stats->interval) +
                         "): queued deliveries are held up, by a slow Write or IOCTL or a long "
                         "queue.";
    for (const PluginStats& plugin : stats->plugins) {
      if (!plugin.running.empty()) {
        notice += " The last document showed " + plugin.file + " inside " + plugin.running +
                  " for " + Duration(plugin.runningUs / 1e6) + ".";
      }
    }
    notices.push_back(notice);
  }
  return notices;
}

}  // namespace webstatus
