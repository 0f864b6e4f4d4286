// A libFuzzer target of the message path.
//
// The real Core runs over a temporary installation whose plugins directory holds copies of
// fuzz_plugin.so (and of its variant without Read and Write), loaded by the real loader. Every
// entry point of those plugins is answered here, by the model that the file's name picks:
//
//   streampi_keep  id 0x10  Write; keeps every buffer until told to give it back
//   later          id 0x20  Write; keeps buffers and gives them back from a thread of its own
//                           (or from inside the delivering call)
//   sub            id 0x30  Read and Write, keeps nothing; owns the sender threads, and answers
//                           some deliveries by sending from inside its Write
//   reader         id 0x40  Read only, with the load-time IOCTL
//   bare           id 0     fills in nothing; gives IOCTL buffers back inside the call
//   partial        id 0x50  asks for Read and Write but exports neither
//   rejected       refuses Load
//
// An input is decoded into operations, each run by one of up to three sender threads: queued
// messages (any source, channel, flags, code and payload size, with an allocation failure or an
// answer sent from inside the delivery if asked), broadcasts, channel closes, and releases: of
// held buffers (also twice, by an interior pointer, or by a plugin that does not hold them), of
// foreign, stale and null pointers. Every message carries a tag in its payload and in its extra
// bytes, so each delivery is matched with what was sent.
//
// Checked while an input runs (a failure aborts, which libFuzzer records as a crash): a
// delivery reaches only a plugin that subscribed, at most once, with the fields and bytes that
// were sent, in a live buffer; the calls into a plugin keep the order Load, Open, Close,
// Unload, on the right threads, with no Write or IOCTL after Close and no call after Unload;
// every payload buffer is freed exactly once (through the payload allocator seam); a kept
// buffer stays intact until its holder gives it back; each answer is one that the channel's
// state allows (and "no memory" with no allocation failed only at the queue's bound, kept
// small here so that bursts reach it). After each input, waiting (bounded) until it is
// quiescent: every queued
// message answered RESULT_OK reached each subscriber exactly once, every broadcast reached its
// readers, each failed payload copy was counted as a skipped call (its error line is logged at
// most once a second), each refusal at the bound was counted by the Core as one, no buffer is
// left and the reference table is empty.
//
// The Core keeps running across inputs, with channel numbers fresh for each input: it is
// stopped and started again only after an input that asks for a stop while its senders still
// run (honoured as the process's first input, so that a crash file reproduces, and otherwise at
// most once per kStopSpacing inputs), and at exit. Each stop must deliver every message it
// accepted, leave no thread behind and, once the Core is destroyed, no buffer.
//
// No wait has a fixed length: a wait, a start or a stop fails when nothing has moved (no call
// into a plugin, no send or release finished, no buffer freed) for a bound that grows with the
// work in flight (kStallBase, and kStallPerItem for each message, call and buffer not yet
// done), so that a machine that is merely loaded is not taken for a hang.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include <wx/filename.h>
#include <wx/init.h>
#include <wx/log.h>

#include "plugin_api/plugin_api.h"

#include "core/core.h"
#include "core/payload.h"
#include "core/plugin_calls.h"
#include "core/plugin_record.h"
#include "support/core_harness.h"
#include "support/trusted_temp.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kMagic = 0x7a46757aU;  // the first word of every tag
constexpr int kMaxOps = 160;
constexpr int kMaxSends = 2000;  // per input, echoes not counted
constexpr int kMaxSent = 4096;   // ledger entries: sends and their echoes
constexpr int kWorkers = 3;      // sender threads
// A stop costs some hundred milliseconds (the Core looks at its ending threads every 100 ms),
// a thousand inputs about as long: inputs that ask for one get it at most so often.
constexpr int kStopSpacing = 2048;
// The queue's bound on the bytes of waiting messages: small enough that a burst of large
// payloads against a slow subscriber reaches it.
constexpr size_t kQueueBound = 256 << 10;
constexpr auto kStallBase = 10s;      // how long nothing may move, with nothing in flight
constexpr auto kStallPerItem = 20ms;  // and more for each message, call or buffer in flight
constexpr auto kStallLook = 250us;    // nothing moved for this long: keep gives back (unstick)
// The plugins hand the fuzz target's buffers and pointers around in tight loops: without
// coverage counters there, libFuzzer does not spend its time on the target's own bookkeeping.
#define ZENT_NO_COVERAGE __attribute__((no_sanitize("coverage"), noinline))

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  std::fprintf(stderr, "\n==zent-fuzz== invariant broken: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

#define CHECK(condition, ...)            \
  do {                                   \
    if (!(condition)) Fail(__VA_ARGS__); \
  } while (0)

// ---------------------------------------------------------------------------------------------
// Progress: every call into a plugin and every finished send counts, so that waits can tell a
// stall from slow work.

std::mutex g_progressLock;
std::condition_variable g_progressCv;
std::atomic<uint64_t> g_progress{0};

void Progress() {
  std::lock_guard<std::mutex> guard(g_progressLock);
  g_progress.fetch_add(1);
  g_progressCv.notify_all();
}

// The messages, calls and buffers in flight (defined with the ledger and the models below).
long WorkInFlight();

// How long nothing may move while items of work are in flight.
Clock::duration StallBound(long items) { return kStallBase + kStallPerItem * items; }

long long Seconds(Clock::duration duration) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

// Waits until done() holds (looked at with g_progressLock held). stall() runs whenever nothing
// moved for kStallLook; the wait fails when nothing moved for the stall bound of the work in
// flight, saying what (describe) is missing.
void WaitFor(const std::function<bool()>& done, const char* what,
             const std::function<void()>& stall = {},
             const std::function<std::string()>& describe = {}) {
  std::unique_lock<std::mutex> lock(g_progressLock);
  uint64_t seen = g_progress.load();
  Clock::time_point moved = Clock::now();
  while (!done()) {
    g_progressCv.wait_for(lock, kStallLook);
    const uint64_t now = g_progress.load();
    if (now != seen) {
      seen = now;
      moved = Clock::now();
      continue;
    }
    if (Clock::now() - moved < kStallLook) continue;  // woken early, by nothing
    lock.unlock();
    if (stall) stall();
    const long items = WorkInFlight();
    lock.lock();
    if (Clock::now() - moved > StallBound(items)) {
      const std::string detail = describe ? describe() : std::string();
      Fail("%s: nothing moved for %lld s with %ld items in flight. %s", what,
           Seconds(Clock::now() - moved), items, detail.c_str());
    }
  }
}

// Ends the process when an armed step (Core::Start, Core::Stop, which the target cannot wait
// for as it waits for the rest) makes no progress for the stall bound of the work in flight.
class Watchdog {
 public:
  Watchdog() : thread_([this] { Run(); }) {}
  void Arm(const char* what) {
    std::lock_guard<std::mutex> guard(lock_);
    what_ = what;
    armed_ = true;
    cv_.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = false;
  }

 private:
  [[noreturn]] void Run() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
      cv_.wait(lock, [&] { return armed_; });
      uint64_t seen = g_progress.load();
      Clock::time_point moved = Clock::now();
      while (armed_) {
        cv_.wait_for(lock, 1s);
        const uint64_t now = g_progress.load();
        if (now != seen) {
          seen = now;
          moved = Clock::now();
        } else if (armed_) {
          const long items = WorkInFlight();
          if (Clock::now() - moved > StallBound(items)) {
            Fail("%s: nothing moved for %lld s with %ld items in flight", what_,
                 Seconds(Clock::now() - moved), items);
          }
        }
      }
    }
  }

  std::mutex lock_;
  std::condition_variable cv_;
  const char* what_ = "";
  bool armed_ = false;
  std::thread thread_;  // never ends; the process exits around it
};

Watchdog* g_watchdog;

// ---------------------------------------------------------------------------------------------
// Payload buffers: the Core's copies go through these functions, which record every live
// buffer, remember the addresses freed last (for stale releases), and fail allocations that a
// sender asked to fail on its own thread.

thread_local int t_failNext = 0;  // allocations still to fail on this thread
thread_local int t_failed = 0;    // allocations failed on this thread so far

class Payloads {
 public:
  void* Allocate(size_t size) {
    if (t_failNext > 0) {
      --t_failNext;
      ++t_failed;
      return nullptr;
    }
    void* buffer = std::malloc(size);
    if (buffer != nullptr) {
      std::lock_guard<std::mutex> guard(lock_);
      live_.emplace(buffer, size);
    }
    return buffer;
  }
  void Release(void* buffer) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = live_.find(buffer);
      CHECK(it != live_.end(), "payload buffer %p freed a second time, or never allocated", buffer);
      live_.erase(it);
      freed_[freedNext_++ % freed_.size()] = buffer;
    }
    std::free(buffer);
    Progress();
  }
  bool Live(const void* buffer) {
    std::lock_guard<std::mutex> guard(lock_);
    return live_.count(buffer) != 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return live_.size();
  }
  // One of the addresses freed last, or null.
  const void* Stale(unsigned pick) {
    std::lock_guard<std::mutex> guard(lock_);
    return freed_[pick % freed_.size()];
  }

 private:
  std::mutex lock_;
  std::unordered_map<const void*, size_t> live_;
  std::array<const void*, 32> freed_{};
  size_t freedNext_ = 0;
};

