#include "snapshot.h"

namespace webstatus {

bool Store::PutStatistics(const void* data, uint32_t length, std::string* error) {
  auto stats = std::make_shared<Statistics>();
  const bool ok = ParseStatistics(static_cast<const char*>(data), length, stats.get(), error);
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(m_mu);
  if (!ok) {
    ++m_statsRejected;
    return false;
  }
  ++m_statsReceived;
  m_history.Add(*stats);
  m_stats = std::move(stats);
  m_statsAt = now;
  return true;
}

bool Store::PutStatus(const void* data, uint32_t length, std::string* error) {
  auto status = std::make_shared<StatusDocument>();
  if (!ParseStatusDocument(static_cast<const char*>(data), length, status.get(), error)) {
    return false;
  }
  auto xml = std::make_shared<std::string>(static_cast<const char*>(data), length);
  std::lock_guard<std::mutex> lock(m_mu);
  m_status = std::move(status);
  m_statusXml = std::move(xml);
  return true;
}

Snapshot Store::Take() const {
  Snapshot snapshot;
  snapshot.host = m_host;
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(m_mu);
  snapshot.stats = m_stats;
  if (m_stats) snapshot.sinceStats = std::chrono::duration<double>(now - m_statsAt).count();
  snapshot.statsReceived = m_statsReceived;
  snapshot.statsRejected = m_statsRejected;
  snapshot.status = m_status;
  snapshot.statusXml = m_statusXml;
  snapshot.history = m_history.Points();
  return snapshot;
}

}  // namespace webstatus
