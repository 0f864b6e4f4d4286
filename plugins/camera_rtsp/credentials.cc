#include "credentials.h"

#include <algorithm>
#include <ctype.h>
#include <errno.h>
#include <fstream>
#include <string.h>

#include "core/plugin_trust.h"

namespace camera_rtsp {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Everything but the unreserved characters of a URL as %XX.
std::string PercentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

bool LoadCredentials(const std::string& path, std::map<std::string, Credential>* logins,
                     std::string* error) {
  const TrustVerdict verdict = CheckConfigFile(path, true);
  if (!verdict.trusted) {
    *error = path + ": " + verdict.reason;
    return false;
  }
  std::ifstream in(path);
  if (!in.is_open()) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  int line = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++line;
    const std::string text = Trim(raw);
    if (text.empty() || text[0] == '#') continue;
    const size_t nameEnd = text.find_first_of(" \t");
    const size_t userStart =
        nameEnd == std::string::npos ? std::string::npos : text.find_first_not_of(" \t", nameEnd);
    const size_t userEnd =
        userStart == std::string::npos ? std::string::npos : text.find_first_of(" \t", userStart);
    if (userEnd == std::string::npos) {
      *error = path + ": line " + std::to_string(line) + ": needs NAME USER PASSWORD";
      return false;
    }
    const std::string name = text.substr(0, nameEnd);
    if (logins->count(name) != 0) {
      *error = path + ": line " + std::to_string(line) + ": camera " + name + " is given twice";
      return false;
    }
    (*logins)[name] = {text.substr(userStart, userEnd - userStart), Trim(text.substr(userEnd))};
  }
  return true;
}

std::string UrlWithLogin(const std::string& url, const Credential& login) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  return url.substr(0, scheme + 3) + PercentEncode(login.user) + ":" +
         PercentEncode(login.password) + "@" + url.substr(scheme + 3);
}

std::vector<std::string> SecretForms(const Credential& login) {
  std::vector<std::string> forms = {login.password, PercentEncode(login.password),
                                    login.user + ":" + login.password};
  forms.erase(std::remove_if(forms.begin(), forms.end(),
                             [](const std::string& form) { return form.size() < 2; }),
              forms.end());
  return forms;
}

}  // namespace camera_rtsp
