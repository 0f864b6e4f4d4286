#include "bridge_config.h"

#include <ctype.h>
#include <errno.h>
#include <fstream>
#include <map>
#include <mosquitto.h>
#include <sstream>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/plugin_trust.h"

namespace mqtt_bridge {

bool ParseNumber(const std::string& token, uint32_t* value) {
  // Decimal, or hex after "0x"; a leading zero does not make it octal.
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const std::string digits = token.substr(hex ? 2 : 0);
  if (digits.empty()) return false;
  for (const char c : digits) {
    if (!(hex ? isxdigit(static_cast<unsigned char>(c)) : isdigit(static_cast<unsigned char>(c)))) {
      return false;
    }
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = strtoull(digits.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != 0 || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

std::string DefaultClientId(const std::string& hostName, const std::string& machineId) {
  std::string id = hostName.empty() || hostName.find_first_of("/+# ") != std::string::npos
                       ? "zentserver"
                       : hostName;
  std::string digits;
  for (const char c : machineId) {
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  if (digits.size() >= 12) {
    id += '-';
    id.append(digits, 0, 12);
  }
  return id;
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

std::string Hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Reads one line of the file by one key: a problem is a message, a number a value.
class LineParser {
 public:
  LineParser(const std::string& dir, BridgeConfig* config) : dir_(dir), config_(config) {}

  // Applies "key rest" to the configuration; false with *why on a bad line.
  bool Apply(const std::string& key, const std::string& rest, std::string* why);

  // Broadcast lines, by the line they stand on, to find two that a Read cannot tell apart.
  std::vector<std::pair<int, CarryRule>> broadcastLines, queuedLines;
  int line = 0;
  int passwordLine = 0, tlsOffLine = 0, tlsFileLine = 0, certLine = 0, keyLine = 0;

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
  bool YesNo(const std::string& rest, bool* value, std::string* why) {
    if (rest != "yes" && rest != "no") {
      *why = "needs yes or no";
      return false;
    }
    *value = rest == "yes";
    return true;
  }
  // A file that must be readable; secret files must pass the trust check for secrets.
  bool File(const std::string& rest, bool secret, std::string* path, std::string* why);
  bool Class(const std::string& word, uint32_t* bit, std::string* why) {
    uint32_t cls = 0;
    if (!ParseNumber(word, &cls) || cls >= ZENT_CLASS_MASKS) {
      *why = "CLASS must be a class bit number from 0 to 8";
      return false;
    }
    *bit = cls;
    return true;
  }
  bool Carry(const std::string& rest, std::string* why);
  bool Accept(const std::string& rest, std::string* why);

  std::string dir_;
  BridgeConfig* config_;
};

bool LineParser::File(const std::string& rest, bool secret, std::string* path, std::string* why) {
  *path = Resolve(dir_, rest);
  if (rest.empty() || access(path->c_str(), R_OK) != 0) {
    *why =
        "cannot read \"" + *path + "\"" + (rest.empty() ? "" : std::string(": ") + strerror(errno));
    return false;
  }
  if (secret) {
    const TrustVerdict verdict = CheckConfigFile(*path, true);
    if (!verdict.trusted) {
      *why = "\"" + *path + "\" holds a secret and is " + verdict.reason +
             " (it must belong to root or the server's user and be readable by no one else)";
      return false;
    }
  }
  return true;
}

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
  if (!Class(words[1], &cls, why)) return false;
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
    queuedLines.emplace_back(line, rule);
    config_->queued.push_back(rule);
  }
  return true;
}

bool LineParser::Accept(const std::string& rest, std::string* why) {
  std::vector<std::string> words = Words(rest);
  AcceptRule rule;
  if (!words.empty() && words.back() == "all") {
    rule.toAll = true;
    words.pop_back();
  }
  if (words.size() != 2 && words.size() != 3) {
    *why = "needs \"CLASS CODE [CHANNEL] [all]\"";
    return false;
  }
  uint32_t cls = 0;
  if (!Class(words[0], &cls, why)) return false;
  if (!ParseNumber(words[1], &rule.code)) {
    *why = "CODE must be a 32-bit number";
    return false;
  }
  if (IsCoreCode(rule.code)) {
    *why =
        "the codes of the core's own messages (status document, clock, statistics) are never "
        "taken in";
    return false;
  }
  if (words.size() == 3) {
    if (!ParseNumber(words[2], &rule.channel)) {
      *why = "CHANNEL must be a 32-bit number or \"all\"";
      return false;
    }
    rule.anyChannel = false;
  }
  rule.classBit = MSG_CLASS_BIT(cls);
  config_->accepts.push_back(rule);
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
    if (rest.empty() || rest.back() != '/' || rest.find_first_of("+# ") != std::string::npos ||
        mosquitto_pub_topic_check((rest + "status").c_str()) != MOSQ_ERR_SUCCESS) {
      *why = "needs a topic prefix that ends with '/' and has no '+', '#' or blank";
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
    std::string path;
    if (!File(rest, true, &path, why)) return false;
    std::ifstream in(path);
    if (!in || !std::getline(in, config_->password)) {
      *why = "cannot read a password from \"" + path + "\"";
      return false;
    }
    if (!config_->password.empty() && config_->password.back() == '\r') {
      config_->password.pop_back();
    }
    if (config_->password.empty()) {
      *why = "the first line of \"" + path + "\" is empty";
      return false;
    }
    passwordLine = line;
  } else if (key == "tls") {
    if (!YesNo(rest, &config_->tls, why)) return false;
    if (!config_->tls) tlsOffLine = line;
  } else if (key == "tls_ca_file" || key == "tls_ca_path" || key == "tls_cert_file" ||
             key == "tls_key_file") {
    std::string path;
    if (key == "tls_ca_path") {
      path = Resolve(dir_, rest);
      if (rest.empty() || access(path.c_str(), R_OK | X_OK) != 0) {
        *why = "cannot read the directory \"" + path + "\"";
        return false;
      }
      config_->tlsCaPath = path;
    } else if (!File(rest, key == "tls_key_file", &path, why)) {
      return false;
    } else {
      (key == "tls_ca_file"     ? config_->tlsCaFile
       : key == "tls_cert_file" ? config_->tlsCertFile
                                : config_->tlsKeyFile) = path;
    }
    if (key == "tls_cert_file") certLine = line;
    if (key == "tls_key_file") keyLine = line;
    tlsFileLine = line;
  } else if (key == "tls_version") {
    if (rest != "tlsv1.2" && rest != "tlsv1.3") {
      *why = "needs tlsv1.2 or tlsv1.3 (the lowest version accepted)";
      return false;
    }
    config_->tlsVersion = rest;
  } else if (key == "tls_verify_hostname") {
    if (!YesNo(rest, &config_->tlsVerifyHostname, why)) return false;
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
  } else if (key == "accept") {
    return Accept(rest, why);
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
  } else if (key == "queue_limit_bytes") {
    if (!Number(rest, 1024, 0xFFFFFFFFu, &value, why)) return false;
    config_->queueLimitBytes = value;
  } else if (key == "max_hops") {
    if (!Number(rest, 0, 255, &value, why)) return false;
    config_->maxHops = value;
  } else if (key == "publish_ioctl") {
    return YesNo(rest, &config_->publishIoctl, why);
  } else if (key == "publish_status") {
    return YesNo(rest, &config_->publishStatus, why);
  } else if (key == "publish_stats") {
    return YesNo(rest, &config_->publishStats, why);
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

// "<parent of the prefix>/+/msg/#": the messages of every server that shares the prefix's
// parent, this one's own included (they are dropped on arrival).
std::string DefaultSubscription(const std::string& prefix) {
  const std::string levels = prefix.substr(0, prefix.size() - 1);
  const size_t slash = levels.rfind('/');
  return (slash == std::string::npos ? "" : levels.substr(0, slash + 1)) + "+/msg/#";
}

}  // namespace

bool ParseBridgeConfig(const std::string& text, const std::string& dir,
                       const std::string& defaultClientId, BridgeConfig* config,
                       std::string* error) {
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
    if (key != "carry" && key != "subscribe" && key != "accept" && seen.count(key) != 0) {
      why = "given twice (first on line " + std::to_string(seen[key]) + ")";
    } else if (parser.Apply(key, rest, &why)) {
      seen.emplace(key, parser.line);
      continue;
    }
    *error = "line " + std::to_string(parser.line) + ": " + key + ": " + why;
    return false;
  }
  const auto fail = [&](int line, const std::string& why) {
    *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  if (!config->password.empty() && config->username.empty()) {
    return fail(parser.passwordLine, "password_file needs a username");
  }
  if (parser.tlsFileLine != 0) {
    if (parser.tlsOffLine != 0) {
      return fail(parser.tlsFileLine,
                  "a tls_ file, but line " + std::to_string(parser.tlsOffLine) + " says tls no");
    }
    config->tls = true;
  }
  if (config->tlsCertFile.empty() != config->tlsKeyFile.empty()) {
    return fail(std::max(parser.certLine, parser.keyLine),
                "tls_cert_file and tls_key_file go together");
  }
  if (config->clientId.empty()) {
    config->clientId = defaultClientId;
    config->clientIdDefaulted = true;
  }
  if (config->prefix.empty()) config->prefix = "zent/" + config->clientId + "/";
  if (config->source == 0) config->source = config->id;
  if (config->subscriptions.empty()) {
    config->subscriptions.push_back(DefaultSubscription(config->prefix));
  }
  // The masks serve both kinds of delivery: the match value of a queued code may let through
  // broadcasts that no broadcast line names, and a Read cannot tell them apart.
  if (!config->broadcasts.empty()) {
    uint32_t broadcastMasks[ZENT_CLASS_MASKS] = {};
    for (const CarryRule& rule : config->broadcasts) {
      for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
        if (MSG_CLASS_BIT(i) == rule.classBit) broadcastMasks[i] |= rule.match;
      }
    }
    for (const auto& [line, rule] : parser.queuedLines) {
      for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
        const uint32_t added = rule.match & ~broadcastMasks[i];
        if (MSG_CLASS_BIT(i) != rule.classBit || added == 0) continue;
        config->warnings.push_back(
            "line " + std::to_string(line) + ": carry queued " + std::to_string(i) + " " +
            Hex8(rule.code) + " widens the mask of class bit " + std::to_string(i) + " by " +
            Hex8(added) +
            ": broadcasts whose codes no carry broadcast line names may now reach the bridge, "
            "and are published with their channel's broadcast code");
      }
    }
  }
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
