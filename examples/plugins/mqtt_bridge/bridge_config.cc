#include "bridge_config.h"

#include <ctype.h>
#include <errno.h>
#include <fstream>
#include <map>
#include <mosquitto.h>
#include <sstream>
#include <stdlib.h>
#include <unistd.h>

namespace mqtt_bridge {

bool ParseNumber(const std::string& token, uint32_t* value) {
  // Decimal, or hex after "0x"; a leading zero does not make it octal.
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const char* digits = token.c_str() + (hex ? 2 : 0);
  if (!(hex ? isxdigit(static_cast<unsigned char>(*digits))
            : isdigit(static_cast<unsigned char>(*digits)))) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != 0 || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Resolve(const std::string& dir, const std::string& path) {
  return path.empty() || path[0] == '/' ? path : dir + "/" + path;
}

// Reads one line of the file by one key: a problem is a message, a number a value.
class LineParser {
 public:
  LineParser(const std::string& dir, BridgeConfig* config) : dir_(dir), config_(config) {}

  // Applies "key rest" to the configuration; false with *why on a bad line.
  bool Apply(const std::string& key, const std::string& rest, std::string* why);

  // Broadcast lines, by the line they stand on, to find two that a Read cannot tell apart.
  std::vector<std::pair<int, CarryRule>> broadcastLines;
  int line = 0;
  int passwordLine = 0;

 private:
  bool Number(const std::string& rest, uint32_t low, uint32_t high, uint32_t* value,
              std::string* why) {
    const std::vector<std::string> words = Words(rest);
    if (words.size() != 1 || !ParseNumber(words[0], value) || *value < low || *value > high) {
      *why = "needs one number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    return true;
  }
  bool Carry(const std::string& rest, std::string* why);

  std::string dir_;
  BridgeConfig* config_;
};

bool LineParser::Carry(const std::string& rest, std::string* why) {
  const std::vector<std::string> words = Words(rest);
  const bool broadcast = !words.empty() && words[0] == "broadcast";
  const bool queued = !words.empty() && words[0] == "queued";
  uint32_t cls = 0, code = 0;
  CarryRule rule;
  if (!(queued && words.size() == 3) && !(broadcast && (words.size() == 3 || words.size() == 4))) {
    *why = "needs \"queued CLASS CODE\" or \"broadcast CLASS CODE [CHANNEL]\"";
    return false;
  }
  if (!ParseNumber(words[1], &cls) || cls >= ZENT_CLASS_MASKS) {
    *why = "CLASS must be a class bit number from 0 to 8";
    return false;
  }
  if (!ParseNumber(words[2], &code)) {
    *why = "CODE must be a 32-bit number";
    return false;
  }
  if (words.size() == 4) {
    if (!ParseNumber(words[3], &rule.channel)) {
      *why = "CHANNEL must be a 32-bit number";
      return false;
    }
    rule.anyChannel = false;
  }
  rule.classBit = MSG_CLASS_BIT(cls);
  rule.code = code;
  rule.match = broadcast ? ZENT_BROADCAST_MATCH(code) : ZENT_QUEUED_MATCH(code);
  config_->masks[cls] |= rule.match;
  if (broadcast) {
    for (const auto& [otherLine, other] : broadcastLines) {
      if (other.anyChannel == rule.anyChannel && other.channel == rule.channel) {
        *why =
            "a Read call does not say its code, so two broadcast lines need different "
            "channels (line " +
            std::to_string(otherLine) + " takes the same)";
        return false;
      }
    }
    broadcastLines.emplace_back(line, rule);
    config_->broadcasts.push_back(rule);
  } else {
    config_->queued.push_back(rule);
  }
  return true;
}

bool LineParser::Apply(const std::string& key, const std::string& rest, std::string* why) {
  uint32_t value = 0;
  if (key == "host") {
    if (rest.empty() || Words(rest).size() != 1) {
      *why = "needs one host name or address";
      return false;
    }
    config_->host = rest;
  } else if (key == "port") {
    if (!Number(rest, 1, 65535, &value, why)) return false;
    config_->port = static_cast<int>(value);
  } else if (key == "client_id") {
    if (rest.empty() || Words(rest).size() != 1 || rest.find_first_of("/+#") != std::string::npos) {
      *why = "needs one word without '/', '+' or '#'";
      return false;
    }
    config_->clientId = rest;
  } else if (key == "prefix") {
    if (rest.empty() || rest.back() != '/' || rest.find_first_of("+#") != std::string::npos ||
        mosquitto_pub_topic_check((rest + "status").c_str()) != MOSQ_ERR_SUCCESS) {
      *why = "needs a topic prefix that ends with '/' and has no '+' or '#'";
      return false;
    }
    config_->prefix = rest;
  } else if (key == "username") {
    if (rest.empty()) {
      *why = "needs a user name";
      return false;
    }
    config_->username = rest;
  } else if (key == "password_file") {
    std::ifstream in(Resolve(dir_, rest));
    if (rest.empty() || !in || !std::getline(in, config_->password)) {
      *why = "cannot read a password from \"" + Resolve(dir_, rest) + "\"";
      return false;
    }
    if (!config_->password.empty() && config_->password.back() == '\r') {
      config_->password.pop_back();
    }
    if (config_->password.empty()) {
      *why = "the first line of \"" + Resolve(dir_, rest) + "\" is empty";
      return false;
    }
    passwordLine = line;
  } else if (key == "tls_ca_file") {
    const std::string path = Resolve(dir_, rest);
    if (rest.empty() || access(path.c_str(), R_OK) != 0) {
      *why = "cannot read the CA file \"" + path + "\"";
      return false;
    }
    config_->tlsCaFile = path;
  } else if (key == "keepalive") {
    if (!Number(rest, 5, 65535, &value, why)) return false;
    config_->keepalive = static_cast<int>(value);
  } else if (key == "id" || key == "source") {
    if (!Number(rest, 1, 0xFFFFFFFFu, &value, why)) return false;
    if (value == CORE_SOURCE) {
      *why = "must not be the core's own identifier 0x80000000";
      return false;
    }
    (key == "id" ? config_->id : config_->source) = value;
  } else if (key == "carry") {
    return Carry(rest, why);
  } else if (key == "max_payload") {
    if (!Number(rest, 0, 256u * 1024 * 1024, &value, why)) return false;
    config_->maxPayload = value;
  } else if (key == "subscribe") {
    if (rest.empty() || mosquitto_sub_topic_check(rest.c_str()) != MOSQ_ERR_SUCCESS) {
      *why = "needs a valid topic filter";
      return false;
    }
    config_->subscriptions.push_back(rest);
  } else if (key == "qos") {
    if (!Number(rest, 1, 2, &value, why)) return false;
    config_->qos = static_cast<int>(value);
  } else if (key == "queue_limit") {
    if (!Number(rest, 1, 1000000, &value, why)) return false;
    config_->queueLimit = value;
  } else if (key == "reconnect_delay") {
    const std::vector<std::string> words = Words(rest);
    uint32_t low = 0, high = 0;
    if (words.size() != 2 || !ParseNumber(words[0], &low) || !ParseNumber(words[1], &high) ||
        low < 1 || low > high || high > 3600) {
      *why = "needs MIN MAX seconds, 1 <= MIN <= MAX <= 3600";
      return false;
    }
    config_->reconnectMin = low;
    config_->reconnectMax = high;
  } else {
    *why = "unknown key";
    return false;
  }
  return true;
}

}  // namespace

bool ParseBridgeConfig(const std::string& text, const std::string& dir, const std::string& hostName,
                       BridgeConfig* config, std::string* error) {
  LineParser parser(dir, config);
  std::map<std::string, int> seen;  // keys that may stand once, by their line
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    ++parser.line;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t keyEnd = line.find_first_of(" \t");
    const std::string key = line.substr(0, keyEnd);
    const std::string rest = keyEnd == std::string::npos ? "" : Trim(line.substr(keyEnd));
    std::string why;
    if (key != "carry" && key != "subscribe" && seen.count(key) != 0) {
      why = "given twice (first on line " + std::to_string(seen[key]) + ")";
    } else if (parser.Apply(key, rest, &why)) {
      seen.emplace(key, parser.line);
      continue;
    }
    *error = "line " + std::to_string(parser.line) + ": " + key + ": " + why;
    return false;
  }
  if (!config->password.empty() && config->username.empty()) {
    *error = "line " + std::to_string(parser.passwordLine) + ": password_file needs a username";
    return false;
  }
  if (config->clientId.empty()) {
    config->clientId = hostName.empty() || hostName.find_first_of("/+# ") != std::string::npos
                           ? "zentserver"
                           : hostName;
  }
  if (config->prefix.empty()) config->prefix = "zent/" + config->clientId + "/";
  if (config->source == 0) config->source = config->id;
  if (config->subscriptions.empty()) config->subscriptions.push_back("zent/+/msg/#");
  return true;
}

const CarryRule* BroadcastRuleFor(const BridgeConfig& config, uint32_t channel) {
  const CarryRule* fallback = nullptr;
  for (const CarryRule& rule : config.broadcasts) {
    if (!rule.anyChannel && rule.channel == channel) return &rule;
    if (rule.anyChannel) fallback = &rule;
  }
  return fallback;
}

}  // namespace mqtt_bridge
