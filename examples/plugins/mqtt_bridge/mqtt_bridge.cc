/*
 * mqtt_bridge.cc: carries chosen messages between servers through an MQTT broker.
 *
 * DESIGN
 *
 * Out. Every message the plugin receives is published to "<prefix>msg/<code, 8 hex digits>"
 * with the payload as it is and the record's code, flags, channel, source and extra bytes as
 * MQTT v5 user properties: queued messages by Write (those that a "carry queued" line names),
 * broadcasts by Read (a Read says neither code nor flags: the "carry broadcast" line of its
 * channel supplies them), and MSG_TO_OTHERS and MSG_TO_ALL messages by IOCTL 2 and 3 (which show
 * only the payload: code 0, no source). The status document (IOCTL 2 from the core) goes to
 * "<prefix>status", retained, and "<prefix>online" is "1" while connected and "0" as the will.
 * mosquitto_publish_v5 copies the payload and queues it for the library's network thread, so
 * no entry point keeps a buffer (retained stays 0) or waits for the network.
 *
 * In. The network thread takes the messages of the subscribed topics, checks them and queues a
 * copy; the feeder thread sends them into the core through the callback, with their code,
 * flags, channel and extra bytes: a broadcast when their source was 0, else queued with the
 * configured source. The callback may wait while a channel is held, which the network thread
 * must never do (it answers the broker's pings).
 *
 * No loops. A message under this bridge's own prefix is never taken in (the subscriptions ask
 * the broker for "no local" as well). A message the bridge sent in is never published again:
 * a queued one comes back to Write with the bridge's own source; a broadcast, MSG_TO_OTHERS or
 * MSG_TO_ALL message comes back without a source, so before sending one in that will come back
 * (the bridge knows its own masks), the feeder notes its kind, channel, length and a hash of its
 * payload, and the first delivery that fits a note takes it instead of being published. A local
 * message with exactly the same content that arrives in that moment is taken for the echo.
 *
 * Faults. A broker that is away at start or goes away is retried with back-off; the outage is
 * logged once, and what is published meanwhile waits in the library, QoS 1, up to queue_limit
 * messages the broker has not acknowledged; beyond that messages are dropped. Everything that is
 * skipped or dropped is counted and logged at most once a second. The library's network thread
 * retries a connection that breaks or fails on the way, but ends for good after some errors (a
 * refused connection, a TLS failure) and when an attempt fails at once (no such host, nobody
 * listens on the broker's host): the keeper thread then starts it afresh after a delay that
 * doubles up to reconnect_delay's maximum.
 *
 * What runs where:
 *   Load    main thread       read mqtt-bridge.conf, make the library's client, describe the
 *                             plugin (a bad line: log it, refuse to load)
 *   Open    main thread       start the feeder and the keeper; connect, then start the
 *                             network thread
 *   Read    call threads      broadcasts, and the core's start call (ignored): publish
 *   Write   event handler     queued messages: publish
 *   IOCTL   event handler     the status document, MSG_TO_OTHERS and MSG_TO_ALL: publish
 *   Close   main thread       wait up to 2 s for unacknowledged messages, stop the threads,
 *                             disconnect with the will (online becomes "0")
 *   Unload  main thread       the same should Close not have run; free the client
 * Callbacks of the library (on_connect, on_disconnect, on_publish, on_message) run on its
 * network thread. m_mu guards the bridge's state; it is never held while calling into the
 * library or the core.
 */
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <dlfcn.h>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zentserver/plugin_api.h>

#include "bridge_config.h"

namespace mqtt_bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kConfigName = "mqtt-bridge.conf";
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr auto kEchoLifetime = std::chrono::seconds(60);
constexpr size_t kEchoLimit = 4096;

// Standard error is /dev/null in the daemon: log lines go to syslog there.
bool g_toSyslog;

bool StderrIsDevNull() {
  struct stat err, null;
  return fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
         err.st_rdev == null.st_rdev;
}