Payloads g_payloads;

void* TrackedAllocate(size_t size) { return g_payloads.Allocate(size); }
void TrackedRelease(void* buffer) { g_payloads.Release(buffer); }

// ---------------------------------------------------------------------------------------------
// Plugin models.

enum Call : uint8_t { kNoCall, kWrite, kIoctlOthers, kIoctlAll, kRead, kCallKinds };
enum Stage : int { kAbsent, kLoaded, kOpened, kClosing, kClosed, kUnloading, kUnloaded };
enum class Kind { kKeep, kLater, kSub, kReader, kBare, kPartial, kRejected };

// A buffer a plugin keeps: the message's tag and length to check it by, and the sequence
// number its send began at (see Ambiguous).
struct Held {
  const void* buffer;
  uint32_t tag;
  uint32_t length;
  uint64_t sentSeq;
};

struct Model {
  const char* file;
  Kind kind;
  uint32_t id;
  bool acceptsRead, acceptsWrite, ioctlAtLoad, exportsData;
  std::array<uint32_t, ZENT_CLASS_MASKS> masks;

  std::atomic<const void*> self{nullptr};  // the plugin's object that identifies its calls
  std::atomic<int> stage{kAbsent};
  std::atomic<int> inFlight{0};
  std::atomic<int> ioctlAtLoadCalls{0};
  std::atomic<int> statusDocuments{0};
  std::array<std::atomic<long>, kCallKinds> untagged{};          // deliveries without tag
  std::array<std::atomic<long>, kCallKinds> untaggedExpected{};  // of accepted messages

  std::mutex heldLock;
  std::condition_variable heldCv;
  std::vector<Held> held;  // keep: until told; later: waiting for its thread
  int givingBack = 0;      // later: buffers its thread has taken and not yet given back
  bool quit = false;       // later: its thread is to end
  std::thread thread;      // later: the thread that gives buffers back
};

constexpr uint32_t kAll = 0xFFFFFFFFU;
constexpr int kPlugins = 7;
Model g_models[kPlugins] = {
    {.file = "streampi_keep.so",
     .kind = Kind::kKeep,
     .id = 0x10,
     .acceptsRead = false,
     .acceptsWrite = true,
     .ioctlAtLoad = false,
     .exportsData = true,
     .masks = {kAll, kAll, kAll, kAll, kAll, kAll, kAll, kAll, 0}},
    {.file = "later.so",
     .kind = Kind::kLater,
     .id = 0x20,
     .acceptsRead = false,
     .acceptsWrite = true,
     .ioctlAtLoad = false,
     .exportsData = true,
     .masks = {0x0300FFFF, 0x0300FFFF, 0x0300FFFF, 0x0300FFFF, 0, 0, 0, 0, 0}},
    {.file = "sub.so",
     .kind = Kind::kSub,
     .id = 0x30,
     .acceptsRead = true,
     .acceptsWrite = true,
     .ioctlAtLoad = false,
     .exportsData = true,
     .masks = {0xFF0000FF, 0x00FFFF00, 0xFF0000FF, 0x00FFFF00, 0xFF0000FF, 0x00FFFF00, 0xFF0000FF,
               0x00FFFF00, kAll}},
    {.file = "reader.so",
     .kind = Kind::kReader,
     .id = 0x40,
     .acceptsRead = true,
     .acceptsWrite = false,
     .ioctlAtLoad = true,
     .exportsData = true,
     .masks = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x00800002, 0x7FFFFFFF,
               0x7FFFFFFF, 0x7FFFFFFF}},
    {.file = "bare.so",
     .kind = Kind::kBare,
     .id = 0,
     .acceptsRead = false,
     .acceptsWrite = false,
     .ioctlAtLoad = false,
     .exportsData = true,
     .masks = {}},
    {.file = "partial.so",
     .kind = Kind::kPartial,
     .id = 0x50,
     .acceptsRead = true,
     .acceptsWrite = true,
     .ioctlAtLoad = false,
     .exportsData = false,
     .masks = {kAll, kAll, kAll, kAll, kAll, kAll, kAll, kAll, kAll}},
    {.file = "rejected.so",
     .kind = Kind::kRejected,
     .id = 0x60,
     .acceptsRead = true,
     .acceptsWrite = true,
     .ioctlAtLoad = true,
     .exportsData = true,
     .masks = {kAll, kAll, kAll, kAll, kAll, kAll, kAll, kAll, kAll}},
};
Model& g_keep = g_models[0];
Model& g_later = g_models[1];

int IndexOf(const Model& model) { return static_cast<int>(&model - g_models); }

// Ids that senders and releases use: the plugins', the Core's and ones that nobody has.
constexpr uint32_t kQueueSources[8] = {0x10, 0x20, 0x30, 0x40, 0x50, CORE_SOURCE, 0x99, 0x7FFFFFFF};
constexpr uint32_t kReleaseSources[8] = {0x10, 0x20, 0x30, 0x40, 0x50, CORE_SOURCE, 0x99, 0};

// Settings of the input that runs, read by the plugins' calls.
std::atomic<bool> g_laterInline{false};     // later gives back inside the delivering call
std::atomic<bool> g_giveBackAtStop{false};  // keep at Close, later at Unload give back the rest
std::atomic<bool> g_readerSleeps{false};    // reader's Read takes a little while
std::atomic<int> g_laterDelayUs{0};         // later's thread waits so long before giving back
std::atomic<bool> g_stopInput{false};       // the Core is stopped while the senders run

enum Phase : int { kStarting, kRunning, kStopping };
std::atomic<int> g_phase{kStarting};
std::atomic<CoreCallbackFn> g_callback{nullptr};
std::thread::id g_mainThread;
std::atomic<std::thread::id> g_eventThread{};  // the thread of the first Write or IOCTL delivery
std::atomic<long> g_errorsLogged{0};
std::atomic<long> g_errorsExpected{0};  // Read calls skipped because their copy failed
std::atomic<long> g_boundRefusals{0};   // queued messages answered "no memory" at the bound
long g_boundRefusalsAll = 0;            // and over all inputs before this one
std::atomic<long> g_untaggedReads{0};
std::atomic<long> g_untaggedReadsExpected{0};

// ---------------------------------------------------------------------------------------------
// The ledger of what was sent in the current input.

enum class Route : uint8_t { kQueued, kBroadcast, kOther };
constexpr int kPending = 1000;

struct Sent {
  Route route;
  Message message;  // as sent; data is the sender's buffer, gone after the send
  uint32_t length;  // payload bytes the Core is to pass on
  uint64_t sentSeq;
  uint8_t echo;  // what sub sends from inside the Write of this message (0: nothing)
  bool mustAccept, mustRefuse;
  int failed;                            // payload allocations failed during the send
  int expectedReads;                     // tagged Read calls due
  std::array<uint8_t, kPlugins> expect;  // the tagged call each plugin is due (kNoCall: none)
  std::array<std::atomic<uint8_t>, kPlugins> got;
  std::atomic<int> reads;
  std::atomic<int> result;
  std::atomic<bool> echoed;
};

Sent g_sent[kMaxSent];
std::atomic<int> g_sentCount{0};
std::atomic<uint32_t> g_generation{0};
uint32_t g_channelBase = 0;

uint32_t TagOf(int index) { return ((g_generation.load() & 0xFFFFFU) << 12) | index; }

ZENT_NO_COVERAGE uint32_t Word(const void* at) {
  uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

uint8_t PatternByte(uint32_t tag, uint32_t i) {
  return static_cast<uint8_t>(tag * 131U + i * 7U + 3U);
}

ZENT_NO_COVERAGE void FillPayload(uint8_t* bytes, uint32_t length, uint32_t tag) {
  for (uint32_t i = 0; i < length; ++i) bytes[i] = PatternByte(tag, i);
  if (length >= 8) {
    std::memcpy(bytes, &kMagic, 4);
    std::memcpy(bytes + 4, &tag, 4);
  }
}

ZENT_NO_COVERAGE bool PayloadIntact(const void* data, uint32_t length, uint32_t tag) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t i = length >= 8 ? 8 : 0; i < length; ++i) {
    if (bytes[i] != PatternByte(tag, i)) return false;
  }
  return length < 8 || (Word(bytes) == kMagic && Word(bytes + 4) == tag);
}

