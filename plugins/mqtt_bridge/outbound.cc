#include "outbound.h"

#include <mqtt_protocol.h>
#include <stdio.h>
#include <string.h>

namespace mqtt_bridge {
namespace {

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

// The core's status document: the only MSG_TO_OTHERS message that is XML with a Zent root.
bool IsStatusDocument(const void* data, uint32_t length) {
  const char* text = static_cast<const char*>(data);
  return length > 5 && memcmp(text, "<?xml", 5) == 0 &&
         std::string(text, std::min<uint32_t>(length, 200)).find("<Zent") != std::string::npos;
}

}  // namespace

Outbound::Outbound(const BridgeConfig& config, BrokerLink* link, Counters* counters, Notes* notes)
    : m_config(config),
      m_link(link),
      m_counters(counters),
      m_notes(notes),
      m_statusTopic(config.prefix + "status"),
      m_statsTopic(config.prefix + "stats"),
      m_onlineTopic(config.prefix + "online") {}

void Outbound::Close() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_closed = true;
}

bool Outbound::Drained() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_pending.empty() && m_reserved == 0;
}

uint32_t Outbound::Pending() {
  std::lock_guard<std::mutex> lock(m_mu);
  return static_cast<uint32_t>(m_pending.size()) + m_reserved;
}

unsigned long long Outbound::Published() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_published;
}

void Outbound::Publish(const std::string& topic, const void* data, uint32_t length, bool state,
                       const mosquitto_property* properties) {
  unsigned long long total = 0;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_closed) return;
    const uint64_t waiting = m_pending.size() + m_reserved;
    if (!state &&
        (waiting >= m_config.queueLimit || m_pendingBytes + length > m_config.queueLimitBytes)) {
      if (m_counters->Tick(kDroppedOut, &total)) {
        Log(LOG_WARNING,
            "dropped a message for %s: %llu messages of %llu bytes wait for the broker already "
            "(queue_limit %u, queue_limit_bytes %llu; %llu dropped so far)",
            topic.c_str(), static_cast<unsigned long long>(waiting),
            static_cast<unsigned long long>(m_pendingBytes), m_config.queueLimit,
            static_cast<unsigned long long>(m_config.queueLimitBytes), total);
      }
      return;
    }
    ++m_reserved;
    m_pendingBytes += length;
  }
  int mid = 0;
  const int rc =
      m_link->Publish(topic, data, length, state ? 1 : m_config.qos, state, properties, &mid);
  // Without a connection the library keeps the message (QoS 1 and 2) and sends it on the next.
  const bool kept = rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    --m_reserved;
    if (kept && m_earlyAcks.erase(mid) == 0) {
      m_pending[mid] = length;
    } else {
      m_pendingBytes -= length;
    }
    if (kept) ++m_published;
  }
  m_link->Notify();
  if (!kept && m_counters->Tick(kPublishFailed, &total)) {
    Log(LOG_WARNING, "cannot publish to %s: %s (%llu so far)", topic.c_str(),
        mosquitto_strerror(rc), total);
  }
}

void Outbound::OnAcknowledged(int mid, int reason) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    const auto found = m_pending.find(mid);
    if (found == m_pending.end()) {
      m_earlyAcks.insert(mid);
    } else {
      m_pendingBytes -= found->second;
      m_pending.erase(found);
    }
  }
  m_link->Notify();
  unsigned long long total;
  if (reason >= 0x80 && m_counters->Tick(kRejectedByBroker, &total)) {
    Log(LOG_WARNING, "the broker rejected a message (%s; %llu so far)",
        mosquitto_reason_string(reason), total);
  }
}

void Outbound::OnConnected() {
  std::string status, stats;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    status = m_status;
    stats = m_stats;
  }
  Publish(m_onlineTopic, "1", 1, true, nullptr);
  // A broker that restarted without persistence has forgotten its retained messages.
  if (!status.empty()) {
    Publish(m_statusTopic, status.data(), static_cast<uint32_t>(status.size()), true, nullptr);
  }
  if (!stats.empty()) {
    Publish(m_statsTopic, stats.data(), static_cast<uint32_t>(stats.size()), true, nullptr);
  }
}

void Outbound::PublishState(const std::string& topic, std::string* kept, const void* data,
                            uint32_t length) {
  const char* text = static_cast<const char*>(data);
  bool connected;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    kept->assign(text, length);
    // The link is marked connected before OnConnected reads the kept document: one of the two
    // publishes it.
    connected = m_link->Connected();
  }
  if (connected) Publish(topic, text, length, true, nullptr);
}

void Outbound::PublishMessage(uint32_t code, uint32_t flags, uint32_t channel,
                              const uint32_t* source, const void* data, uint32_t length,
                              const uint8_t* extra) {
  unsigned long long total;
  if (length > m_config.maxPayload) {
    if (m_counters->Tick(kOversizedOut, &total)) {
      Log(LOG_WARNING,
          "skipped a message of %u bytes (code 0x%08x): larger than max_payload %u (%llu so far)",
          length, code, m_config.maxPayload, total);
    }
    return;
  }
  // A message with the content of one sent in keeps its origin, one hop further.
  Origin origin{m_config.clientId, 0};
  if (m_notes->OriginOf(length, Hash(data, length), &origin)) ++origin.hops;
  if (origin.hops > m_config.maxHops) {
    if (m_counters->Tick(kLoopedOut, &total)) {
      Log(LOG_WARNING,
          "did not publish a message (code 0x%08x) that came from %s %u hops ago: past max_hops "
          "(%llu so far)",
          code, origin.client.c_str(), origin.hops - 1, total);
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
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "origin",
                                     origin.client.c_str());
  snprintf(text, sizeof text, "%u", origin.hops);
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "hops", text);
  Publish(m_config.prefix + topic, data, length, false, properties);
  mosquitto_property_free_all(&properties);
}

void Outbound::OnWrite(const WriteRequest& request) {
  if (request.source == m_config.source) return;  // sent in by this bridge
  if (request.source == CORE_SOURCE && request.code == ZENT_CODE_STATISTICS &&
      (request.flags & MSG_CLASS_BIT(ZENT_STATISTICS_CLASS)) != 0) {
    if (m_config.publishStats && request.data != nullptr) {
      PublishState(m_statsTopic, &m_stats, request.data, request.length);
    }
    return;
  }
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

void Outbound::OnRead(const ReadRequest& request) {
  const uint32_t length = request.data != nullptr ? request.length : 0;
  if (m_notes->TakeEcho({kEchoRead, request.channel, length, Hash(request.data, length)})) return;
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

void Outbound::OnIoctl(const IoctlRequest& request) {
  if (request.command != IOCTL_TO_OTHERS && request.command != IOCTL_TO_ALL) return;
  const uint32_t length = request.data != nullptr ? request.length : 0;
  if (request.command == IOCTL_TO_OTHERS && IsStatusDocument(request.data, length)) {
    if (m_config.publishStatus) PublishState(m_statusTopic, &m_status, request.data, length);
    return;
  }
  const EchoKind kind = request.command == IOCTL_TO_OTHERS ? kEchoToOthers : kEchoToAll;
  if (m_notes->TakeEcho({kind, 0, length, Hash(request.data, length)})) return;
  if (!m_config.publishIoctl) return;
  PublishMessage(0, request.command == IOCTL_TO_OTHERS ? MSG_TO_OTHERS : MSG_TO_ALL, 0, nullptr,
                 request.data, length, nullptr);
}

}  // namespace mqtt_bridge
