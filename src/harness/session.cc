#include "harness/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

#include <wx/filename.h>
#include <wx/init.h>
#include <wx/log.h>

#include "core/core.h"
#include "core/thread_log.h"
#include "harness/interposer.h"
#include "harness/probe.h"
#include "harness/process_threads.h"
#include "routing/scheduler.h"

namespace zh {
namespace {

// Violations of one kind listed one by one; past this many, they are counted.
constexpr int kMostOfAKind = 20;
// How long threads that are still ending (a call thread leaving, a thread-exit destructor) have
// before they are taken for threads the plugin left running.
constexpr auto kThreadGrace = std::chrono::seconds(2);

double MsSince(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

const char* LevelName(wxLogLevel level) {
  switch (level) {
    case wxLOG_FatalError:
    case wxLOG_Error:
      return "error";
    case wxLOG_Warning:
      return "warning";
    default:
      return "info";
  }
}

// The core's log lines go into the session (and to standard error when asked).
class SessionLog : public wxLog {
 public:
  explicit SessionLog(bool toStderr) : toStderr_(toStderr) {}

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
    const std::string line =
        std::string(LevelName(level)) + ": " + std::string(msg.utf8_str()) + "\n";
    Session::Get().AppendLog(line);
    if (toStderr_) {
      const std::string shown = "zentserver: " + line;
      if (write(2, shown.data(), shown.size()) < 0) {
        // Nowhere to report it.
      }
    }
  }

 private:
  const bool toStderr_;
};

wxLog* g_previousLog = nullptr;
SessionLog* g_sessionLog = nullptr;

}  // namespace

Session& Session::Get() {
  // Never destroyed: a thread the plugin left running may still call back at exit.
  static Session* session = new Session;
  return *session;
}

void Session::AppendLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  log_ += line;
}

