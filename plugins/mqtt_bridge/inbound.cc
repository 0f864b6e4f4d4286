#include "inbound.h"

#include <ctype.h>
#include <mqtt_protocol.h>
#include <stdlib.h>
#include <string.h>

namespace mqtt_bridge {
namespace {

bool Unhex(const std::string& hex, uint8_t* out, size_t capacity) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > capacity) return false;
  for (const char c : hex) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  for (size_t i = 0; i < hex.size() / 2; ++i) {
    out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

bool LooksLikeStatusDocument(const std::vector<uint8_t>& payload) {
  const std::string head(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 200));
  return head.find("<Zent") != std::string::npos;
}

bool AllHex(const std::string& text) {
  for (const char c : text) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

bool ParseIncoming(const std::string& topic, const mosquitto_property* properties, Incoming* in,
                   std::string* why) {
  // "<anything>msg/<exactly 8 hex digits>": the code.
  const std::string last = topic.substr(topic.rfind('/') + 1);
  const size_t level = topic.size() - last.size();
  if (last.size() != 8 || !AllHex(last) || level < 4 || topic.compare(level - 4, 4, "msg/") != 0 ||
      (level > 4 && topic[level - 5] != '/')) {
    *why = "the topic does not end in msg/ and a code of 8 hex digits";
    return false;
  }
  in->code = static_cast<uint32_t>(strtoul(last.c_str(), nullptr, 16));
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
    } else if (key == "hops" && ParseNumber(text, &in->origin.hops)) {
    } else if (key == "origin") {
      in->origin.client = text;
    } else if (key == "extra") {
      if (!Unhex(text, in->extra, sizeof in->extra)) *why = "its extra property is not hex";
    } else if (key == "flags" || key == "channel" || key == "source" || key == "code" ||
               key == "hops") {
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
  return true;
}

bool Accepted(const BridgeConfig& config, const Incoming& in) {
  if (IsCoreCode(in.code)) return false;
  const uint32_t routing = MSG_TO_OTHERS | MSG_TO_ALL;
  uint32_t classBits = 0;
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) classBits |= MSG_CLASS_BIT(i);
  // Only class bits and the two routing bits: anything else is not a message to pass on.
  if ((in.flags & ~(classBits | routing)) != 0) return false;
  if ((in.flags & MSG_TO_OTHERS) != 0 && LooksLikeStatusDocument(in.payload)) return false;
  const bool toAll = (in.flags & routing) != 0;
  // Every class bit of the message must be named, for its code and channel.
  uint32_t named = 0;
  bool allowedToAll = false;
  for (const AcceptRule& rule : config.accepts) {
    if (rule.code != in.code || (in.flags & rule.classBit) == 0) continue;
    if (!rule.anyChannel && rule.channel != in.channel) continue;
    named |= rule.classBit;
    allowedToAll |= rule.toAll;
  }
  const uint32_t wanted = in.flags & classBits;
  if (wanted == 0 && !toAll) return false;
  if ((named & wanted) != wanted) return false;
  if (toAll) {
    // A message for every plugin needs a line that says so, and no class bit of its own is
    // needed then: a line with "all" for its code is enough.
    if (wanted == 0) {
      for (const AcceptRule& rule : config.accepts) {
        if (rule.code == in.code && rule.toAll && (rule.anyChannel || rule.channel == in.channel)) {
          allowedToAll = true;
        }
      }
    }
    if (!allowedToAll) return false;
  }
  return true;
}

Inbound::Inbound(const BridgeConfig& config, CoreCallbackFn callback, Counters* counters,
                 Notes* notes)
    : m_config(config), m_callback(callback), m_counters(counters), m_notes(notes) {}

Inbound::~Inbound() { Stop(); }

bool Inbound::Start() {
  for (int i = 0; i < kFeeders; ++i) m_feeders.emplace_back(&Inbound::Feed, this);
  return true;
}

void Inbound::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_stopping = true;
    m_wake.notify_all();
  }
  for (std::thread& feeder : m_feeders) {
    if (feeder.joinable()) feeder.join();
  }
  m_feeders.clear();
}

unsigned long long Inbound::SentIn() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_sentIn;
}

void Inbound::Drop(Event event, const std::string& topic, const std::string& why) {
  unsigned long long total;
  if (m_counters->Tick(event, &total)) {
    Log(LOG_WARNING, "skipped a message in on %.200s: %s (%llu so far)", topic.c_str(), why.c_str(),
        total);
  }
}

