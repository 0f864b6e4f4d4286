// zentserver-inspect: loads one plugin the way the server does and reports what it finds.
//
//   zentserver-inspect [--json] [--strict] [--exercise] [--timeout SECONDS] PLUGIN.so
//
// It checks that the file is an ELF shared object of this build's architecture, then hands it
// to the plugin test harness (<zentserver/harness.h>), which loads it through the server's own
// loader inside the real core: the check that the file is whole and that the server would trust
// it (owned by root or this user, as is every directory and link on the way to it, and none of
// them writable by others), RTLD_NOW, the eight entry points, Load. It prints the PluginInfo the
// plugin filled and every message the plugin sent with the core's answer, then stops it as the
// server stops it (Close, then Unload) and unloads it; a rejected one is unloaded without
// further calls. What the plugin prints on standard output while it is loaded is captured into
// the report. Without --exercise nothing is opened or delivered (the harness's load-only run):
// what the plugin queues from inside Load is answered as the server would, later sends are
// refused. With --exercise the plugin also gets Open, the status document and the start Read
// before it is stopped, and what the harness saw it do against the plugin contract is reported.
//
// Exit status: 0 the server would accept the plugin (with --strict: and there is no warning),
// 1 it would reject it (or a call did not return within --timeout), 2 the file is not a
// loadable plugin (or the command line is wrong). Standard error gets one line with the reason
// in every case.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zentserver/harness.h>
#include <zentserver/plugin_api.h>

#include "core/entry_points.h"

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

struct Options {
  bool json = false;
  bool strict = false;
  bool exercise = false;
  int timeoutSeconds = 10;
  std::string path;
};

// One message the plugin sent through the callback.
struct Sent {
  std::string phase;   // "Load", "Open", "running", "Close", "Unload" or "after Unload"
  std::string thread;  // "calling thread" (inside a call of the server's) or "own thread"
  std::string kind;    // "broadcast", "queued", "release" or "close channel"
  uint32_t source, channel, flags, code, length;
  int32_t result;
  std::string payload;  // a short rendering of the first bytes
};

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