void Session::Reset(const std::string& path, const zh_options& options) {
  options_ = options;
  path_ = path;
  started_ = zh_started{};
  started_.status = ZH_NOT_LOADABLE;
  std::snprintf(started_.reason, sizeof started_.reason, "not loaded");
  report_ = zh_report{};
  {
    std::lock_guard<std::mutex> violations(violationsMu_);
    violations_.clear();
    perKind_.clear();
  }
  sent_.clear();
  sequence_ = 0;
  current_ = SentEntry{};
  log_.clear();
  for (auto& entry : real_) entry.store(nullptr);
  phase_.store(ZH_PHASE_LOAD);
  pluginId_.store(0);
  pluginLoaded_.store(false);
  lateCallbacks_.store(0);
  readEntered_.store(false);
  {
    std::lock_guard<std::mutex> calls(callsMu_);
    calls_.clear();
  }
  clockStart_.store(options.wall_clock);
  clockOffset_.store(0);
  frozenMonotonic_.store(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
  looks_.store(0);
  failAllocations_.store(0);
}

uint64_t Session::Start(const std::string& path, const zh_options& options, zh_started* started) {
  *started = zh_started{};
  started->status = ZH_FAILED;
  // The base library the core is built on, once for the process (a second initialisation, by
  // a test's own main, only counts up), and taken down again when the process exits, so that
  // what it made is freed (the last of the uninitialisations cleans up); not under a stop that
  // still waits for its plugin, whose threads may use it.
  static const bool library = [] {
    if (!wxInitialize()) return false;
    std::atexit([] {
      Session& session = Get();
      std::unique_lock<std::mutex> lock(session.mu_, std::try_to_lock);
      if (lock.owns_lock() && !session.busy_) wxUninitialize();
    });
    return true;
  }();
  if (!library) {
    std::snprintf(started->reason, sizeof started->reason,
                  "the wxWidgets base library could not be initialised");
    return 0;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (busy_) {
    std::snprintf(started->reason, sizeof started->reason,
                  "another harness runs in this process (the core is one per process): stop "
                  "and free it first%s",
                  freed_ ? "; its stop is still waiting for its plugin" : "");
    return 0;
  }
  Reset(path, options);
  busy_ = true;
  freed_ = false;
  run_ = ++runs_;
  step_ = Step::kStarting;
  const uint64_t run = run_;
  lock.unlock();
  // The kept buffers of the last run are forgotten outside mu_, which is taken after keptMu_.
  {
    std::lock_guard<std::mutex> kept(keptMu_);
    kept_.clear();
    owned_.clear();
  }

  // What the plugin prints from Load on is captured.
  const auto capture = [](int fd, int mode) -> std::unique_ptr<OutputCapture> {
    if (mode != ZH_OUTPUT_TEE && mode != ZH_OUTPUT_CAPTURE) return nullptr;
    auto output = std::make_unique<OutputCapture>(fd, mode == ZH_OUTPUT_TEE);
    return output->Start() ? std::move(output) : nullptr;
  };
  out_ = capture(1, options.stdout_mode);
  err_ = capture(2, options.stderr_mode);
  WarmUpThreads();
  controller_ = std::thread([this] { Controller(); });

  lock.lock();
  if (!WaitStep(lock, Step::kStarted, options.call_timeout_ms)) {
    started_.status = ZH_STUCK;
    const std::string oldest = OldestCall();
    std::snprintf(started_.reason, sizeof started_.reason, "%s did not return within %d ms",
                  oldest.c_str(), options.call_timeout_ms);
  }
  *started = started_;
  return run;
}

bool Session::IsRun(uint64_t run) {
  std::lock_guard<std::mutex> lock(mu_);
  return run != 0 && run == run_;
}

bool Session::WaitStep(std::unique_lock<std::mutex>& lock, Step step, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (step_ < step) {
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && step_ < step) {
      return false;
    }
  }
  return true;
}

void Session::InstallHooks() {
  g_sessionLog = new SessionLog(options_.log_to_stderr != 0);
  g_previousLog = wxLog::SetActiveTarget(g_sessionLog);
  static const LoaderObserver observer = {&Session::OnFound, &Session::OnRefused};
  SetLoaderObserver(&observer);
  SetFaultObserver(&Session::OnFault);
  SetAllocationHook(&Session::AllocationAllowed);
  SchedulerThread::SetCalendarClock(&Session::CalendarLook);
  SchedulerThread::SetMonotonicClock(&Session::MonotonicLook);
  TheProbe().Configure(options_);
}

void Session::RemoveHooks() {
  SchedulerThread::SetCalendarClock(nullptr);
  SchedulerThread::SetMonotonicClock(nullptr);
  SetAllocationHook(nullptr);
  SetFaultObserver(nullptr);
  SetLoaderObserver(nullptr);
  if (ProcessLogTarget() == g_sessionLog) {
    wxLog::SetActiveTarget(g_previousLog);
    delete g_sessionLog;
  }
  // Otherwise another target was made active over it, which may still pass records to it.
  g_sessionLog = nullptr;
  g_previousLog = nullptr;
}

void Session::Controller() {
  // Logs from this thread reach the target at once (the library keeps those of threads other
  // than its main one until the main thread flushes them).
  RouteThreadLog();
  InstallHooks();
  {
    std::lock_guard<std::mutex> lock(mu_);
    threadsBefore_ = ProcessThreads();
  }
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos || slash == 0 ? "/" : path_.substr(0, slash);
  auto core = std::make_unique<Core>(wxFileName(wxString::FromUTF8(dir + "/zentserver")));
  CoreLimits limits;
  limits.gateHeldWarningMs = options_.gate_held_ms;
  core->SetLimits(limits);
  core->SetPluginFile(path_);
  PluginEntryFn probe[8];
  Probe::Entries(probe);
  core->AddBuiltInPlugin("harness_probe", probe);
  core->SetStartReads(options_.start_read != 0);
  core->SetStatisticsInterval(options_.statistics_interval);
  core_ = std::move(core);
  coreAlive_.store(true);

  if (options_.open != 0) {
    core_->Start();
    AwaitFirstDeliveries();
  } else {
    core_->LoadOnly();
  }
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (pluginLoaded_.load()) {
      started_.status = ZH_ACCEPTED;
      started_.reason[0] = 0;
    }
    if (step_ < Step::kStarted) step_ = Step::kStarted;
    changed_.notify_all();
    while (step_ < Step::kStopRequested) changed_.wait(lock);
  }

  core_->Stop();
  if (const unsigned late = lateCallbacks_.load()) {
    AddViolation(ZH_CALLBACK_AFTER_UNLOAD,
                 "called the callback " + std::to_string(late) +
                     " time(s) after its Unload returned: a thread of the plugin still runs "
                     "and sends; nothing of the plugin may call the core after Unload");
  }
  // Late callers find no core from here on; those inside it leave first.
  coreAlive_.store(false);
  while (coreUsers_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  core_.reset();
  RemoveHooks();

  std::lock_guard<std::mutex> lock(mu_);
  report_.late_callbacks = lateCallbacks_.load();
  step_ = Step::kStopped;
  if (freed_) {
    // Nobody waits for this run any more (its zh_free gave up on it).
    busy_ = false;
    step_ = Step::kIdle;
  }
  changed_.notify_all();
}

void Session::AwaitFirstDeliveries() {
  const uint64_t queued = core_->Statistics().queued;
  bool startRead;
  {
    std::lock_guard<std::mutex> lock(mu_);
    startRead = options_.start_read != 0 && pluginLoaded_.load() &&
                started_.info.acceptsRead != 0 && Real(ZH_ENTRY_READ) != nullptr;
  }
  for (;;) {
    // The scheduler's first look at the clock is its reference: a jump made after it is seen.
    // Its start Read has entered the plugin (when the plugin takes one): the call is made.
    if (core_->Statistics().delivered >= queued && looks_.load() != 0 &&
        (!startRead || readEntered_.load())) {
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (step_ >= Step::kStopRequested) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string Session::OldestCall() {
  std::lock_guard<std::mutex> lock(callsMu_);
  const Call* oldest = nullptr;
  for (const auto& [id, call] : calls_) {
    if (oldest == nullptr || call.since < oldest->since) oldest = &call;
  }
  if (oldest == nullptr) return "the core's start or stop";
  char text[96];
  std::snprintf(text, sizeof text, "the plugin's %s (running for %.0f ms)",
                zh_entry_name(oldest->entry), MsSince(oldest->since));
  return text;
}

uint64_t Session::EnterCall(int entry) {
  std::lock_guard<std::mutex> lock(callsMu_);
  const uint64_t id = ++nextCall_;
  calls_[id] = Call{entry, ThisThread(), Clock::now()};
  return id;
}

void Session::LeaveCall(uint64_t id) {
  std::lock_guard<std::mutex> lock(callsMu_);
  calls_.erase(id);
}

void Session::AddViolation(int kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(violationsMu_);
  if (++perKind_[kind] > kMostOfAKind) return;
  violations_.push_back({kind, text});
}

void Session::NoteLoad(int result, double ms, const PluginInfo& info) {
  std::lock_guard<std::mutex> lock(mu_);
  started_.load_called = 1;
  started_.load_result = result;
  started_.load_ms = ms;
  started_.info = info;
  if (result == 0 && info.error == 0) {
    pluginId_.store(info.id);
    pluginLoaded_.store(true);
  }
}

void Session::NoteOpen(int result, double ms) {
  std::lock_guard<std::mutex> lock(mu_);
  started_.open_called = 1;
  started_.open_result = result;
  started_.open_ms = ms;
}

void Session::NoteClose(int result, double ms) {
  std::lock_guard<std::mutex> lock(mu_);
  report_.close_called = 1;
  report_.close_result = result;
  report_.close_ms = ms;
}

void Session::NoteUnload(bool called, int result, double ms) {
  std::lock_guard<std::mutex> lock(mu_);
  report_.unload_called = called ? 1 : 0;
  report_.unload_result = result;
  report_.unload_ms = ms;
}

void Session::AddSent(SentEntry entry) {
  std::lock_guard<std::mutex> lock(mu_);
  entry.sent.sequence = ++sequence_;
  sent_.push_back(std::move(entry));
  changed_.notify_all();
}

void Session::CheckAfterUnload() {
  std::set<pid_t> exclude;
  std::vector<std::string> running;
  {
    std::lock_guard<std::mutex> lock(callsMu_);
    for (const auto& [id, call] : calls_) {
      exclude.insert(call.thread);
      if (call.entry == ZH_ENTRY_UNLOAD) continue;
      char text[64];
      std::snprintf(text, sizeof text, "%s for %.0f ms", zh_entry_name(call.entry),
                    MsSince(call.since));
      running.push_back(text);
    }
  }
  if (!running.empty()) {
    std::string list;
    for (const std::string& call : running) list += (list.empty() ? "" : ", ") + call;
    AddViolation(ZH_CALLS_AFTER_UNLOAD,
                 std::to_string(running.size()) +
                     " call(s) still ran inside the plugin when its Unload returned (" + list +
                     "): Unload must end what runs inside its calls, since the server waits "
                     "for them before it unloads the code, without a time limit");
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    exclude.insert(threadsBefore_.begin(), threadsBefore_.end());
  }
  // Threads that are ending (a call thread of the core leaving) get a moment.
  std::vector<pid_t> left;
  const auto deadline = Clock::now() + kThreadGrace;
  for (;;) {
    left.clear();
    for (pid_t thread : ProcessThreads()) {
      if (exclude.count(thread) == 0) left.push_back(thread);
    }
    if (left.empty() || Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (left.empty()) return;
  // The core unloads the code next: one more reference keeps it mapped under those threads,
  // which would otherwise crash this process as they would crash the server.
  dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
  {
    std::lock_guard<std::mutex> lock(mu_);
    report_.threads_left = static_cast<unsigned>(left.size());
  }
  AddViolation(ZH_THREADS_LEFT,
               std::to_string(left.size()) +
                   " thread(s) the plugin started still run after Unload returned: the server "
                   "unloads the plugin's code under them and crashes; end and join every thread "
                   "of the plugin in Close or Unload (the harness kept the code loaded)");
}

int Session::Stop(uint64_t run, zh_report* report, std::vector<Violation>* violations) {
  std::unique_lock<std::mutex> lock(mu_);
  if (run == 0 || run != run_) return ZH_ERROR;
  if (step_ < Step::kStopRequested) {
    step_ = Step::kStopRequested;
    changed_.notify_all();
  }
  const bool stopped = WaitStep(lock, Step::kStopped, options_.call_timeout_ms);
  if (stopped && controller_.joinable()) {
    lock.unlock();
    controller_.join();
    lock.lock();
  }
  std::unique_lock<std::mutex> violationsLock(violationsMu_);
  std::vector<Violation> all = violations_;
  const std::map<int, int> perKind = perKind_;
  violationsLock.unlock();
  if (!stopped) {
    lock.unlock();
    const std::string oldest = OldestCall();
    lock.lock();
    all.push_back({ZH_STOP_STUCK, "the stop did not end within " +
                                      std::to_string(options_.call_timeout_ms) + " ms: " + oldest +
                                      " did not return"});
  }
  for (const auto& [kind, count] : perKind) {
    if (count > kMostOfAKind) {
      all.push_back({kind, std::to_string(count - kMostOfAKind) +
                               " more violation(s) of this "
                               "kind (" +
                               std::string(zh_violation_name(kind)) + ")"});
    }
  }
  *report = report_;
  report->late_callbacks = lateCallbacks_.load();
  *violations = std::move(all);
  lock.unlock();
  if (stopped) {
    if (out_) out_->Stop();
    if (err_) err_->Stop();
  }
  return stopped ? ZH_OK : ZH_TIMEOUT;
}

void Session::Free(uint64_t run) {
  zh_report report;
  std::vector<Violation> violations;
  const bool stopped = Stop(run, &report, &violations) == ZH_OK;
  std::lock_guard<std::mutex> lock(mu_);
  if (run == 0 || run != run_) return;
  run_ = 0;
  if (stopped) {
    busy_ = false;
    step_ = Step::kIdle;
    out_.reset();
    err_.reset();
    return;
  }
  // Stuck inside the plugin: the controller ends the run when (if ever) it comes back.
  freed_ = true;
  controller_.detach();
  if (out_) out_->Stop();
  if (err_) err_->Stop();
}

int32_t Session::Send(uint64_t run, const Message& message) {
  if (!IsRun(run)) return ZH_ERROR;
  int32_t result = ZH_ERROR;
  WithCore([&](Core&) {
    MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
    CoreCallback(&message, &reply);
    result = reply.result;
  });
  return result;
}

int Session::Next(uint64_t run, zh_sent* sent, int timeoutMs, zh_predicate predicate, void* user) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mu_);
  if (run == 0 || run != run_) return ZH_ERROR;
  for (;;) {
    while (sent_.empty()) {
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && sent_.empty()) {
        return ZH_TIMEOUT;
      }
    }
    current_ = std::move(sent_.front());
    sent_.pop_front();
    if (current_.sent.message.data != nullptr && current_.sent.message.flags != MSG_RELEASE) {
      current_.sent.message.data = current_.payload.data();
    }
    *sent = current_.sent;
    if (predicate == nullptr) return ZH_OK;
    // The test's own code: without the lock, which it may want for another call.
    lock.unlock();
    const bool taken = predicate(sent, user) != 0;
    lock.lock();
    if (taken) return ZH_OK;
  }
}

int Session::JumpClock(uint64_t run, int seconds) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (run == 0 || run != run_ || step_ != Step::kStarted || options_.open == 0) {
      return ZH_ERROR;
    }
  }
  const uint64_t seen = looks_.load();
  clockOffset_.fetch_add(seconds);
  // The look after the change sees the step and queues the message in the same pass; the one
  // after it comes once that pass is over.
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.call_timeout_ms);
  while (looks_.load() < seen + 2) {
    if (Clock::now() >= deadline) return ZH_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ZH_OK;
}

int Session::FailAllocations(uint64_t run, int count) {
  if (!IsRun(run)) return ZH_ERROR;
  failAllocations_.store(count < 0 ? -1 : count);
  return ZH_OK;
}

int Session::ReleaseKept(uint64_t run) {
  if (!IsRun(run)) return ZH_ERROR;
  int released = 0;
  if (!WithCore([&](Core&) { released = TheProbe().ReleaseKept(); })) return ZH_ERROR;
  return released;
}

int Session::DirectCall(uint64_t run, int entry, void* request, void* reply, int* result) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (run == 0 || run != run_ || step_ < Step::kStarted) return ZH_ERROR;
  }
  if (!pluginLoaded_.load() || Real(entry) == nullptr || phase_.load() >= ZH_PHASE_CLOSE) {
    return ZH_ERROR;
  }
  int value = 0;
  if (entry == ZH_ENTRY_READ) {
    value = InterposedRead(static_cast<ReadRequest*>(request), static_cast<ReadReply*>(reply));
  } else if (entry == ZH_ENTRY_WRITE) {
    value = InterposedWrite(static_cast<WriteRequest*>(request), static_cast<WriteReply*>(reply));
  } else {
    value = InterposedIoctl(static_cast<IoctlRequest*>(request), static_cast<IoctlReply*>(reply));
  }
  if (result != nullptr) *result = value;
  return ZH_OK;
}