ZENT_NO_COVERAGE void FillExtra(uint8_t* extra, uint32_t tag) {
  std::memcpy(extra, &kMagic, 4);
  std::memcpy(extra + 4, &tag, 4);
  for (int i = 8; i < ZENT_MESSAGE_EXTRA_BYTES; ++i) extra[i] = static_cast<uint8_t>(tag + i);
}

// The ledger entry that the eight tag bytes at words name; null when they hold no tag.
Sent* FindTagged(const void* words, const char* where) {
  if (Word(words) != kMagic) return nullptr;
  const uint32_t tag = Word(static_cast<const uint8_t*>(words) + 4);
  const uint32_t index = tag & 0xFFFU;
  CHECK((tag >> 12) == (g_generation.load() & 0xFFFFFU) &&
            static_cast<int>(index) < g_sentCount.load(),
        "%s: a message of an earlier input, or one never sent (tag 0x%x)", where, tag);
  return &g_sent[index];
}

// Releases that may drop a hold of a plugin other than the one that gives back (a stale
// address, a second release, a holder that does not hold the buffer) are recorded from before
// they are sent until the sequence number they ended at. A kept buffer whose send began before
// such a release of its address ended, or while one is under way, may have lost its hold, and
// with it its life: its holder does not look at it then. A holder looks at a buffer with the
// record locked, so that no such release begins meanwhile.
class Ambiguous {
 public:
  // Before the release is sent; returns what End takes.
  size_t Begin(const void* buffer) {
    std::lock_guard<std::mutex> guard(lock_);
    releases_.emplace_back(buffer, kUnderWay);
    return releases_.size() - 1;
  }
  void End(size_t release) {
    std::lock_guard<std::mutex> guard(lock_);
    releases_[release].second = ++g_seq;
  }
  // Runs look(held) unless a release recorded here may have dropped the hold of held; returns
  // whether it did.
  bool LookAt(const Held& held, const std::function<void()>& look) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [buffer, seq] : releases_) {
      if (buffer == held.buffer && seq > held.sentSeq) return false;
    }
    look();
    return true;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    releases_.clear();
  }
  static uint64_t Now() { return g_seq.load(); }

 private:
  static constexpr uint64_t kUnderWay = UINT64_MAX;
  static inline std::atomic<uint64_t> g_seq{0};
  std::mutex lock_;
  std::vector<std::pair<const void*, uint64_t>> releases_;
};

Ambiguous g_ambiguous;

// ---------------------------------------------------------------------------------------------
// Sending.

uint32_t QueuedMatch(uint32_t code) { return ((code & 0xFF000000U) << 1) | (code & 0x00FFFFFFU); }
uint32_t BroadcastMatch(uint32_t code) {
  return ((code & 0xFF000000U) >> 1) | (code & 0x00FFFFFFU);
}

bool Matches(const Model& model, uint32_t flags, uint32_t match) {
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) {
    const uint32_t bit = i < 8 ? 1U << i : 0x400U;
    if ((flags & bit) != 0 && (match & model.masks[i]) == match) return true;
  }
  return false;
}

MessageReply CallCore(const Message& message) {
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 99};
  const int rc = g_callback.load()(&message, &reply);
  CHECK(rc == 0, "the callback returned %d", rc);
  CHECK(reply.size == sizeof reply && reply.version == ZENT_RECORD_VERSION,
        "the Core wrote more of the reply than its result");
  CHECK(reply.result == RESULT_OK || reply.result == RESULT_CHANNEL_REFUSED ||
            reply.result == RESULT_NO_MEMORY,
        "answer %d is none of the defined ones", reply.result);
  return reply;
}

// Sends a release of buffer as source. ambiguous: it may drop a hold of another plugin.
void SendRelease(const void* buffer, uint32_t source, bool ambiguous) {
  const size_t record = ambiguous ? g_ambiguous.Begin(buffer) : 0;
  const MessageReply reply = CallCore(zt::MakeMessage(source, 0, MSG_RELEASE, 0, buffer));
  CHECK(reply.result == RESULT_OK, "a release was answered %d", reply.result);
  if (ambiguous) g_ambiguous.End(record);
}

// A holder gives one kept buffer back, after checking that it is intact.
void GiveBack(const Model& holder, const Held& held) {
  const bool looked = g_ambiguous.LookAt(held, [&] {
    if (held.buffer == nullptr) return;
    CHECK(g_payloads.Live(held.buffer),
          "%s kept buffer %p (tag 0x%x), and it was freed before %s gave it back", holder.file,
          held.buffer, held.tag, holder.file);
    CHECK(PayloadIntact(held.buffer, held.length, held.tag),
          "%s kept buffer %p (tag 0x%x), and it changed before %s gave it back", holder.file,
          held.buffer, held.tag, holder.file);
  });
  SendRelease(held.buffer, holder.id, !looked);
}

void GiveBackAll(Model& holder) {
  std::vector<Held> held;
  {
    std::lock_guard<std::mutex> guard(holder.heldLock);
    held.swap(holder.held);
  }
  for (const Held& one : held) GiveBack(holder, one);
  if (!held.empty()) Progress();
}

struct Outgoing {
  uint32_t source = 0, channel = 0, flags = 0, code = 0, length = 0;
  bool dataWithoutLength = false;  // a payload pointer with length 0
  int fail = 0;                    // payload allocations to fail on this thread
  uint8_t echo = 0;
  bool mustAccept = false, mustRefuse = false;
};

uint8_t g_foreign[64];  // a buffer that is not the Core's

// Sends one message (queued, broadcast, or a close or release in disguise) with a tag, and
// checks its answer.
int Send(const Outgoing& out) {
  const int index = g_sentCount.fetch_add(1);
  CHECK(index < kMaxSent, "more than %d messages in one input", kMaxSent);
  Sent& sent = g_sent[index];
  const uint32_t tag = TagOf(index);
  sent.route = out.flags == MSG_RELEASE         ? Route::kOther
               : out.source != 0                ? Route::kQueued
               : out.flags == MSG_CLOSE_CHANNEL ? Route::kOther
                                                : Route::kBroadcast;
  // An IOCTL or a Read shows only the payload: a short one gets room for the tag.
  uint32_t length = out.length;
  const bool showsPayloadOnly =
      sent.route == Route::kBroadcast || (out.flags & (MSG_TO_OTHERS | MSG_TO_ALL)) != 0;
  if (showsPayloadOnly && length > 0 && length < 8) length = 8;
  std::vector<uint8_t> payload(length);
  FillPayload(payload.data(), length, tag);

  Message& message = sent.message;
  message = zt::MakeMessage(out.source, out.channel, out.flags, out.code,
                            length != 0             ? payload.data()
                            : out.dataWithoutLength ? g_foreign
                                                    : nullptr,
                            length);
  FillExtra(message.extra, tag);
  sent.length = length;
  sent.echo = out.echo;
  sent.mustAccept = out.mustAccept;
  sent.mustRefuse = out.mustRefuse;
  sent.failed = 0;
  sent.expectedReads = 0;
  sent.reads = 0;
  sent.echoed = false;
  sent.result = kPending;

  // Who is due what: tagged calls per plugin; calls that show no tag are counted apart.
  int readers = 0;
  std::array<uint8_t, kPlugins> untagged{};
  for (int p = 0; p < kPlugins; ++p) {
    const Model& model = g_models[p];
    uint8_t call = kNoCall;
    if (model.kind == Kind::kRejected) {
    } else if (sent.route == Route::kQueued) {
      const uint32_t match = QueuedMatch(out.code);
      if ((out.flags & MSG_TO_OTHERS) != 0 && model.id != out.source) {
        call = kIoctlOthers;
      } else if ((out.flags & MSG_TO_ALL) != 0) {
        call = kIoctlAll;
      } else if (Matches(model, out.flags, match) && model.acceptsWrite && model.exportsData) {
        call = kWrite;
      }
    } else if (sent.route == Route::kBroadcast) {
      if (Matches(model, out.flags, BroadcastMatch(out.code)) && model.acceptsRead &&
          model.exportsData) {
        call = kRead;
        ++readers;
      }
    }
    const bool tagged = call == kWrite || length >= 8;
    sent.expect[p] = tagged ? call : kNoCall;
    untagged[p] = tagged ? kNoCall : call;
    sent.got[p] = 0;
  }
  // Deliveries without tag may come before the send returns: they are counted as due now, and
  // the ones that the answer or a failed copy cancels are taken back afterwards.
  if (sent.route == Route::kBroadcast && length < 8) g_untaggedReadsExpected += readers;
  if (sent.route == Route::kQueued) {
    for (int p = 0; p < kPlugins; ++p) {
      if (untagged[p] != kNoCall) ++g_models[p].untaggedExpected[untagged[p]];
    }
  }
  sent.sentSeq = Ambiguous::Now();

  t_failNext = out.fail;
  const int failedBefore = t_failed;
  const MessageReply reply = CallCore(message);
  sent.failed = t_failed - failedBefore;
  t_failNext = 0;
  // The Core has made its copies: the sender's buffer may change and go.
  if (!payload.empty()) std::memset(payload.data(), 0xEE, payload.size());

  const int result = reply.result;
  const char* where = sent.route == Route::kQueued ? "queued message" : "message";
  if (sent.route != Route::kQueued) {
    CHECK(result == RESULT_OK, "%s with source 0 or flags 0x%x answered %d", where, out.flags,
          result);
  } else if (sent.failed > 0) {
    CHECK(result == RESULT_NO_MEMORY, "queued message whose payload copy failed answered %d",
          result);
  } else {
    CHECK(!out.mustRefuse || result == RESULT_CHANNEL_REFUSED,
          "queued message on channel %u (never opened, closed, or held by the message being "
          "delivered) answered %d",
          out.channel, result);
    // With no allocation failed, "no memory" can only be the queue's bound; each one is
    // matched against the Core's own count of them once the input has run.
    if (result == RESULT_NO_MEMORY) {
      ++g_boundRefusals;
    } else {
      CHECK(!out.mustAccept || result == RESULT_OK,
            "queued message on channel %u (open, or none) answered %d", out.channel, result);
    }
  }
  if (sent.route == Route::kBroadcast) {
    const int skipped = message.data != nullptr ? sent.failed : 0;
    if (length >= 8) {
      sent.expectedReads = readers - skipped;
    } else {
      g_untaggedReadsExpected -= skipped;
    }
    g_errorsExpected += skipped;
  }
  if (sent.route == Route::kQueued && result != RESULT_OK) {
    for (int p = 0; p < kPlugins; ++p) {
      if (untagged[p] != kNoCall) --g_models[p].untaggedExpected[untagged[p]];
    }
  }
  sent.result.store(result);
  Progress();
  return result;
}