Sent Describe(const zh_sent& sent) {
  const Message& message = sent.message;
  Sent out{};
  out.phase = zh_phase_name(sent.phase);
  out.thread = sent.entry == ZH_ENTRY_NONE ? "own thread" : "calling thread";
  out.source = message.source;
  out.channel = message.channel;
  out.flags = message.flags;
  out.code = message.code;
  out.length = message.length;
  out.result = sent.result;
  if (message.flags == MSG_RELEASE) {
    out.kind = "release";
  } else if (message.source != 0) {
    out.kind = "queued";
  } else if (message.flags == MSG_CLOSE_CHANNEL) {
    out.kind = "close channel";
  } else {
    out.kind = "broadcast";
  }
  if (out.kind != "release") out.payload = Preview(message.data, message.length);
  return out;
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

struct Timed {
  int result = 0;
  double ms = 0;
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
  std::optional<Timed> open, close, unload;
  std::vector<Sent> sent;
  size_t notRecorded = 0;
  size_t threadsLeft = 0;
  std::string output;
  std::vector<std::pair<std::string, std::string>> violations;  // kind's name, sentence
  std::vector<std::string> warnings;
};

void AddWarnings(Report& report) {
  const PluginInfo& info = report.info;
  report.warnings = MissingEntryPoints(report.exports, info);
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
  // While the server would still take it: from inside its calls until its stop.
  for (const Sent& sent : report.sent) {
    if (sent.kind == "queued" && sent.channel != 0 && sent.result == RESULT_CHANNEL_REFUSED &&
        sent.thread == "calling thread" && sent.phase != "Close" && sent.phase != "Unload" &&
        sent.phase != "after Unload") {
      report.warnings.push_back("a queued message on channel " + std::to_string(sent.channel) +
                                " was refused: no broadcast opened the channel, or it is closed");
    }
  }
  for (const auto& [kind, text] : report.violations) {
    report.warnings.push_back(text);
  }
}

// Loads, describes and stops the plugin through the harness. Fills report; returns the exit
// status, or -1 (after the line on standard error) when the plugin is stuck in a call.
int Inspect(const Options& options, Report& report) {
  report.file = options.path;
  if (auto problem = CheckElf(options.path)) {
    report.reason = *problem;
    return kNotLoadable;
  }
  std::error_code error;
  const std::string absolute = fs::absolute(options.path, error).string();

  zh_options harness;
  zh_options_init(&harness);
  harness.open = options.exercise ? 1 : 0;
  harness.start_read = options.exercise ? 1 : 0;
  harness.stdout_mode = ZH_OUTPUT_CAPTURE;
  harness.log_to_stderr = 0;
  harness.call_timeout_ms = options.timeoutSeconds * 1000;
  zh_started started;
  zh_harness* h = zh_start(absolute.c_str(), &harness, &started);
  if (h == nullptr) {
    report.reason = started.reason;
    return kNotLoadable;
  }
  // The file was found by the loader: which entry points it has.
  report.exportsKnown = started.exports_known != 0;
  for (int i = 0; i < 8; ++i) report.exports[i] = started.exports[i] != 0;
  report.loadable = report.exports[ZH_ENTRY_LOAD];
  if (started.status == ZH_STUCK) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, options.path.c_str(), started.reason);
    return -1;
  }
  report.loadCalled = started.load_called != 0;
  report.load = {started.load_result, started.load_ms};
  report.info = started.info;
  if (started.open_called != 0) report.open = Timed{started.open_result, started.open_ms};
  report.accepted = started.status == ZH_ACCEPTED;

  zh_report stopped;
  if (zh_stop(h, &stopped) != ZH_OK) {
    const std::string stuck =
        stopped.violation_count > 0 ? stopped.violations[stopped.violation_count - 1].text : "";
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, options.path.c_str(), stuck.c_str());
    return -1;
  }
  if (stopped.close_called != 0) report.close = Timed{stopped.close_result, stopped.close_ms};
  if (stopped.unload_called != 0) report.unload = Timed{stopped.unload_result, stopped.unload_ms};
  report.threadsLeft = stopped.threads_left;
  for (size_t i = 0; i < stopped.violation_count; ++i) {
    report.violations.emplace_back(zh_violation_name(stopped.violations[i].kind),
                                   stopped.violations[i].text);
  }
  zh_sent sent;
  while (zh_next(h, &sent, 0) == ZH_OK) {
    if (report.sent.size() < kMaxRecorded) {
      report.sent.push_back(Describe(sent));
    } else {
      ++report.notRecorded;
    }
  }
  report.output = zh_output(h, 1, nullptr);
  zh_free(h);

  switch (started.status) {
    case ZH_ACCEPTED:
    case ZH_REJECTED:
      break;
    case ZH_UNTRUSTED:
      report.reason = std::string("the server would not load it: ") + started.reason;
      return kRejected;
    default:
      report.reason = started.reason;
      return kNotLoadable;
  }
  if (report.loadCalled) AddWarnings(report);
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
    if (report.open) {
      std::printf("%-12sreturned %d in %.3f ms\n", "Open", report.open->result, report.open->ms);
    }
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
    json["open"] = call(report.open);
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
    // What the harness saw the plugin do against the contract (also among the warnings).
    Json violations = Json::array();
    for (const auto& [kind, text] : report.violations) {
      violations.push_back({{"kind", kind}, {"text", text}});
    }
    json["violations"] = violations;
  }
  json["output"] = report.output;
  // Payload previews and output are the plugin's bytes: replace what is not UTF-8.
  std::cout << json.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
}

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: %s [--json] [--strict] [--exercise] [--timeout SECONDS] PLUGIN.so\n"
               "Loads PLUGIN.so as zentserver does, calls Load, prints what the plugin\n"
               "describes and sends, then calls Close and Unload.\n"
               "  --json       the report as JSON on standard output\n"
               "  --strict     warnings make the exit status 1\n"
               "  --exercise   also open it, deliver the status document and make the start\n"
               "               Read before it is stopped, and report what it did against the\n"
               "               plugin contract\n"
               "  --timeout S  give up when loading, or stopping, the plugin takes longer than\n"
               "               S seconds (10)\n"
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
    } else if (arg == "--exercise") {
      options.exercise = true;
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
  Report report;
  const int status = Inspect(options, report);
  if (status < 0) {
    // A call into the plugin did not return: the server would hang there too. Its thread is
    // stuck inside the plugin, so the process ends here, without unloading anything.
    std::fflush(stdout);
    _exit(kRejected);
  }
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
