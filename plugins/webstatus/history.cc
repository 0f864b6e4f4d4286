#include "history.h"

namespace webstatus {

void History::Add(const Statistics& stats) {
  if (!m_samples.empty()) {
    if (stats.started != m_started) {
      m_samples.clear();
    } else if (stats.uptime <= m_samples.back().uptime) {
      return;
    }
  }
  m_started = stats.started;
  Sample sample;
  sample.uptime = stats.uptime;
  sample.queued = stats.routing.queued;
  sample.broadcasts = stats.routing.broadcasts;
  sample.depth = stats.routing.depth;
  sample.depthBytes = stats.routing.depthBytes;
  sample.rss = stats.process.rss;
  m_samples.push_back(sample);
  while (m_samples.size() > m_max ||
         (m_samples.size() > 1 && sample.uptime - m_samples.front().uptime > m_window)) {
    m_samples.pop_front();
  }
}

std::vector<ChartPoint> History::Points() const {
  std::vector<ChartPoint> points;
  if (m_samples.empty()) return points;
  const double newest = m_samples.back().uptime;
  points.reserve(m_samples.size());
  for (size_t i = 0; i < m_samples.size(); ++i) {
    const Sample& s = m_samples[i];
    ChartPoint point;
    point.ago = newest - s.uptime;
    point.depth = s.depth;
    point.depthBytes = s.depthBytes;
    point.rss = s.rss;
    if (i > 0) {
      const Sample& before = m_samples[i - 1];
      const double seconds = s.uptime - before.uptime;
      // Counters only grow within one run of the server.
      if (seconds > 0 && s.queued >= before.queued && s.broadcasts >= before.broadcasts) {
        point.hasRate = true;
        point.queuedRate = static_cast<double>(s.queued - before.queued) / seconds;
        point.broadcastRate = static_cast<double>(s.broadcasts - before.broadcasts) / seconds;
      }
    }
    points.push_back(point);
  }
  return points;
}

}  // namespace webstatus