// sub's answer from inside the Write or Read of sent: 1 a queued message on the same channel,
// 2 a queued message without channel, 3 a broadcast on the same channel. From inside Write
// (on the event handler thread) the message being delivered holds its channel, so a queued
// answer on it is refused and a broadcast on it must not wait; from inside Read (on a call
// thread of its own) an answer on the channel may wait.
void Echo(const Sent& sent) {
  Outgoing out;
  out.flags = sent.message.flags;
  out.code = sent.message.code ^ 0x5A;
  out.length = sent.length;
  out.source = sent.echo == 3 ? 0 : g_models[2].id;
  out.channel = sent.echo == 2 ? 0 : sent.message.channel;
  out.mustRefuse = sent.route == Route::kQueued && sent.echo == 1 && out.channel != 0;
  out.mustAccept = sent.echo == 2 && !g_stopInput.load();
  Send(out);
}

// ---------------------------------------------------------------------------------------------
// The calls into the plugins.

Model* ModelOf(const void* self) {
  for (Model& model : g_models) {
    if (model.self.load() == self) return &model;
  }
  Fail("a call from a plugin that was never loaded (%p)", self);
}

void CheckSizes(const char* what, uint32_t size, uint32_t version, uint32_t expected) {
  CHECK(size == expected && version == ZENT_RECORD_VERSION, "%s: size %u version %u", what, size,
        version);
}

