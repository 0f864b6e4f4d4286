#include "plugin_log.h"

#include <algorithm>
#include <atomic>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace webstatus {
namespace {

std::atomic<bool> g_toSyslog{false};

}  // namespace

void ChooseLogTarget() {
  struct stat err, null;
  g_toSyslog = fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
               err.st_rdev == null.st_rdev;
}

void LogV(int priority, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  if (g_toSyslog) {
    syslog(LOG_DAEMON | priority, "webstatus: %s", text);
    return;
  }
  // One write per line, so that lines of several threads do not mix.
  char line[1100];
  const int n = snprintf(line, sizeof line, "webstatus: %s\n", text);
  if (write(2, line, static_cast<size_t>(std::min(n, static_cast<int>(sizeof line) - 1))) < 0) {
    // Nowhere left to report it.
  }
}

void Log(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(priority, format, args);
  va_end(args);
}

}  // namespace webstatus
