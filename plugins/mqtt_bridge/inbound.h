// inbound.h: the way in, from the broker to the core.
//
// DESIGN
//
// The network thread checks each message of the subscribed topics and queues a copy; feeder
// threads send the queued messages into the core through the callback, with their code, flags,
// channel and extra bytes: a broadcast when their source was 0, else queued with the configured
// source. The callback may wait while a channel is held, which the network thread must never do
// (it answers the broker's pings), so it never calls the core.
//
// What is taken in. A message is dropped (and counted) when the broker marks it retained (an old
// message, not an event now), when it lies under this bridge's own prefix or names this bridge
// as its origin, when it has been relayed more than max_hops times, when it is larger than
// max_payload or malformed, and when no "accept" line names it: its class bits, code and
// channel, and for MSG_TO_OTHERS and MSG_TO_ALL an "all" on the line. The codes of the core's
// own messages (status document, clock, statistics) are never taken in, nor a MSG_TO_OTHERS
// message whose payload looks like a status document (IOCTL shows plugins only the payload).
//
// Queues. Each channel has a queue of its own and is fed in order by one feeder at a time, so a
// channel that the core holds delays only its own messages; kFeeders feeders serve all
// channels (with as many channels held at once, the others wait too). All queues together hold
// at most queue_limit messages and queue_limit_bytes payload bytes; beyond that new messages are
// dropped and counted. The broker has acknowledged a message once it is queued here: the
// incoming direction is at most once.
//
// Stop: the feeders end when told (the core refuses what they still send by then, so none is
// held in the callback for long); what is still queued is counted as dropped.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_INBOUND_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_INBOUND_H_

#include <condition_variable>
#include <deque>
#include <map>
#include <mosquitto.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <zentserver/plugin_api.h>

#include "bridge_config.h"
#include "bridge_log.h"
#include "notes.h"

namespace mqtt_bridge {

// A message from the broker on its way into the core.
struct Incoming {
  bool broadcast = false;
  uint32_t flags = 0, code = 0, channel = 0;
  std::vector<uint8_t> payload;
  uint8_t extra[ZENT_MESSAGE_EXTRA_BYTES] = {};
  Origin origin;
};

// Reads the topic and the properties of a message into *in; false with *why when they are
// malformed. The payload is left to the caller.
bool ParseIncoming(const std::string& topic, const mosquitto_property* properties, Incoming* in,
                   std::string* why);

// Whether an "accept" line of config lets in take the way in.
bool Accepted(const BridgeConfig& config, const Incoming& in);

class Inbound {
 public:
  static constexpr int kFeeders = 4;

  Inbound(const BridgeConfig& config, CoreCallbackFn callback, Counters* counters, Notes* notes);
  ~Inbound();

  // Starts the feeders; false when they cannot be started.
  bool Start();
  // Ends the feeders. Later calls do nothing.
  void Stop();
  // On the network thread.
  void OnMessage(const mosquitto_message& message, const mosquitto_property* properties);
  unsigned long long SentIn();

 private:
  struct ChannelQueue {
    std::deque<Incoming> messages;
    bool feeding = false;  // a feeder has its front message
  };
  void Feed();
  void Inject(const Incoming& in);
  void Drop(Event event, const std::string& topic, const std::string& why);

  const BridgeConfig& m_config;
  const CoreCallbackFn m_callback;
  Counters* const m_counters;
  Notes* const m_notes;
  std::vector<std::thread> m_feeders;

  std::mutex m_mu;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::map<uint32_t, ChannelQueue> m_queues;
  std::deque<uint32_t> m_ready;  // channels with messages and no feeder, in arrival order
  size_t m_count = 0;
  uint64_t m_bytes = 0;
  unsigned long long m_sentIn = 0;
};

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_INBOUND_H_
