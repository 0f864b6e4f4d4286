#include "webstatus_config.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <ctype.h>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <stdlib.h>
#include <string.h>

#include "core/plugin_trust.h"

namespace webstatus {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool OneWord(const std::string& text) {
  return !text.empty() && text.find_first_of(" \t") == std::string::npos;
}

// A whole token as an unsigned number from low to high, decimal or 0x-hex.
bool Number(const std::string& token, uint64_t low, uint64_t high, uint64_t* value) {
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const char* digits = token.c_str() + (hex ? 2 : 0);
  if (!(hex ? isxdigit(static_cast<unsigned char>(*digits))
            : isdigit(static_cast<unsigned char>(*digits)))) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// Compares two strings in a time that depends on their lengths only.
bool SameText(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  const std::string& shorter = a.size() < b.size() ? a : b;
  for (size_t i = 0; i < shorter.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

// Whether hash is a whole crypt(3) hash in one of the "$id$" forms: hashing any password with
// it as the setting gives a text of its own length (a bare setting such as "$6$salt" gives a
// longer one).
bool CompleteHash(const std::string& hash) {
  if (hash.size() < 4 || hash[0] != '$') return false;
  auto data = std::make_unique<crypt_data>();
  const char* hashed = crypt_rn("", hash.c_str(), data.get(), sizeof *data);
  return hashed != nullptr && hashed[0] == '$' && strlen(hashed) == hash.size();
}

bool ApplyLine(const std::string& key, const std::string& value, const std::string& dir,
               WebStatusConfig* config, std::string* why) {
  uint64_t number = 0;
  if (key == "address") {
    in6_addr any;
    if (!OneWord(value) || (inet_pton(AF_INET, value.c_str(), &any) != 1 &&
                            inet_pton(AF_INET6, value.c_str(), &any) != 1)) {
      *why = "needs a numeric IPv4 or IPv6 address (127.0.0.1, ::1, 0.0.0.0, ::)";
      return false;
    }
    config->address = value;
  } else if (key == "port") {
    if (!Number(value, 0, 65535, &number)) {
      *why = "needs one number from 0 (any free port) to 65535";
      return false;
    }
    config->port = static_cast<uint16_t>(number);
  } else if (key == "password_file") {
    if (value.empty()) {
      *why = "needs a path";
      return false;
    }
    config->passwordFile = value[0] == '/' ? value : dir + "/" + value;
  } else if (key == "allow_anonymous_remote") {
    if (value != "yes" && value != "no") {
      *why = "needs yes or no";
      return false;
    }
    config->allowAnonymousRemote = value == "yes";
  } else if (key == "id") {
    if (!Number(value, 1, 0xFFFFFFFFu, &number)) {
      *why = "needs one number from 1 to 0xffffffff";
      return false;
    }
    if (number == 0x80000000u) {
      *why = "must not be the core's own identifier 0x80000000";
      return false;
    }
    config->id = static_cast<uint32_t>(number);
  } else {
    *why = "unknown key";
    return false;
  }
  return true;
}

// Reads the password file after the server's rules for a secret.
bool ReadPasswordFile(WebStatusConfig* config, std::string* error) {
  const std::string& path = config->passwordFile;
  const TrustVerdict verdict = CheckConfigFile(path, true);
  if (!verdict.trusted) {
    *error = "password_file " + path + ": " + verdict.reason;
    return false;
  }
  std::ifstream in(path);
  if (!in.is_open()) {
    *error = "password_file " + path + ": " + strerror(errno);
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Credentials credentials;
  std::string why;
  if (!ParsePasswordFile(text, &credentials, &config->warnings, &why)) {
    *error = "password_file " + path + ": " + why;
    return false;
  }
  config->credentials = std::move(credentials);
  return true;
}

}  // namespace

bool Credentials::Check(const std::string& user, const std::string& password) const {
  if (m_users.empty()) return false;
  // An unknown user is checked against the first hash, so that it costs the same.
  const std::pair<std::string, std::string>* entry = &m_users.front();
  bool known = false;
  for (const auto& candidate : m_users) {
    if (!known && SameText(candidate.first, user)) {
      entry = &candidate;
      known = true;
    }
  }
  auto data = std::make_unique<crypt_data>();
  const char* hashed = crypt_rn(password.c_str(), entry->second.c_str(), data.get(), sizeof *data);
  return hashed != nullptr && SameText(hashed, entry->second) && known;
}

bool ParsePasswordFile(const std::string& text, Credentials* credentials,
                       std::vector<std::string>* warnings, std::string* error) {
  std::vector<std::pair<std::string, std::string>> users;
  std::map<std::string, int> seen;
  std::istringstream in(text);
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t colon = line.find(':');
    const std::string user = line.substr(0, colon);
    const std::string hash = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (colon == std::string::npos || user.empty() || !OneWord(user)) {
      *error = where + "needs \"user:hash\"";
      return false;
    }
    if (seen.count(user) != 0) {
      *error = where + "user " + user + " is given twice (first on line " +
               std::to_string(seen[user]) + ")";
      return false;
    }
    const int verdict = CompleteHash(hash) ? crypt_checksalt(hash.c_str()) : CRYPT_SALT_INVALID;
    if (verdict == CRYPT_SALT_INVALID || verdict == CRYPT_SALT_METHOD_DISABLED) {
      *error = where + "the password of " + user +
               " is not a crypt(3) hash this system knows (make one with "
               "\"openssl passwd -6\" or \"mkpasswd -m yescrypt\")";
      return false;
    }
    if (verdict != CRYPT_SALT_OK) {
      warnings->push_back(where + "the password hash of " + user +
                          " uses a weak method; make a new one with \"mkpasswd -m yescrypt\"");
    }
    seen.emplace(user, number);
    users.emplace_back(user, hash);
  }
  if (users.empty()) {
    *error = "names no user";
    return false;
  }
  *credentials = Credentials(std::move(users));
  return true;
}

bool IsLoopback(const std::string& address) {
  in_addr v4;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

bool ParseWebStatusConfig(const std::string& text, const std::string& dir, WebStatusConfig* config,
                          std::string* error) {
  std::map<std::string, int> seen;
  std::istringstream in(text);
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t keyEnd = line.find_first_of(" \t");
    const std::string key = line.substr(0, keyEnd);
    const std::string value = keyEnd == std::string::npos ? "" : Trim(line.substr(keyEnd));
    std::string why;
    if (seen.count(key) != 0) {
      why = "given twice (first on line " + std::to_string(seen[key]) + ")";
    } else if (ApplyLine(key, value, dir, config, &why)) {
      seen.emplace(key, number);
      continue;
    }
    *error = "line " + std::to_string(number) + ": " + key + ": " + why;
    return false;
  }
  if (!config->passwordFile.empty() && !ReadPasswordFile(config, error)) return false;
  if (!config->passwordFile.empty() && !IsLoopback(config->address)) {
    config->warnings.push_back("address " + config->address +
                               ": HTTP sends passwords and pages in clear text; reach it "
                               "through a TLS proxy or an SSH tunnel on untrusted networks");
  }
  if (config->passwordFile.empty() && !IsLoopback(config->address)) {
    if (!config->allowAnonymousRemote) {
      *error = "address " + config->address +
               " is reachable from other machines: name a password_file for HTTP basic "
               "authentication, or say allow_anonymous_remote yes to serve everybody";
      return false;
    }
    config->warnings.push_back("address " + config->address +
                               " serves everybody who reaches it, without authentication "
                               "(allow_anonymous_remote yes)");
  }
  return true;
}

}  // namespace webstatus