__attribute__((format(printf, 2, 3))) void Log(int priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_toSyslog) {
    syslog(LOG_DAEMON | priority, "mqtt_bridge: %s", text);
    return;
  }
  char line[1100];
  const int n = snprintf(line, sizeof line, "mqtt_bridge: %s\n", text);
  if (write(2, line, static_cast<size_t>(std::min(n, static_cast<int>(sizeof line) - 1))) < 0) {
    // Nowhere left to report it.
  }
}

// Why the library gave up a connection, in words.
std::string Reason(int rc, int savedErrno) {
  return rc == MOSQ_ERR_ERRNO ? strerror(savedErrno) : mosquitto_strerror(rc);
}

// The errors after which the library's network thread returns instead of reconnecting.
bool EndsTheNetworkThread(int rc) {
  switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    default:
      return false;
  }
}

uint64_t Hash(const void* data, uint32_t length) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (uint32_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

bool Matches(const BridgeConfig& config, uint32_t flags, uint32_t match) {
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
    if ((flags & MSG_CLASS_BIT(i)) != 0 && (match & config.masks[i]) == match) return true;
  }
  return false;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

bool Unhex(const std::string& hex, uint8_t* out, size_t capacity) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > capacity) return false;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (!isxdigit(static_cast<unsigned char>(hex[i]))) return false;
  }
  for (size_t i = 0; i < hex.size() / 2; ++i) {
    out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

// What is counted and logged at most once a second.
enum Event {
  kOversizedOut,
  kDroppedOut,
  kPublishFailed,
  kRejectedByBroker,
  kOversizedIn,
  kMalformedIn,
  kDroppedIn,
  kRefusedIn,
  kEventCount
};
const char* const kEventNames[kEventCount] = {"oversized out",
                                              "dropped out (queue full)",
                                              "publish failed",
                                              "rejected by the broker",
                                              "oversized in",
                                              "malformed in",
                                              "dropped in (queue full)",
                                              "refused by the core"};

// A delivery expected back from the core for a message the bridge sent in.
enum EchoKind { kEchoRead, kEchoToOthers, kEchoToAll };
struct Echo {
  EchoKind kind;
  uint32_t channel;
  uint32_t length;
  uint64_t hash;
  Clock::time_point at;
  bool operator==(const Echo& other) const {
    return kind == other.kind && channel == other.channel && length == other.length &&
           hash == other.hash;
  }
};

// A message from the broker on its way into the core.
struct Incoming {
  bool broadcast = false;
  uint32_t flags = 0, code = 0, channel = 0;
  std::vector<uint8_t> payload;
  uint8_t extra[ZENT_MESSAGE_EXTRA_BYTES] = {};
};

class Bridge {
 public:
  Bridge(const BridgeConfig& config, CoreCallbackFn callback);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Makes the library's client; false when it cannot be had.
  bool Create();
  // Starts the threads and connects; false when they cannot be started.
  bool Start();
  // Lets unacknowledged messages out for a moment, stops every thread and disconnects with the
  // will. Later calls do nothing.
  void Stop();

  void OnWrite(const WriteRequest& request);
  void OnRead(const ReadRequest& request);
  void OnIoctl(const IoctlRequest& request);

 private:
  void Connected(int rc);
  void Disconnected(int rc, int savedErrno);
  void Acknowledged(int reason);
  // Logs the start of an outage once, and a refusal by the broker once per outage.
  // REQUIRES: m_mu is held.
  void NoteOutage(bool refused, const std::string& why);
  void Received(const mosquitto_message& message, const mosquitto_property* properties);
  bool Parse(const std::string& topic, const mosquitto_message& message,
             const mosquitto_property* properties, Incoming* in, std::string* why);

  // Publishes a message record (the source is left out when there is none).
  void PublishMessage(uint32_t code, uint32_t flags, uint32_t channel, const uint32_t* source,
                      const void* data, uint32_t length, const uint8_t* extra);
  // Hands a copy to the library. State topics (status, online) are QoS 1 and not bounded by
  // queue_limit.
  void Publish(const std::string& topic, const void* data, uint32_t length, bool state,
               const mosquitto_property* properties);

  // Starts a connection without waiting for it, then the library's network thread; a failure
  // at once leaves the next attempt to the keeper. The result of starting the thread.
  int Connect(bool first);
  void Feed();
  void Inject(const Incoming& in);
  void Keep();

  // Counts one event; true when it is to be logged now, with the count so far in *total.
  bool Tick(Event event, unsigned long long* total);
  void ExpectEcho(const Echo& echo);
  bool TakeEcho(const Echo& echo);

  const BridgeConfig m_config;
  const CoreCallbackFn m_callback;
  const std::string m_where;  // host:port, for the log
  const std::string m_statusTopic, m_onlineTopic;
  mosquitto* m_mosq = nullptr;
  std::thread m_feeder, m_keeper;
  bool m_started = false;  // Start ran (on the main thread, as Stop does)

  std::mutex m_mu;
  std::condition_variable m_wake;  // the feeder, the keeper and Stop's drain wait on it
  bool m_stopping = false;
  bool m_connected = false;
  bool m_everConnected = false;
  bool m_outage = false;         // logged, and not yet over
  bool m_refusalLogged = false;  // during this outage
  bool m_linkEnded = false;      // the library's network thread has returned for good
  unsigned m_restartDelay;       // seconds before the keeper starts it again
  Clock::time_point m_lostAt;
  std::string m_status;    // the last status document, published again on every connect
  uint32_t m_pending = 0;  // published, not yet acknowledged by the broker
  std::deque<Incoming> m_incoming;
  std::deque<Echo> m_echoes;
  bool m_startCallSeen = false;
  unsigned long long m_counts[kEventCount] = {};
  Clock::time_point m_loggedAt[kEventCount];
  unsigned long long m_published = 0, m_sentIn = 0;
};

Bridge::Bridge(const BridgeConfig& config, CoreCallbackFn callback)
    : m_config(config),
      m_callback(callback),
      m_where(config.host + ":" + std::to_string(config.port)),
      m_statusTopic(config.prefix + "status"),
      m_onlineTopic(config.prefix + "online"),
      m_restartDelay(config.reconnectMin) {}

Bridge::~Bridge() {
  if (m_mosq != nullptr) mosquitto_destroy(m_mosq);
  mosquitto_lib_cleanup();
}

bool Bridge::Create() {
  mosquitto_lib_init();
  m_mosq = mosquitto_new(m_config.clientId.c_str(), true, this);
  if (m_mosq == nullptr) {
    Log(LOG_ERR, "cannot make an MQTT client: %s", strerror(errno));
    return false;
  }
  mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_reconnect_delay_set(m_mosq, m_config.reconnectMin, m_config.reconnectMax, true);
  // The library calls these on its network thread; no exception may cross it.
  mosquitto_connect_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        try {
          static_cast<Bridge*>(self)->Connected(rc);
        } catch (...) {
        }
      });
  mosquitto_disconnect_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
        const int savedErrno = errno;
        try {
          static_cast<Bridge*>(self)->Disconnected(rc, savedErrno);
        } catch (...) {
        }
      });
  mosquitto_publish_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int, int reason, const mosquitto_property*) {
        try {
          static_cast<Bridge*>(self)->Acknowledged(reason);
        } catch (...) {
        }
      });
  mosquitto_message_v5_callback_set(m_mosq,
                                    [](mosquitto*, void* self, const mosquitto_message* message,
                                       const mosquitto_property* properties) {
                                      try {
                                        static_cast<Bridge*>(self)->Received(*message, properties);
                                      } catch (...) {
                                      }
                                    });
  int rc = MOSQ_ERR_SUCCESS;
  if (!m_config.username.empty()) {
    rc = mosquitto_username_pw_set(m_mosq, m_config.username.c_str(),
                                   m_config.password.empty() ? nullptr : m_config.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !m_config.tlsCaFile.empty()) {
    rc = mosquitto_tls_set(m_mosq, m_config.tlsCaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_will_set_v5(m_mosq, m_onlineTopic.c_str(), 1, "0", 1, true, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Log(LOG_ERR, "cannot set up the MQTT client: %s", mosquitto_strerror(rc));
    return false;
  }
  return true;
}

bool Bridge::Start() {
  m_started = true;
  m_feeder = std::thread(&Bridge::Feed, this);
  m_keeper = std::thread(&Bridge::Keep, this);
  const int rc = Connect(true);
  if (rc != MOSQ_ERR_SUCCESS) {
    Log(LOG_ERR, "cannot start the network thread: %s", mosquitto_strerror(rc));
    return false;
  }
  return true;
}

int Bridge::Connect(bool first) {
  const int rc = first ? mosquitto_connect_async(m_mosq, m_config.host.c_str(), m_config.port,
                                                 m_config.keepalive)
                       : mosquitto_reconnect_async(m_mosq);
  const std::string why = Reason(rc, errno);
  // The thread starts after the attempt: a thread that finds no connection under way ends.
  const int started = mosquitto_loop_start(m_mosq);
  if (rc != MOSQ_ERR_SUCCESS) {
    // Failed at once (no such host, nobody listens): the keeper tries again after its delay.
    std::lock_guard<std::mutex> lock(m_mu);
    NoteOutage(false, why);
    m_linkEnded = true;
    m_wake.notify_all();
  }
  return started;
}

void Bridge::Stop() {
  {
    std::unique_lock<std::mutex> lock(m_mu);
    if (m_stopping) return;
    m_stopping = true;
    m_wake.notify_all();
  }
  if (m_keeper.joinable()) m_keeper.join();
  // The core no longer delivers: a send that waits for a channel is refused at once.
  if (m_feeder.joinable()) m_feeder.join();
  unsigned long long waited;
  {
    std::unique_lock<std::mutex> lock(m_mu);
    m_wake.wait_for(lock, kDrainTime, [&] { return m_pending == 0 || !m_connected; });
    waited = m_pending;
  }
  // The broker publishes the will: online becomes "0".
  mosquitto_disconnect_v5(m_mosq, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
  mosquitto_loop_stop(m_mosq, false);

  if (!m_started) return;
  std::lock_guard<std::mutex> lock(m_mu);
  std::string skipped;
  for (int i = 0; i < kEventCount; ++i) {
    if (m_counts[i] == 0) continue;
    skipped += (skipped.empty() ? "; " : ", ") + std::to_string(m_counts[i]) + " " + kEventNames[i];
  }
  Log(LOG_INFO, "stopped: %llu messages published, %llu sent in, %llu not acknowledged%s",
      m_published, m_sentIn, waited, skipped.c_str());
}

void Bridge::Connected(int rc) {
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(m_mu);
    NoteOutage(true, mosquitto_reason_string(rc));
    return;
  }
  std::string status;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_connected = true;
    m_restartDelay = m_config.reconnectMin;
    if (m_outage) {
      const auto away = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_lostAt);
      Log(LOG_INFO, "connected to %s after %lld s without it; %u messages waiting", m_where.c_str(),
          static_cast<long long>(away.count()), m_pending);
    } else {
      Log(LOG_INFO, "connected to %s as %s, topics under %s", m_where.c_str(),
          m_config.clientId.c_str(), m_config.prefix.c_str());
    }
    m_outage = m_refusalLogged = false;
    m_everConnected = true;
    status = m_status;
  }
  // Subscriptions first: once "online" shows, messages for this server are taken in.
  for (const std::string& topic : m_config.subscriptions) {
    const int sub = mosquitto_subscribe_v5(m_mosq, nullptr, topic.c_str(), m_config.qos,
                                           MQTT_SUB_OPT_NO_LOCAL, nullptr);
    if (sub != MOSQ_ERR_SUCCESS) {
      Log(LOG_WARNING, "cannot subscribe to %s: %s", topic.c_str(), mosquitto_strerror(sub));
    }
  }
  Publish(m_onlineTopic, "1", 1, true, nullptr);
  // A broker that restarted has forgotten its retained messages.
  if (!status.empty()) {
    Publish(m_statusTopic, status.data(), static_cast<uint32_t>(status.size()), true, nullptr);
  }
}

