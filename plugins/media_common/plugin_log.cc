#include "plugin_log.h"

#include <algorithm>
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {
namespace {

const char* g_plugin = "media";
bool g_toSyslog = false;

bool StderrIsDevNull() {
  struct stat err, null;
  return fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
         err.st_rdev == null.st_rdev;
}

}  // namespace

void StartLog(const char* plugin) {
  g_plugin = plugin;
  g_toSyslog = StderrIsDevNull();
}

void Log(int priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_toSyslog) {
    syslog(LOG_DAEMON | priority, "%s: %s", g_plugin, text);
    return;
  }
  // One write per line, so that lines of several threads never mix.
  char line[1200];
  const int n = snprintf(line, sizeof line, "%s: %s\n", g_plugin, text);
  if (write(2, line, static_cast<size_t>(std::min(n, static_cast<int>(sizeof line) - 1))) < 0) {
    // Nowhere left to report it.
  }
}

std::string OwnDirectory() {
  static const char anchor = 0;
  Dl_info info;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool RateLimit::Allow(unsigned long* suppressed) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto now = std::chrono::steady_clock::now();
  if (any_ && now - last_ < interval_) {
    ++held_;
    return false;
  }
  any_ = true;
  last_ = now;
  *suppressed = held_;
  held_ = 0;
  return true;
}

}  // namespace media
