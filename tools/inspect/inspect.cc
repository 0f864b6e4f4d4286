// zentserver-inspect: loads one plugin the way the server does and reports what it finds.
//
//   zentserver-inspect [--json] [--strict] [--timeout SECONDS] PLUGIN.so
//
// It checks that the file is an ELF shared object of this build's architecture that is whole
// and that the server would trust (owned by root or this user, as is every directory and link
// on the way to it, and none of them writable by others: the server's own check), loads it
// (RTLD_NOW, as the server binds every symbol at load), looks up the eight entry points, calls
// Load with a context whose callback records every message the plugin sends, and prints the
// PluginInfo the plugin filled. A plugin the server would accept is then stopped as the server
// stops it (Close, then Unload) and unloaded; a rejected one is unloaded without further calls.
// What the plugin prints on standard output while it is loaded is captured into the report.
//
// The callback answers as the server's routing would, without delivering anything: a queued
// message on a channel that no broadcast opened, or on a closed one, is refused.
//
// Exit status: 0 the server would accept the plugin (with --strict: and there is no warning),
// 1 it would reject it, 2 the file is not a loadable plugin (or the command line is wrong).
// Standard error gets one line with the reason in every case.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zentserver/plugin_api.h>

#include "core/entry_points.h"
#include "core/plugin_trust.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr const char* kProgram = "zentserver-inspect";
constexpr int kAccepted = 0;
constexpr int kRejected = 1;
constexpr int kNotLoadable = 2;
constexpr size_t kMaxRecorded = 100;

constexpr const char* kEntryNames[8] = {"Load", "Unload", "Open", "Close",
                                        "Read", "Write",  "Seek", "IOCTL"};
enum Entry { kLoad, kUnload, kOpen, kClose, kRead, kWrite, kSeek, kIoctl };

struct Options {
  bool json = false;
  bool strict = false;
  int timeoutSeconds = 10;
  std::string path;
};

// One message the plugin sent through the callback.
struct Sent {
  std::string phase;   // "Load", "Close", "Unload" or "after Unload"
  std::string thread;  // "calling thread" or "own thread"
  std::string kind;    // "broadcast", "queued", "release" or "close channel"
  uint32_t source, channel, flags, code, length;
  int32_t result;
  std::string payload;  // a short rendering of the first bytes
};

// What the callback saw; it may be called from any thread of the plugin.
struct CallbackLog {
  std::mutex mu;
  std::string phase = "Load";
  std::thread::id callingThread;
  std::vector<Sent> sent;
  size_t notRecorded = 0;
  size_t lateCalls = 0;
  std::set<uint32_t> openChannels, closedChannels;
  std::vector<std::string> faults;
};

CallbackLog g_log;

std::string Hex32(uint32_t value, int digits = 8) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

std::string Preview(const void* data, uint32_t length) {
  if (data == nullptr || length == 0) return "";
  const auto* bytes = static_cast<const unsigned char*>(data);
  const uint32_t shown = std::min<uint32_t>(length, 48);
  bool printable = true;
  for (uint32_t i = 0; i < shown; ++i) printable &= bytes[i] >= 0x20 && bytes[i] < 0x7f;
  std::string text;
  if (printable) {
    text = "\"" + std::string(reinterpret_cast<const char*>(bytes), shown) + "\"";
  } else {
    for (uint32_t i = 0; i < std::min<uint32_t>(shown, 16); ++i) {
      char pair[4];
      std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
      text += pair;
    }
  }
  if (length > shown || (!printable && length > 16)) text += "...";
  return text;
}