namespace {

// A copy of data that the plugin may keep until it gives it back, or null for none.
std::unique_ptr<char[]> OwnedCopy(const void* data, uint32_t length) {
  if (data == nullptr || length == 0) return nullptr;
  auto copy = std::make_unique<char[]>(length);
  std::memcpy(copy.get(), data, length);
  return copy;
}

}  // namespace

int Session::DirectWrite(uint64_t run, const Message& message, WriteReply* reply, int* result) {
  std::unique_ptr<char[]> copy = OwnedCopy(message.data, message.length);
  WriteRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.length = copy ? message.length : 0;
  request.data = copy.get();
  request.source = message.source;
  request.channel = message.channel;
  request.flags = message.flags;
  request.code = message.code;
  std::memcpy(request.extra, message.extra, sizeof request.extra);
  WriteReply own;
  std::memset(&own, 0, sizeof own);
  own.size = sizeof own;
  own.version = ZENT_RECORD_VERSION;
  if (copy) {
    std::lock_guard<std::mutex> lock(keptMu_);
    owned_.push_back(std::move(copy));
  }
  const int status = DirectCall(run, ZH_ENTRY_WRITE, &request, &own, result);
  if (reply != nullptr) *reply = own;
  ForgetUnkept(request.data);
  return status;
}

