/*
 * plugin.cc: the MQTT bridge's entry points; carries chosen messages between servers through an
 * MQTT broker.
 *
 * DESIGN
 *
 * The bridge is made of four parts, each in a file of its own: the configuration
 * (bridge_config.h), the link to the broker with the network thread that keeps it
 * (broker_link.h), the way out (outbound.h) and the way in (inbound.h, with its feeder
 * threads). This file holds them together and answers the core.
 *
 * What runs where:
 *   Load    main thread       find and check mqtt-bridge.conf, make the client and its TLS
 *                             context, describe the plugin (a bad file: log it, refuse to load)
 *   Open    main thread       start the feeders and the network thread; nothing waits for the
 *                             network (the name is resolved on the network thread)
 *   Read    call threads      broadcasts, and the core's start call (ignored): publish
 *   Write   event handler     queued messages: publish
 *   IOCTL   event handler     the status document, MSG_TO_OTHERS and MSG_TO_ALL: publish
 *   Close   main thread       wait up to 2 s for unacknowledged messages, disconnect with the
 *                             will (online becomes "0"), stop the network thread and the feeders
 *   Unload  main thread       the same should Close not have run; wait for the calls still
 *                             inside the bridge; free it
 * Close and Unload together wait at most kStopBound: the network thread comes back within
 * about 100 ms wherever it is (broker_link.h), the drain is bounded, and so is the wait for
 * calls in flight.
 *
 * Calls in flight. The core lets a Read that is already running overlap Close and Unload. Every
 * entry point that reaches the bridge counts itself in g_gate while it runs; Unload takes the
 * bridge away (an entry point that comes later answers at once) and waits until the count is 0
 * before it frees anything. A call that is still inside when the bound has passed keeps the
 * bridge alive: it is left allocated (and logged), never freed under a running call.
 */
#include <chrono>
#include <condition_variable>
#include <dlfcn.h>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <zentserver/plugin_api.h>

#include "bridge_config.h"
#include "bridge_log.h"
#include "broker_link.h"
#include "common/entry_guard.h"
#include "core/plugin_trust.h"
#include "inbound.h"
#include "notes.h"
#include "outbound.h"

#ifndef ZENT_BRIDGE_SYSCONF
#define ZENT_BRIDGE_SYSCONF "/etc/zentserver/mqtt-bridge.conf"
#endif

namespace mqtt_bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kConfigName = "mqtt-bridge.conf";
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr auto kStopBound = std::chrono::seconds(5);

class Bridge : public LinkHandler {
 public:
  Bridge(const BridgeConfig& config, CoreCallbackFn callback)
      : m_config(config),
        m_link(m_config, this),
        m_outbound(m_config, &m_link, &m_counters, &m_notes),
        m_inbound(m_config, callback, &m_counters, &m_notes) {
    if (const char* hold = getenv("ZENT_BRIDGE_TEST_READ_HOLD_MS")) m_readHoldMs = atoi(hold);
  }

  bool Create() { return m_link.Create(); }

  bool Start() {
    m_started = true;
    return m_inbound.Start() && m_link.Start();
  }

  // Later calls do nothing.
  void Stop() {
    if (m_stopped) return;
    m_stopped = true;
    m_link.Stop(kDrainTime, [this] { return m_outbound.Drained(); });
    m_outbound.Close();
    // The core no longer delivers: a send that waits for a channel is refused at once.
    m_inbound.Stop();
    if (!m_started) return;
    const std::string skipped = m_counters.Summary();
    Log(LOG_INFO, "stopped: %llu messages published, %llu sent in, %u not acknowledged%s%s",
        m_outbound.Published(), m_inbound.SentIn(), m_outbound.Pending(),
        skipped.empty() ? "" : "; ", skipped.c_str());
  }