ZENT_NO_COVERAGE bool AllZero(const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

void CheckOnEventThread(const Model& model, const char* what) {
  CHECK(model.stage.load() == kOpened, "%s: %s outside the opened state (stage %d)", model.file,
        what, model.stage.load());
  std::thread::id expected{};
  const std::thread::id self = std::this_thread::get_id();
  if (!g_eventThread.compare_exchange_strong(expected, self)) {
    CHECK(expected == self, "%s: %s on a thread other than the event handler's", model.file, what);
  }
}

// Records a tagged delivery of call to model and checks that it was due.
void Delivered(const Model& model, Sent& sent, uint8_t call, uint32_t length, const void* data) {
  const int p = IndexOf(model);
  CHECK(sent.expect[p] == call,
        "%s got call %d for a message (route %d, source 0x%x, channel %u, flags 0x%x, code 0x%x) "
        "that was due call %d",
        model.file, call, static_cast<int>(sent.route), sent.message.source, sent.message.channel,
        sent.message.flags, sent.message.code, sent.expect[p]);
  CHECK(sent.got[p].fetch_add(1) == 0, "%s got the message with tag 0x%x twice", model.file,
        Word(sent.message.extra + 4));
  CHECK(length == sent.length, "%s: the payload length is %u, %u were sent", model.file, length,
        sent.length);
  CHECK((data == nullptr) == (length == 0), "%s: payload pointer %p with length %u", model.file,
        data, length);
  if (data != nullptr) {
    CHECK(g_payloads.Live(data), "%s: the payload %p is not a live buffer of the Core's",
          model.file, data);
    CHECK(PayloadIntact(data, length, Word(sent.message.extra + 4)),
          "%s: the payload differs from the one sent", model.file);
  }
}

// What a plugin does with a tagged buffer it was given by Write or IOCTL; returns the retained
// word.
uint32_t Keep(Model& model, const Sent& sent, const void* data) {
  const Held held = {data, Word(sent.message.extra + 4), sent.length, sent.sentSeq};
  switch (model.kind) {
    case Kind::kKeep: {
      std::lock_guard<std::mutex> guard(model.heldLock);
      model.held.push_back(held);
      return 1;
    }
    case Kind::kLater:
      if (data == nullptr) return 0;
      if (g_laterInline.load()) {
        GiveBack(model, held);
      } else {
        std::lock_guard<std::mutex> guard(model.heldLock);
        model.held.push_back(held);
        model.heldCv.notify_all();
      }
      return 1;
    case Kind::kBare:
      if (data == nullptr) return 0;
      GiveBack(model, held);
      return 1;
    default:
      return 0;
  }
}

void StartWorkers();
void StopWorkers();

// later's thread: gives kept buffers back one at a time, each after the input's delay.
void LaterThread() {
  Model& model = g_later;
  std::unique_lock<std::mutex> lock(model.heldLock);
  for (;;) {
    model.heldCv.wait(lock, [&] { return !model.held.empty() || model.quit; });
    if (model.held.empty()) return;
    const Held held = model.held.front();
    model.held.erase(model.held.begin());
    ++model.givingBack;
    lock.unlock();
    if (const int delay = g_laterDelayUs.load(); delay > 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
    GiveBack(model, held);
    lock.lock();
    --model.givingBack;
    lock.unlock();
    Progress();
    lock.lock();
  }
}

int OnLoad(const void* self, PluginContext* context, PluginInfo* info) {
  Dl_info where;
  CHECK(dladdr(self, &where) != 0 && where.dli_fname != nullptr, "Load of an unknown object");
  const std::string name = std::filesystem::path(where.dli_fname).filename().string();
  Model* found = nullptr;
  for (Model& model : g_models) {
    if (name == model.file) found = &model;
  }
  CHECK(found != nullptr, "Load of an unknown plugin file %s", name.c_str());
  Model& model = *found;
  CHECK(std::this_thread::get_id() == g_mainThread, "%s: Load off the main thread", model.file);
  CHECK(model.stage.load() == kAbsent || model.stage.load() == kUnloaded,
        "%s: Load while it is loaded", model.file);
  CheckSizes("PluginContext", context->size, context->version, sizeof *context);
  CHECK(context->callback != nullptr, "%s: no callback", model.file);
  CheckSizes("PluginInfo", info->size, info->version, sizeof *info);
  CHECK(AllZero(reinterpret_cast<uint8_t*>(info) + 8, sizeof *info - 8),
        "%s: PluginInfo not zero-filled", model.file);
  g_callback = context->callback;
  // A shared object loaded now may sit where an unloaded one was.
  for (Model& other : g_models) {
    if (other.self.load() == self) other.self = nullptr;
  }
  model.self = self;
  if (model.kind == Kind::kRejected) {
    model.stage = kUnloaded;  // nothing may reach it any more
    return 1;
  }
  info->id = model.id;
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) info->classMasks[i] = model.masks[i];
  info->acceptsRead = model.acceptsRead;
  info->acceptsWrite = model.acceptsWrite;
  info->ioctlAtLoad = model.ioctlAtLoad;
  model.ioctlAtLoadCalls = 0;
  model.statusDocuments = 0;
  for (auto& count : model.untagged) count = 0;
  for (auto& count : model.untaggedExpected) count = 0;
  {
    std::lock_guard<std::mutex> guard(model.heldLock);
    model.held.clear();  // left from a Core that was destroyed: freed with it
    model.givingBack = 0;
    model.quit = false;
  }
  model.stage = kLoaded;
  if (model.kind == Kind::kSub) StartWorkers();
  if (model.kind == Kind::kLater) model.thread = std::thread(LaterThread);
  return 0;
}

// The start of a call of Open, Close or Unload: on the main thread, in stage from, while every
// other plugin is in a stage that otherOk accepts; records of the right sizes.
template <typename Request, typename Reply>
void LifecycleCall(Model& model, const char* what, int from, const Request* request,
                   const Reply* reply, bool (*otherOk)(int stage), const char* otherFault) {
  CHECK(std::this_thread::get_id() == g_mainThread, "%s: %s off the main thread", model.file, what);
  CHECK(model.stage.load() == from, "%s: %s in stage %d", model.file, what, model.stage.load());
  for (const Model& other : g_models) {
    CHECK(other.kind == Kind::kRejected || otherOk(other.stage.load()), "%s: %s while %s %s",
          model.file, what, other.file, otherFault);
  }
  CheckSizes(what, request->size, request->version, sizeof *request);
  CheckSizes(what, reply->size, reply->version, sizeof *reply);
}

void OnOpen(Model& model, OpenRequest* request, OpenReply* reply) {
  LifecycleCall(
      model, "Open", kLoaded, request, reply, [](int stage) { return stage >= kLoaded; },
      "was not loaded yet");
  model.stage = kOpened;
}

void OnClose(Model& model, CloseRequest* request, StatusReply* reply) {
  LifecycleCall(
      model, "Close", kOpened, request, reply, [](int stage) { return stage < kUnloading; },
      "was unloaded already");
  model.stage = kClosing;
  if (model.kind == Kind::kKeep && g_giveBackAtStop.load()) GiveBackAll(model);
  model.stage = kClosed;
}

void OnUnload(Model& model, UnloadRequest* request, StatusReply* reply) {
  LifecycleCall(
      model, "Unload", kClosed, request, reply, [](int stage) { return stage >= kClosed; },
      "was not closed yet");
  model.stage = kUnloading;
  // The plugin's own threads end here: after Unload it may not call back.
  if (model.kind == Kind::kSub) StopWorkers();
  if (model.kind == Kind::kLater) {
    {
      std::lock_guard<std::mutex> guard(model.heldLock);
      model.quit = true;
      if (!g_giveBackAtStop.load()) model.held.clear();  // left to the Core
      model.heldCv.notify_all();
    }
    model.thread.join();
  }
}

void OnRead(Model& model, ReadRequest* request, ReadReply* reply) {
  CHECK(model.acceptsRead, "%s: Read without accepting Read calls", model.file);
  CHECK(model.stage.load() < kUnloaded, "%s: Read after Unload", model.file);
  CHECK(std::this_thread::get_id() != g_mainThread, "%s: Read on the main thread", model.file);
  CheckSizes("ReadRequest", request->size, request->version, sizeof *request);
  CheckSizes("ReadReply", reply->size, reply->version, sizeof *reply);
  CHECK(request->async == 1 && request->reserved == 0 && AllZero(request->padding, 3),
        "%s: Read request fields", model.file);
  if (request->length == 0) {
    ++model.untagged[kRead];
    ++g_untaggedReads;
  } else {
    CHECK(request->length >= 8 && request->data != nullptr, "%s: Read of an unknown payload",
          model.file);
    Sent* sent = FindTagged(request->data, model.file);
    CHECK(sent != nullptr, "%s: Read of an unknown payload", model.file);
    Delivered(model, *sent, kRead, request->length, request->data);
    CHECK(request->channel == sent->message.channel, "%s: Read on channel %u, sent on %u",
          model.file, request->channel, sent->message.channel);
    ++sent->reads;
    if (model.kind == Kind::kSub && sent->echo != 0 && !sent->echoed.exchange(true)) Echo(*sent);
  }
  if (model.kind == Kind::kReader && g_readerSleeps.load()) {
    std::this_thread::sleep_for(200us);
  }
}

void OnWrite(Model& model, WriteRequest* request, WriteReply* reply) {
  CHECK(model.acceptsWrite, "%s: Write without accepting Write calls", model.file);
  CheckOnEventThread(model, "Write");
  CheckSizes("WriteRequest", request->size, request->version, sizeof *request);
  CheckSizes("WriteReply", reply->size, reply->version, sizeof *reply);
  CHECK(request->async == 0 && request->reserved == 0 && reply->retained == 0,
        "%s: Write request fields", model.file);
  Sent* sent = FindTagged(request->extra, model.file);
  if (sent == nullptr) {
    // The Core's own clock message, if the clock jumps while the fuzzer runs.
    static constexpr char kClock[] = "system time changed by ";
    CHECK(request->source == CORE_SOURCE && request->flags == 0x40 && request->code == 0x01000002 &&
              request->length >= sizeof kClock - 1 &&
              std::memcmp(request->data, kClock, sizeof kClock - 1) == 0,
          "%s: Write of a message never sent", model.file);
    return;
  }
  Delivered(model, *sent, kWrite, request->length, request->data);
  const Message& m = sent->message;
  CHECK(request->source == m.source && request->channel == m.channel && request->flags == m.flags &&
            request->code == m.code && std::memcmp(request->extra, m.extra, sizeof m.extra) == 0,
        "%s: Write fields differ from the message sent", model.file);
  reply->retained = Keep(model, *sent, request->data);
  if (model.kind == Kind::kSub && sent->echo != 0 && !sent->echoed.exchange(true)) Echo(*sent);
}

void OnIoctl(Model& model, IoctlRequest* request, IoctlReply* reply) {
  CheckSizes("IoctlRequest", request->size, request->version, sizeof *request);
  CheckSizes("IoctlReply", reply->size, reply->version, sizeof *reply);
  CHECK(reply->command == request->command && reply->retained == 0 && reply->resultSize == 8 &&
            reply->resultVersion == 1,
        "%s: IOCTL reply fields", model.file);
  if (request->command == IOCTL_AT_LOAD) {
    CHECK(model.ioctlAtLoad && model.ioctlAtLoadCalls.fetch_add(1) == 0,
          "%s: a load-time IOCTL not asked for, or twice", model.file);
    CHECK(model.stage.load() == kLoaded || model.stage.load() == kOpened,
          "%s: load-time IOCTL in stage %d", model.file, model.stage.load());
    CHECK(request->argSize == 8 && request->argVersion == 1 && request->length == 0 &&
              request->data == nullptr,
          "%s: load-time IOCTL fields", model.file);
    return;
  }
  CHECK(request->command == IOCTL_TO_OTHERS || request->command == IOCTL_TO_ALL,
        "%s: IOCTL command %u", model.file, request->command);
  CheckOnEventThread(model, "IOCTL");
  CHECK(request->argSize == 16 && request->argVersion == 1, "%s: IOCTL argument block", model.file);
  const uint8_t call = request->command == IOCTL_TO_OTHERS ? kIoctlOthers : kIoctlAll;
  if (request->length == 0) {
    CHECK(request->data == nullptr, "%s: IOCTL with a payload pointer and length 0", model.file);
    ++model.untagged[call];
    return;
  }
  CHECK(request->data != nullptr, "%s: IOCTL with length %u and no payload", model.file,
        request->length);
  Sent* sent = request->length >= 8 ? FindTagged(request->data, model.file) : nullptr;
  if (sent == nullptr) {
    static constexpr char kXml[] = "<?xml";
    CHECK(g_phase.load() == kStarting && call == kIoctlOthers &&
              request->length >= sizeof kXml - 1 &&
              std::memcmp(request->data, kXml, sizeof kXml - 1) == 0,
          "%s: IOCTL of a message never sent", model.file);
    CHECK(model.statusDocuments.fetch_add(1) == 0, "%s: the status document twice", model.file);
    return;
  }
  Delivered(model, *sent, call, request->length, request->data);
  reply->retained = Keep(model, *sent, request->data);
}

}  // namespace

