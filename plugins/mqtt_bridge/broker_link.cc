#include "broker_link.h"

#include <errno.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <string.h>

#include "broker_address.h"

namespace mqtt_bridge {
namespace {

constexpr int kLoopMs = 100;
constexpr auto kDisconnectTime = std::chrono::milliseconds(500);
// Room for the topic and the properties of a message on top of its payload, in the largest
// packet the broker may send (the bridge's own properties need well under 1 KiB).
constexpr uint32_t kHeaderRoom = 8192;
constexpr uint32_t kMqttMaxPacket = 268435455;

}  // namespace

BrokerLink::BrokerLink(const BridgeConfig& config, LinkHandler* handler)
    : m_config(config),
      m_handler(handler),
      m_where(config.host + ":" + std::to_string(config.port)) {
  if (const char* delay = getenv("ZENT_BRIDGE_TEST_RESOLVE_DELAY_MS"))
    m_resolveDelayMs = atoi(delay);
}

BrokerLink::~BrokerLink() {
  if (m_mosq != nullptr) mosquitto_destroy(m_mosq);
  if (m_tls != nullptr) SSL_CTX_free(m_tls);
  mosquitto_property_free_all(&m_connectProperties);
  mosquitto_lib_cleanup();
}

bool BrokerLink::Create() {
  mosquitto_lib_init();
  m_mosq = mosquitto_new(m_config.clientId.c_str(), true, this);
  if (m_mosq == nullptr) {
    Log(LOG_ERR, "cannot make an MQTT client: %s", strerror(errno));
    return false;
  }
  mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Publishing threads only queue; the network thread writes.
  mosquitto_threaded_set(m_mosq, true);
  // The library calls these on the network thread; no exception may cross it.
  mosquitto_connect_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        try {
          static_cast<BrokerLink*>(self)->Connected(rc);
        } catch (...) {
        }
      });
  mosquitto_disconnect_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
        const int savedErrno = errno;
        try {
          static_cast<BrokerLink*>(self)->Disconnected(rc, savedErrno);
        } catch (...) {
        }
      });
  mosquitto_subscribe_v5_callback_set(m_mosq, [](mosquitto*, void* self, int mid, int count,
                                                 const int* granted, const mosquitto_property*) {
    try {
      static_cast<BrokerLink*>(self)->Subscribed(mid, count, granted);
    } catch (...) {
    }
  });
  mosquitto_publish_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        try {
          static_cast<BrokerLink*>(self)->m_handler->OnAcknowledged(mid, reason);
        } catch (...) {
        }
      });
  mosquitto_message_v5_callback_set(
      m_mosq, [](mosquitto*, void* self, const mosquitto_message* message,
                 const mosquitto_property* properties) {
        try {
          static_cast<BrokerLink*>(self)->m_handler->OnMessage(*message, properties);
        } catch (...) {
        }
      });
  mosquitto_log_callback_set(m_mosq, [](mosquitto*, void* self, int level, const char* text) {
    try {
      static_cast<BrokerLink*>(self)->LibraryLog(level, text);
    } catch (...) {
    }
  });

  int rc = MOSQ_ERR_SUCCESS;
  if (!m_config.username.empty()) {
    rc = mosquitto_username_pw_set(m_mosq, m_config.username.c_str(),
                                   m_config.password.empty() ? nullptr : m_config.password.c_str());
  }
  const std::string online = m_config.prefix + "online";
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_will_set_v5(m_mosq, online.c_str(), 1, "0", 1, true, nullptr);
  }
  // The broker sends nothing larger: the library itself would read a packet of any size.
  const uint64_t packet = static_cast<uint64_t>(m_config.maxPayload) + kHeaderRoom;
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_property_add_int32(
        &m_connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
        static_cast<uint32_t>(std::min<uint64_t>(packet, kMqttMaxPacket)));
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Log(LOG_ERR, "cannot set up the MQTT client: %s", mosquitto_strerror(rc));
    return false;
  }
  if (m_config.tls) {
    std::string error;
    m_tls = MakeTlsContext(m_config, &error);
    if (m_tls == nullptr) {
      Log(LOG_ERR, "%s", error.c_str());
      return false;
    }
    // The context as it is: the library adds nothing to it.
    mosquitto_int_option(m_mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    rc = mosquitto_void_option(m_mosq, MOSQ_OPT_SSL_CTX, m_tls);
    if (rc != MOSQ_ERR_SUCCESS) {
      Log(LOG_ERR, "cannot use TLS: %s", mosquitto_strerror(rc));
      return false;
    }
  }
  return true;
}

