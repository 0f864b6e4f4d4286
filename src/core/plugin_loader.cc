// Plugin discovery and loading at start, closing and unloading at stop.
//
// Every "*.so" file of the directory "plugins" beside the executable is loaded (no directories,
// no hidden files, in listing order, each by the exact bytes of its name), asked to describe
// itself through Load and kept when it accepts. A file that cannot be loaded (logged with the
// dynamic loader's reason), lacks Load or refuses is unloaded again without any further call.
// Kept plugins whose lower-case name begins with "streampi" go to the front of the list (the
// last one listed first), every other one to the back.
//
// At stop, the Close pass closes each plugin's call count before its Close, and the Unload pass
// calls Unload, waits for the calls still inside and their threads (plugin_calls.h), and only
// then unloads the shared object.
//
// Nothing that another user could change is loaded (plugin_trust.h): a plugins directory that
// fails the check loads nothing, a file that fails it is skipped; one error line says why. A
// file cut short before the end of its segments is refused before the loader sees it, as the
// loader would crash on it.
//
// A plugin may call back from inside Load and from threads it starts there, so a broadcast can
// read the list while a later plugin is inserted: every change of m_plugins is made under
// m_pluginsLock. No plugin is called with the lock held.
//
// The plugin test harness loads one given file instead of the directory (SetPluginFile), with
// the same checks, and plugins built into the process (AddBuiltInPlugin, its probe) after the
// files; the loader tells its observer (observers.h) what it found and what it refused.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <wx/dynlib.h>
#include <wx/log.h>

#include "core/core.h"
#include "core/entry_points.h"
#include "core/file_names.h"
#include "core/observers.h"
#include "core/plugin_calls.h"
#include "core/plugin_thread.h"
#include "core/plugin_trust.h"

namespace {

constexpr const char* kPluginsDirName = "plugins";
constexpr const char* kPluginSuffix = ".so";
constexpr const char* kFrontPrefix = "streampi";
// While the Unload pass waits for a plugin's calls to return, it says so this often.
constexpr int kUnloadWaitWarningMs = 5000;

struct EntryName {
  const char* name;
  PluginEntryFn PluginRecord::*field;
};

constexpr EntryName kEntryNames[] = {
    {"Load", &PluginRecord::load}, {"Unload", &PluginRecord::unload},
    {"Open", &PluginRecord::open}, {"Close", &PluginRecord::close},
    {"Read", &PluginRecord::read}, {"Write", &PluginRecord::write},
    {"Seek", &PluginRecord::seek}, {"IOCTL", &PluginRecord::ioctl},
};

template <typename T>
T ZeroedRecord() {
  T record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = ZENT_RECORD_VERSION;
  return record;
}

void UnloadLibrary(wxDynamicLibrary* library) {
  if (library == nullptr) return;
  if (library->IsLoaded()) library->Unload();
  delete library;
}

}  // namespace

CallRequest MakeReadCall(uint32_t length, const void* data, uint32_t channel) {
  CallRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.op = kOpRead;
  request.record.read.size = sizeof request.record.read;
  request.record.read.version = ZENT_RECORD_VERSION;
  request.record.read.async = 1;
  request.record.read.length = length;
  request.record.read.data = data;
  request.record.read.channel = channel;
  return request;
}

CallReply MakeReadReply() {
  CallReply reply;
  std::memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  reply.op = kOpRead;
  reply.record.read.size = sizeof reply.record.read;
  reply.record.read.version = ZENT_RECORD_VERSION;
  return reply;
}

CallRequest MakeIoctlAtLoadCall() {
  CallRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.op = kOpIoctl;
  request.record.ioctl.size = sizeof request.record.ioctl;
  request.record.ioctl.version = ZENT_RECORD_VERSION;
  request.record.ioctl.command = IOCTL_AT_LOAD;
  request.record.ioctl.argSize = 8;
  request.record.ioctl.argVersion = 1;
  return request;
}

CallReply MakeIoctlAtLoadReply() {
  CallReply reply;
  std::memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  reply.op = kOpIoctl;
  reply.record.ioctl.size = sizeof reply.record.ioctl;
  reply.record.ioctl.version = ZENT_RECORD_VERSION;
  reply.record.ioctl.command = IOCTL_AT_LOAD;
  reply.record.ioctl.resultSize = 8;
  reply.record.ioctl.resultVersion = 1;
  return reply;
}

