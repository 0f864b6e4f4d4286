// plugin_log.h: the log of the media plugins, and where a plugin's file lies.
//
// Lines go to standard error in the console and to syslog (facility daemon) when the server
// runs as a daemon, whose standard error is /dev/null; each starts with the plugin's name.
// Thread safety: every function may be called from any thread.
#ifndef ZENT_PLUGINS_MEDIA_COMMON_PLUGIN_LOG_H_
#define ZENT_PLUGINS_MEDIA_COMMON_PLUGIN_LOG_H_

#include <chrono>
#include <mutex>
#include <string>
#include <syslog.h>

namespace media {

// Names the plugin in every line (a string literal) and chooses the target. Call in Load.
void StartLog(const char* plugin);

// One line at a syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO).
__attribute__((format(printf, 2, 3))) void Log(int priority, const char* format, ...);

// The directory of the shared object that holds this code; "." when it cannot be found.
std::string OwnDirectory();

// Lets a kind of message through at most once per interval, counting the ones held back.
class RateLimit {
 public:
  explicit RateLimit(std::chrono::seconds interval) : interval_(interval) {}
  // True when a line may be logged now; *suppressed is the number held back since the last.
  bool Allow(unsigned long* suppressed);

 private:
  std::mutex mu_;
  const std::chrono::seconds interval_;
  std::chrono::steady_clock::time_point last_{};
  bool any_ = false;
  unsigned long held_ = 0;
};

}  // namespace media

#endif  // ZENT_PLUGINS_MEDIA_COMMON_PLUGIN_LOG_H_
