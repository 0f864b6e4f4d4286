// bridge_log.h: the bridge's log lines and the counts of what it skipped or dropped.
//
// Lines begin with "mqtt_bridge: " and go to standard error in the console and to syslog in the
// daemon (where standard error is /dev/null). Events that may come in floods (a message too
// large, a queue full) are counted, and each kind is logged at most once a second with the
// count so far.
//
// Thread safety: every function may be called from any thread.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_LOG_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_LOG_H_

#include <chrono>
#include <mutex>
#include <string>
#include <syslog.h>

namespace mqtt_bridge {

// Chooses the log's target: syslog when standard error is /dev/null. Called in Load.
void ChooseLogTarget();

__attribute__((format(printf, 2, 3))) void Log(int priority, const char* format, ...);

// What is counted and logged at most once a second.
enum Event {
  kOversizedOut,
  kDroppedOut,
  kPublishFailed,
  kRejectedByBroker,
  kOversizedIn,
  kMalformedIn,
  kNotAcceptedIn,
  kRetainedIn,
  kLoopedIn,
  kLoopedOut,
  kDroppedIn,
  kRefusedIn,
  kEventCount
};

class Counters {
 public:
  // Counts one event; true when it is to be logged now, with the count so far in *total.
  bool Tick(Event event, unsigned long long* total);
  // "N oversized out, M dropped in (queue full), ..." for the events that happened; empty when
  // none did.
  std::string Summary();

 private:
  std::mutex m_mu;
  unsigned long long m_counts[kEventCount] = {};
  std::chrono::steady_clock::time_point m_loggedAt[kEventCount];
};

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_LOG_H_