int Session::DirectRead(uint64_t run, const void* data, uint32_t length, uint32_t channel,
                        ReadReply* reply, int* result) {
  // A private copy, as the core makes for every Read.
  std::unique_ptr<char[]> copy = OwnedCopy(data, length);
  ReadRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.async = 1;
  request.length = copy ? length : 0;
  request.data = copy.get();
  request.channel = channel;
  ReadReply own;
  std::memset(&own, 0, sizeof own);
  own.size = sizeof own;
  own.version = ZENT_RECORD_VERSION;
  const int status = DirectCall(run, ZH_ENTRY_READ, &request, &own, result);
  if (reply != nullptr) *reply = own;
  return status;
}

int Session::DirectIoctl(uint64_t run, uint32_t command, const void* data, uint32_t length,
                         IoctlReply* reply, int* result) {
  std::unique_ptr<char[]> copy = command == IOCTL_AT_LOAD ? nullptr : OwnedCopy(data, length);
  IoctlRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.command = command;
  request.argSize = command == IOCTL_AT_LOAD ? 8 : 16;
  request.argVersion = 1;
  request.length = copy ? length : 0;
  request.data = copy.get();
  IoctlReply own;
  std::memset(&own, 0, sizeof own);
  own.size = sizeof own;
  own.version = ZENT_RECORD_VERSION;
  own.command = command;
  own.resultSize = 8;
  own.resultVersion = 1;
  if (copy) {
    std::lock_guard<std::mutex> lock(keptMu_);
    owned_.push_back(std::move(copy));
  }
  const int status = DirectCall(run, ZH_ENTRY_IOCTL, &request, &own, result);
  if (reply != nullptr) *reply = own;
  ForgetUnkept(request.data);
  return status;
}

