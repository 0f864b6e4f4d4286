// snapshot.h: what the pages are made of at one moment, and the store that keeps it.
//
// The event handler thread puts the documents in (Write, IOCTL); the HTTP server's thread takes
// a snapshot for each request. A document is parsed before the lock is taken, and the lock is
// held only to swap pointers and add a history sample, so a Write never waits for a page being
// made, and a page is made from values that no later document changes.
//
// Thread safety: Store may be used from any thread.
#ifndef ZENT_PLUGINS_WEBSTATUS_SNAPSHOT_H_
#define ZENT_PLUGINS_WEBSTATUS_SNAPSHOT_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>
#include <vector>

#include "documents.h"
#include "history.h"

namespace webstatus {

struct Snapshot {
  std::string host;                               // the machine's name
  std::shared_ptr<const Statistics> stats;        // null: none came yet
  double sinceStats = 0;                          // seconds since it came
  uint64_t statsReceived = 0, statsRejected = 0;  // documents read, and not readable
  std::shared_ptr<const StatusDocument> status;   // null: none came yet
  std::shared_ptr<const std::string> statusXml;   // the status document as it came
  std::vector<ChartPoint> history;
};

class Store {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Store(std::string host) : m_host(std::move(host)) {}
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // A statistics document (length bytes at data, copied). False, with the reason in *error,
  // when it cannot be read; it is then counted and otherwise ignored.
  bool PutStatistics(const void* data, uint32_t length, std::string* error);
  // Something that may be the status document; false (ignored) when it is not.
  bool PutStatus(const void* data, uint32_t length, std::string* error);

  Snapshot Take() const;

 private:
  const std::string m_host;
  mutable std::mutex m_mu;
  std::shared_ptr<const Statistics> m_stats;
  Clock::time_point m_statsAt;
  uint64_t m_statsReceived = 0, m_statsRejected = 0;
  std::shared_ptr<const StatusDocument> m_status;
  std::shared_ptr<const std::string> m_statusXml;
  History m_history;
};

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_SNAPSHOT_H_
