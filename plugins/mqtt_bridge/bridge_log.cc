#include "bridge_log.h"

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mqtt_bridge {
namespace {

bool g_toSyslog;

const char* const kEventNames[kEventCount] = {"oversized out",
                                              "dropped out (queue full)",
                                              "publish failed",
                                              "rejected by the broker",
                                              "oversized in",
                                              "malformed in",
                                              "not accepted in",
                                              "retained in",
                                              "looped in (own origin or past max_hops)",
                                              "not published (past max_hops)",
                                              "dropped in (queue full)",
                                              "refused by the core"};

}  // namespace

void ChooseLogTarget() {
  struct stat err, null;
  g_toSyslog = fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
               err.st_rdev == null.st_rdev;
}

void Log(int priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_toSyslog) {
    syslog(LOG_DAEMON | priority, "mqtt_bridge: %s", text);
    return;
  }
  char line[1100];
  const int n = snprintf(line, sizeof line, "mqtt_bridge: %s\n", text);
  if (write(2, line, static_cast<size_t>(std::min(n, static_cast<int>(sizeof line) - 1))) < 0) {
    // Nowhere left to report it.
  }
}

bool Counters::Tick(Event event, unsigned long long* total) {
  std::lock_guard<std::mutex> lock(m_mu);
  *total = ++m_counts[event];
  const auto now = std::chrono::steady_clock::now();
  if (*total > 1 && now - m_loggedAt[event] < std::chrono::seconds(1)) return false;
  m_loggedAt[event] = now;
  return true;
}

std::string Counters::Summary() {
  std::lock_guard<std::mutex> lock(m_mu);
  std::string summary;
  for (int i = 0; i < kEventCount; ++i) {
    if (m_counts[i] == 0) continue;
    summary += (summary.empty() ? "" : ", ") + std::to_string(m_counts[i]) + " " + kEventNames[i];
  }
  return summary;
}

}  // namespace mqtt_bridge
