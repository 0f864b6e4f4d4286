// bridge_config.h: the settings of the MQTT bridge plugin and the parser of mqtt-bridge.conf.
//
// One "key value" per line, lines whose first non-blank character is '#' are comments. A
// missing file means the defaults: connect to 127.0.0.1:1883, carry nothing, accept nothing. A
// line that cannot be understood makes the whole file invalid, so that the plugin refuses to
// load instead of running with settings nobody asked for. docs/bridge.md lists every key.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_CONFIG_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_CONFIG_H_

#include <stdint.h>
#include <string>
#include <vector>
#include <zentserver/plugin_api.h>

namespace mqtt_bridge {

// Whether code is that of one of the core's own messages (the status document, the clock
// message, the statistics document), which no message from outside may carry.
inline bool IsCoreCode(uint32_t code) {
  return code == ZENT_CODE_STATUS_DOCUMENT || code == ZENT_CODE_CLOCK ||
         code == ZENT_CODE_STATISTICS;
}

// One "carry queued" or "carry broadcast" line.
struct CarryRule {
  uint32_t classBit;  // the flags bit of the line's class, MSG_CLASS_BIT(class)
  uint32_t code;
  uint32_t match;          // the code's match value for its kind of delivery
  bool anyChannel = true;  // broadcasts only: the line names no channel
  uint32_t channel = 0;
};

// One "accept CLASS CODE [CHANNEL] [all]" line: which messages from the broker are sent in.
struct AcceptRule {
  uint32_t classBit;
  uint32_t code;
  bool anyChannel = true;
  uint32_t channel = 0;
  bool toAll = false;  // the message may carry MSG_TO_OTHERS or MSG_TO_ALL
};

struct BridgeConfig {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;            // the host name and the machine id unless set
  bool clientIdDefaulted = false;  // client_id was not set
  std::string prefix;              // "zent/<client id>/" unless set; always ends with '/'
  std::string username;            // empty: none
  std::string password;            // the first line of password_file
  // TLS: on with "tls yes" or any tls_ file. The broker's certificate is checked against
  // tlsCaFile and tlsCaPath, or the system's store when neither is set.
  bool tls = false;
  std::string tlsCaFile, tlsCaPath;
  std::string tlsCertFile, tlsKeyFile;  // the client's certificate (chain) and key
  std::string tlsVersion = "tlsv1.2";   // the lowest version accepted
  bool tlsVerifyHostname = true;
  int keepalive = 30;                 // seconds
  uint32_t id = 200;                  // PluginInfo.id
  uint32_t source = 0;                // source of the queued messages sent in; the id unless set
  std::vector<CarryRule> queued;      // what Write calls carry out
  std::vector<CarryRule> broadcasts;  // what Read calls carry out, and the code they carry
  std::vector<AcceptRule> accepts;    // what is sent in
  uint32_t masks[ZENT_CLASS_MASKS] = {};
  uint32_t maxPayload = 64 * 1024;
  std::vector<std::string> subscriptions;  // "<parent of the prefix>/+/msg/#" unless set
  int qos = 1;
  uint32_t queueLimit = 1000;  // messages waiting for the broker, and waiting for the core
  uint64_t queueLimitBytes = 16u << 20;          // their payload bytes, per direction
  unsigned reconnectMin = 1, reconnectMax = 30;  // seconds, doubled up to the maximum
  uint32_t maxHops = 4;
  bool publishIoctl = true;   // MSG_TO_OTHERS and MSG_TO_ALL messages are published
  bool publishStatus = true;  // the status document is published, retained
  bool publishStats = true;   // the statistics document is published, retained
  // Lines that are valid but probably not what was meant, to be logged at load.
  std::vector<std::string> warnings;
};

// Parses the text of mqtt-bridge.conf into *config (which starts from the defaults). Relative
// paths are taken from dir; defaultClientId is the client id unless the file sets one. The
// password file and the client key must pass the trust check for secrets. On a bad line
// returns false with "line N: key: what is wrong" in *error.
bool ParseBridgeConfig(const std::string& text, const std::string& dir,
                       const std::string& defaultClientId, BridgeConfig* config,
                       std::string* error);

// The default client id: the host name, and the first 12 digits of the machine id after a
// dash when there is one, so that two boxes with the same host name still differ.
std::string DefaultClientId(const std::string& hostName, const std::string& machineId);

// A whole token as an unsigned 32-bit number, decimal or 0x-hex; false for anything else.
bool ParseNumber(const std::string& token, uint32_t* value);

// The broadcast line whose code a Read on channel carries: the line naming the channel, else
// the line naming none; null when neither exists.
const CarryRule* BroadcastRuleFor(const BridgeConfig& config, uint32_t channel);

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_BRIDGE_CONFIG_H_