std::vector<std::string> Core::ListPluginFiles(const std::string& dir, bool* opened) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  *opened = listing != nullptr;
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // hidden
    if (name.size() < 3 || name.compare(name.size() - 3, 3, kPluginSuffix) != 0) continue;
    // Every entry but a directory (or a link to one) is listed: what cannot be loaded is then
    // reported by the loader with its reason.
    struct stat target;
    if (stat((dir + "/" + name).c_str(), &target) == 0 && S_ISDIR(target.st_mode)) continue;
    names.push_back(name);
  }
  closedir(listing);
  return names;
}

bool Core::LoadAllPlugins() {
  if (!m_pluginFile.empty()) {
    // One given file, judged as a file on its way into a plugins directory: the file and every
    // directory and link on the way to it (its own directory as one on the way).
    const size_t slash = m_pluginFile.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : m_pluginFile.substr(0, slash);
    LoadPlugin(slash == 0 ? "/" : dir, m_pluginFile.substr(slash + 1));
    LoadBuiltInPlugins();
    return true;
  }
  const wxString dirName = m_exePath.GetPath(wxPATH_GET_VOLUME, wxPATH_NATIVE);
  const std::string dir = std::string(dirName.fn_str()) + "/" + kPluginsDirName;
  bool opened = false;
  const std::vector<std::string> names = ListPluginFiles(dir, &opened);
  // A missing directory is a normal set-up without plugins, and not logged.
  if (!opened) {
    if (errno != ENOENT) {
      wxLogError("no plugin loaded: cannot read %s: %s", wxString::FromUTF8(ShownName(dir)),
                 std::strerror(errno));
    }
    LoadBuiltInPlugins();
    return false;
  }
  const TrustVerdict trust = CheckPluginDirectory(dir);
  if (!trust.trusted) {
    wxLogError("no plugin loaded from %s: %s", wxString::FromUTF8(ShownName(dir)),
               wxString::FromUTF8(ShownName(trust.reason)));
    LoadBuiltInPlugins();
    return false;
  }
  for (const std::string& name : names) LoadPlugin(dir, name);
  LoadBuiltInPlugins();
  return true;
}

void Core::AddBuiltInPlugin(const std::string& name, const PluginEntryFn entries[8]) {
  BuiltInPlugin plugin;
  plugin.name = name;
  std::copy(entries, entries + 8, plugin.entries);
  m_builtIns.push_back(plugin);
}

void Core::LoadBuiltInPlugins() {
  for (const BuiltInPlugin& builtIn : m_builtIns) {
    PluginRecord plugin;
    plugin.fileName = builtIn.name;
    // Its code is part of the process: an empty library object stands for it, which the
    // Unload pass deletes without unloading anything.
    plugin.library = new wxDynamicLibrary;
    bool exports[8];
    for (size_t i = 0; i < 8; ++i) {
      plugin.*kEntryNames[i].field = builtIn.entries[i];
      exports[i] = builtIn.entries[i] != nullptr;
    }
    AdmitPlugin(plugin, exports, builtIn.name);
  }
}