void Bridge::Disconnected(int rc, int savedErrno) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_connected = false;
  m_wake.notify_all();
  if (m_stopping) return;
  NoteOutage(false, Reason(rc, savedErrno));
  if (EndsTheNetworkThread(rc)) m_linkEnded = true;
}

void Bridge::NoteOutage(bool refused, const std::string& why) {
  if (m_outage && (!refused || m_refusalLogged)) return;
  if (!m_outage) {
    m_outage = true;
    m_lostAt = Clock::now();
  }
  if (refused) {
    m_refusalLogged = true;
    Log(LOG_WARNING, "the broker at %s refused the connection (%s); retrying", m_where.c_str(),
        why.c_str());
  } else if (m_everConnected) {
    Log(LOG_WARNING, "lost the broker at %s (%s); reconnecting", m_where.c_str(), why.c_str());
  } else {
    Log(LOG_WARNING, "cannot reach the broker at %s (%s); retrying", m_where.c_str(), why.c_str());
  }
}

void Bridge::Acknowledged(int reason) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_pending > 0) --m_pending;
    m_wake.notify_all();
  }
  unsigned long long total;
  if (reason >= 0x80 && Tick(kRejectedByBroker, &total)) {
    Log(LOG_WARNING, "the broker rejected a message (%s; %llu so far)",
        mosquitto_reason_string(reason), total);
  }
}