void Session::ForgetUnkept(const void* buffer) {
  if (buffer == nullptr) return;
  std::lock_guard<std::mutex> lock(keptMu_);
  if (kept_.count(buffer) == 0) Disown(buffer);
}

bool Session::IsOwned(const void* buffer) {
  for (const auto& copy : owned_) {
    if (copy.get() == buffer) return true;
  }
  return false;
}

void Session::Disown(const void* buffer) {
  for (auto it = owned_.begin(); it != owned_.end(); ++it) {
    if (it->get() == buffer) {
      owned_.erase(it);
      return;
    }
  }
}

std::string Session::Output(uint64_t run, int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (run == 0 || run != run_) return "";
  OutputCapture* output = fd == 1 ? out_.get() : fd == 2 ? err_.get() : nullptr;
  return output != nullptr ? output->Text() : "";
}

bool Session::WaitOutput(uint64_t run, int fd, const std::string& text, int timeoutMs) {
  OutputCapture* output;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (run == 0 || run != run_) return false;
    output = fd == 1 ? out_.get() : fd == 2 ? err_.get() : nullptr;
  }
  // Outputs live until zh_free, which the caller of this does not run meanwhile.
  return output != nullptr && output->WaitFor(text, timeoutMs);
}

std::string Session::Log(uint64_t run) {
  std::lock_guard<std::mutex> lock(mu_);
  return run != 0 && run == run_ ? log_ : "";
}

