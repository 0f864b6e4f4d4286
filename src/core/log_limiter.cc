#include "core/log_limiter.h"

#include <chrono>

namespace {

int64_t MonotonicMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<LogLimiter::Clock> g_clock{MonotonicMilliseconds};

}  // namespace

LogLimiter::Clock LogLimiter::SetClock(Clock clock) {
  return g_clock.exchange(clock != nullptr ? clock : MonotonicMilliseconds);
}

bool LogLimiter::Due(long* skipped) {
  const int64_t now = g_clock.load()();
  int64_t next = m_next.load();
  if (now < next || !m_next.compare_exchange_strong(next, now + 1000)) {
    ++m_skipped;
    return false;
  }
  *skipped = m_skipped.exchange(0);
  return true;
}

wxString LogLimiter::Skipped(long skipped) {
  return skipped == 0 ? wxString() : wxString::Format(" (and %ld more like it)", skipped);
}