bool Bridge::Tick(Event event, unsigned long long* total) {
  std::lock_guard<std::mutex> lock(m_mu);
  *total = ++m_counts[event];
  const Clock::time_point now = Clock::now();
  if (*total > 1 && now - m_loggedAt[event] < std::chrono::seconds(1)) return false;
  m_loggedAt[event] = now;
  return true;
}

void Bridge::ExpectEcho(const Echo& echo) {
  std::lock_guard<std::mutex> lock(m_mu);
  // A note whose delivery never came (the core stopped delivering) does not stay for ever.
  while (!m_echoes.empty() &&
         (m_echoes.size() >= kEchoLimit || echo.at - m_echoes.front().at > kEchoLifetime)) {
    m_echoes.pop_front();
  }
  m_echoes.push_back(echo);
}

bool Bridge::TakeEcho(const Echo& echo) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto found = std::find(m_echoes.begin(), m_echoes.end(), echo);
  if (found == m_echoes.end()) return false;
  m_echoes.erase(found);
  return true;
}

void Bridge::Publish(const std::string& topic, const void* data, uint32_t length, bool state,
                     const mosquitto_property* properties) {
  unsigned long long total = 0;
  bool dropped = false, log = false;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_stopping) return;
    if (!state && m_pending >= m_config.queueLimit) {
      dropped = true;
    } else {
      ++m_pending;
    }
  }
  if (dropped) {
    if (Tick(kDroppedOut, &total)) {
      Log(LOG_WARNING,
          "dropped a message for %s: %u wait for the broker already (queue_limit; %llu dropped "
          "so far)",
          topic.c_str(), m_config.queueLimit, total);
    }
    return;
  }
  const int rc = mosquitto_publish_v5(m_mosq, nullptr, topic.c_str(), static_cast<int>(length),
                                      data, state ? 1 : m_config.qos, state, properties);
  // Without a connection the library keeps the message (QoS 1 and 2) and sends it on the next.
  if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
    std::lock_guard<std::mutex> lock(m_mu);
    ++m_published;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mu);
    --m_pending;
  }
  log = Tick(kPublishFailed, &total);
  if (log) {
    Log(LOG_WARNING, "cannot publish to %s: %s (%llu so far)", topic.c_str(),
        mosquitto_strerror(rc), total);
  }
}