// The one entry of every plugin call (fuzz_plugin.c forwards here).
extern "C" __attribute__((visibility("default"))) int ZentFuzzHostCall(const void* self, int op,
                                                                       void* request, void* reply) {
  if (op == 0) {
    return OnLoad(self, static_cast<PluginContext*>(request), static_cast<PluginInfo*>(reply));
  }
  Model& model = *ModelOf(self);
  const int stage = model.stage.load();
  CHECK(stage != kAbsent && stage != kUnloaded, "%s: call %d after its Unload", model.file, op);
  ++model.inFlight;
  switch (op) {
    case 1:
      OnUnload(model, static_cast<UnloadRequest*>(request), static_cast<StatusReply*>(reply));
      break;
    case 2:
      OnOpen(model, static_cast<OpenRequest*>(request), static_cast<OpenReply*>(reply));
      break;
    case 3:
      OnClose(model, static_cast<CloseRequest*>(request), static_cast<StatusReply*>(reply));
      break;
    case 4:
      OnRead(model, static_cast<ReadRequest*>(request), static_cast<ReadReply*>(reply));
      break;
    case 5:
      OnWrite(model, static_cast<WriteRequest*>(request), static_cast<WriteReply*>(reply));
      break;
    case 7:
      OnIoctl(model, static_cast<IoctlRequest*>(request), static_cast<IoctlReply*>(reply));
      break;
    default:
      Fail("%s: entry point %d called", model.file, op);
  }
  --model.inFlight;
  if (op == 1) model.stage = kUnloaded;
  Progress();
  return 0;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Inputs. Byte 0 holds the settings: the number of senders (1 + (b & 3) % 3), later gives back
// inside the call (4), keep and later give back what they hold at stop (8), reader's Read
// sleeps (16), stop the Core at the end (all of 0xE0). Byte 1: later's delay, (b & 15) * 50 us.
// Then operations, each a byte (low four bits the kind, from kOpKinds; the rest picks the
// sender) and its arguments; missing bytes read as 0:
//   queue, broadcast, burst: source, channel slot, class bits, flag byte (DecodeFlags), code
//     (4 bytes), length byte (DecodeLength), variant (bit 2 a payload pointer with length 0;
//     bits 3-4 sub's answer from inside the delivery, see Echo; top bits 11: fail 1 or 2
//     payload allocations; for a burst the low four bits add up to 15 more messages without
//     channel)
//   close: channel slot       yield: nothing
//   releases: source, variant (held: 0-3 once, 3 twice, 4 interior, 5 by later; foreign: the
//     top bits pick static, stack or heap; null: 1 a null message, 2 a null reply)

enum OpKind : uint8_t {
  kQueue,
  kBroadcast,
  kClose,
  kReleaseHeld,
  kReleaseForeign,
  kReleaseStale,
  kReleaseNull,
  kBurst,
  kYield,
};
constexpr OpKind kOpKinds[16] = {kQueue,          kBroadcast,    kClose,       kReleaseHeld,
                                 kReleaseForeign, kReleaseStale, kReleaseNull, kBurst,
                                 kYield,          kQueue,        kBroadcast,   kQueue,
                                 kReleaseHeld,    kClose,        kQueue,       kBroadcast};

struct Op {
  OpKind kind;
  uint8_t worker, slot, source, variant, count;
  uint32_t flags, code, length;
};

struct Input {
  int workers = 1;
  bool laterInline = false, giveBackAtStop = false, readerSleeps = false, stop = false;
  int laterDelayUs = 0;
  std::vector<Op> ops;
  unsigned opened = 0;  // channel slots that some broadcast of the input opens
  unsigned closed = 0;  // channel slots that some operation of the input closes
};

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return size_ == 0; }
  uint8_t u8() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint32_t u32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(u8()) << (8 * i);
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

uint32_t DecodeFlags(uint8_t classBits, uint8_t high) {
  uint32_t flags = classBits;
  if ((high & 1) != 0) flags |= 0x400;
  if ((high & 2) != 0) flags |= MSG_TO_OTHERS;
  if ((high & 4) != 0) flags |= MSG_TO_ALL;
  if ((high & 8) != 0) flags |= MSG_RELEASE;
  if ((high & 16) != 0) flags |= MSG_CLOSE_CHANNEL;
  if ((high & 0xE0) == 0xC0) flags |= 0x10000U << (classBits & 7);  // bits the Core ignores
  if ((high & 0xE0) == 0xE0) flags = (classBits & 1) != 0 ? MSG_RELEASE : MSG_CLOSE_CHANNEL;
  return flags;
}

uint32_t DecodeLength(uint8_t b) {
  if (b < 200) return b;
  if (b < 250) return 200 + (b - 200) * 16U;
  return 4096U * (b - 249U);
}

Input Decode(const uint8_t* data, size_t size) {
  Bytes bytes(data, size);
  Input input;
  const uint8_t settings = bytes.u8();
  input.workers = 1 + (settings & 3) % kWorkers;
  input.laterInline = (settings & 4) != 0;
  input.giveBackAtStop = (settings & 8) != 0;
  input.readerSleeps = (settings & 16) != 0;
  input.stop = (settings >> 5) == 7;
  input.laterDelayUs = (bytes.u8() & 15) * 50;
  int sends = 0;
  while (!bytes.empty() && input.ops.size() < kMaxOps && sends < kMaxSends) {
    const uint8_t code = bytes.u8();
    Op op = {};
    op.kind = kOpKinds[code & 15];
    op.worker = static_cast<uint8_t>((code >> 4) % input.workers);
    switch (op.kind) {
      case kQueue:
      case kBroadcast:
      case kBurst:
        op.source = bytes.u8();
        op.slot = bytes.u8() & 7;
        op.flags = DecodeFlags(bytes.u8(), bytes.u8());
        op.code = bytes.u32();
        op.length = DecodeLength(bytes.u8());
        op.variant = bytes.u8();
        op.count = op.kind == kBurst ? 1 + (op.variant & 15) : 1;
        sends += op.count;
        if (op.kind == kBroadcast && op.flags == MSG_CLOSE_CHANNEL) {
          input.closed |= 1U << op.slot;
        } else if (op.kind == kBroadcast && op.flags != MSG_RELEASE) {
          input.opened |= 1U << op.slot;
        }
        break;
      case kClose:
        op.slot = bytes.u8() & 7;
        input.closed |= 1U << op.slot;
        break;
      case kReleaseHeld:
      case kReleaseForeign:
      case kReleaseStale:
      case kReleaseNull:
        op.source = bytes.u8();
        op.variant = bytes.u8();
        break;
      case kYield:
        break;
    }
    input.ops.push_back(op);
  }
  return input;
}

uint32_t Channel(uint8_t slot) { return slot == 0 ? 0 : g_channelBase + slot; }

// What one sender knows of the channels from its own completed operations.
struct Known {
  std::array<bool, 8> opened{};       // it broadcast on the channel: the channel has an entry
  std::array<bool, 8> closedAfter{};  // it closed the channel after that: closed for good
};

const Input* g_input = nullptr;

void RunQueue(const Op& op, const Known& known) {
  const unsigned bit = 1U << op.slot;
  for (int i = 0; i < op.count; ++i) {
    Outgoing out;
    out.source = kQueueSources[op.source & 7];
    out.channel = op.kind == kBurst ? 0 : Channel(op.slot);
    out.flags = op.flags;
    out.code = op.code + i;
    out.length = op.length;
    out.dataWithoutLength = (op.variant & 4) != 0;
    out.fail = (op.variant >> 6) == 3 ? 1 + (op.variant & 1) : 0;
    out.echo = (op.variant >> 3) & 3;
    const bool onChannel = out.channel != 0;
    out.mustRefuse = onChannel && ((g_input->opened & bit) == 0 || known.closedAfter[op.slot]);
    out.mustAccept =
        !g_input->stop && (!onChannel || (known.opened[op.slot] && (g_input->closed & bit) == 0));
    Send(out);
  }
}

void RunBroadcast(const Op& op, Known& known) {
  Outgoing out;
  out.channel = Channel(op.slot);
  out.flags = op.kind == kClose ? MSG_CLOSE_CHANNEL : op.flags;
  out.code = op.code;
  out.length = op.length;
  out.dataWithoutLength = (op.variant & 4) != 0;
  out.fail = (op.variant >> 6) == 3 ? 1 + (op.variant & 1) : 0;
  out.echo = (op.variant >> 3) & 3;
  Send(out);
  if (out.flags == MSG_CLOSE_CHANNEL) {
    if (known.opened[op.slot]) known.closedAfter[op.slot] = true;
  } else if (out.flags != MSG_RELEASE) {
    known.opened[op.slot] = true;
  }
}

// keep gives back one of its buffers: normally, twice, by an interior pointer, or the release
// comes from later, which may not hold it.
void RunReleaseHeld(const Op& op) {
  const int how = op.variant % 6;
  Held held = {};
  bool have = false;
  {
    std::lock_guard<std::mutex> guard(g_keep.heldLock);
    if (!g_keep.held.empty()) {
      const size_t at = op.source % g_keep.held.size();
      held = g_keep.held[at];
      have = true;
      if (how <= 3) g_keep.held.erase(g_keep.held.begin() + at);
    }
  }
  if (!have) {
    SendRelease(nullptr, g_keep.id, false);
  } else if (how <= 3) {
    GiveBack(g_keep, held);
    if (how == 3) SendRelease(held.buffer, g_keep.id, true);
  } else if (how == 4) {
    // Never the start of a buffer: allocations are aligned.
    const auto address = reinterpret_cast<uintptr_t>(held.buffer) + 1;
    SendRelease(reinterpret_cast<const void*>(address), g_keep.id, false);
  } else {
    SendRelease(held.buffer, g_later.id, true);
  }
}