bool BrokerLink::Start() {
  m_thread = std::thread(&BrokerLink::Run, this);
  return true;
}

void BrokerLink::Notify() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_wake.notify_all();
}

void BrokerLink::Stop(Clock::duration drain, const std::function<bool()>& drained) {
  if (m_stopped) return;
  m_stopped = true;
  {
    std::unique_lock<std::mutex> lock(m_mu);
    m_wake.wait_for(lock, drain, [&] { return !m_connected.load() || drained(); });
    m_stopRequested = true;
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
}

int BrokerLink::Publish(const std::string& topic, const void* data, uint32_t length, int qos,
                        bool retain, const mosquitto_property* properties, int* mid) {
  std::shared_lock<std::shared_mutex> lock(m_connecting, std::defer_lock);
  if (std::this_thread::get_id() != m_networkThread.load()) lock.lock();
  return mosquitto_publish_v5(m_mosq, mid, topic.c_str(), static_cast<int>(length), data, qos,
                              retain, properties);
}

bool BrokerLink::WaitForStop(Clock::duration delay) {
  std::unique_lock<std::mutex> lock(m_mu);
  return m_wake.wait_for(lock, delay, [&] { return m_stopRequested.load(); });
}

void BrokerLink::Run() {
  m_networkThread = std::this_thread::get_id();
  unsigned delay = m_config.reconnectMin;
  FindOptions options;
  options.resolveDelayMs = m_resolveDelayMs;
  const auto stopping = [&] { return StopRequested(); };
  for (bool first = true;; first = false) {
    if (!first) {
      if (WaitForStop(std::chrono::seconds(delay))) break;
      delay = std::min(2 * delay, m_config.reconnectMax);
    }
    if (StopRequested()) break;
    std::string address, why;
    if (!FindBroker(m_config.host, m_config.port, options, stopping, &address, &why)) {
      if (StopRequested()) break;
      NoteOutage(why, kLost);
      continue;
    }
    bool accepted = false;
    if (!RunConnection(address, &accepted)) break;
    if (accepted) delay = m_config.reconnectMin;
  }
  Disconnect();
}

bool BrokerLink::RunConnection(const std::string& address, bool* accepted) {
  m_endReason.clear();
  m_lastLibraryError.clear();
  m_takenOver = false;
  int rc;
  {
    std::unique_lock<std::shared_mutex> lock(m_connecting);
    rc = mosquitto_connect_bind_v5(m_mosq, address.c_str(), m_config.port, m_config.keepalive,
                                   nullptr, m_connectProperties);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    NoteOutage(Reason(rc, errno), kLost);
    return !StopRequested();
  }
  const auto started = Clock::now();
  for (;;) {
    rc = mosquitto_loop(m_mosq, kLoopMs, 1);
    const int savedErrno = errno;
    if (m_connected) *accepted = true;
    if (StopRequested()) return false;
    if (rc != MOSQ_ERR_SUCCESS) {
      if (m_endReason.empty()) m_endReason = Reason(rc, savedErrno);
      break;
    }
    if (!m_connected && Clock::now() - started > std::chrono::seconds(m_config.reconnectMax)) {
      m_endReason = "the broker did not accept the connection within " +
                    std::to_string(m_config.reconnectMax) + " s";
      break;
    }
  }
  // Whatever ended it, the next cycle starts from a closed connection.
  m_connected = false;
  mosquitto_disconnect(m_mosq);
  NoteOutage(m_endReason, m_takenOver ? kTakenOver : kLost);
  return true;
}

void BrokerLink::Disconnect() {
  if (!m_connected) {
    mosquitto_disconnect(m_mosq);
    return;
  }
  // The broker publishes the will: online becomes "0".
  mosquitto_disconnect_v5(m_mosq, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
  const auto deadline = Clock::now() + kDisconnectTime;
  while (mosquitto_socket(m_mosq) >= 0 && Clock::now() < deadline) {
    if (mosquitto_loop(m_mosq, kLoopMs / 4, 1) != MOSQ_ERR_SUCCESS) break;
  }
  m_connected = false;
}

void BrokerLink::Connected(int rc) {
  if (rc != 0) {
    m_endReason = mosquitto_reason_string(rc);
    NoteOutage(m_endReason, kRefused);
    return;
  }
  if (m_outage) {
    const auto away = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_lostAt);
    Log(LOG_INFO, "connected to %s after %lld s without it", m_where.c_str(),
        static_cast<long long>(away.count()));
  } else {
    Log(LOG_INFO, "connected to %s as %s, topics under %s", m_where.c_str(),
        m_config.clientId.c_str(), m_config.prefix.c_str());
  }
  m_outage = false;
  m_outageReason.clear();
  m_everConnected = true;
  // Subscriptions first: once "online" shows, messages for this server are taken in. Retained
  // messages are never sent for them, and this client's own messages are not sent back.
  m_subscribing.clear();
  for (const std::string& topic : m_config.subscriptions) {
    int mid = 0;
    const int sub =
        mosquitto_subscribe_v5(m_mosq, &mid, topic.c_str(), m_config.qos,
                               MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
    if (sub != MOSQ_ERR_SUCCESS) {
      Log(LOG_WARNING, "cannot subscribe to %s: %s", topic.c_str(), mosquitto_strerror(sub));
    } else {
      m_subscribing[mid] = topic;
    }
  }
  m_connected = true;
  m_handler->OnConnected();
  Notify();
}

void BrokerLink::Disconnected(int rc, int savedErrno) {
  m_connected = false;
  Notify();
  if (StopRequested()) return;
  // The first reason is the real one: the library may report the same end again as it closes.
  if (!m_endReason.empty()) return;
  m_takenOver = rc == MQTT_RC_SESSION_TAKEN_OVER;
  m_endReason = rc == 0 ? "the connection was closed" : Reason(rc, savedErrno);
}

void BrokerLink::Subscribed(int mid, int count, const int* granted) {
  const auto topic = m_subscribing.find(mid);
  if (topic == m_subscribing.end()) return;
  for (int i = 0; i < count; ++i) {
    if (granted[i] >= 0x80) {
      Log(LOG_WARNING, "the broker refused the subscription to %s: %s", topic->second.c_str(),
          mosquitto_reason_string(granted[i]));
    }
  }
  m_subscribing.erase(topic);
}

void BrokerLink::LibraryLog(int level, const char* text) {
  if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr) {
    m_lastLibraryError = text;
  }
}

std::string BrokerLink::Reason(int rc, int savedErrno) {
  if (rc >= 0x80) {
    char code[16];
    snprintf(code, sizeof code, " (0x%02x)", rc);
    return std::string("the broker disconnected: ") + mosquitto_reason_string(rc) + code;
  }
  std::string why = rc == MOSQ_ERR_ERRNO ? strerror(savedErrno) : mosquitto_strerror(rc);
  if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_LOST) {
    const std::string certificate = CertificateProblem(mosquitto_ssl_get(m_mosq));
    if (!certificate.empty()) {
      why += ": " + certificate;
    } else if (rc == MOSQ_ERR_TLS && !m_lastLibraryError.empty()) {
      why += ": " + m_lastLibraryError;
    }
  }
  return why;
}

void BrokerLink::NoteOutage(const std::string& why, Outage kind) {
  if (m_outage && why == m_outageReason) return;
  const bool first = !m_outage;
  if (first) {
    m_outage = true;
    m_lostAt = Clock::now();
  }
  m_outageReason = why;
  if (kind == kRefused) {
    Log(LOG_WARNING, "the broker at %s refused the connection (%s); retrying", m_where.c_str(),
        why.c_str());
  } else if (kind == kTakenOver) {
    Log(LOG_WARNING,
        "another client with the client id %s took this bridge's session over at %s (does "
        "another server use the same client_id?); reconnecting",
        m_config.clientId.c_str(), m_where.c_str());
  } else if (first && m_everConnected) {
    Log(LOG_WARNING, "lost the broker at %s (%s); reconnecting", m_where.c_str(), why.c_str());
  } else {
    Log(LOG_WARNING, "cannot reach the broker at %s (%s); retrying", m_where.c_str(), why.c_str());
  }
}

}  // namespace mqtt_bridge
