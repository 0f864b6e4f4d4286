#include "media_config.h"

#include <ctype.h>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/plugin_trust.h"
#include "media_protocol.h"

namespace media {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A whole token as a number from low to high (decimals allowed when fraction).
bool Number(const std::string& token, double low, double high, bool fraction, double* value) {
  if (token.empty() || !(isdigit(static_cast<unsigned char>(token[0])))) return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = strtod(token.c_str(), &end);
  if (errno != 0 || *end != 0 || parsed < low || parsed > high) return false;
  if (!fraction && token.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = parsed;
  return true;
}

// "500M", "2G", "1.5G", "0": bytes (binary units); false for anything else.
bool Size(const std::string& token, uint64_t* bytes) {
  if (token == "0") {
    *bytes = 0;
    return true;
  }
  if (token.size() < 2) return false;
  const char unit = static_cast<char>(toupper(static_cast<unsigned char>(token.back())));
  const double scale = unit == 'K'   ? 1024.0
                       : unit == 'M' ? 1048576.0
                       : unit == 'G' ? 1073741824.0
                       : unit == 'T' ? 1099511627776.0
                                     : 0.0;
  double value = 0;
  if (scale == 0 || !Number(token.substr(0, token.size() - 1), 0, 1e6, true, &value)) return false;
  *bytes = static_cast<uint64_t>(value * scale);
  return true;
}

bool YesNo(const std::string& value, bool* out) {
  if (value == "yes" || value == "on" || value == "1") return *out = true, true;
  if (value == "no" || value == "off" || value == "0") return *out = false, true;
  return false;
}

// A URL with user information ("user:password@host") would put a password in a file that is
// not a secret: those go into the credentials file.
bool HasUserInfo(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  const size_t hostStart = scheme + 3;
  const size_t hostEnd = url.find_first_of("/?#", hostStart);
  return url.substr(hostStart,
                    hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart)
             .find('@') != std::string::npos;
}

bool CameraOption(const std::string& option, CameraConfig* camera, std::string* why) {
  const size_t eq = option.find('=');
  const std::string key = option.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
  double number = 0;
  bool flag = false;
  if (eq == std::string::npos || value.empty()) {
    *why = "option \"" + option + "\" needs the form KEY=VALUE";
    return false;
  }
  if (key == "transport") {
    if (value != "tcp" && value != "udp") return *why = "transport must be tcp or udp", false;
    camera->udp = value == "udp";
  } else if (key == "timeout") {
    if (!Number(value, 0.1, 3600, true, &number)) {
      return *why = "timeout needs seconds from 0.1 to 3600", false;
    }
    camera->timeout = number;
  } else if (key == "max_lag") {
    if (!Number(value, 0.1, 3600, true, &number)) {
      return *why = "max_lag needs seconds from 0.1 to 3600", false;
    }
    camera->maxLag = number;
  } else if (key == "loop" || key == "realtime" || key == "audio") {
    if (!YesNo(value, &flag)) return *why = key + " must be yes or no", false;
    if (key == "loop") camera->loop = flag;
    if (key == "realtime") camera->realtime = flag ? 1 : 0;
    if (key == "audio") camera->audio = flag;
  } else if (key == "channel") {
    if (!Number(value, 1, 0xFFFFFFFFu, false, &number)) {
      return *why = "channel needs a number from 1 to 4294967295", false;
    }
    camera->channel = static_cast<uint32_t>(number);
  } else if (key == "keep_days") {
    if (!Number(value, 0, 100000, false, &number)) {
      return *why = "keep_days needs a number of days (0: no limit)", false;
    }
    camera->keepDays = static_cast<int>(number);
  } else {
    *why = "unknown camera option \"" + key + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool ValidCameraName(const std::string& name) {
  if (name.empty() || name.size() >= MEDIA_NAME_BYTES || name[0] == '.' || name[0] == '-') {
    return false;
  }
  for (char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

bool ParseMediaConfig(const std::string& text, const std::string& dir, MediaConfig* config,
                      std::string* error) {
  std::istringstream in(text);
  std::map<std::string, int> seen;  // keys that may stand once, and camera names, by line
  std::vector<std::pair<std::vector<std::string>, int>> cameraLines;
  int line = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++line;
    const std::vector<std::string> words = Words(raw);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string& key = words[0];
    std::string why;
    double number = 0;
    uint64_t bytes = 0;
    if (key == "camera") {
      // After the other keys, whose defaults the camera options start from.
      cameraLines.emplace_back(words, line);
      continue;
    }
    if (seen.count(key) != 0) {
      why = "given twice (first on line " + std::to_string(seen[key]) + ")";
    } else if (words.size() != 2) {
      why = "needs one value";
    } else if (key == "credentials") {
      config->credentialsFile = words[1][0] == '/' ? words[1] : dir + "/" + words[1];
    } else if (key == "segment_seconds") {
      if (!Number(words[1], 1, 86400, false, &number)) why = "needs seconds from 1 to 86400";
      config->segmentSeconds = static_cast<uint32_t>(number);
    } else if (key == "keep_size" || key == "min_free") {
      if (!Size(words[1], &bytes)) {
        why = "needs a size such as 500M or 2G (K, M, G, T: binary units), or 0";
      } else if (key == "keep_size") {
        config->keepBytes = bytes;
      } else {
        config->minFreeBytes = static_cast<int64_t>(bytes);
      }
    } else if (key == "keep_days") {
      if (!Number(words[1], 0, 100000, false, &number)) why = "needs days (0: no limit)";
      config->keepDays = static_cast<uint32_t>(number);
    } else if (key == "timeout") {
      if (!Number(words[1], 0.1, 3600, true, &number)) why = "needs seconds from 0.1 to 3600";
      config->timeout = number;
    } else if (key == "max_lag") {
      if (!Number(words[1], 0.1, 3600, true, &number)) why = "needs seconds from 0.1 to 3600";
      config->maxLag = number;
    } else {
      why = "unknown key";
    }
    if (!why.empty()) {
      *error = "line " + std::to_string(line) + ": " + key + ": " + why;
      return false;
    }
    seen.emplace(key, line);
  }

  std::map<uint32_t, std::string> channels;
  for (const auto& [words, at] : cameraLines) {
    CameraConfig camera;
    camera.line = at;
    camera.timeout = config->timeout;
    camera.maxLag = config->maxLag;
    camera.channel = MEDIA_FIRST_CHANNEL + static_cast<uint32_t>(config->cameras.size());
    std::string why;
    if (words.size() < 3) {
      why = "needs a name and a URL";
    } else if (!ValidCameraName(words[1])) {
      why = "\"" + words[1] +
            "\" is not a camera name: letters, digits, '-', '_' and '.', at most 63, not "
            "starting with '.' or '-'";
    } else if (seen.count("camera " + words[1]) != 0) {
      why = "the name " + words[1] + " is taken (line " +
            std::to_string(seen["camera " + words[1]]) + ")";
    } else if (HasUserInfo(words[2])) {
      why = "the URL holds a user name or password; put them into the credentials file";
    } else {
      camera.name = words[1];
      camera.url = words[2];
      for (size_t i = 3; i < words.size() && why.empty(); ++i) {
        CameraOption(words[i], &camera, &why);
      }
    }
    if (why.empty() && channels.count(camera.channel) != 0) {
      why = "channel " + std::to_string(camera.channel) + " is taken by camera " +
            channels[camera.channel];
    }
    if (!why.empty()) {
      *error = "line " + std::to_string(at) + ": camera: " + why;
      return false;
    }
    seen.emplace("camera " + camera.name, at);
    channels.emplace(camera.channel, camera.name);
    config->cameras.push_back(camera);
  }
  return true;
}

std::string MediaConfigPath(const std::string& pluginDir) {
  const char* set = getenv("ZENT_CAMERAS_CONF");
  if (set != nullptr && *set != 0) return set;
  const std::string dir = pluginDir.empty() ? "." : pluginDir;
  const std::string beside = dir + "/cameras.conf";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  // Installed: <prefix>/lib/zentserver/plugins, with the settings in /etc/zentserver for the
  // prefix /usr and in <prefix>/etc/zentserver for any other.
  const std::string installed = "/lib/zentserver/plugins";
  if (dir.size() > installed.size() &&
      dir.compare(dir.size() - installed.size(), installed.size(), installed) == 0) {
    const std::string prefix = dir.substr(0, dir.size() - installed.size());
    if (prefix != "/usr") return prefix + "/etc/zentserver/cameras.conf";
  }
  return "/etc/zentserver/cameras.conf";
}

bool LoadMediaConfig(const std::string& path, MediaConfig* config, std::string* error) {
  if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;  // no camera
  const TrustVerdict verdict = CheckConfigFile(path, false);
  if (!verdict.trusted) {
    *error = path + ": " + verdict.reason;
    return false;
  }
  std::ifstream in(path);
  if (!in.is_open()) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  if (!ParseMediaConfig(text, dir, config, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace media
