// Session: one run of a plugin inside the core, from zh_start to zh_free; there is one Session
// per process (the core is one per process), used by one run after another.
//
// Threads:
//  - the controller thread (one per run) owns the Core: it constructs it, starts it, waits for
//    the stop, stops it, checks what is left and destroys it. The plugin's Load, Open, Close
//    and Unload run on it, as they run on the server's main thread. The caller of zh_start and
//    zh_stop waits for it with a bound; a run whose controller is stuck inside the plugin stays
//    busy until it comes back, and no other run can start meanwhile.
//  - the core's own threads (event handler, scheduler, call threads) and the plugin's threads
//    reach the session through the plugin's entry points and callback, which the harness
//    stands between (interposer.cc): they record calls in flight, what the plugin sends, the
//    buffers it keeps, and violations.
//  - the test's threads call the C API (api.cc).
// Order: messages the plugin sends are numbered as the core answers them, under mu_.
// Locks: mu_ guards the run's state; callsMu_ the calls in flight; keptMu_ the buffers the
// plugin keeps (held while a release is handed to the core, so that a buffer is never judged
// after the core freed it); writeMu_ makes the plugin's Write and IOCTL deliveries and the
// direct calls take turns; violationsMu_ the violations. Where two are held: keptMu_ before
// mu_, writeMu_ before either, violationsMu_ after every other. No lock is held while the
// plugin is called, but writeMu_.
//
// Stopping: zh_stop asks the controller to stop the core and waits; when the core is
// destroyed, late callbacks of threads the plugin left running are answered
// RESULT_CHANNEL_REFUSED without touching it (CoreUse).
#ifndef ZENT_HARNESS_SESSION_H_
#define ZENT_HARNESS_SESSION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/observers.h"
#include "core/payload.h"
#include "harness/harness.h"
#include "harness/output_capture.h"

class Core;

namespace zh {

using Clock = std::chrono::steady_clock;

// One message the plugin sent, with its own copy of the payload.
struct SentEntry {
  zh_sent sent = {};
  std::string payload;
};

struct Violation {
  int kind;
  std::string text;
};

class Session {
 public:
  static Session& Get();

  // --- the C API (api.cc) ---
  // Starts a run; returns its number, or 0 (started says why) when none could start.
  uint64_t Start(const std::string& path, const zh_options& options, zh_started* started);
  // Whether run is the current one (not freed).
  bool IsRun(uint64_t run);
  int32_t Send(uint64_t run, const Message& message);
  int Next(uint64_t run, zh_sent* sent, int timeoutMs, zh_predicate predicate, void* user);
  int JumpClock(uint64_t run, int seconds);
  int FailAllocations(uint64_t run, int count);
  int ReleaseKept(uint64_t run);
  int DirectWrite(uint64_t run, const Message& message, WriteReply* reply, int* result);
  int DirectRead(uint64_t run, const void* data, uint32_t length, uint32_t channel,
                 ReadReply* reply, int* result);
  int DirectIoctl(uint64_t run, uint32_t command, const void* data, uint32_t length,
                  IoctlReply* reply, int* result);
  std::string Output(uint64_t run, int fd);
  bool WaitOutput(uint64_t run, int fd, const std::string& text, int timeoutMs);
  std::string Log(uint64_t run);
  // Stops the run (once) and copies the report's figures and violations.
  int Stop(uint64_t run, zh_report* report, std::vector<Violation>* violations);
  // Ends the run: stops it if need be; a stuck one is left to its controller.
  void Free(uint64_t run);

  // --- for the interposer (interposer.cc) and the observers ---
  // The entry points the plugin exports (set when the loader found them).
  PluginEntryFn Real(int entry) const { return real_[entry].load(); }
  int Phase() const { return phase_.load(); }
  void SetPhase(int phase) { phase_.store(phase); }
  uint32_t PluginId() const { return pluginId_.load(); }
  const zh_options& Options() const { return options_; }
  // A call into the plugin begins and ends; calls are listed with their threads.
  uint64_t EnterCall(int entry);
  void LeaveCall(uint64_t id);
  void AddViolation(int kind, const std::string& text);
  void NoteLoad(int result, double ms, const PluginInfo& info);
  void NoteOpen(int result, double ms);
  void NoteClose(int result, double ms);
  void NoteUnload(bool called, int result, double ms);
  // What the plugin sent, with the core's answer.
  void AddSent(SentEntry entry);
  void CountLateCallback() { lateCallbacks_.fetch_add(1); }
  void NoteReadEntered() { readEntered_.store(true); }
  // After the plugin's Unload returned: calls still in flight and threads left running.
  void CheckAfterUnload();
  std::mutex& WriteLock() { return writeMu_; }
  void AppendLog(const std::string& line);

