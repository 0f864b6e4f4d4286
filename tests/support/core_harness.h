// An in-process Core over an Installation: the real Core, real plugin files in a real plugins
// directory, real threads, driven by the test instead of the application.
#ifndef ZENT_TESTS_SUPPORT_CORE_HARNESS_H_
#define ZENT_TESTS_SUPPORT_CORE_HARNESS_H_

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wx/filename.h>

#include "core/core.h"
#include "core/payload.h"
#include "routing/scheduler.h"
#include "support/test_support.h"

namespace zt {

class CoreHarness {
 public:
  explicit CoreHarness(const Installation& install)
      : core_(std::make_unique<Core>(wxFileName(install.exe()))) {}
  ~CoreHarness() {
    if (started_) Stop();
  }
  Core& core() { return *core_; }
  void Start() {
    Watchdog watchdog("Core::Start");
    core_->Start();
    started_ = true;
  }
  void Stop() {
    Watchdog watchdog("Core::Stop");
    core_->Stop();
    started_ = false;
  }
  // Destroys the Core (after Stop if it runs).
  void Destroy() {
    if (started_) Stop();
    core_.reset();
  }

 private:
  std::unique_ptr<Core> core_;
  bool started_ = false;
};

// The file names of the loaded plugins, in delivery order.
inline std::vector<std::string> LoadedNames(const Core& core) {
  std::vector<std::string> names;
  for (const PluginRecord& plugin : core.PluginsSnapshot()) {
    names.push_back(plugin.fileName);
  }
  return names;
}

// The byte sizes of the records that the core prepares, as a plugin built for this platform
// lays them out: the fixed i386 layout, or the same fields with natural alignment on a 64-bit
// platform. Written out, not taken from the header, so that a record that drifts from its
// layout fails the tests that compare with them.
#if defined(__i386__)
constexpr unsigned long kPluginContextSize = 16, kReadRequestSize = 28, kWriteRequestSize = 192,
                        kIoctlRequestSize = 28;
#else
static_assert(sizeof(void*) == 8, "the record sizes below are those of a 64-bit platform");
constexpr unsigned long kPluginContextSize = 24, kReadRequestSize = 40, kWriteRequestSize = 200,
                        kIoctlRequestSize = 32;
#endif
constexpr unsigned long kPluginInfoSize = 64, kReadReplySize = 20, kWriteReplySize = 24,
                        kIoctlReplySize = 28;

// A message as a plugin prepares it.
inline Message MakeMessage(uint32_t source, uint32_t channel, uint32_t flags, uint32_t code,
                           const void* data = nullptr, uint32_t length = 0) {
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

// Sends a message through the plugins' callback; returns the reply's result.
inline int Send(const Message& message) {
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 99};
  CoreCallback(&message, &reply);
  return reply.result;
}

inline int SendText(uint32_t source, uint32_t channel, uint32_t flags, uint32_t code,
                    const std::string& text) {
  return Send(
      MakeMessage(source, channel, flags, code, text.data(), static_cast<uint32_t>(text.size())));
}

// For a scope: the Core's payload buffers are counted, or every payload allocation fails; the
// previous allocator comes back at the end of the scope.
class PayloadScope {
 public:
  enum Mode { kCount, kFail };
  explicit PayloadScope(Mode mode = kCount) {
    allocated_ = 0;
    released_ = 0;
    previous_ = SetPayloadFunctions(mode == kCount ? PayloadFunctions{Count, Uncount}
                                                   : PayloadFunctions{Fail, nullptr});
  }
  ~PayloadScope() { SetPayloadFunctions(previous_); }
  PayloadScope(const PayloadScope&) = delete;
  PayloadScope& operator=(const PayloadScope&) = delete;

  static long allocated() { return allocated_.load(); }
  static long released() { return released_.load(); }

 private:
  static void* Count(size_t size) {
    ++allocated_;
    return std::malloc(size);
  }
  static void Uncount(void* buffer) {
    ++released_;
    std::free(buffer);
  }
  static void* Fail(size_t) { return nullptr; }

  static inline std::atomic<long> allocated_{0}, released_{0};
  PayloadFunctions previous_;
};

// For a scope: the scheduler reads a calendar clock and a monotonic clock of the test's; the
// calendar one counts its looks. Each look returns the time set last plus step seconds for every
// look so far (with step 0, a clock that moves only when the test sets it); the monotonic clock
// moves only with Stall. The scheduler reads the calendar first and the monotonic clock right
// after, so the calendar look takes both under one lock: a look never sees half of a Stall.
// The clocks read before come back at the end.
class CalendarScope {
 public:
  explicit CalendarScope(time_t start, time_t step = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    looks_ = 0;
    now_ = start;
    step_ = step;
    monotonicMs_ = 0;
    previous_ = SchedulerThread::SetCalendarClock(Look);
    previousMonotonic_ = SchedulerThread::SetMonotonicClock(Monotonic);
  }
  ~CalendarScope() {
    SchedulerThread::SetCalendarClock(previous_);
    SchedulerThread::SetMonotonicClock(previousMonotonic_);
  }
  CalendarScope(const CalendarScope&) = delete;
  CalendarScope& operator=(const CalendarScope&) = delete;

  // The wall clock set to now: a jump, the monotonic clock does not move.
  static void Set(time_t now) {
    std::lock_guard<std::mutex> lock(mu_);
    now_ = now;
  }
  // Time passes without the scheduler looking (a stalled machine): both clocks move by seconds.
  static void Stall(time_t seconds) {
    std::lock_guard<std::mutex> lock(mu_);
    now_ += seconds;
    monotonicMs_ += seconds * 1000;
  }
  static int looks() { return looks_.load(); }
  // Waits until the scheduler has looked count more times.
  static bool WaitForLooks(int count) {
    const int seen = looks_.load();
    return WaitUntil([&] { return looks_.load() >= seen + count; });
  }

 private:
  static time_t Look() {
    std::lock_guard<std::mutex> lock(mu_);
    seenMonotonicMs_ = monotonicMs_;
    return now_ + step_ * ++looks_;
  }
  static int64_t Monotonic() { return seenMonotonicMs_.load(); }

  static inline std::mutex mu_;
  static inline std::atomic<int> looks_{0};
  static inline time_t now_ = 0, step_ = 0;
  static inline int64_t monotonicMs_ = 0;
  static inline std::atomic<int64_t> seenMonotonicMs_{0};
  CalendarClock previous_;
  MonotonicClock previousMonotonic_;
};

// Whether a file is mapped into this process.
inline bool IsMapped(const std::string& path) {
  return ReadFile("/proc/self/maps").find(path) != std::string::npos;
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_CORE_HARNESS_H_
