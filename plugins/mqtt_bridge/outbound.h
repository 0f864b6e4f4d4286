// outbound.h: the way out, from the core's deliveries to the broker.
//
// DESIGN
//
// Every message the bridge receives is published to "<prefix>msg/<code, 8 hex digits>" with the
// payload as it is and the record's code, flags, channel, source and extra bytes as MQTT 5 user
// properties, with its origin (the client id of the bridge that first published it) and hops:
// queued messages by Write (those a "carry queued" line names), broadcasts by Read (a Read says
// neither code nor flags: the "carry broadcast" line of its channel supplies them), and
// MSG_TO_OTHERS and MSG_TO_ALL messages by IOCTL 2 and 3 (which show only the payload: code 0,
// no source; publish_ioctl no leaves them out). The status document (IOCTL 2 from the core)
// goes to "<prefix>status", retained (unless publish_status no), the statistics document (a
// Write from the core, when the server sends one) to "<prefix>stats", retained (unless
// publish_stats no), and "<prefix>online" is "1" while connected and "0" as the will. All three
// are published again on every connect.
//
// No entry point waits for the network: a publish hands a copy to the library, which sends it
// from the network thread once connected (it waits only while the network thread makes its
// TCP connection to an address that has just answered, see broker_link.h). What the broker has not
// acknowledged yet is bounded by queue_limit messages and queue_limit_bytes payload bytes; beyond
// that new messages are dropped and counted. State topics (status, online) are not bounded: there
// is one of each.
//
// Threads: Read calls (call threads), Write and IOCTL (the event handler), the acknowledgements
// and the connect (the network thread) meet under m_mu, which is never held while calling the
// library.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_OUTBOUND_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_OUTBOUND_H_

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <zentserver/plugin_api.h>

#include "bridge_config.h"
#include "bridge_log.h"
#include "broker_link.h"
#include "notes.h"

namespace mqtt_bridge {

class Outbound {
 public:
  Outbound(const BridgeConfig& config, BrokerLink* link, Counters* counters, Notes* notes);

  void OnWrite(const WriteRequest& request);
  void OnRead(const ReadRequest& request);
  void OnIoctl(const IoctlRequest& request);

  // On the network thread: the broker accepted the connection.
  void OnConnected();
  void OnAcknowledged(int mid, int reason);
  // Publishes nothing more.
  void Close();
  // Nothing waits for the broker's acknowledgement.
  bool Drained();
  uint32_t Pending();
  unsigned long long Published();

 private:
  // Publishes a message record (the source is left out when there is none).
  void PublishMessage(uint32_t code, uint32_t flags, uint32_t channel, const uint32_t* source,
                      const void* data, uint32_t length, const uint8_t* extra);
  // Keeps a state document (the status or the statistics) and publishes it when connected.
  void PublishState(const std::string& topic, std::string* kept, const void* data, uint32_t length);
  // Hands a copy to the library. State topics are QoS 1, retained and not bounded.
  void Publish(const std::string& topic, const void* data, uint32_t length, bool state,
               const mosquitto_property* properties);

  const BridgeConfig& m_config;
  BrokerLink* const m_link;
  Counters* const m_counters;
  Notes* const m_notes;
  const std::string m_statusTopic, m_statsTopic, m_onlineTopic;

  std::mutex m_mu;
  bool m_closed = false;
  bool m_startCallSeen = false;
  std::string m_status;  // the last status document
  std::string m_stats;   // the last statistics document
  // Published and not yet acknowledged, by message id; acknowledgements that came before the
  // publish returned its id.
  std::map<int, uint32_t> m_pending;
  std::set<int> m_earlyAcks;
  uint32_t m_reserved = 0;      // publishes under way that have no id yet
  uint64_t m_pendingBytes = 0;  // of m_pending and the reserved ones
  unsigned long long m_published = 0;
};

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_OUTBOUND_H_