  // The buffers the plugin has been handed by Write and IOCTL (by the core, or by direct calls
  // as the harness's own copies: owned), each with the hash of its bytes as delivered: listed
  // from just before the call, so that a release from any thread is judged, and kept after it
  // (confirmed) when the plugin said retained.
  struct Kept {
    uint32_t length = 0;
    uint64_t hash = 0;
    bool owned = false;
    bool confirmed = false;
    std::string from;  // "Write (code 0x04000001)", "IOCTL command 2"
  };
  std::mutex& KeptLock() { return keptMu_; }
  std::map<const void*, Kept>& KeptBuffers() { return kept_; }  // REQUIRES: KeptLock held
  // REQUIRES: KeptLock held. Whether buffer is a direct call's copy; Disown frees it.
  bool IsOwned(const void* buffer);
  void Disown(const void* buffer);

  // Runs fn with the core if it exists; false when it does not.
  template <typename Fn>
  bool WithCore(Fn fn) {
    CoreUse use(*this);
    if (!use.ok()) return false;
    fn(*core_);
    return true;
  }

 private:
  Session() = default;

  // Keeps the core from being destroyed while in use (by the API, the interposer).
  class CoreUse {
   public:
    explicit CoreUse(Session& session) : session_(session) {
      session_.coreUsers_.fetch_add(1);
      ok_ = session_.coreAlive_.load();
      if (!ok_) session_.coreUsers_.fetch_sub(1);
    }
    ~CoreUse() {
      if (ok_) session_.coreUsers_.fetch_sub(1);
    }
    CoreUse(const CoreUse&) = delete;
    CoreUse& operator=(const CoreUse&) = delete;
    bool ok() const { return ok_; }

   private:
    Session& session_;
    bool ok_;
  };

  enum class Step { kIdle, kStarting, kStarted, kStopRequested, kStopped };

  void Controller();
  void Reset(const std::string& path, const zh_options& options);
  void InstallHooks();
  void RemoveHooks();
  // Waits until the status document (and whatever was queued with it) has been delivered, the
  // scheduler has looked at the clock once, and its start Read has entered the plugin.
  void AwaitFirstDeliveries();
  // The call in flight that began first, as "Load" or "IOCTL (command 2)", and for how long.
  std::string OldestCall();
  // Waits for the controller to reach step; false after timeoutMs.
  bool WaitStep(std::unique_lock<std::mutex>& lock, Step step, int timeoutMs);
  int DirectCall(uint64_t run, int entry, void* request, void* reply, int* result);
  // After a direct call: frees its copy of the payload unless the plugin keeps it.
  void ForgetUnkept(const void* buffer);

  static void OnFound(const std::string& path, const bool exports[8], PluginEntryFn entries[8]);
  static void OnRefused(const std::string& path, LoadRefusal why, const std::string& reason);
  static void OnFault(const FaultNotice& notice);
  static time_t CalendarLook();
  static int64_t MonotonicLook();
  static bool AllocationAllowed(AllocationSite site);

  std::mutex mu_;
  std::condition_variable changed_;  // step_, sent_ and looks changed
  uint64_t run_ = 0;                 // the current run; 0 when none
  uint64_t runs_ = 0;                // runs so far
  bool busy_ = false;                // a controller thread exists
  bool freed_ = false;               // zh_free came while the controller still ran
  Step step_ = Step::kIdle;
  std::thread controller_;
  zh_options options_ = {};
  std::string path_;
  zh_started started_ = {};
  zh_report report_ = {};
  std::mutex violationsMu_;  // taken last: violations are added from under the other locks
  std::vector<Violation> violations_;
  std::map<int, int> perKind_;  // violations of each kind so far
  std::deque<SentEntry> sent_;  // not yet taken
  uint64_t sequence_ = 0;
  SentEntry current_;  // the one returned last, whose payload the caller may still read
  std::string log_;
  std::unique_ptr<OutputCapture> out_, err_;
  std::set<pid_t> threadsBefore_;  // before the plugin ran, the controller's own included
  std::unique_ptr<Core> core_;     // the controller's; others reach it through CoreUse
  std::atomic<bool> coreAlive_{false};
  std::atomic<int> coreUsers_{0};

  std::atomic<PluginEntryFn> real_[8] = {};
  std::atomic<int> phase_{ZH_PHASE_LOAD};
  std::atomic<uint32_t> pluginId_{0};
  std::atomic<bool> pluginLoaded_{false};
  std::atomic<unsigned> lateCallbacks_{0};
  std::atomic<bool> readEntered_{false};  // the plugin's Read was called

  struct Call {
    int entry;
    pid_t thread;
    Clock::time_point since;
  };
  std::mutex callsMu_;
  std::map<uint64_t, Call> calls_;  // guarded by callsMu_
  uint64_t nextCall_ = 0;           // guarded by callsMu_

  std::mutex keptMu_;
  std::map<const void*, Kept> kept_;            // guarded by keptMu_
  std::vector<std::unique_ptr<char[]>> owned_;  // direct calls' payloads; guarded by keptMu_
  std::mutex writeMu_;

  // The scheduler's clocks: the calendar as the machine's (or a fixed start) plus an offset.
  std::atomic<int64_t> clockStart_{0};  // 0: the machine's
  std::atomic<int64_t> clockOffset_{0};
  std::atomic<int64_t> frozenMonotonic_{0};
  std::atomic<uint64_t> looks_{0};
  std::atomic<int> failAllocations_{0};
};

}  // namespace zh

#endif  // ZENT_HARNESS_SESSION_H_
