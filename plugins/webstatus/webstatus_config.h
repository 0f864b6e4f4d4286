// webstatus_config.h: the settings of the status page plugin and the parsers of its files.
//
// webstatus.conf holds one "key value" per line; a line whose first non-blank character is '#'
// is a comment. A missing file means the defaults. A line that cannot be understood makes the
// whole file invalid, so that the plugin refuses to load rather than serve with settings nobody
// asked for. docs/operators.md lists every key.
//
// The password file names the users who may see the pages: "user:hash" per line, the hash in
// crypt(3)'s form ("openssl passwd -6" or "mkpasswd -m yescrypt" makes one). Passwords are never
// stored in clear.
//
// Thread safety: the functions keep no state; Credentials is read-only after it is made and may
// be checked from any thread.
#ifndef ZENT_PLUGINS_WEBSTATUS_WEBSTATUS_CONFIG_H_
#define ZENT_PLUGINS_WEBSTATUS_WEBSTATUS_CONFIG_H_

#include <stdint.h>
#include <string>
#include <utility>
#include <vector>

namespace webstatus {

// Who may see the pages: user names with the crypt(3) hashes of their passwords.
class Credentials {
 public:
  Credentials() = default;
  explicit Credentials(std::vector<std::pair<std::string, std::string>> users)
      : m_users(std::move(users)) {}

  bool empty() const { return m_users.empty(); }
  size_t size() const { return m_users.size(); }
  // Whether user is listed and password is theirs. Takes as long for an unknown user as for a
  // known one with a wrong password, so that the answer's time does not tell which names exist.
  bool Check(const std::string& user, const std::string& password) const;

 private:
  std::vector<std::pair<std::string, std::string>> m_users;  // name, hash
};

struct WebStatusConfig {
  std::string address = "127.0.0.1";  // numeric IPv4 or IPv6
  uint16_t port = 8090;               // 0: any free port (the log names it)
  std::string passwordFile;           // empty: no authentication
  Credentials credentials;            // read from passwordFile
  bool allowAnonymousRemote = false;
  uint32_t id = 210;                  // PluginInfo.id
  std::vector<std::string> warnings;  // for the log: nothing wrong enough to refuse
};

// Parses the text of webstatus.conf into *config (which starts from the defaults), reading the
// password file it names (a relative path is taken from dir). The password file must pass the
// server's trust rules for a secret. On a fault returns false with "line N: key: what is wrong"
// (or what is wrong with the file as a whole) in *error.
bool ParseWebStatusConfig(const std::string& text, const std::string& dir, WebStatusConfig* config,
                          std::string* error);

// Parses the text of a password file; on a fault returns false with "line N: what is wrong".
// Lines whose hash crypt(3) calls legacy or too cheap add a warning.
bool ParsePasswordFile(const std::string& text, Credentials* credentials,
                       std::vector<std::string>* warnings, std::string* error);

// Whether a numeric address is a loopback address (127.0.0.0/8, ::1, or an IPv4-mapped
// loopback address); false for anything else, including text that is not an address.
bool IsLoopback(const std::string& address);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_WEBSTATUS_CONFIG_H_