void Core::LoadPlugin(const std::string& dir, const std::string& name) {
  const wxString shown = wxString::FromUTF8(ShownName(name));
  const std::string path = (dir == "/" ? "" : dir) + "/" + name;
  // Logged, and told to the observer with the same reason.
  const auto refuse = [&](LoadRefusal why, const std::string& reason) {
    wxLogError("plugin %s not loaded: %s", shown, wxString::FromUTF8(ShownName(reason)));
    NotifyRefused(path, why, reason);
  };
  const TrustVerdict trust = CheckPluginFile(dir, name);
  if (!trust.trusted) return refuse(LoadRefusal::kUntrusted, trust.reason);
  PluginRecord plugin;
  plugin.fileName = name;
  // Loaded by the file's exact bytes, whatever the locale. RTLD_NOW: binding every symbol now
  // finds a broken plugin at load, not in a call.
  const std::string truncated = TruncatedObject(path);
  if (!truncated.empty()) return refuse(LoadRefusal::kTruncated, truncated);
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    const char* reason = dlerror();
    return refuse(LoadRefusal::kNotLoadable, reason != nullptr ? reason : "unknown error");
  }
  plugin.library = new wxDynamicLibrary;
  plugin.library->Attach(handle);
  // Looked up quietly: which missing ones matter depends on what the plugin asks for in Load.
  bool exports[8];
  PluginEntryFn entries[8];
  for (size_t i = 0; i < 8; ++i) {
    entries[i] = reinterpret_cast<PluginEntryFn>(dlsym(handle, kEntryNames[i].name));
    exports[i] = entries[i] != nullptr;
  }
  NotifyFound(path, exports, entries);
  for (size_t i = 0; i < 8; ++i) plugin.*kEntryNames[i].field = entries[i];
  if (plugin.load == nullptr) {
    UnloadLibrary(plugin.library);
    NotifyRefused(path, LoadRefusal::kNoLoad, "exports no Load");
    return;
  }
  AdmitPlugin(plugin, exports, path);
}

void Core::AdmitPlugin(PluginRecord& plugin, const bool exports[8], const std::string& path) {
  const wxString shown = wxString::FromUTF8(ShownName(plugin.fileName));
  PluginContext context = ZeroedRecord<PluginContext>();
  context.core = this;
  context.callback = CoreCallback;
  PluginInfo info = ZeroedRecord<PluginInfo>();
  // Made now, so that what the plugin broadcasts from inside Load is counted; it stays with the
  // Core whether the plugin is kept or not (a thread of a rejected plugin may still call back).
  PluginStats* stats = NewPluginStats();
  const wxDateTime before = wxDateTime::UNow();
  int result;
  {
    const CallingPlugin calling(stats);
    result = CallEntry(plugin.load, &context, &info);
  }
  plugin.loadTime = wxDateTime::UNow() - before;
  if (result != 0 || info.error != 0) {
    wxLogError("plugin %s load returned %d error %d", shown, result, static_cast<int>(info.error));
    UnloadLibrary(plugin.library);
    NotifyRefused(
        path, LoadRefusal::kRejected,
        "Load returned " + std::to_string(result) + " with error " + std::to_string(info.error));
    return;
  }

  for (const std::string& missing : MissingEntryPoints(exports, info)) {
    wxLogWarning("plugin %s %s", shown, missing);
  }
  wxLogVerbose(
      "plugin %s loaded: id %u (0x%08x), acceptsRead %d, acceptsWrite %d, ioctlAtLoad %d, masks "
      "%08x %08x %08x %08x %08x %08x %08x %08x %08x",
      shown, info.id, info.id, info.acceptsRead != 0, info.acceptsWrite != 0, info.ioctlAtLoad != 0,
      info.classMasks[0], info.classMasks[1], info.classMasks[2], info.classMasks[3],
      info.classMasks[4], info.classMasks[5], info.classMasks[6], info.classMasks[7],
      info.classMasks[8]);
  plugin.info = info;
  plugin.stats = stats;
  plugin.calls = new PluginCalls(shown, m_limits.maxCallsPerPlugin, stats);
  plugin.ioctlThread = nullptr;
  if (plugin.info.ioctlAtLoad != 0) StartIoctlAtLoad(plugin);
  plugin.readThread = nullptr;
  plugin.writeThread = nullptr;
  plugin.fileName = LowerName(plugin.fileName);
  const bool front = plugin.fileName.compare(0, 8, kFrontPrefix) == 0;
  pt::lockguard guard(m_pluginsLock);
  m_plugins.insert(front ? m_plugins.begin() : m_plugins.end(), plugin);
  PublishSender(stats, info.id);
}

PluginStats* Core::NewPluginStats() {
  pt::lockguard guard(m_pluginsLock);
  m_pluginStats.push_back(std::make_unique<PluginStats>());
  return m_pluginStats.back().get();
}