void Bridge::PublishMessage(uint32_t code, uint32_t flags, uint32_t channel, const uint32_t* source,
                            const void* data, uint32_t length, const uint8_t* extra) {
  unsigned long long total;
  if (length > m_config.maxPayload) {
    if (Tick(kOversizedOut, &total)) {
      Log(LOG_WARNING,
          "skipped a message of %u bytes (code 0x%08x): larger than max_payload %u (%llu so far)",
          length, code, m_config.maxPayload, total);
    }
    return;
  }
  char topic[32], text[16];
  snprintf(topic, sizeof topic, "msg/%08x", code);
  mosquitto_property* properties = nullptr;
  snprintf(text, sizeof text, "0x%08x", code);
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "code", text);
  snprintf(text, sizeof text, "0x%x", flags);
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "flags", text);
  snprintf(text, sizeof text, "%u", channel);
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "channel", text);
  if (source != nullptr) {
    snprintf(text, sizeof text, "%u", *source);
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "source", text);
  }
  if (extra != nullptr) {
    size_t used = ZENT_MESSAGE_EXTRA_BYTES;
    while (used > 0 && extra[used - 1] == 0) --used;
    if (used > 0) {
      mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "extra",
                                         Hex(extra, used).c_str());
    }
  }
  Publish(m_config.prefix + topic, data, length, false, properties);
  mosquitto_property_free_all(&properties);
}