// The callback handed to the plugin: records the message and answers as the server would.
int InspectCallback(const Message* message, MessageReply* reply) {
  std::lock_guard<std::mutex> lock(g_log.mu);
  Sent sent{};
  sent.phase = g_log.phase;
  sent.thread = std::this_thread::get_id() == g_log.callingThread ? "calling thread" : "own thread";
  sent.source = message->source;
  sent.channel = message->channel;
  sent.flags = message->flags;
  sent.code = message->code;
  sent.length = message->length;
  sent.result = RESULT_OK;
  if (message->flags == MSG_RELEASE) {
    sent.kind = "release";
    if (message->data != nullptr) {
      g_log.faults.push_back(
          "gave back a buffer it was never handed (MSG_RELEASE of a non-null "
          "pointer before any delivery)");
    }
  } else if (message->source != 0) {
    sent.kind = "queued";
    if (message->channel != 0 && (g_log.openChannels.count(message->channel) == 0 ||
                                  g_log.closedChannels.count(message->channel) != 0)) {
      sent.result = RESULT_CHANNEL_REFUSED;
      g_log.faults.push_back("a queued message on channel " + std::to_string(message->channel) +
                             " was refused: no broadcast opened the channel, or it is closed");
    }
  } else if (message->flags == MSG_CLOSE_CHANNEL) {
    sent.kind = "close channel";
    g_log.closedChannels.insert(message->channel);
  } else {
    sent.kind = "broadcast";
    if (message->channel != 0) g_log.openChannels.insert(message->channel);
  }
  sent.payload = sent.kind == "release" ? "" : Preview(message->data, message->length);
  if (g_log.phase == "after Unload") ++g_log.lateCalls;
  if (g_log.sent.size() < kMaxRecorded) {
    g_log.sent.push_back(sent);
  } else {
    ++g_log.notRecorded;
  }
  reply->result = sent.result;
  return 0;
}

void SetPhase(const std::string& phase) {
  std::lock_guard<std::mutex> lock(g_log.mu);
  g_log.phase = phase;
}

// A call into the plugin that does not return in time ends the inspection: the server would
// hang in the same place. The message is prepared before the call; the handler only writes it.
char g_timeoutLine[600];

void OnTimeout(int) {
  ssize_t written = write(STDERR_FILENO, g_timeoutLine, std::strlen(g_timeoutLine));
  (void)written;
  _exit(kRejected);
}

struct Timed {
  int result = 0;
  double ms = 0;
};

template <typename Request, typename Reply>
Timed CallEntry(void* entry, Request* request, Reply* reply, const Options& options,
                const char* name) {
  std::snprintf(g_timeoutLine, sizeof g_timeoutLine, "%s: %s: %s did not return within %d s\n",
                kProgram, options.path.c_str(), name, options.timeoutSeconds);
  alarm(static_cast<unsigned>(options.timeoutSeconds));
  const auto before = std::chrono::steady_clock::now();
  Timed timed;
  timed.result = reinterpret_cast<int (*)(Request*, Reply*)>(entry)(request, reply);
  const auto after = std::chrono::steady_clock::now();
  alarm(0);
  timed.ms = std::chrono::duration<double, std::milli>(after - before).count();
  return timed;
}

template <typename T>
T Zeroed() {
  T record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = ZENT_RECORD_VERSION;
  return record;
}

// Why the file cannot be a plugin of this build's server, or nothing.
std::optional<std::string> CheckElf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open: " + std::string(std::strerror(errno));
  unsigned char header[20] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  if (in.gcount() < static_cast<std::streamsize>(sizeof header) ||
      std::memcmp(header, ELFMAG, SELFMAG) != 0) {
    return "not an ELF object";
  }
  constexpr int kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  constexpr int kBits = sizeof(void*) == 8 ? 64 : 32;
  if (header[EI_CLASS] != kClass) {
    return "an ELF " + std::string(header[EI_CLASS] == ELFCLASS64 ? "64" : "32") +
           "-bit object; this server is " + std::to_string(kBits) + "-bit";
  }
  if (header[EI_DATA] != ELFDATA2LSB) return "a big-endian ELF object";
  const unsigned type = header[16] | (header[17] << 8);
  const unsigned machine = header[18] | (header[19] << 8);