  void OnWrite(const WriteRequest& request) { m_outbound.OnWrite(request); }
  void OnRead(const ReadRequest& request) {
    // Test seam: hold a Read with a payload inside the bridge, as a slow publish would.
    if (m_readHoldMs > 0 && request.length > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(m_readHoldMs));
    }
    m_outbound.OnRead(request);
  }
  void OnIoctl(const IoctlRequest& request) { m_outbound.OnIoctl(request); }

  // LinkHandler, on the network thread.
  void OnConnected() override { m_outbound.OnConnected(); }
  void OnMessage(const mosquitto_message& message, const mosquitto_property* properties) override {
    m_inbound.OnMessage(message, properties);
  }
  void OnAcknowledged(int mid, int reason) override { m_outbound.OnAcknowledged(mid, reason); }

 private:
  const BridgeConfig m_config;
  Counters m_counters;
  Notes m_notes;
  BrokerLink m_link;
  Outbound m_outbound;
  Inbound m_inbound;
  int m_readHoldMs = 0;
  bool m_started = false, m_stopped = false;  // main thread only
};

// The bridge from Load to Unload, and the entry points running inside it.
struct Gate {
  std::mutex mu;
  std::condition_variable idle;
  Bridge* bridge = nullptr;
  int calls = 0;
};
Gate g_gate;

// Counts an entry point in while it runs; bridge() is null when the bridge is gone.
class Call {
 public:
  Call() {
    std::lock_guard<std::mutex> lock(g_gate.mu);
    m_bridge = g_gate.bridge;
    if (m_bridge != nullptr) ++g_gate.calls;
  }
  ~Call() {
    if (m_bridge == nullptr) return;
    std::lock_guard<std::mutex> lock(g_gate.mu);
    if (--g_gate.calls == 0) g_gate.idle.notify_all();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  Bridge* bridge() const { return m_bridge; }

 private:
  Bridge* m_bridge;
};

Clock::time_point g_closeStarted;  // main thread only

// The path of this shared object.
std::string OwnPath() {
  static const char anchor = 0;
  Dl_info info;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// ZENT_BRIDGE_CONF when set; else the file beside the plugin (a build tree, or an operator's
// choice); else the installed one. Empty *path: none of them exists.
std::string ConfigPath(const std::string& pluginDir, std::string* looked) {
  const char* chosen = getenv("ZENT_BRIDGE_CONF");
  if (chosen != nullptr && *chosen != 0) {
    *looked = chosen;
    return chosen;
  }
  const std::string beside = pluginDir + "/" + kConfigName;
  *looked = beside + " and " + ZENT_BRIDGE_SYSCONF;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  if (access(ZENT_BRIDGE_SYSCONF, F_OK) == 0) return ZENT_BRIDGE_SYSCONF;
  return "";
}

int LoadBridge(PluginContext* context, PluginInfo* info) {
  ChooseLogTarget();
  const std::string own = OwnPath();
  const size_t slash = own.rfind('/');
  const std::string pluginDir = slash == std::string::npos ? "." : own.substr(0, slash);
  std::string looked;
  const std::string configPath = ConfigPath(pluginDir, &looked);
  const auto refuse = [&](const char* format, const std::string& why) {
    Log(LOG_ERR, format, configPath.c_str(), why.c_str());
    info->error = 1;  // rejected: the core logs it and unloads this file
    return 0;
  };
  std::string text;
  if (configPath.empty()) {
    Log(LOG_INFO, "no configuration (looked for %s): the defaults", looked.c_str());
  } else if (access(configPath.c_str(), F_OK) != 0) {
    return refuse("%s: %s; not loaded", strerror(errno));
  } else {
    // It decides what the server takes in from the network: nobody else may change it.
    const TrustVerdict verdict = CheckConfigFile(configPath, false);
    if (!verdict.trusted) return refuse("%s is %s; not loaded", verdict.reason);
    std::ifstream in(configPath);
    if (!in.is_open()) return refuse("%s: %s; not loaded", strerror(errno));
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const size_t configSlash = configPath.rfind('/');
  const std::string configDir =
      configSlash == std::string::npos ? "." : configPath.substr(0, configSlash);

  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  std::string machineId = FirstLine("/etc/machine-id");
  if (machineId.empty()) machineId = FirstLine("/var/lib/dbus/machine-id");
  BridgeConfig config;
  std::string error;
  if (!ParseBridgeConfig(text, configDir, DefaultClientId(host, machineId), &config, &error)) {
    return refuse("%s: %s; not loaded", error);
  }
  for (const std::string& warning : config.warnings) {
    Log(LOG_WARNING, "%s: %s", configPath.c_str(), warning.c_str());
  }
  if (config.clientIdDefaulted) {
    Log(LOG_WARNING,
        "no client_id: using %s; a box cloned from this one has the same one unless its machine "
        "id was made anew, and the broker lets only one of them in at a time",
        config.clientId.c_str());
  }
  if (config.accepts.empty()) {
    Log(LOG_INFO, "no accept line: nothing is taken in from the broker");
  }
  auto bridge = std::make_unique<Bridge>(config, context->callback);
  if (!bridge->Create()) {
    info->error = 1;
    return 0;
  }
  info->id = config.id;
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) info->classMasks[i] = config.masks[i];
  // The statistics document, when the server sends one, comes by Write.
  if (config.publishStats) {
    info->classMasks[ZENT_STATISTICS_CLASS] |= ZENT_QUEUED_MATCH(ZENT_CODE_STATISTICS);
  }
  info->acceptsWrite = config.queued.empty() && !config.publishStats ? 0 : 1;
  info->acceptsRead = config.broadcasts.empty() ? 0 : 1;
  std::lock_guard<std::mutex> lock(g_gate.mu);
  g_gate.bridge = bridge.release();
  return 0;
}

void UnloadBridge() {
  Bridge* bridge;
  bool idle;
  {
    std::unique_lock<std::mutex> lock(g_gate.mu);
    bridge = g_gate.bridge;
    g_gate.bridge = nullptr;
    if (bridge == nullptr) return;
    if (g_closeStarted == Clock::time_point()) g_closeStarted = Clock::now();
    idle =
        g_gate.idle.wait_until(lock, g_closeStarted + kStopBound, [] { return g_gate.calls == 0; });
  }
  bridge->Stop();
  if (!idle) {
    // Freeing it would pull it from under a running call.
    Log(LOG_ERR, "a call is still running inside the bridge at Unload: its memory is left as is");
    return;
  }
  delete bridge;
}

}  // namespace
}  // namespace mqtt_bridge