void Bridge::OnWrite(const WriteRequest& request) {
  if (request.source == m_config.source) return;  // sent in by this bridge
  const uint32_t match = ZENT_QUEUED_MATCH(request.code);
  bool carried = false;
  for (const CarryRule& rule : m_config.queued) {
    carried |= (request.flags & rule.classBit) != 0 && (match & rule.match) == match;
  }
  // The masks are sets of bits: they may let through a message that no line names.
  if (!carried) return;
  PublishMessage(request.code, request.flags, request.channel, &request.source, request.data,
                 request.data != nullptr ? request.length : 0, request.extra);
}

void Bridge::OnRead(const ReadRequest& request) {
  const uint32_t length = request.data != nullptr ? request.length : 0;
  if (TakeEcho({kEchoRead, request.channel, length, Hash(request.data, length), {}})) return;
  if (length == 0 && request.channel == 0) {
    // The start call carries nothing; the first Read like it is taken for it.
    std::lock_guard<std::mutex> lock(m_mu);
    if (!m_startCallSeen) {
      m_startCallSeen = true;
      return;
    }
  }
  const CarryRule* rule = BroadcastRuleFor(m_config, request.channel);
  if (rule == nullptr) return;
  const uint32_t broadcastSource = 0;
  PublishMessage(rule->code, rule->classBit, request.channel, &broadcastSource, request.data,
                 length, nullptr);
}

void Bridge::OnIoctl(const IoctlRequest& request) {
  if (request.command != IOCTL_TO_OTHERS && request.command != IOCTL_TO_ALL) return;
  const uint32_t length = request.data != nullptr ? request.length : 0;
  const char* text = static_cast<const char*>(request.data);
  // The core's status document: the only MSG_TO_OTHERS message that is XML with a Zent root.
  if (request.command == IOCTL_TO_OTHERS && length > 5 && memcmp(text, "<?xml", 5) == 0 &&
      std::string(text, std::min<uint32_t>(length, 200)).find("<Zent") != std::string::npos) {
    bool connected;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_status.assign(text, length);
      connected = m_connected;
    }
    // Otherwise the next connect publishes it.
    if (connected) Publish(m_statusTopic, text, length, true, nullptr);
    return;
  }
  const EchoKind kind = request.command == IOCTL_TO_OTHERS ? kEchoToOthers : kEchoToAll;
  if (TakeEcho({kind, 0, length, Hash(request.data, length), {}})) return;
  PublishMessage(0, request.command == IOCTL_TO_OTHERS ? MSG_TO_OTHERS : MSG_TO_ALL, 0, nullptr,
                 request.data, length, nullptr);
}

void Bridge::Received(const mosquitto_message& message, const mosquitto_property* properties) {
  const std::string topic = message.topic != nullptr ? message.topic : "";
  // Published by this server (another client under the same prefix included).
  if (topic.compare(0, m_config.prefix.size(), m_config.prefix) == 0) return;
  const std::string last = topic.substr(topic.rfind('/') + 1);
  if (last == "status" || last == "online") return;  // another server's state, not a message
  unsigned long long total;
  if (message.payloadlen < 0 || static_cast<uint32_t>(message.payloadlen) > m_config.maxPayload) {
    if (Tick(kOversizedIn, &total)) {
      Log(LOG_WARNING,
          "skipped a message in on %.200s: %d bytes, larger than max_payload %u (%llu so far)",
          topic.c_str(), message.payloadlen, m_config.maxPayload, total);
    }
    return;
  }
  Incoming in;
  std::string why;
  if (!Parse(topic, message, properties, &in, &why)) {
    if (Tick(kMalformedIn, &total)) {
      Log(LOG_WARNING, "skipped a malformed message in on %.200s: %s (%llu so far)", topic.c_str(),
          why.c_str(), total);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_stopping) return;
    if (m_incoming.size() < m_config.queueLimit) {
      m_incoming.push_back(std::move(in));
      m_wake.notify_all();
      return;
    }
  }
  if (Tick(kDroppedIn, &total)) {
    Log(LOG_WARNING,
        "dropped a message in on %.200s: %u wait for the core already (queue_limit; %llu so "
        "far)",
        topic.c_str(), m_config.queueLimit, total);
  }
}

