// metrics.h: the snapshot in Prometheus' text exposition format, version 0.0.4.
//
// Names follow Prometheus' conventions: the prefix zentserver_, base units (seconds, bytes) in
// the name, _total on counters, and the labels plugin (the plugin's file name), entry, reason,
// result and channel. Counters count from the server's start; Prometheus sees a restart as a
// reset. Without statistics only the families of the status document are written.
#ifndef ZENT_PLUGINS_WEBSTATUS_METRICS_H_
#define ZENT_PLUGINS_WEBSTATUS_METRICS_H_

#include <string>

#include "snapshot.h"

namespace webstatus {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string MetricsText(const Snapshot& snapshot);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_METRICS_H_