void Session::OnFound(const std::string&, const bool exports[8], PluginEntryFn entries[8]) {
  Session& session = Get();
  {
    std::lock_guard<std::mutex> lock(session.mu_);
    session.started_.exports_known = 1;
    for (int i = 0; i < 8; ++i) session.started_.exports[i] = exports[i] ? 1 : 0;
  }
  for (int i = 0; i < 8; ++i) session.real_[i].store(entries[i]);
  Interpose(entries);
}

void Session::OnRefused(const std::string&, LoadRefusal why, const std::string& reason) {
  Session& session = Get();
  std::lock_guard<std::mutex> lock(session.mu_);
  switch (why) {
    case LoadRefusal::kUntrusted:
      session.started_.status = ZH_UNTRUSTED;
      break;
    case LoadRefusal::kRejected:
      session.started_.status = ZH_REJECTED;
      break;
    default:
      session.started_.status = ZH_NOT_LOADABLE;
      break;
  }
  std::snprintf(session.started_.reason, sizeof session.started_.reason, "%s%s",
                why == LoadRefusal::kNotLoadable ? "cannot be loaded: " : "", reason.c_str());
}

void Session::OnFault(const FaultNotice& notice) {
  Session& session = Get();
  if (!session.pluginLoaded_.load()) return;
  const uint32_t id = session.pluginId_.load();
  if (std::find(notice.holders.begin(), notice.holders.end(), id) == notice.holders.end()) return;
  session.AddViolation(
      notice.kind == FaultNotice::Kind::kKeptAfterClose ? ZH_KEPT_AFTER_CLOSE : ZH_CHANNEL_HELD,
      notice.text);
}

time_t Session::CalendarLook() {
  Session& session = Get();
  session.looks_.fetch_add(1);
  const int64_t start = session.clockStart_.load();
  return static_cast<time_t>((start != 0 ? start : ::time(nullptr)) + session.clockOffset_.load());
}

int64_t Session::MonotonicLook() {
  Session& session = Get();
  // A wall clock that stands still goes with a monotonic one that does: the scheduler sees no
  // step but those zh_jump_clock makes.
  if (session.clockStart_.load() != 0) return session.frozenMonotonic_.load();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

bool Session::AllocationAllowed(AllocationSite) {
  std::atomic<int>& left = Get().failAllocations_;
  int count = left.load();
  for (;;) {
    if (count == 0) return true;
    if (count < 0) return false;
    if (left.compare_exchange_weak(count, count - 1)) return false;
  }
}

}  // namespace zh