void Core::PublishSender(PluginStats* stats, uint32_t id) {
  stats->id = id;
  // A new table with every plugin kept so far, in list order: with two plugins of one id, the
  // one the list has first is found. The table in use stays alive for whoever still reads it.
  std::vector<PluginStats*> senders;
  senders.reserve(m_plugins.size());
  for (const PluginRecord& plugin : m_plugins) {
    if (plugin.stats != nullptr) senders.push_back(plugin.stats);
  }
  m_senderTables.push_back(std::make_unique<SenderTable>(senders));
  m_senders.store(m_senderTables.back().get(), std::memory_order_release);
}

bool Core::StartIoctlAtLoad(PluginRecord& plugin) {
  if (plugin.ioctl == nullptr || !plugin.calls->Enter()) return false;
  plugin.ioctlThread = PluginThread::Launch(this, plugin.ioctl, plugin.calls, MakeIoctlAtLoadCall(),
                                            MakeIoctlAtLoadReply());
  return plugin.ioctlThread != nullptr;
}

bool Core::StartReadAtStart(PluginRecord& plugin) {
  if (plugin.read == nullptr || !plugin.calls->Enter()) return false;
  plugin.readThread = PluginThread::Launch(this, plugin.read, plugin.calls,
                                           MakeReadCall(0, nullptr, 0), MakeReadReply());
  return plugin.readThread != nullptr;
}

void Core::CloseAllPlugins() {
  for (size_t i = 0;; ++i) {
    PluginEntryFn close;
    PluginCalls* calls;
    {
      pt::lockguard guard(m_pluginsLock);
      if (i >= m_plugins.size()) break;
      PluginRecord& plugin = m_plugins[i];
      if (plugin.library == nullptr) continue;
      plugin.readThread = nullptr;
      plugin.writeThread = nullptr;
      // From Close on only Unload may follow: no call thread is started for the plugin any
      // more, and the ones already started must have entered it before Close is called.
      plugin.calls->Close();
      calls = plugin.calls;
      close = plugin.close;
    }
    calls->WaitStarted();
    if (close == nullptr) continue;
    CloseRequest request = ZeroedRecord<CloseRequest>();
    StatusReply reply = ZeroedRecord<StatusReply>();
    const CallingPlugin calling(calls->stats());
    CallEntry(close, &request, &reply);
  }
}

void Core::UnloadAllPlugins() {
  for (size_t i = 0;; ++i) {
    wxString name;
    PluginEntryFn unload;
    PluginCalls* calls;
    {
      pt::lockguard guard(m_pluginsLock);
      if (i >= m_plugins.size()) break;
      PluginRecord& plugin = m_plugins[i];
      if (plugin.library == nullptr) continue;
      plugin.ioctlThread = nullptr;
      name = wxString::FromUTF8(ShownName(plugin.fileName));
      unload = plugin.unload;
      calls = plugin.calls;
    }
    // Unload first: a plugin may run a worker loop inside a call (the load-time IOCTL, its first
    // Read) and end it here. No new call has entered since Close.
    if (unload != nullptr) {
      UnloadRequest request = ZeroedRecord<UnloadRequest>();
      StatusReply reply = ZeroedRecord<StatusReply>();
      const CallingPlugin calling(calls->stats());
      CallEntry(unload, &request, &reply);
    }
    // The code goes only once no call is inside it and every thread that called into it has
    // ended, thread-exit destructors included.
    calls->WaitIdle(kUnloadWaitWarningMs, [&name](int inFlight) {
      wxLogWarning("plugin %s: still waiting for %d call(s) to return before unloading it", name,
                   inFlight);
    });
    calls->JoinAll(kUnloadWaitWarningMs, [&name](int threads) {
      wxLogWarning("plugin %s: still waiting for %d call thread(s) to end before unloading it",
                   name, threads);
    });
    wxDynamicLibrary* library;
    {
      // A broadcast from a plugin not yet unloaded may still look at this record: it must find
      // it without a library before the library and the call count go.
      pt::lockguard guard(m_pluginsLock);
      PluginRecord& plugin = m_plugins[i];
      library = plugin.library;
      plugin.library = nullptr;
      plugin.calls = nullptr;
    }
    UnloadLibrary(library);
    delete calls;
  }
  pt::lockguard guard(m_pluginsLock);
  m_plugins.clear();
}
