/*
 * plugin.cc: the webstatus plugin's entry points.
 *
 * The plugin shows operators what the server does: a status page, Prometheus metrics and the
 * server's documents, over HTTP (see http_server.h). It takes the statistics document by Write
 * (mask 7 holds its match value) and the status document by IOCTL command 2, keeps the last of
 * each and the last 10 minutes of samples, and sends nothing.
 *
 * What runs where:
 *   Load    main thread       read webstatus.conf (and the password file it names), describe
 *                             the plugin; a bad or untrusted file: log it, refuse to load
 *   Open    main thread       start the HTTP server and log where the page is
 *   Write   event handler     a statistics document: parse it, keep it (never waits for a page)
 *   IOCTL   event handler     command 2: keep it if it is the status document
 *   Close   main thread       stop the HTTP server (joins its thread)
 *   Unload  main thread       the same should Close not have run; free everything
 * No buffer is kept (retained stays 0): the documents are copied.
 */
#include <dlfcn.h>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <zentserver/plugin_api.h>

#include "common/entry_guard.h"
#include "core/plugin_trust.h"
#include "http_server.h"
#include "plugin_log.h"
#include "snapshot.h"
#include "webstatus_config.h"

#ifndef ZENT_WEBSTATUS_SYSCONF
#define ZENT_WEBSTATUS_SYSCONF "/etc/zentserver/webstatus.conf"
#endif
#ifndef ZENT_WEBSTATUS_APPDIR
#define ZENT_WEBSTATUS_APPDIR "lib/zentserver"
#endif

namespace webstatus {
namespace {

constexpr const char* kConfigName = "webstatus.conf";

class Plugin {
 public:
  Plugin(WebStatusConfig config, const std::string& host)
      : m_config(std::move(config)), m_store(host), m_server(m_config, m_store) {}

  const WebStatusConfig& config() const { return m_config; }

  int Open() {
    std::string error;
    if (!m_server.Start(&error)) {
      Log(LOG_ERR, "%s", error.c_str());
      return -1;
    }
    Log(LOG_INFO, "the status page is at %s (metrics at %smetrics)", m_server.Url().c_str(),
        m_server.Url().c_str());
    return 0;
  }

  void OnWrite(const WriteRequest& request) {
    if (request.code != ZENT_CODE_STATISTICS || request.source != CORE_SOURCE) return;
    std::string error;
    if (!m_store.PutStatistics(request.data, request.length, &error) && !m_badLogged) {
      m_badLogged = true;  // the event handler is the only writer
      Log(LOG_WARNING, "cannot read a statistics document (%s); such documents are skipped",
          error.c_str());
    }
  }

  void OnIoctl(const IoctlRequest& request) {
    if (request.command != IOCTL_TO_OTHERS) return;
    std::string ignored;
    m_store.PutStatus(request.data, request.length, &ignored);
  }

  void Stop() { m_server.Stop(); }

 private:
  const WebStatusConfig m_config;
  Store m_store;
  HttpServer m_server;
  bool m_badLogged = false;
};

// The path of this shared object.
std::string OwnPath() {
  static const char anchor = 0;
  Dl_info info;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

// The installed configuration: ZENT_WEBSTATUS_SYSCONF (/etc/zentserver/webstatus.conf) for a
// plugin installed under /usr or found elsewhere (a build tree), <prefix>/etc/zentserver/ for
// one installed under another prefix, where "cmake --install" puts the file.
std::string InstalledConfig(const std::string& pluginDir) {
  const std::string tail = "/" ZENT_WEBSTATUS_APPDIR "/plugins";
  if (pluginDir.size() > tail.size() &&
      pluginDir.compare(pluginDir.size() - tail.size(), tail.size(), tail) == 0) {
    const std::string prefix = pluginDir.substr(0, pluginDir.size() - tail.size());
    if (prefix != "/usr") return prefix + "/etc/zentserver/" + kConfigName;
  }
  return ZENT_WEBSTATUS_SYSCONF;
}

// ZENT_WEBSTATUS_CONF when set; else the file beside the plugin (a build tree, a test); else
// the installed one. Empty: none of them exists (*looked says where it looked).
std::string ConfigPath(const std::string& pluginDir, std::string* looked) {
  const char* chosen = getenv("ZENT_WEBSTATUS_CONF");
  if (chosen != nullptr && *chosen != 0) {
    *looked = chosen;
    return chosen;
  }
  const std::string beside = pluginDir + "/" + kConfigName;
  const std::string installed = InstalledConfig(pluginDir);
  *looked = beside + " and " + installed;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  if (access(installed.c_str(), F_OK) == 0) return installed;
  return "";
}

Plugin* g_plugin;  // from Load to Unload

int LoadPlugin(PluginInfo* info) {
  ChooseLogTarget();
  const std::string own = OwnPath();
  const size_t slash = own.rfind('/');
  const std::string pluginDir = slash == std::string::npos ? "." : own.substr(0, slash);
  std::string looked;
  const std::string path = ConfigPath(pluginDir, &looked);
  const auto refuse = [&](const std::string& why) {
    Log(LOG_ERR, "%s: %s; not loaded", path.c_str(), why.c_str());
    info->error = 1;  // rejected: the core logs it and unloads this file
    return 0;
  };
  std::string text;
  if (path.empty()) {
    Log(LOG_INFO, "no configuration (looked for %s): the defaults", looked.c_str());
  } else {
    // It decides who may see the server's state: nobody else may change it.
    const TrustVerdict verdict = CheckConfigFile(path, false);
    if (!verdict.trusted) return refuse(verdict.reason);
    std::ifstream in(path);
    if (!in.is_open()) return refuse(strerror(errno));
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const size_t configSlash = path.rfind('/');
  const std::string configDir =
      configSlash == std::string::npos ? "." : path.substr(0, configSlash);
  WebStatusConfig config;
  std::string error;
  if (!ParseWebStatusConfig(text, configDir, &config, &error)) return refuse(error);
  for (const std::string& warning : config.warnings) {
    Log(LOG_WARNING, "%s: %s", path.empty() ? "defaults" : path.c_str(), warning.c_str());
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  auto plugin = std::make_unique<Plugin>(std::move(config), host);
  info->id = plugin->config().id;
  info->classMasks[ZENT_STATISTICS_CLASS] = ZENT_QUEUED_MATCH(ZENT_CODE_STATISTICS);
  info->acceptsWrite = 1;
  g_plugin = plugin.release();
  return 0;
}

}  // namespace
}  // namespace webstatus

using plugin_common::Guarded;
using webstatus::g_plugin;

ZENT_PLUGIN_EXPORT int Load(PluginContext*, PluginInfo* info) {
  if (Guarded(-1, [&] { return webstatus::LoadPlugin(info); }) != 0) info->error = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest*, OpenReply*) {
  return Guarded(-1, [] { return g_plugin->Open(); });
}

/* Not subscribed to any broadcast: only the core's start call comes. */
ZENT_PLUGIN_EXPORT int Read(ReadRequest*, ReadReply*) { return 0; }

ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply*) {
  return Guarded(0, [&] { return g_plugin->OnWrite(*request), 0; });
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply*) {
  return Guarded(0, [&] { return g_plugin->OnIoctl(*request), 0; });
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void*, void*) { return 0; }

ZENT_PLUGIN_EXPORT int Close(CloseRequest*, StatusReply*) {
  return Guarded(0, [] { return g_plugin->Stop(), 0; });
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest*, StatusReply*) {
  Guarded(0, [] { return g_plugin->Stop(), 0; });
  delete g_plugin;
  g_plugin = nullptr;
  return 0;
}