bool Bridge::Parse(const std::string& topic, const mosquitto_message& message,
                   const mosquitto_property* properties, Incoming* in, std::string* why) {
  // "<anything>msg/<8 hex digits>": the code.
  const std::string last = topic.substr(topic.rfind('/') + 1);
  const size_t level = topic.size() - last.size();
  if (last.size() != 8 || !ParseNumber("0x" + last, &in->code) || level < 4 ||
      topic.compare(level - 4, 4, "msg/") != 0 || (level > 4 && topic[level - 5] != '/')) {
    *why = "the topic does not end in msg/ and a code of 8 hex digits";
    return false;
  }
  bool haveFlags = false;
  const mosquitto_property* p = properties;
  for (bool skipFirst = false; why->empty(); skipFirst = true) {
    char* name = nullptr;
    char* value = nullptr;
    p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, skipFirst);
    if (p == nullptr) break;
    const std::string key = name != nullptr ? name : "", text = value != nullptr ? value : "";
    free(name);
    free(value);
    uint32_t number = 0;
    if (key == "flags" && ParseNumber(text, &in->flags)) {
      haveFlags = true;
    } else if (key == "channel" && ParseNumber(text, &in->channel)) {
    } else if (key == "source" && ParseNumber(text, &number)) {
      in->broadcast = number == 0;
    } else if (key == "code" && ParseNumber(text, &number)) {
      if (number != in->code) *why = "its code property " + text + " is not the topic's";
    } else if (key == "extra") {
      if (!Unhex(text, in->extra, sizeof in->extra)) *why = "its extra property is not hex";
    } else if (key == "flags" || key == "channel" || key == "source" || key == "code") {
      *why = "its " + key + " property \"" + text.substr(0, 40) + "\" is not a number";
    }
  }
  if (!why->empty()) return false;
  if (!haveFlags) {
    *why = "it has no flags property";
    return false;
  }
  if (in->flags == MSG_RELEASE || in->flags == MSG_CLOSE_CHANNEL) {
    *why = "flags " + std::to_string(in->flags) + " give back a buffer or close a channel";
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(message.payload);
  in->payload.assign(bytes, bytes + (bytes != nullptr ? message.payloadlen : 0));
  return true;
}

void Bridge::Feed() {
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || !m_incoming.empty(); });
    if (m_stopping) break;
    Incoming in = std::move(m_incoming.front());
    m_incoming.pop_front();
    lock.unlock();
    Inject(in);
    lock.lock();
  }
  m_counts[kDroppedIn] += m_incoming.size();
  m_incoming.clear();
}

void Bridge::Inject(const Incoming& in) {
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(in.payload.size());
  message.data = in.payload.empty() ? nullptr : in.payload.data();
  message.source = in.broadcast ? 0 : m_config.source;
  message.channel = in.channel;
  message.flags = in.flags;
  message.code = in.code;
  memcpy(message.extra, in.extra, sizeof message.extra);

  // Will the core hand it back to this plugin without its source? The same rules as delivery.
  Echo echo{kEchoRead, in.channel, message.length, 0, Clock::now()};
  bool comesBack = false;
  if (in.broadcast) {
    comesBack = m_config.broadcasts.size() > 0 &&
                Matches(m_config, message.flags, ZENT_BROADCAST_MATCH(message.code));
  } else if ((message.flags & MSG_TO_OTHERS) != 0 && message.source != m_config.id) {
    echo.kind = kEchoToOthers;
    comesBack = true;
  } else if ((message.flags & MSG_TO_ALL) != 0) {
    echo.kind = kEchoToAll;
    comesBack = true;
  }
  if (comesBack) {
    if (echo.kind != kEchoRead) echo.channel = 0;
    echo.hash = Hash(message.data, message.length);
    ExpectEcho(echo);
  }
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  m_callback(&message, &reply);
  if (reply.result == RESULT_OK) {
    std::lock_guard<std::mutex> lock(m_mu);
    ++m_sentIn;
    return;
  }
  if (comesBack) TakeEcho(echo);
  unsigned long long total;
  if (Tick(kRefusedIn, &total)) {
    Log(LOG_WARNING,
        "the core refused a message in (code 0x%08x, channel %u: result %d; %llu so far)",
        message.code, message.channel, reply.result, total);
  }
}

