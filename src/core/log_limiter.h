// LogLimiter: lets a log line through at most once a second and counts the ones it holds back,
// so that a fault repeated for every message (a plugin's, or a limit that a storm keeps
// meeting) does not fill the log.
//
// Thread safety: Due may be called from any thread; it takes no lock.
#ifndef ZENT_CORE_LOG_LIMITER_H_
#define ZENT_CORE_LOG_LIMITER_H_

#include <atomic>
#include <cstdint>

#include <wx/string.h>

class LogLimiter {
 public:
  // True when this one is to be logged; then *skipped is the number held back before it.
  bool Due(long* skipped);
  // The text that says how many were held back: empty for none.
  static wxString Skipped(long skipped);

  // The clock the second is counted on: milliseconds of the monotonic clock, unless a test
  // sets a clock of its own. Returns the clock read before.
  using Clock = int64_t (*)();
  static Clock SetClock(Clock clock);

 private:
  std::atomic<int64_t> m_next{0};
  std::atomic<long> m_skipped{0};
};

#endif  // ZENT_CORE_LOG_LIMITER_H_
