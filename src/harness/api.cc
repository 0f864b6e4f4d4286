// The C functions of <zentserver/harness.h>: argument checks, and the strings handed back,
// which the handle owns until the next call that replaces them or zh_free.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "harness/harness.h"
#include "harness/session.h"

struct zh_harness {
  uint64_t run = 0;
  std::string output[3];
  std::string log;
  std::vector<zh::Violation> violations;
  std::vector<zh_violation> listed;
};

extern "C" {

void zh_options_init(zh_options* options) {
  if (options == nullptr) return;
  std::memset(options, 0, sizeof *options);
  options->size = sizeof *options;
  options->probe_id = 0x7A480001u;
  options->open = 1;
  options->start_read = 1;
  options->call_bound_ms = 1000;
  options->gate_held_ms = 10000;
  options->call_timeout_ms = 60000;
  options->stdout_mode = ZH_OUTPUT_THROUGH;
  options->stderr_mode = ZH_OUTPUT_THROUGH;
  options->log_to_stderr = 1;
}

zh_harness* zh_start(const char* path, const zh_options* options, zh_started* started) {
  zh_started ignored;
  if (started == nullptr) started = &ignored;
  std::memset(started, 0, sizeof *started);
  started->status = ZH_FAILED;
  zh_options chosen;
  zh_options_init(&chosen);
  if (options != nullptr) {
    if (options->size != sizeof(zh_options)) {
      std::snprintf(started->reason, sizeof started->reason,
                    "options.size is %u, not %zu: fill the options with zh_options_init first",
                    options->size, sizeof(zh_options));
      return nullptr;
    }
    chosen = *options;
  }
  if (path == nullptr || *path == 0) {
    std::snprintf(started->reason, sizeof started->reason, "no plugin file named");
    return nullptr;
  }
  if (chosen.call_timeout_ms <= 0 || chosen.call_bound_ms < 0 || chosen.gate_held_ms <= 0) {
    std::snprintf(started->reason, sizeof started->reason,
                  "call_timeout_ms and gate_held_ms must be positive, call_bound_ms not negative");
    return nullptr;
  }
  if (chosen.probe_id == 0 || chosen.probe_id == CORE_SOURCE) {
    std::snprintf(started->reason, sizeof started->reason,
                  "probe_id must be neither 0 nor CORE_SOURCE");
    return nullptr;
  }
  // The loader judges the path as given, link by link: relative paths from the working
  // directory.
  std::string absolute = path;
  if (absolute[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      std::snprintf(started->reason, sizeof started->reason, "cannot read the working directory");
      return nullptr;
    }
    absolute = std::string(cwd) + "/" + absolute;
  }
  auto* h = new (std::nothrow) zh_harness;
  if (h == nullptr) {
    std::snprintf(started->reason, sizeof started->reason, "no memory");
    return nullptr;
  }
  h->run = zh::Session::Get().Start(absolute, chosen, started);
  if (h->run == 0) {
    delete h;
    return nullptr;
  }
  return h;
}

Message zh_message(uint32_t source, uint32_t channel, uint32_t flags, uint32_t code,
                   const void* data, uint32_t length) {
  Message message;
  std::memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.source = source;
  message.channel = channel;
  message.flags = flags;
  message.code = code;
  message.data = data;
  message.length = length;
  return message;
}

int32_t zh_send(zh_harness* h, const Message* message) {
  if (h == nullptr || message == nullptr) return ZH_ERROR;
  return zh::Session::Get().Send(h->run, *message);
}

int zh_write(zh_harness* h, const Message* message, WriteReply* reply, int* result) {
  if (h == nullptr || message == nullptr) return ZH_ERROR;
  return zh::Session::Get().DirectWrite(h->run, *message, reply, result);
}

int zh_read(zh_harness* h, const void* data, uint32_t length, uint32_t channel, ReadReply* reply,
            int* result) {
  if (h == nullptr) return ZH_ERROR;
  return zh::Session::Get().DirectRead(h->run, data, length, channel, reply, result);
}

int zh_ioctl(zh_harness* h, uint32_t command, const void* data, uint32_t length, IoctlReply* reply,
             int* result) {
  if (h == nullptr || command < IOCTL_AT_LOAD || command > IOCTL_TO_ALL) return ZH_ERROR;
  return zh::Session::Get().DirectIoctl(h->run, command, data, length, reply, result);
}

int zh_next(zh_harness* h, zh_sent* sent, int timeout_ms) {
  if (h == nullptr || sent == nullptr) return ZH_ERROR;
  return zh::Session::Get().Next(h->run, sent, timeout_ms, nullptr, nullptr);
}

int zh_wait_for(zh_harness* h, zh_predicate predicate, void* user, zh_sent* sent, int timeout_ms) {
  if (h == nullptr || predicate == nullptr || sent == nullptr) return ZH_ERROR;
  return zh::Session::Get().Next(h->run, sent, timeout_ms, predicate, user);
}

int zh_jump_clock(zh_harness* h, int seconds) {
  if (h == nullptr) return ZH_ERROR;
  return zh::Session::Get().JumpClock(h->run, seconds);
}

int zh_fail_allocations(zh_harness* h, int count) {
  if (h == nullptr) return ZH_ERROR;
  return zh::Session::Get().FailAllocations(h->run, count);
}

int zh_release_kept(zh_harness* h) {
  if (h == nullptr) return ZH_ERROR;
  return zh::Session::Get().ReleaseKept(h->run);
}

const char* zh_output(zh_harness* h, int fd, size_t* length) {
  if (h == nullptr || (fd != 1 && fd != 2)) {
    if (length != nullptr) *length = 0;
    return "";
  }
  h->output[fd] = zh::Session::Get().Output(h->run, fd);
  if (length != nullptr) *length = h->output[fd].size();
  return h->output[fd].c_str();
}

int zh_wait_output(zh_harness* h, int fd, const char* text, int timeout_ms) {
  if (h == nullptr || text == nullptr || (fd != 1 && fd != 2)) return ZH_ERROR;
  return zh::Session::Get().WaitOutput(h->run, fd, text, timeout_ms) ? ZH_OK : ZH_TIMEOUT;
}

const char* zh_log(zh_harness* h) {
  if (h == nullptr) return "";
  h->log = zh::Session::Get().Log(h->run);
  return h->log.c_str();
}

int zh_stop(zh_harness* h, zh_report* report) {
  zh_report ignored;
  if (report == nullptr) report = &ignored;
  std::memset(report, 0, sizeof *report);
  if (h == nullptr) return ZH_ERROR;
  std::vector<zh::Violation> violations;
  const int status = zh::Session::Get().Stop(h->run, report, &violations);
  if (status == ZH_ERROR) return status;
  h->violations = std::move(violations);
  h->listed.clear();
  for (const zh::Violation& violation : h->violations) {
    h->listed.push_back({violation.kind, violation.text.c_str()});
  }
  report->violation_count = h->listed.size();
  report->violations = h->listed.empty() ? nullptr : h->listed.data();
  return status;
}

void zh_free(zh_harness* h) {
  if (h == nullptr) return;
  zh::Session::Get().Free(h->run);
  delete h;
}

const char* zh_entry_name(int entry) {
  static const char* const kNames[8] = {"Load", "Unload", "Open", "Close",
                                        "Read", "Write",  "Seek", "IOCTL"};
  if (entry >= 0 && entry < 8) return kNames[entry];
  return entry == ZH_ENTRY_NONE ? "own thread" : "?";
}

const char* zh_phase_name(int phase) {
  static const char* const kNames[6] = {"Load",  "Open",   "running",
                                        "Close", "Unload", "after Unload"};
  return phase >= 0 && phase < 6 ? kNames[phase] : "?";
}

const char* zh_violation_name(int kind) {
  static const char* const kNames[10] = {"kept after Close", "bad release",
                                         "buffer changed",   "calls after Unload",
                                         "threads left",     "callback after Unload",
                                         "slow call",        "bad record",
                                         "channel held",     "stop stuck"};
  return kind >= 1 && kind <= 10 ? kNames[kind - 1] : "?";
}

}  // extern "C"