void Inbound::OnMessage(const mosquitto_message& message, const mosquitto_property* properties) {
  const std::string topic = message.topic != nullptr ? message.topic : "";
  // Published by this server (another client under the same prefix included).
  if (topic.compare(0, m_config.prefix.size(), m_config.prefix) == 0) return;
  const std::string last = topic.substr(topic.rfind('/') + 1);
  if (last == "status" || last == "online" || last == "stats") return;  // a server's state
  if (message.retain) {
    // Published some time ago and kept by the broker: not an event of now.
    Drop(kRetainedIn, topic, "the broker kept it as a retained message");
    return;
  }
  if (message.payloadlen < 0 || static_cast<uint32_t>(message.payloadlen) > m_config.maxPayload) {
    Drop(kOversizedIn, topic,
         std::to_string(message.payloadlen) + " bytes, larger than max_payload " +
             std::to_string(m_config.maxPayload));
    return;
  }
  Incoming in;
  std::string why;
  if (!ParseIncoming(topic, properties, &in, &why)) {
    Drop(kMalformedIn, topic, "malformed: " + why);
    return;
  }
  if (in.origin.client == m_config.clientId || in.origin.hops > m_config.maxHops) {
    Drop(kLoopedIn, topic,
         in.origin.client == m_config.clientId
             ? "this bridge published it first"
             : "relayed " + std::to_string(in.origin.hops) + " times, past max_hops " +
                   std::to_string(m_config.maxHops));
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(message.payload);
  in.payload.assign(bytes, bytes + (bytes != nullptr ? message.payloadlen : 0));
  if (!Accepted(m_config, in)) {
    char text[96];
    snprintf(text, sizeof text, "no accept line takes flags 0x%x, code 0x%08x, channel %u",
             in.flags, in.code, in.channel);
    Drop(kNotAcceptedIn, topic, text);
    return;
  }
  size_t count;
  uint64_t bytesQueued;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_stopping) return;
    count = m_count;
    bytesQueued = m_bytes;
    if (m_count < m_config.queueLimit && m_bytes + in.payload.size() <= m_config.queueLimitBytes) {
      ++m_count;
      m_bytes += in.payload.size();
      ChannelQueue& queue = m_queues[in.channel];
      if (queue.messages.empty() && !queue.feeding) m_ready.push_back(in.channel);
      queue.messages.push_back(std::move(in));
      m_wake.notify_one();
      return;
    }
  }
  Drop(kDroppedIn, topic,
       "dropped: " + std::to_string(count) + " messages of " + std::to_string(bytesQueued) +
           " bytes wait for the core already (queue_limit, queue_limit_bytes)");
}

void Inbound::Feed() {
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || !m_ready.empty(); });
    if (m_stopping) break;
    const uint32_t channel = m_ready.front();
    m_ready.pop_front();
    ChannelQueue& queue = m_queues[channel];
    Incoming in = std::move(queue.messages.front());
    queue.messages.pop_front();
    queue.feeding = true;
    lock.unlock();
    Inject(in);
    lock.lock();
    --m_count;
    m_bytes -= in.payload.size();
    ChannelQueue& after = m_queues[channel];
    after.feeding = false;
    if (!after.messages.empty()) {
      m_ready.push_back(channel);
      m_wake.notify_one();
    } else {
      m_queues.erase(channel);
    }
  }
  // The last feeder out counts what is left.
  unsigned long long left = 0;
  for (auto& [channel, queue] : m_queues) {
    left += queue.messages.size();
    queue.messages.clear();
  }
  m_count = 0;
  m_bytes = 0;
  lock.unlock();
  for (unsigned long long i = 0; i < left; ++i) {
    unsigned long long total;
    m_counters->Tick(kDroppedIn, &total);
  }
}

void Inbound::Inject(const Incoming& in) {
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
  const uint64_t hash = Hash(message.data, message.length);
  Echo echo{kEchoRead, in.channel, message.length, hash};
  bool comesBack = false;
  if (in.broadcast) {
    const uint32_t match = ZENT_BROADCAST_MATCH(message.code);
    for (int i = 0; i < ZENT_CLASS_MASKS && !m_config.broadcasts.empty(); ++i) {
      comesBack |= (message.flags & MSG_CLASS_BIT(i)) != 0 && (match & m_config.masks[i]) == match;
    }
  } else if ((message.flags & MSG_TO_OTHERS) != 0 && message.source != m_config.id) {
    echo = {kEchoToOthers, 0, message.length, hash};
    comesBack = true;
  } else if ((message.flags & MSG_TO_ALL) != 0) {
    echo = {kEchoToAll, 0, message.length, hash};
    comesBack = true;
  }
  if (comesBack) m_notes->ExpectEcho(echo);
  if (!in.origin.client.empty()) m_notes->NoteOrigin(message.length, hash, in.origin);

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
  if (comesBack) m_notes->TakeEcho(echo);
  unsigned long long total;
  if (m_counters->Tick(kRefusedIn, &total)) {
    Log(LOG_WARNING,
        "the core refused a message in (code 0x%08x, channel %u: result %d; %llu so far)",
        message.code, message.channel, reply.result, total);
  }
}

}  // namespace mqtt_bridge