void RunOp(const Op& op, Known& known) {
  const uint32_t source = kReleaseSources[op.source & 7];
  switch (op.kind) {
    case kQueue:
    case kBurst:
      RunQueue(op, known);
      break;
    case kBroadcast:
    case kClose:
      RunBroadcast(op, known);
      break;
    case kReleaseHeld:
      RunReleaseHeld(op);
      break;
    case kReleaseForeign: {
      uint8_t onStack[16] = {};
      auto onHeap = std::make_unique<uint8_t[]>(16);
      const void* pointers[3] = {g_foreign + op.variant % 64, onStack + op.variant % 16,
                                 onHeap.get() + op.variant % 16};
      SendRelease(pointers[(op.variant >> 6) % 3], source, false);
      break;
    }
    case kReleaseStale:
      SendRelease(g_payloads.Stale(op.variant), source, true);
      break;
    case kReleaseNull:
      if (op.variant % 4 == 1) {
        // No message at all: refused, nothing else happens.
        MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 99};
        CHECK(g_callback.load()(nullptr, &reply) == 0 && reply.result != RESULT_OK,
              "a null message was accepted");
      } else if (op.variant % 4 == 2) {
        // No reply record: the release is made, the outcome unread.
        const Message message = zt::MakeMessage(source, 0, MSG_RELEASE, 0, nullptr);
        CHECK(g_callback.load()(&message, nullptr) == 0, "the callback returned non-zero");
      } else {
        SendRelease(nullptr, source, false);
      }
      break;
    case kYield:
      sched_yield();
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The sender threads: sub's own threads, started in its Load and ended in its Unload.

struct Worker {
  std::thread thread;
  std::vector<Op> ops;
  bool busy = false;
};

std::mutex g_workersLock;
std::condition_variable g_workersCv;
bool g_workersQuit = false;
std::array<Worker, kWorkers> g_workers;

void WorkerMain(Worker& worker) {
  std::unique_lock<std::mutex> lock(g_workersLock);
  for (;;) {
    g_workersCv.wait(lock, [&] { return worker.busy || g_workersQuit; });
    if (!worker.busy) return;
    lock.unlock();
    Known known;
    for (const Op& op : worker.ops) RunOp(op, known);
    lock.lock();
    worker.busy = false;
    lock.unlock();
    Progress();
    lock.lock();
  }
}

void StartWorkers() {
  std::lock_guard<std::mutex> guard(g_workersLock);
  g_workersQuit = false;
  for (Worker& worker : g_workers) worker.thread = std::thread(WorkerMain, std::ref(worker));
}

// Lets the senders finish what they were given, then ends them.
void StopWorkers() {
  {
    std::lock_guard<std::mutex> guard(g_workersLock);
    g_workersQuit = true;
    g_workersCv.notify_all();
  }
  for (Worker& worker : g_workers) worker.thread.join();
}

bool WorkersIdle() {
  std::lock_guard<std::mutex> guard(g_workersLock);
  for (const Worker& worker : g_workers) {
    if (worker.busy) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Checks over the whole input.

// Whether every message of the input has had all it is due. Fails at once where that can no
// longer come (a refused message delivered; after a stop, a due delivery missing). strict: every
// broadcast has reached all its readers (not so while the Core stops: closed plugins get none).
int g_checkedUpTo = 0;
bool AllDelivered(bool strict, bool final) {
  const int count = g_sentCount.load();
  for (; g_checkedUpTo < count; ++g_checkedUpTo) {
    const Sent& sent = g_sent[g_checkedUpTo];
    const int result = sent.result.load();
    CHECK(!final || result != kPending, "a send never returned");
    if (result == kPending) return false;
    for (int p = 0; p < kPlugins; ++p) {
      const uint8_t got = sent.got[p].load();
      CHECK(result == RESULT_OK || got == 0,
            "%s got a message (source 0x%x, channel %u) that was answered %d", g_models[p].file,
            sent.message.source, sent.message.channel, result);
      // A broadcast's readers are counted below: a failed copy skips one, no matter which.
      if (result != RESULT_OK || sent.route == Route::kBroadcast) continue;
      if (sent.expect[p] == kNoCall || got == 1) continue;
      CHECK(!final,
            "%s never got call %d of a message answered RESULT_OK (route %d, source 0x%x, "
            "channel %u, flags 0x%x, code 0x%x, length %u)",
            g_models[p].file, sent.expect[p], static_cast<int>(sent.route), sent.message.source,
            sent.message.channel, sent.message.flags, sent.message.code, sent.length);
      return false;
    }
    if (sent.route == Route::kBroadcast && result == RESULT_OK && strict &&
        sent.reads.load() != sent.expectedReads) {
      CHECK(!final, "a broadcast reached %d readers of %d", sent.reads.load(), sent.expectedReads);
      return false;
    }
  }
  for (const Model& model : g_models) {
    for (int call : {kIoctlOthers, kIoctlAll}) {
      const long got = model.untagged[call].load(), due = model.untaggedExpected[call].load();
      CHECK(got <= due, "%s got %ld IOCTL %d calls without payload, %ld were due", model.file, got,
            call, due);
      if (got != due) {
        CHECK(!final, "%s got %ld IOCTL %d calls without payload, %ld were due", model.file, got,
              call, due);
        return false;
      }
    }
  }
  const long reads = g_untaggedReads.load(), due = g_untaggedReadsExpected.load();
  CHECK(reads <= due, "%ld Read calls without payload, %ld were due", reads, due);
  if (strict && reads != due) {
    CHECK(!final, "%ld Read calls without payload, %ld were due", reads, due);
    return false;
  }
  return true;
}

bool NoCallsInFlight() {
  for (const Model& model : g_models) {
    if (model.inFlight.load() != 0) return false;
  }
  return true;
}

bool LaterIdle() {
  std::lock_guard<std::mutex> guard(g_later.heldLock);
  return g_later.held.empty() && g_later.givingBack == 0;
}

long WorkInFlight() {
  long items = g_sentCount.load() + static_cast<long>(g_payloads.Count());
  for (Model& model : g_models) {
    items += model.inFlight.load();
    std::lock_guard<std::mutex> guard(model.heldLock);
    items += static_cast<long>(model.held.size()) + model.givingBack;
  }
  return items;
}

std::string DescribePending() {
  size_t laterHolds;
  {
    std::lock_guard<std::mutex> guard(g_later.heldLock);
    laterHolds = g_later.held.size();
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "%d of %d messages checked; %zu buffers live; later holds %zu; calls in flight "
                "%d/%d/%d/%d/%d/%d",
                g_checkedUpTo, g_sentCount.load(), g_payloads.Count(), laterHolds,
                g_models[0].inFlight.load(), g_models[1].inFlight.load(),
                g_models[2].inFlight.load(), g_models[3].inFlight.load(),
                g_models[4].inFlight.load(), g_models[5].inFlight.load());
  return text;
}

// ---------------------------------------------------------------------------------------------
// The Core's life.

std::string g_installation;
Core* g_core = nullptr;
int g_inputsSinceStart = 0;
long g_inputsRun = 0;
// For the line printed at exit.
long g_stops = 0, g_busyStops = 0, g_messages = 0;

// The threads of the process, as "tid:name" each.
std::vector<std::string> Threads() {
  std::vector<std::string> threads;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      char path[64];
      std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
      std::string name;
      if (FILE* comm = std::fopen(path, "r")) {
        char text[32] = "";
        if (std::fgets(text, sizeof text, comm) != nullptr) name = text;
        std::fclose(comm);
      }
      if (!name.empty() && name.back() == '\n') name.pop_back();
      threads.push_back(std::string(entry->d_name) + ":" + name);
    }
    closedir(tasks);
  }
  return threads;
}
std::vector<std::string> g_threadsBeforeStart;

class FuzzLog : public wxLog {
 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
    if (level > wxLOG_Error || g_phase.load() == kStarting) return;  // the rejected plugin
    const std::string text(msg.utf8_str());
    CHECK(text.find("could not copy a payload") != std::string::npos, "unexpected error logged: %s",
          text.c_str());
    ++g_errorsLogged;
  }
};

