// broker_link.h: the link to the broker, and the network thread that keeps it.
//
// DESIGN
//
// The link owns the library's client and one thread, the network thread, which alone drives
// the client's network side (mosquitto_loop) and alone connects it; other threads only hand it
// messages to publish (the client is marked threaded, so a publish never writes to the socket
// on the caller's thread: it wakes the network thread). The library's callbacks run on the
// network thread, inside mosquitto_loop.
//
// Supervision by outcome. The network thread runs one cycle after another for as long as the
// bridge is open: find the broker (broker_address.h: resolve the name, reach an address; both
// give up at once when the bridge stops), connect the client to that address, then run the
// client's loop until the connection ends for whatever reason (a broker that closes it, a
// DISCONNECT from the broker, a TLS or protocol error, a missed keepalive) or until the broker
// has not accepted it within reconnect_delay's maximum. Then it waits the back-off delay
// (doubled from reconnect_delay's minimum to its maximum, and back to the minimum after a
// connection the broker accepted) and starts the next cycle. No error code ends the thread:
// only the stop does. Every reason a connection ends is logged in words (MQTT reason codes by
// their names, library errors by their texts, a failed certificate check by OpenSSL's reason),
// the first of an outage and then each change of reason.
//
// What it waits on: the back-off delay (a condition variable that the stop signals), the
// resolver and the probing connect (in slices of 100 ms), and mosquitto_loop (at most 100 ms).
// So a stop reaches it within about 100 ms wherever it is, with one exception: the library's
// own TCP connect to the address that accepted the probe a moment before, which is blocking;
// a broker that vanishes in that moment holds it for the kernel's connect timeout.
//
// A connect remakes the client's wake-up socket pair, which a publish on another thread writes
// to: m_connecting keeps publishes out while the network thread connects (they wait for the
// TCP connect to the address that just answered, normally a few milliseconds), so that no
// publish writes to a descriptor that was closed and may already be another file's. A publish
// on the network thread itself (from a callback of the library, which holds a lock of its own
// there) takes no part in this: that thread cannot be connecting at the same time, and taking
// m_connecting under the library's lock would order the two locks against the other publishers.
//
// Stop (Close): first waits, for at most the drain time, until every message the broker has
// not acknowledged yet is acknowledged while connected; then tells the network thread to stop,
// which disconnects with the will (the broker publishes "online 0"), lets the library write the
// DISCONNECT for at most half a second, and ends; then joins it.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_BROKER_LINK_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_BROKER_LINK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mosquitto.h>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "bridge_config.h"
#include "bridge_log.h"
#include "tls_context.h"

namespace mqtt_bridge {

// What the link reports, on the network thread.
class LinkHandler {
 public:
  virtual ~LinkHandler() = default;
  // The broker accepted the connection and the subscriptions are on their way.
  virtual void OnConnected() = 0;
  virtual void OnMessage(const mosquitto_message& message,
                         const mosquitto_property* properties) = 0;
  // The broker acknowledged (or, with a reason of 0x80 or more, rejected) message mid.
  virtual void OnAcknowledged(int mid, int reason) = 0;
};

class BrokerLink {
 public:
  using Clock = std::chrono::steady_clock;

  BrokerLink(const BridgeConfig& config, LinkHandler* handler);
  ~BrokerLink();
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Makes the library's client and its TLS context (Load); false, logged, when it cannot.
  bool Create();
  // Starts the network thread (Open); false when it cannot be started.
  bool Start();
  // Waits until drained() or drain has passed (only while connected), then stops the network
  // thread as described above. Later calls do nothing.
  void Stop(Clock::duration drain, const std::function<bool()>& drained);
  // Wakes Stop's wait for the drain: call when what drained() looks at changes.
  void Notify();

  // Any thread: hands a copy of the message to the library, which sends it once connected.
  // Never waits for the network. The library's result; *mid is the message's id.
  int Publish(const std::string& topic, const void* data, uint32_t length, int qos, bool retain,
              const mosquitto_property* properties, int* mid);
  bool Connected() const { return m_connected.load(); }

 private:
  void Run();
  // One connection from the connect to its end; false when the stop ended it.
  bool RunConnection(const std::string& address, bool* accepted);
  void Disconnect();
  bool WaitForStop(Clock::duration delay);
  bool StopRequested() const { return m_stopRequested.load(); }

  // Callbacks of the library, on the network thread.
  void Connected(int rc);
  void Disconnected(int rc, int savedErrno);
  void Subscribed(int mid, int count, const int* granted);
  void LibraryLog(int level, const char* text);

  // Logs why the broker cannot be had: the first reason of an outage, then each change.
  enum Outage { kLost, kRefused, kTakenOver };
  void NoteOutage(const std::string& why, Outage kind);
  // The words for a connection's end: an MQTT reason code or a library error.
  std::string Reason(int rc, int savedErrno);

  const BridgeConfig& m_config;
  LinkHandler* const m_handler;
  const std::string m_where;  // host:port, for the log
  mosquitto* m_mosq = nullptr;
  SSL_CTX* m_tls = nullptr;
  mosquitto_property* m_connectProperties = nullptr;
  int m_resolveDelayMs = 0;  // test seam, see broker_address.h
  std::thread m_thread;
  std::atomic<std::thread::id> m_networkThread{};  // set by the thread when it starts
  std::atomic<bool> m_connected{false};
  std::atomic<bool> m_stopRequested{false};
  bool m_stopped = false;  // Stop ran (main thread only)

  std::mutex m_mu;
  std::condition_variable m_wake;  // the back-off and Stop's drain wait on it
  // Held shared by every publish, exclusively by the network thread while it connects.
  std::shared_mutex m_connecting;

  // Network thread only.
  bool m_everConnected = false;
  bool m_outage = false;
  std::string m_outageReason;  // the reason logged last in this outage
  Clock::time_point m_lostAt;
  std::string m_endReason;   // why the current connection ended, from the callback
  bool m_takenOver = false;  // it ended because another client took the session over
  std::string m_lastLibraryError;
  std::map<int, std::string> m_subscribing;  // message id -> topic filter
};

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_BROKER_LINK_H_
