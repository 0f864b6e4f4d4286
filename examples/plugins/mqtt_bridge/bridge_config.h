// bridge_config.h: the settings of the MQTT bridge plugin and the parser of mqtt-bridge.conf.
//
// The file lies beside the plugin: one "key value" per line, lines whose first non-blank
// character is '#' are comments. A missing file means the defaults; a line that cannot be
// understood makes the whole file invalid, so that the plugin refuses to load instead of
// running with settings nobody asked for. docs/bridge.md lists every key.
#ifndef ZENT_EXAMPLES_MQTT_BRIDGE_BRIDGE_CONFIG_H_
#define ZENT_EXAMPLES_MQTT_BRIDGE_BRIDGE_CONFIG_H_

#include <stdint.h>
#include <string>
#include <vector>
#include <zentserver/plugin_api.h>

namespace mqtt_bridge {

// One "carry queued" or "carry broadcast" line.
struct CarryRule {
  uint32_t classBit;  // the flags bit of the line's class, MSG_CLASS_BIT(class)
  uint32_t code;
  uint32_t match;          // the code's match value for its kind of delivery
  bool anyChannel = true;  // broadcasts only: the line names no channel
  uint32_t channel = 0;
};

struct BridgeConfig {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;               // the host name unless set
  std::string prefix;                 // "zent/<client id>/" unless set; always ends with '/'
  std::string username;               // empty: none
  std::string password;               // the first line of password_file
  std::string tlsCaFile;              // empty: plain TCP
  int keepalive = 30;                 // seconds
  uint32_t id = 200;                  // PluginInfo.id
  uint32_t source = 0;                // source of the queued messages sent in; the id unless set
  std::vector<CarryRule> queued;      // what Write calls carry out
  std::vector<CarryRule> broadcasts;  // what Read calls carry out, and the code they carry
  uint32_t masks[ZENT_CLASS_MASKS] = {};
  uint32_t maxPayload = 64 * 1024;
  std::vector<std::string> subscriptions;  // {"zent/+/msg/#"} unless set
  int qos = 1;
  uint32_t queueLimit = 1000;  // messages waiting for the broker, and waiting for the core
  unsigned reconnectMin = 1, reconnectMax = 30;  // seconds, doubled up to the maximum
};

// Parses the text of mqtt-bridge.conf into *config (which starts from the defaults). Relative
// paths are taken from dir; hostName is the default client id. On a bad line returns false
// with "line N: what is wrong" in *error.
bool ParseBridgeConfig(const std::string& text, const std::string& dir, const std::string& hostName,
                       BridgeConfig* config, std::string* error);

// A whole token as an unsigned 32-bit number, decimal or 0x-hex; false for anything else.
bool ParseNumber(const std::string& token, uint32_t* value);

// The broadcast line whose code a Read on channel carries: the line naming the channel, else
// the line naming none; null when neither exists.
const CarryRule* BroadcastRuleFor(const BridgeConfig& config, uint32_t channel);

}  // namespace mqtt_bridge

#endif  // ZENT_EXAMPLES_MQTT_BRIDGE_BRIDGE_CONFIG_H_