#if defined(__x86_64__)
  constexpr unsigned kMachine = EM_X86_64;
#elif defined(__i386__)
  constexpr unsigned kMachine = EM_386;
#elif defined(__aarch64__)
  constexpr unsigned kMachine = EM_AARCH64;
#else
  constexpr unsigned kMachine = 0;  // not checked
#endif
  if (kMachine != 0 && machine != kMachine) {
    return "an ELF object for machine " + std::to_string(machine) + ", not this server's (" +
           std::to_string(kMachine) + ")";
  }
  if (type == ET_EXEC) return "an ELF executable, not a shared object";
  if (type == ET_REL) return "an ELF relocatable object (.o), not a shared object";
  if (type != ET_DYN)
    return "an ELF object of type " + std::to_string(type) + ", not a shared object";
  return std::nullopt;
}

std::set<std::string> Threads() {
  std::set<std::string> tids;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/self/task", error)) {
    tids.insert(entry.path().filename().string());
  }
  return tids;
}

// Threads that exist now and did not exist in before; waits up to two seconds for them to end.
size_t ThreadsLeft(const std::set<std::string>& before) {
  size_t left = 0;
  for (int i = 0; i < 200; ++i) {
    left = 0;
    for (const std::string& tid : Threads()) left += before.count(tid) == 0 ? 1 : 0;
    if (left == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return left;
}

// Standard output of the plugin, captured into a temporary file while it is loaded.
class OutputCapture {
 public:
  OutputCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(STDOUT_FILENO);
    if (file_ != nullptr && saved_ >= 0) dup2(fileno(file_), STDOUT_FILENO);
  }
  ~OutputCapture() { Finish(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Restores standard output and returns what was written meanwhile.
  std::string Finish() {
    if (saved_ < 0) return text_;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    if (file_ != nullptr) {
      std::rewind(file_);
      char buffer[4096];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
      std::fclose(file_);
      file_ = nullptr;
    }
    return text_;
  }

 private:
  FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

struct Report {
  std::string file;
  bool loadable = false;
  bool accepted = false;
  std::string reason;
  bool exports[8] = {};
  bool exportsKnown = false;
  bool loadCalled = false;
  Timed load;
  PluginInfo info = {};
  std::optional<Timed> close, unload;
  std::vector<Sent> sent;
  size_t notRecorded = 0;
  size_t threadsLeft = 0;
  std::string output;
  std::vector<std::string> warnings;
};

void AddWarnings(Report& report) {
  const PluginInfo& info = report.info;
  report.warnings = MissingEntryPoints(report.exports, info);
  if (info.id == 0) {
    report.warnings.push_back(
        "id is 0: a message with source 0 is a broadcast, so the plugin cannot send queued "
        "messages under its own id");
  } else if (info.id == CORE_SOURCE) {
    report.warnings.push_back(
        "id is CORE_SOURCE (0x80000000): the server takes the plugin for the core, and it never "
        "receives the status document");
  }
  bool anyMask = false;
  for (uint32_t mask : info.classMasks) anyMask |= mask != 0;
  if (!anyMask && info.acceptsWrite != 0) {
    report.warnings.push_back(
        "takes Write calls but every mask is 0: only queued messages whose match value is 0 "
        "reach it");
  }
  if (anyMask && info.acceptsRead == 0 && info.acceptsWrite == 0) {
    report.warnings.push_back(
        "has subscription masks but takes neither Read nor Write calls: nothing reaches it "
        "through them");
  }
  if (info.size != sizeof(PluginInfo) || info.version != ZENT_RECORD_VERSION) {
    report.warnings.push_back("changed size or version of the PluginInfo the server prepared");
  }
  {
    std::lock_guard<std::mutex> lock(g_log.mu);
    for (const std::string& fault : g_log.faults) report.warnings.push_back(fault);
    if (g_log.lateCalls > 0) {
      report.warnings.push_back("called the callback " + std::to_string(g_log.lateCalls) +
                                " time(s) after Unload returned");
    }
  }
  if (report.threadsLeft > 0) {
    report.warnings.push_back(
        std::to_string(report.threadsLeft) +
        " thread(s) of the plugin still run after Unload: the server unloads the plugin's code "
        "under them (it was not unloaded here)");
  }
}

// Loads, describes and stops the plugin. Fills report; returns the exit status.
int Inspect(const Options& options, Report& report) {
  report.file = options.path;
  if (auto problem = CheckElf(options.path)) {
    report.reason = *problem;
    return kNotLoadable;
  }
  std::error_code error;
  const fs::path absolute = fs::absolute(options.path, error);
  // The server's own checks, before the loader sees the file: a file cut short would end this
  // process inside the loader, and one that another user could change is refused.
  if (std::string truncated = TruncatedObject(absolute.string()); !truncated.empty()) {
    report.reason = truncated;
    return kNotLoadable;
  }
  const TrustVerdict trust =
      CheckPluginFile(absolute.parent_path().string(), absolute.filename().string());
  if (!trust.trusted) {
    report.reason = "the server would not load it: " + trust.reason;
    return kRejected;
  }

  // Threads that exist before the plugin runs, with those a sanitizer starts for the first
  // thread the process creates (a plugin may create the first one).
  std::thread([] {}).join();
  const std::set<std::string> threadsBefore = Threads();

  OutputCapture capture;
  void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    report.output = capture.Finish();
    const char* why = dlerror();
    report.reason = std::string("cannot be loaded: ") + (why != nullptr ? why : "unknown error");
    return kNotLoadable;
  }
  void* entries[8];
  for (int i = 0; i < 8; ++i) {
    entries[i] = dlsym(handle, kEntryNames[i]);
    report.exports[i] = entries[i] != nullptr;
  }
  report.exportsKnown = true;
  report.loadable = report.exports[kLoad];
  if (!report.loadable) {
    report.output = capture.Finish();
    dlclose(handle);
    report.reason = "exports no Load";
    return kNotLoadable;
  }

  int opaqueCore = 0;
  PluginContext context = Zeroed<PluginContext>();
  context.core = &opaqueCore;
  context.callback = InspectCallback;
  report.info = Zeroed<PluginInfo>();
  {
    std::lock_guard<std::mutex> lock(g_log.mu);
    g_log.callingThread = std::this_thread::get_id();
    g_log.phase = "Load";
  }
  report.load = CallEntry(entries[kLoad], &context, &report.info, options, "Load");
  report.loadCalled = true;
  report.accepted = report.load.result == 0 && report.info.error == 0;
  if (report.accepted) {
    // The server's stop: Close on every plugin, then Unload on every plugin.
    if (entries[kClose] != nullptr) {
      SetPhase("Close");
      CloseRequest request = Zeroed<CloseRequest>();
      StatusReply reply = Zeroed<StatusReply>();
      report.close = CallEntry(entries[kClose], &request, &reply, options, "Close");
    }
    if (entries[kUnload] != nullptr) {
      SetPhase("Unload");
      UnloadRequest request = Zeroed<UnloadRequest>();
      StatusReply reply = Zeroed<StatusReply>();
      report.unload = CallEntry(entries[kUnload], &request, &reply, options, "Unload");
    }
  }
  SetPhase("after Unload");
  report.threadsLeft = ThreadsLeft(threadsBefore);
  // Unloading code that a thread still runs would crash this process, as it would the server.
  if (report.threadsLeft == 0) dlclose(handle);
  report.output = capture.Finish();

  {
    std::lock_guard<std::mutex> lock(g_log.mu);
    report.sent = g_log.sent;
    report.notRecorded = g_log.notRecorded;
  }
  AddWarnings(report);
  char reason[160];
  std::snprintf(reason, sizeof reason, "Load returned %d with error %d", report.load.result,
                static_cast<int>(report.info.error));
  report.reason = reason;
  if (!report.accepted) return kRejected;
  if (options.strict && !report.warnings.empty()) return kRejected;
  return kAccepted;
}

std::string FlagsText(uint32_t flags) { return Hex32(flags, 3); }

void PrintText(const Report& report, int status) {
  std::printf("%-12s%s\n", "plugin", report.file.c_str());
  if (report.exportsKnown) {
    std::string exported, missing;
    for (int i = 0; i < 8; ++i) {
      std::string& list = report.exports[i] ? exported : missing;
      if (!list.empty()) list += ' ';
      list += kEntryNames[i];
    }
    std::printf("%-12s%s\n", "exports", exported.empty() ? "-" : exported.c_str());
    std::printf("%-12s%s\n", "missing", missing.empty() ? "-" : missing.c_str());
  }
  if (report.loadCalled) {
    const PluginInfo& info = report.info;
    std::printf("%-12sreturned %d in %.3f ms\n", "Load", report.load.result, report.load.ms);
    std::printf("%-12s%u (%s)\n", "id", info.id, Hex32(info.id).c_str());
    for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
      std::printf("%-12smask %d (class bit %s)  %s\n", i == 0 ? "masks" : "", i,
                  Hex32(MSG_CLASS_BIT(i), 3).c_str(), Hex32(info.classMasks[i]).c_str());
    }
    std::printf("%-12sioctlAtLoad %d  acceptsRead %d  acceptsWrite %d\n", "flags",
                info.ioctlAtLoad != 0, info.acceptsRead != 0, info.acceptsWrite != 0);
    std::printf("%-12s%d\n", "error", static_cast<int>(info.error));
    if (report.close) {
      std::printf("%-12sreturned %d in %.3f ms\n", "Close", report.close->result, report.close->ms);
    }
    if (report.unload) {
      std::printf("%-12sreturned %d in %.3f ms\n", "Unload", report.unload->result,
                  report.unload->ms);
    }
    if (report.sent.empty()) {
      std::printf("%-12snone\n", "messages");
    } else {
      bool first = true;
      for (const Sent& sent : report.sent) {
        std::printf("%-12s%s, %s: %s source %u channel %u flags %s code %s length %u -> %d%s%s\n",
                    first ? "messages" : "", sent.phase.c_str(), sent.thread.c_str(),
                    sent.kind.c_str(), sent.source, sent.channel, FlagsText(sent.flags).c_str(),
                    Hex32(sent.code).c_str(), sent.length, sent.result,
                    sent.payload.empty() ? "" : " ", sent.payload.c_str());
        first = false;
      }
      if (report.notRecorded > 0) std::printf("%-12s%zu more\n", "", report.notRecorded);
    }
  }
  if (!report.output.empty()) {
    bool first = true;
    size_t start = 0;
    while (start < report.output.size()) {
      size_t end = report.output.find('\n', start);
      if (end == std::string::npos) end = report.output.size();
      std::printf("%-12s%s\n", first ? "output" : "",
                  report.output.substr(start, end - start).c_str());
      first = false;
      start = end + 1;
    }
  }
  if (report.loadCalled) {
    if (report.warnings.empty()) std::printf("%-12snone\n", "warnings");
    for (size_t i = 0; i < report.warnings.size(); ++i) {
      std::printf("%-12s%s\n", i == 0 ? "warnings" : "", report.warnings[i].c_str());
    }
  }
  const char* verdict = status == kNotLoadable ? "not a loadable plugin"
                        : report.accepted      ? "accepted"
                                               : "rejected";
  std::printf("%-12s%s: %s\n", "verdict", verdict, report.reason.c_str());
}

void PrintJson(const Report& report, int status) {
  Json json;
  json["file"] = report.file;
  json["loadable"] = report.loadable;
  json["accepted"] = report.accepted;
  json["verdict"] = status == kNotLoadable ? "not loadable"
                    : report.accepted      ? "accepted"
                                           : "rejected";
  json["reason"] = report.reason;
  if (report.exportsKnown) {
    Json exports = Json::object();
    for (int i = 0; i < 8; ++i) exports[kEntryNames[i]] = report.exports[i];
    json["exports"] = exports;
  }
  if (report.loadCalled) {
    const PluginInfo& info = report.info;
    json["load"] = {{"result", report.load.result}, {"ms", report.load.ms}};
    Json masks = Json::array();
    for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
      masks.push_back({{"index", i},
                       {"classBit", MSG_CLASS_BIT(i)},
                       {"mask", info.classMasks[i]},
                       {"hex", Hex32(info.classMasks[i])}});
    }
    json["info"] = {{"size", info.size},
                    {"version", info.version},
                    {"id", info.id},
                    {"idHex", Hex32(info.id)},
                    {"masks", masks},
                    {"ioctlAtLoad", info.ioctlAtLoad != 0},
                    {"acceptsRead", info.acceptsRead != 0},
                    {"acceptsWrite", info.acceptsWrite != 0},
                    {"error", info.error}};
    auto call = [](const std::optional<Timed>& timed) {
      return timed ? Json{{"called", true}, {"result", timed->result}, {"ms", timed->ms}}
                   : Json{{"called", false}};
    };
    json["close"] = call(report.close);
    json["unload"] = call(report.unload);
    Json sent = Json::array();
    for (const Sent& message : report.sent) {
      sent.push_back({{"phase", message.phase},
                      {"thread", message.thread},
                      {"kind", message.kind},
                      {"source", message.source},
                      {"channel", message.channel},
                      {"flags", message.flags},
                      {"code", message.code},
                      {"length", message.length},
                      {"result", message.result},
                      {"payload", message.payload}});
    }
    json["messages"] = sent;
    json["messagesNotShown"] = report.notRecorded;
    json["threadsLeft"] = report.threadsLeft;
    json["warnings"] = report.warnings;
  }
  json["output"] = report.output;
  // Payload previews and output are the plugin's bytes: replace what is not UTF-8.
  std::cout << json.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
}

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: %s [--json] [--strict] [--timeout SECONDS] PLUGIN.so\n"
               "Loads PLUGIN.so as zentserver does, calls Load, prints what the plugin\n"
               "describes and sends, then calls Close and Unload.\n"
               "  --json       the report as JSON on standard output\n"
               "  --strict     warnings make the exit status 1\n"
               "  --timeout S  give up when a call does not return within S seconds (10)\n"
               "Exit status: 0 the server would accept the plugin, 1 it would reject it,\n"
               "2 the file is not a loadable plugin.\n",
               kProgram);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--strict") {
      options.strict = true;
    } else if (arg == "--timeout" && i + 1 < argc) {
      options.timeoutSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && options.path.empty()) {
      options.path = arg;
    } else {
      Usage(stderr);
      return kNotLoadable;
    }
  }
  if (options.path.empty()) {
    Usage(stderr);
    return kNotLoadable;
  }
  std::signal(SIGALRM, OnTimeout);

  Report report;
  const int status = Inspect(options, report);
  if (options.json) {
    PrintJson(report, status);
  } else {
    PrintText(report, status);
  }
  std::fflush(stdout);
  const char* verdict = status == kNotLoadable ? "not a loadable plugin"
                        : report.accepted      ? "accepted"
                                               : "rejected";
  std::string line = report.reason;
  if (report.accepted && !report.warnings.empty()) {
    line += " (" + std::to_string(report.warnings.size()) + " warning" +
            (report.warnings.size() == 1 ? "" : "s") + ")";
  }
  std::fprintf(stderr, "%s: %s: %s: %s\n", kProgram, options.path.c_str(), verdict, line.c_str());
  return status;
}
