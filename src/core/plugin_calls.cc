#include "core/plugin_calls.h"

#include <algorithm>
#include <chrono>
#include <new>

#include <wx/log.h>

#include "core/payload.h"
#include "core/thread_log.h"

PluginCalls::PluginCalls(const wxString& name, int mostInFlight, PluginStats* stats)
    : m_name(name), m_bound(mostInFlight), m_stats(stats), m_idle("Semaphore failed") {}

bool PluginCalls::Enter() {
  wxString why;
  {
    pt::lockguard guard(m_lock);
    if (m_closed) {
      ++m_counts.skippedClosed;
      return false;
    }
    if (m_bound > 0 && m_inFlight >= m_bound) {
      ++m_counts.skippedAtBound;
      why = wxString::Format("%d calls are in flight, the most allowed", m_inFlight);
    } else {
      // Room for this call's thread in the record of ended threads now, so that leaving never
      // needs memory.
      const size_t needed = m_ended.size() + static_cast<size_t>(m_inFlight) + 1;
      try {
        if (needed > m_ended.capacity()) {
          if (!AllocationAllowed(AllocationSite::kCallRecord)) throw std::bad_alloc();
          m_ended.reserve(std::max(needed, 2 * m_ended.capacity()));
        }
        ++m_inFlight;
        ++m_pending;
        m_counts.mostInFlight = std::max(m_counts.mostInFlight, m_inFlight);
        return true;
      } catch (const std::bad_alloc&) {
        ++m_counts.skippedNoThread;
        why = "no memory to start a call";
      }
    }
  }
  long skipped = 0;
  if (m_skipLog.Due(&skipped)) {
    RouteThreadLog();
    wxLogError("plugin %s: %s; the call is skipped%s", m_name, why, LogLimiter::Skipped(skipped));
  }
  return false;
}

bool PluginCalls::Begin(pt::thread_id thread) {
  pt::lockguard guard(m_lock);
  if (!m_closed) return true;
  // Closed since Enter: no call. The thread is done with the plugin at once.
  m_ended.push_back(thread);
  ++m_counts.skippedClosed;
  --m_inFlight;
  --m_pending;
  m_idle.broadcast();
  return false;
}

void PluginCalls::Entered() {
  pt::lockguard guard(m_lock);
  if (--m_pending == 0) m_idle.broadcast();
}

void PluginCalls::Leave(pt::thread_id thread) {
  pt::lockguard guard(m_lock);
  m_ended.push_back(thread);  // room was made by Enter
  if (--m_inFlight == 0) m_idle.broadcast();
}

void PluginCalls::Cancel(const wxString& why) {
  {
    pt::lockguard guard(m_lock);
    --m_pending;
    --m_inFlight;
    ++m_counts.skippedNoThread;
    m_idle.broadcast();
  }
  long skipped = 0;
  if (m_skipLog.Due(&skipped)) {
    RouteThreadLog();
    wxLogError("plugin %s: %s; the call is skipped%s", m_name, why, LogLimiter::Skipped(skipped));
  }
}

void PluginCalls::Close() {
  pt::lockguard guard(m_lock);
  m_closed = true;
}

bool PluginCalls::Closed() {
  pt::lockguard guard(m_lock);
  return m_closed;
}

void PluginCalls::WaitStarted() {
  pt::lockguard guard(m_lock);
  while (m_pending > 0) m_idle.wait(m_lock);
}

void PluginCalls::WaitIdle(int intervalMs, const std::function<void(int)>& stillWaiting) {
  pt::lockguard guard(m_lock);
  while (m_inFlight > 0) {
    if (!m_idle.wait_for(m_lock, intervalMs) && m_inFlight > 0) {
      const int inFlight = m_inFlight;
      m_lock.unlock();
      stillWaiting(inFlight);
      m_lock.lock();
    }
  }
}

void PluginCalls::Reap() {
  // A try-join never blocks, so it is made under the lock: each thread is joined exactly once.
  pt::lockguard guard(m_lock);
  size_t kept = 0;
  for (pt::thread_id& thread : m_ended) {
    if (!thread.try_join()) m_ended[kept++] = thread;
  }
  m_ended.resize(kept);
}

void PluginCalls::JoinAll(int intervalMs, const std::function<void(int)>& stillWaiting) {
  // A thread that has left its call normally ends within microseconds; only thread-exit
  // destructors of the plugin's can keep it longer. There is nothing to wait on for a thread's
  // end but the join itself, so look again every millisecond and say so now and then.
  auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
  for (;;) {
    Reap();
    size_t left;
    {
      pt::lockguard guard(m_lock);
      left = m_ended.size();
    }
    if (left == 0) return;
    if (std::chrono::steady_clock::now() >= next) {
      stillWaiting(static_cast<int>(left));
      next += std::chrono::milliseconds(intervalMs);
    }
    pt::msleep(1);
  }
}

int PluginCalls::InFlight() {
  pt::lockguard guard(m_lock);
  return m_inFlight;
}

PluginCalls::Counts PluginCalls::Snapshot() {
  pt::lockguard guard(m_lock);
  Counts counts = m_counts;
  counts.inFlight = m_inFlight;
  return counts;
}