using mqtt_bridge::Call;
using plugin_common::Guarded;

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  if (Guarded(-1, [&] { return mqtt_bridge::LoadBridge(context, info); }) != 0) info->error = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest*, OpenReply*) {
  Call call;
  if (call.bridge() == nullptr) return -1;
  return Guarded(-1, [&] { return call.bridge()->Start() ? 0 : -1; });
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply*) {
  Call call;
  if (call.bridge() == nullptr) return 0;
  return Guarded(0, [&] { return call.bridge()->OnRead(*request), 0; });
}

// retained stays 0 in the replies of Write and IOCTL: the library has its own copy of what it
// publishes.
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply*) {
  Call call;
  if (call.bridge() == nullptr) return 0;
  return Guarded(0, [&] { return call.bridge()->OnWrite(*request), 0; });
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply*) {
  Call call;
  if (call.bridge() == nullptr) return 0;
  return Guarded(0, [&] { return call.bridge()->OnIoctl(*request), 0; });
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void*, void*) { return 0; }

ZENT_PLUGIN_EXPORT int Close(CloseRequest*, StatusReply*) {
  mqtt_bridge::g_closeStarted = mqtt_bridge::Clock::now();
  Call call;
  if (call.bridge() == nullptr) return 0;
  return Guarded(0, [&] { return call.bridge()->Stop(), 0; });
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest*, StatusReply*) {
  Guarded(0, [] { return mqtt_bridge::UnloadBridge(), 0; });
  return 0;
}
