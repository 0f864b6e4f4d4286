#include "core/plugin_calls.h"

PluginCalls::PluginCalls() : m_idle("Semaphore failed") {}

bool PluginCalls::Enter() {
  pt::lockguard guard(m_lock);
  if (m_closed) return false;
  ++m_inFlight;
  ++m_pending;
  return true;
}

void PluginCalls::Started() {
  pt::lockguard guard(m_lock);
  if (--m_pending == 0) m_idle.broadcast();
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

void PluginCalls::WaitStarted() {
  pt::lockguard guard(m_lock);
  while (m_pending > 0) m_idle.wait(m_lock);
}

void PluginCalls::Close() {
  pt::lockguard guard(m_lock);
  m_closed = true;
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

int PluginCalls::InFlight() {
  pt::lockguard guard(m_lock);
  return m_inFlight;
}
