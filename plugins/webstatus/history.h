// history.h: the last minutes of statistics documents, for the page's charts.
//
// Each statistics document adds one sample: the counters the charts are drawn from, at the
// server's uptime when the document was made. Samples older than the window (10 minutes) before
// the newest are dropped, so a page opened at any time draws the whole window. Rates are
// computed between neighbouring samples from the server's own uptime, so documents delivered
// late or in a burst (after the queue was held up) still give true rates.
//
// Thread safety: none of its own; the owner guards it.
#ifndef ZENT_PLUGINS_WEBSTATUS_HISTORY_H_
#define ZENT_PLUGINS_WEBSTATUS_HISTORY_H_

#include <deque>
#include <stddef.h>
#include <stdint.h>
#include <vector>

#include "documents.h"

namespace webstatus {

constexpr double kHistorySeconds = 600;

struct Sample {
  double uptime = 0;  // seconds since the server started
  uint64_t queued = 0, broadcasts = 0, depth = 0, depthBytes = 0, rss = 0;
};

// A point of the charts: how long before the newest sample, the rates since the sample before
// (absent for the first), and the gauges.
struct ChartPoint {
  double ago = 0;
  bool hasRate = false;
  double queuedRate = 0, broadcastRate = 0;  // per second
  uint64_t depth = 0, depthBytes = 0, rss = 0;
};

class History {
 public:
  explicit History(double windowSeconds = kHistorySeconds, size_t maxSamples = 4096)
      : m_window(windowSeconds), m_max(maxSamples) {}

  // Adds the sample of a document. One that is not newer than the newest (the same document
  // again) is ignored; one whose server started later than the newest's (a restart) begins
  // the history anew.
  void Add(const Statistics& stats);
  size_t size() const { return m_samples.size(); }
  std::vector<ChartPoint> Points() const;

 private:
  double m_window;
  size_t m_max;
  double m_started = 0;
  std::deque<Sample> m_samples;
};

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_HISTORY_H_