void Bridge::Keep() {
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || m_linkEnded; });
    if (m_stopping) break;
    const unsigned delay = m_restartDelay;
    if (m_wake.wait_for(lock, std::chrono::seconds(delay), [&] { return m_stopping; })) break;
    m_linkEnded = false;
    m_restartDelay = std::min(2 * delay, m_config.reconnectMax);
    lock.unlock();
    // Should the thread still run after all, the disconnect ends it.
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    Connect(false);
    lock.lock();
  }
}

// The directory and path of this shared object.
std::string OwnPath() {
  static const char anchor = 0;
  Dl_info info;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

Bridge* g_bridge;  // from Load to Unload

int LoadBridge(PluginContext* context, PluginInfo* info) {
  g_toSyslog = StderrIsDevNull();
  const std::string path = OwnPath();
  const std::string dir =
      path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  const std::string configPath = (dir.empty() ? "." : dir) + "/" + kConfigName;
  // No file: the defaults. A file that cannot be read is an error like a bad line.
  std::string text;
  if (access(configPath.c_str(), F_OK) == 0) {
    std::ifstream in(configPath);
    if (!in.is_open()) {
      Log(LOG_ERR, "%s: %s; not loaded", configPath.c_str(), strerror(errno));
      info->error = 1;
      return 0;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  BridgeConfig config;
  std::string error;
  if (!ParseBridgeConfig(text, dir.empty() ? "." : dir, host, &config, &error)) {
    Log(LOG_ERR, "%s: %s; not loaded", configPath.c_str(), error.c_str());
    info->error = 1;  // rejected: the core logs it and unloads this file
    return 0;
  }
  auto bridge = std::make_unique<Bridge>(config, context->callback);
  if (!bridge->Create()) {
    info->error = 1;
    return 0;
  }
  info->id = config.id;
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) info->classMasks[i] = config.masks[i];
  info->acceptsWrite = config.queued.empty() ? 0 : 1;
  info->acceptsRead = config.broadcasts.empty() ? 0 : 1;
  g_bridge = bridge.release();
  return 0;
}

// Runs an entry point's work; no exception (out of memory, no thread) crosses into the core.
template <typename Work>
int Guarded(int failed, Work work) {
  try {
    return work();
  } catch (...) {
    return failed;
  }
}

}  // namespace
}  // namespace mqtt_bridge

using mqtt_bridge::g_bridge;
using mqtt_bridge::Guarded;

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  if (Guarded(-1, [&] { return mqtt_bridge::LoadBridge(context, info); }) != 0) info->error = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest*, OpenReply*) {
  return Guarded(-1, [] { return g_bridge->Start() ? 0 : -1; });
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply*) {
  return Guarded(0, [&] { return g_bridge->OnRead(*request), 0; });
}

// retained stays 0 in the replies of Write and IOCTL: the library has its own copy of what it
// publishes.
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply*) {
  return Guarded(0, [&] { return g_bridge->OnWrite(*request), 0; });
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply*) {
  return Guarded(0, [&] { return g_bridge->OnIoctl(*request), 0; });
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void*, void*) { return 0; }

ZENT_PLUGIN_EXPORT int Close(CloseRequest*, StatusReply*) {
  return Guarded(0, [] { return g_bridge->Stop(), 0; });
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest*, StatusReply*) {
  Guarded(0, [] { return g_bridge->Stop(), 0; });
  delete g_bridge;
  g_bridge = nullptr;
  return 0;
}
