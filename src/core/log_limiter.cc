#include "core/log_limiter.h"

#include <chrono>

bool LogLimiter::Due(long* skipped) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
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
