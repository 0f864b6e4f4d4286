#include "core/plugin_calls.h"

#include <algorithm>
#include <chrono>
#include <new>

#include <wx/log.h>

#include "core/payload.h"
#include "core/thread_log.h"

PluginCalls::PluginCalls() : m_idle("Semaphore failed") {}

bool PluginCalls::Enter() {
  {
    pt::lockguard guard(m_lock);
    if (m_closed) return false;
    // Room for this call's thread in the table now, so that checking in never needs memory.
    const size_t needed = m_threads.size() + static_cast<size_t>(m_pending) + 1;
    try {
      if (needed > m_threads.capacity()) {
        if (!AllocationAllowed(AllocationSite::kCallRecord)) throw std::bad_alloc();
        m_threads.reserve(std::max(needed, 2 * m_threads.capacity()));
      }
      ++m_inFlight;
      ++m_pending;
      return true;
    } catch (const std::bad_alloc&) {
    }
  }
  RouteThreadLog();
  wxLogError("no memory to start a plugin call; the call is skipped");
  return false;
}

bool PluginCalls::Begin(pt::thread_id thread) {
  pt::lockguard guard(m_lock);
  m_threads.push_back(thread);
  const bool call = !m_closed;
  if (!call) --m_inFlight;
  if (--m_pending == 0 || (!call && m_inFlight == 0)) m_idle.broadcast();
  return call;
}

void PluginCalls::Leave() {
  pt::lockguard guard(m_lock);
  if (--m_inFlight == 0) m_idle.broadcast();
}

void PluginCalls::Cancel() {
  pt::lockguard guard(m_lock);
  --m_pending;
  --m_inFlight;
  m_idle.broadcast();
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
  for (pt::thread_id& thread : m_threads) {
    if (!thread.try_join()) m_threads[kept++] = thread;
  }
  m_threads.resize(kept);
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
      left = m_threads.size();
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