void StartCore() {
  g_threadsBeforeStart = Threads();
  g_phase = kStarting;
  g_eventThread = std::thread::id();
  g_untaggedReads = 0;
  g_untaggedReadsExpected = 0;
  g_core = new Core(wxFileName(wxString::FromUTF8(g_installation + "/zentserver")));
  CoreLimits limits;
  limits.maxQueuedBytes = kQueueBound;
  g_core->SetLimits(limits);
  g_watchdog->Arm("Core::Start");
  g_core->Start();
  g_watchdog->Disarm();
  // The status document reaches every plugin once, the start Read every reader, the load-time
  // IOCTL the plugin that asked for it.
  WaitFor(
      [] {
        for (const Model& model : g_models) {
          if (model.kind != Kind::kRejected &&
              (model.statusDocuments.load() != 1 ||
               model.ioctlAtLoadCalls.load() != (model.ioctlAtLoad ? 1 : 0) ||
               model.untagged[kRead].load() != (model.acceptsRead && model.exportsData ? 1 : 0)))
            return false;
        }
        return g_payloads.Count() == 0 && NoCallsInFlight();
      },
      "Core::Start", {}, DescribePending);
  for (Model& model : g_models) model.untagged[kRead] = 0;
  g_untaggedReads = 0;
  g_inputsSinceStart = 0;
  g_phase = kRunning;
}

// Stops and destroys the Core; strict: the input reached quiescence before.
void StopCore(bool strict) {
  ++g_stops;
  if (!strict) ++g_busyStops;
  g_phase = kStopping;
  g_watchdog->Arm("Core::Stop");
  g_core->Stop();
  g_watchdog->Disarm();
  for (const Model& model : g_models) {
    CHECK(model.stage.load() == kUnloaded, "%s not unloaded by Core::Stop", model.file);
  }
  // Everything accepted was delivered before the plugins were closed.
  AllDelivered(strict, true);
  CHECK(g_errorsLogged.load() <= g_errorsExpected.load(), "%ld errors logged, %ld expected",
        g_errorsLogged.load(), g_errorsExpected.load());
  // A thread that was joined a moment ago may still be listed until the kernel has released
  // it: only one that stays counts.
  std::vector<std::string> threads = Threads();
  for (int waited = 0; threads.size() != g_threadsBeforeStart.size() && waited < 1000; ++waited) {
    std::this_thread::sleep_for(1ms);
    threads = Threads();
  }
  if (threads.size() != g_threadsBeforeStart.size()) {
    std::string before, after;
    for (const std::string& thread : g_threadsBeforeStart) before += " " + thread;
    for (const std::string& thread : threads) after += " " + thread;
    Fail("threads after Core::Stop:%s; before Core::Start:%s", after.c_str(), before.c_str());
  }
  delete g_core;
  g_core = nullptr;
  CHECK(g_payloads.Count() == 0, "%zu payload buffers never freed", g_payloads.Count());
}

// The calls the Core skipped for want of memory, over every plugin (while the Core runs).
long SkippedForMemory() {
  long skipped = 0;
  for (const PluginRecord& plugin : g_core->PluginsSnapshot()) {
    if (plugin.calls != nullptr) skipped += plugin.calls->Snapshot().skippedNoThread;
  }
  return skipped;
}
long g_skippedBefore = 0;           // at the input's start
uint64_t g_boundRefusedBefore = 0;  // the Core's count of refusals at the bound, likewise

void BeginInput(const Input& input) {
  g_input = &input;
  g_generation.fetch_add(1);
  // An entry is pending from the moment a send claims it.
  for (int i = 0; i < g_sentCount.load(); ++i) g_sent[i].result = kPending;
  g_sentCount = 0;
  g_checkedUpTo = 0;
  g_ambiguous.Clear();
  g_channelBase += 8;  // fresh channels: the ones of earlier inputs stay as they were left
  g_laterInline = input.laterInline;
  g_giveBackAtStop = input.giveBackAtStop;
  g_readerSleeps = input.readerSleeps;
  g_laterDelayUs = input.laterDelayUs;
  g_stopInput = input.stop;
  g_errorsLogged = 0;
  g_errorsExpected = 0;
  g_skippedBefore = SkippedForMemory();
  g_boundRefusalsAll += g_boundRefusals.exchange(0);
  g_boundRefusedBefore = g_core->RefusedAtBound();
}

void RunInput(const Input& input) {
  {
    std::lock_guard<std::mutex> guard(g_workersLock);
    for (Worker& worker : g_workers) worker.ops.clear();
    for (const Op& op : input.ops) g_workers[op.worker].ops.push_back(op);
    for (Worker& worker : g_workers) worker.busy = !worker.ops.empty();
    g_workersCv.notify_all();
  }
  if (input.stop) {
    StopCore(false);
    StartCore();
    return;
  }
  // A sender may wait for a channel that a buffer keep holds: keep gives its buffers back
  // whenever nothing moves.
  const auto unstick = [] { GiveBackAll(g_keep); };
  WaitFor(WorkersIdle, "the senders", unstick, DescribePending);
  WaitFor([] { return AllDelivered(true, false) && LaterIdle() && NoCallsInFlight(); },
          "the deliveries", unstick, DescribePending);
  GiveBackAll(g_keep);
  WaitFor([] { return g_payloads.Count() == 0 && NoCallsInFlight(); }, "the buffers", unstick,
          DescribePending);
  CHECK(g_core->BufferRefs().size() == 0, "%zu buffers left in the reference table",
        g_core->BufferRefs().size());
  // Every Read skipped for want of its copy is counted; its error line may be held back (at
  // most one a second per plugin).
  CHECK(SkippedForMemory() - g_skippedBefore == g_errorsExpected.load(),
        "%ld calls counted as skipped for want of memory, %ld Read copies failed",
        SkippedForMemory() - g_skippedBefore, g_errorsExpected.load());
  CHECK(g_errorsLogged.load() <= g_errorsExpected.load(),
        "%ld errors logged for %ld Read calls skipped", g_errorsLogged.load(),
        g_errorsExpected.load());
  // Every "no memory" without a failed allocation was the bound, and the Core counted it so.
  const uint64_t refusedBound = g_core->RefusedAtBound() - g_boundRefusedBefore;
  CHECK(refusedBound == static_cast<uint64_t>(g_boundRefusals.load()),
        "%ld queued messages answered \"no memory\" with no allocation failed, the Core counts "
        "%llu refused at its bound",
        g_boundRefusals.load(), static_cast<unsigned long long>(refusedBound));
}

void Cleanup() {
  if (g_core != nullptr) StopCore(true);
  std::error_code ignored;
  std::filesystem::remove_all(g_installation, ignored);
  std::fprintf(stderr,
               "zent-fuzz: %ld inputs, %ld messages (%ld refused at the queue's bound), %ld stops "
               "of the Core (%ld while senders ran), all checks held\n",
               g_inputsRun, g_messages, g_boundRefusalsAll, g_stops, g_busyStops);
}

void MakeInstallation() {
  // Where the Core's trust check accepts the plugins.
  std::string why;
  const std::string base = zt::TrustedTempBase(&why);
  CHECK(!base.empty(), "no directory for the installation: %s", why.c_str());
  std::string pattern = base + "/zent-fuzz.XXXXXX";
  CHECK(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary directory");
  g_installation = std::filesystem::canonical(pattern).string();
  const std::string plugins = g_installation + "/plugins";
  CHECK(mkdir(plugins.c_str(), 0755) == 0 && chmod(plugins.c_str(), 0755) == 0, "cannot make %s",
        plugins.c_str());
  for (const Model& model : g_models) {
    const std::string to = plugins + "/" + model.file;
    std::filesystem::copy_file(model.exportsData ? ZENT_FUZZ_PLUGIN : ZENT_FUZZ_PLUGIN_PARTIAL, to);
    CHECK(chmod(to.c_str(), 0755) == 0, "cannot set the mode of %s", to.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CHECK(wxInitialize(), "the wxWidgets base library did not initialise");
  delete wxLog::SetActiveTarget(new FuzzLog);
  SetPayloadFunctions({TrackedAllocate, TrackedRelease});
  g_mainThread = std::this_thread::get_id();
  g_watchdog = new Watchdog;
  MakeInstallation();
  std::atexit(Cleanup);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Started here rather than in LLVMFuzzerInitialize, so that the threads libFuzzer starts
  // after that are counted as there before.
  if (g_core == nullptr) StartCore();
  Input input = Decode(data, size);
  // A stop is honoured only now and then (see kStopSpacing), and as the first input of the
  // process, which is how a crash file is run again.
  input.stop = input.stop && (g_inputsRun == 0 || g_inputsSinceStart >= kStopSpacing);
  BeginInput(input);
  RunInput(input);
  ++g_inputsRun;
  g_messages += g_sentCount.load();
  if (!input.stop) ++g_inputsSinceStart;
  return 0;
}
