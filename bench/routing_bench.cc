// routing_bench: how fast the server routes messages, each figure beside baselines measured in
// the same run on the same machine.
//
// The real Core runs in this process over a temporary installation whose plugins directory
// holds the benchmark plugins (bench_plugins.h): a source that sends from a thread of its own
// through the core's callback, four sinks and a holder. Every baseline receives the same
// messages from the same source thread, through a function of the callback's type, and hands
// them to copies of the same sink plugin: only what carries a message from the one to the other
// differs. The baselines:
//   model    the least this design needs: one copy, a deque under a mutex, an auto-reset
//            condition-variable event, one record at a time, no reference table;
//   batch model  the same, but the receiving thread swaps the whole queue out under one lock
//            and delivers it without the lock;
//   copy     malloc, memcpy, the Write call and free on the sender's thread;
//   thread   a bare thread per call: copy, detached pthread_create, the Read call, free;
//   wake-up  a bare condition-variable wake-up of a thread that makes the Write call;
//   peer     ZeroMQ inproc PUB/SUB (XPUB that never drops, unbounded high-water marks, one SUB
//            per receiver, with a thread each or all served by one thread in zmq_poll).
//
// The machines this runs on are shared and their speed wanders, so nothing here is an absolute
// verdict: every pass runs every case once, server and baselines back to back (which goes first
// alternates), and what counts is the ratio within a pass; the table shows the ratio of the
// medians beside the median of the per-pass ratios with their least and greatest, and the
// machine's load before the passes (each waits, up to a bound, for it to fall) and the time
// stolen from it during them.
//
// Modes besides the normal run (see Usage): --start-stop N is the child process that times one
// start and stop with N plugins; --callgrind runs under callgrind and counts instructions.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <wx/init.h>
#include <wx/log.h>

#include "bench_plugins.h"
#include "core/core.h"
#include "core/plugin_record.h"
#include "routing/delivery.h"

#ifdef ZENT_BENCH_PEER
#include <zmq.h>
#endif
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define ZENT_BENCH_CALLGRIND 1
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;

#if defined(__i386__)
constexpr const char* kBuildLabel = "i386";
#else
constexpr const char* kBuildLabel = "native";
#endif

constexpr long kTimeoutMs = 120000;
constexpr uint32_t kSourceId = 800;
constexpr uint32_t kClass = 0x01;  // class bit 0: subscription mask 0
// Event bits of the codes: sink 1 subscribes to kToOne and kToFour, sinks 2 to 4 to kToFour,
// the holder to kToHolder.
constexpr uint32_t kToOne = 0x1;
constexpr uint32_t kToFour = 0x2;
constexpr uint32_t kToHolder = 0x4;
constexpr uint32_t kChannel = 77;
constexpr uint32_t kSmall = 64;
constexpr uint32_t kLarge = 256 * 1024;
constexpr uint32_t kFrame = 520 * 1024;
// The frames case: cameras, each sending compressed frames and one raw frame a second.
constexpr int kCameras = 16;
constexpr int kFramesPerSecond = 25;
constexpr uint32_t kCompressedFrame = 200 * 1024;  // a compressed 1080p frame
constexpr uint32_t kRawFrame = 3 * 1024 * 1024;    // a raw one

[[noreturn]] void Fail(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("routing_bench: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  // Threads of the core and the baselines may still be at work: no destructors.
  std::_Exit(1);
}

// ---------------------------------------------------------------------------------------------
// The installation and the plugins

// A temporary directory with the server's layout: plugins/ beside where the executable would
// be, and baseline/ for the sink copies the baselines load themselves. Directories 0755, files
// 0644: the server refuses plugins that group or others could change.
class Installation {
 public:
  Installation() {
    char pattern[] = "/tmp/zent-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fail("cannot create a temporary directory");
    m_dir = pattern;
    for (const char* sub : {"plugins", "baseline"}) {
      fs::create_directory(m_dir / sub);
      fs::permissions(m_dir / sub, fs::perms(0755));
    }
  }
  ~Installation() {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Copies the plugin file from into sub/name; returns the copy's path.
  std::string Add(const char* from, const char* sub, const std::string& name) {
    const fs::path to = m_dir / sub / name;
    std::error_code error;
    fs::copy_file(from, to, error);
    if (error) Fail("cannot copy %s: %s", from, error.message().c_str());
    fs::permissions(to, fs::perms(0644));
    return to.string();
  }
  // What the Core takes for its executable: the plugins directory is beside it.
  std::string Executable() const { return (m_dir / "zentserver").string(); }

 private:
  fs::path m_dir;
};

// The name that gives a sink its id and its mask (hexadecimal), see sink.c.
std::string SinkName(unsigned id, unsigned mask) {
  char name[64];
  std::snprintf(name, sizeof name, "sink-%u-%x.so", id, mask);
  return name;
}

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) Fail("a benchmark plugin lacks %s", name);
  return reinterpret_cast<Fn>(symbol);
}

// The functions of one loaded sink.
struct Sink {
  SinkCountFn count = nullptr;
  SinkWaitFn wait = nullptr;
  SinkArrivalsFn arrivals = nullptr;
  SinkHoldFn hold = nullptr;
  PluginEntryFn write = nullptr;
  PluginEntryFn read = nullptr;

  explicit Sink(void* handle)
      : count(Symbol<SinkCountFn>(handle, "SinkCount")),
        wait(Symbol<SinkWaitFn>(handle, "SinkWait")),
        arrivals(Symbol<SinkArrivalsFn>(handle, "SinkArrivals")),
        hold(Symbol<SinkHoldFn>(handle, "SinkHold")),
        write(Symbol<PluginEntryFn>(handle, "Write")),
        read(Symbol<PluginEntryFn>(handle, "Read")) {}
};

// The handle of an object the Core has loaded. The reference this lookup takes is dropped at
// once: the Core's own keeps the object loaded until its Stop.
void* LoadedByCore(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) Fail("the core did not load %s", path.c_str());
  dlclose(handle);
  return handle;
}

// Sends one burst from the source, then waits until each of sinks has taken calls more calls
// than before. Returns the seconds from the first send to the last call.
double Burst(SourceRunFn source, SourceJob job, const std::vector<const Sink*>& sinks, long calls) {
  std::vector<long> before;
  for (const Sink* sink : sinks) before.push_back(sink->count());
  const int64_t start = BenchNowNs();
  if (source(&job, kTimeoutMs) != 0) Fail("the source did not finish a burst in time");
  if (job.refused != 0) Fail("%ld of %ld messages were refused", job.refused, job.count);
  for (size_t i = 0; i < sinks.size(); ++i) {
    if (sinks[i]->wait(before[i] + calls, kTimeoutMs) != 0) {
      Fail("a sink took %ld of %ld calls in time", sinks[i]->count() - before[i], calls);
    }
  }
  return static_cast<double>(BenchNowNs() - start) / 1e9;
}

SourceJob Job(long count, uint32_t length, uint32_t code, uint32_t source = kSourceId) {
  SourceJob job;
  std::memset(&job, 0, sizeof job);
  job.count = count;
  job.length = length;
  job.source = source;
  job.flags = kClass;
  job.code = code;
  return job;
}

// ---------------------------------------------------------------------------------------------
// The baselines

// The Write and Read calls of the baselines, made as the Core makes them.
void CallWrite(PluginEntryFn write, const Message& message, const void* data) {
  WriteRequest request = MakeWriteDelivery(message);
  request.data = data;
  WriteReply reply = MakeWriteReply();
  write(&request, &reply);
}

void CallRead(PluginEntryFn read, uint32_t length, const void* data, uint32_t channel) {
  CallRequest request = MakeReadCall(length, data, channel);
  CallReply reply = MakeReadReply();
  read(&request.record.read, &reply.record.read);
}

// The source calls a baseline through a function of the callback's type; Via<T>::target is the
// object it forwards to, set before the burst (the job's hand-over to the source's thread
// publishes it).
template <typename T>
struct Via {
  static inline T* target = nullptr;
  static int Send(const Message* message, MessageReply* reply) {
    reply->result = target->Send(*message);
    return 0;
  }
};

template <typename T>
SourceJob Through(T* target, SourceJob job) {
  Via<T>::target = target;
  job.send = &Via<T>::Send;
  return job;
}

// An auto-reset event: Post wakes one Wait, or the next one.
class Event {
 public:
  void Post() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_set = true;
    }
    m_posted.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_posted.wait(guard, [this] { return m_set; });
    m_set = false;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_posted;
  bool m_set = false;
};

class Model {
 public:
  // batched: the receiving thread swaps the whole queue out under one lock and delivers what it
  // took without the lock; otherwise it takes one message at a time.
  explicit Model(std::vector<PluginEntryFn> writes, bool batched = false)
      : m_writes(std::move(writes)), m_batched(batched), m_thread([this] { Run(); }) {}
  ~Model() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_stop = true;
    }
    m_event.Post();
    m_thread.join();
  }

  int Send(const Message& message) {
    Message record = message;
    record.data = nullptr;
    if (message.data != nullptr && message.length != 0) {
      void* copy = std::malloc(message.length);
      if (copy == nullptr) return RESULT_NO_MEMORY;
      std::memcpy(copy, message.data, message.length);
      record.data = copy;
    }
    if (message.channel != 0) {  // one channel: wait until the message before is finished with
      std::unique_lock<std::mutex> gate(m_gateLock);
      m_gateFree.wait(gate, [this] { return !m_gateHeld; });
      m_gateHeld = true;
    }
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_queue.push_back(record);
    }
    m_event.Post();
    return RESULT_OK;
  }

 private:
  void Run() {
    std::deque<Message> taken;
    for (;;) {
      m_event.Wait();
      for (;;) {
        {
          std::lock_guard<std::mutex> guard(m_lock);
          if (m_queue.empty()) {
            if (m_stop) return;
            break;
          }
          if (m_batched) {
            taken.swap(m_queue);
          } else {
            taken.push_back(m_queue.front());
            m_queue.pop_front();
          }
        }
        for (const Message& record : taken) {
          for (PluginEntryFn write : m_writes) CallWrite(write, record, record.data);
          std::free(const_cast<void*>(record.data));
          if (record.channel != 0) {
            std::lock_guard<std::mutex> gate(m_gateLock);
            m_gateHeld = false;
            m_gateFree.notify_one();
          }
        }
        taken.clear();
      }
    }
  }

  const std::vector<PluginEntryFn> m_writes;
  const bool m_batched;
  Event m_event;
  std::mutex m_lock;
  std::deque<Message> m_queue;  // guarded by m_lock
  bool m_stop = false;          // guarded by m_lock
  std::mutex m_gateLock;
  std::condition_variable m_gateFree;
  bool m_gateHeld = false;  // guarded by m_gateLock
  std::thread m_thread;     // last: starts when everything above exists
};

struct CopyOnly {
  PluginEntryFn write;
  int Send(const Message& message) {
    void* copy = std::malloc(message.length);
    if (copy == nullptr) return RESULT_NO_MEMORY;
    std::memcpy(copy, message.data, message.length);
    CallWrite(write, message, copy);
    std::free(copy);
    return RESULT_OK;
  }
};

class ThreadPerCall {
 public:
  explicit ThreadPerCall(std::vector<PluginEntryFn> reads) : m_reads(std::move(reads)) {
    pthread_attr_init(&m_detached);
    pthread_attr_setdetachstate(&m_detached, PTHREAD_CREATE_DETACHED);
  }
  ~ThreadPerCall() { pthread_attr_destroy(&m_detached); }
  ThreadPerCall(const ThreadPerCall&) = delete;
  ThreadPerCall& operator=(const ThreadPerCall&) = delete;

  int Send(const Message& message) {
    for (PluginEntryFn read : m_reads) {
      void* copy = std::malloc(message.length);
      if (copy == nullptr) return RESULT_NO_MEMORY;
      std::memcpy(copy, message.data, message.length);
      auto* call = new Call{read, copy, message.length, message.channel};
      pthread_t thread;
      if (pthread_create(&thread, &m_detached, &ThreadPerCall::Run, call) != 0) {
        Fail("pthread_create failed");
      }
    }
    return RESULT_OK;
  }

 private:
  struct Call {
    PluginEntryFn read;
    void* data;
    uint32_t length;
    uint32_t channel;
  };
  static void* Run(void* argument) {
    auto* call = static_cast<Call*>(argument);
    CallRead(call->read, call->length, call->data, call->channel);
    std::free(call->data);
    delete call;
    return nullptr;
  }

  const std::vector<PluginEntryFn> m_reads;
  pthread_attr_t m_detached;
};

// Wakes a waiting thread for every message, which makes the Write call on the sender's own
// payload: no copy, no queue, only a count of the messages not yet taken.
class Wakeup {
 public:
  explicit Wakeup(PluginEntryFn write) : m_write(write), m_thread([this] { Run(); }) {}
  ~Wakeup() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_stop = true;
    }
    m_changed.notify_one();
    m_thread.join();
  }
  int Send(const Message& message) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_last = message;
      ++m_pending;
    }
    m_changed.notify_one();
    return RESULT_OK;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
      m_changed.wait(guard, [this] { return m_pending != 0 || m_stop; });
      if (m_stop) return;
      const Message message = m_last;
      --m_pending;
      guard.unlock();
      CallWrite(m_write, message, message.data);
      guard.lock();
    }
  }

  const PluginEntryFn m_write;
  std::mutex m_lock;
  std::condition_variable m_changed;
  Message m_last{};     // guarded by m_lock
  long m_pending = 0;   // guarded by m_lock
  bool m_stop = false;  // guarded by m_lock
  std::thread m_thread;
};

#ifdef ZENT_BENCH_PEER
// ZeroMQ inproc publish and subscribe: an XPUB that blocks instead of dropping, one SUB socket
// per sink, served by a thread each or (oneThread) all by one thread in zmq_poll, as the
// server's one event handler serves every plugin. The high-water marks are 0 (unbounded) on
// both sides, as the server's queue has no bound in messages (its bound in bytes is far beyond
// any burst here), so that neither side pays for flow control the other does not do. Small
// payloads go through zmq_send (which copies); large ones through zmq_msg_init_data after one
// malloc and memcpy, freed by ZeroMQ after the last receiver, as the server's single copy.
class Peer {
 public:
  Peer(const std::vector<PluginEntryFn>& writes, const std::string& endpoint, bool oneThread) {
    m_context = zmq_ctx_new();
    m_publisher = zmq_socket(m_context, ZMQ_XPUB);
    const int one = 1, zero = 0, tenSeconds = 10000;
    zmq_setsockopt(m_publisher, ZMQ_SNDHWM, &zero, sizeof zero);
    zmq_setsockopt(m_publisher, ZMQ_XPUB_NODROP, &one, sizeof one);
    zmq_setsockopt(m_publisher, ZMQ_XPUB_VERBOSE, &one, sizeof one);
    zmq_setsockopt(m_publisher, ZMQ_LINGER, &zero, sizeof zero);
    zmq_setsockopt(m_publisher, ZMQ_RCVTIMEO, &tenSeconds, sizeof tenSeconds);
    if (zmq_bind(m_publisher, endpoint.c_str()) != 0) Fail("zmq_bind: %s", zmq_strerror(errno));
    std::vector<void*> subscribers;
    for (size_t i = 0; i < writes.size(); ++i) {
      void* subscriber = zmq_socket(m_context, ZMQ_SUB);
      if (zmq_setsockopt(subscriber, ZMQ_RCVHWM, &zero, sizeof zero) != 0 ||
          zmq_connect(subscriber, endpoint.c_str()) != 0 ||
          zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0) != 0) {
        Fail("zmq subscriber: %s", zmq_strerror(errno));
      }
      subscribers.push_back(subscriber);
    }
    if (oneThread) {
      m_receivers.emplace_back([subscribers, writes] { Poll(subscribers, writes); });
    } else {
      for (size_t i = 0; i < writes.size(); ++i) {
        void* subscriber = subscribers[i];
        PluginEntryFn write = writes[i];
        m_receivers.emplace_back([subscriber, write] { Receive(subscriber, write); });
      }
    }
    // Until its subscription has arrived the publisher would send a subscriber nothing.
    for (size_t i = 0; i < writes.size(); ++i) {
      char subscription[8];
      if (zmq_recv(m_publisher, subscription, sizeof subscription, 0) < 0) {
        Fail("no subscription arrived at the publisher");
      }
    }
  }
  ~Peer() {
    zmq_send(m_publisher, "", 0, 0);  // the empty message ends the receivers
    for (std::thread& receiver : m_receivers) receiver.join();
    zmq_close(m_publisher);
    zmq_ctx_term(m_context);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int Send(const Message& message) {
    if (message.length < 4096) {
      return zmq_send(m_publisher, message.data, message.length, 0) < 0 ? RESULT_CHANNEL_REFUSED
                                                                        : RESULT_OK;
    }
    void* copy = std::malloc(message.length);
    if (copy == nullptr) return RESULT_NO_MEMORY;
    std::memcpy(copy, message.data, message.length);
    zmq_msg_t part;
    zmq_msg_init_data(
        &part, copy, message.length, [](void* data, void*) { std::free(data); }, nullptr);
    if (zmq_msg_send(&part, m_publisher, 0) < 0) {
      zmq_msg_close(&part);
      return RESULT_CHANNEL_REFUSED;
    }
    return RESULT_OK;
  }

 private:
  // Takes one message from subscriber (flags 0: waits for it; ZMQ_DONTWAIT: none may be there)
  // and hands it to write. Returns 1 when it did, 0 at the empty message that ends the run, -1
  // when nothing was there.
  static int TakeOne(void* subscriber, PluginEntryFn write, int flags) {
    static thread_local Message message;  // zeroed; only the length changes
    zmq_msg_t part;
    zmq_msg_init(&part);
    while (zmq_msg_recv(&part, subscriber, flags) < 0) {
      if (errno == EAGAIN && flags == ZMQ_DONTWAIT) {
        zmq_msg_close(&part);
        return -1;
      }
      if (errno != EINTR) Fail("zmq_msg_recv: %s", zmq_strerror(errno));
    }
    message.length = static_cast<uint32_t>(zmq_msg_size(&part));
    const bool end = message.length == 0;
    if (!end) CallWrite(write, message, zmq_msg_data(&part));
    zmq_msg_close(&part);
    return end ? 0 : 1;
  }

  static void Receive(void* subscriber, PluginEntryFn write) {
    while (TakeOne(subscriber, write, 0) != 0) {
    }
    zmq_close(subscriber);
  }

  // One thread for every subscriber: waits in zmq_poll, then takes what each ready socket holds.
  static void Poll(std::vector<void*> subscribers, std::vector<PluginEntryFn> writes) {
    std::vector<zmq_pollitem_t> items;
    for (void* subscriber : subscribers) items.push_back({subscriber, 0, ZMQ_POLLIN, 0});
    while (!items.empty()) {
      if (zmq_poll(items.data(), static_cast<int>(items.size()), -1) < 0) {
        if (errno == EINTR) continue;
        Fail("zmq_poll: %s", zmq_strerror(errno));
      }
      for (size_t i = 0; i < items.size();) {
        int taken = -1;
        if ((items[i].revents & ZMQ_POLLIN) != 0) {
          while ((taken = TakeOne(items[i].socket, writes[i], ZMQ_DONTWAIT)) == 1) {
          }
        }
        if (taken != 0) {
          ++i;
          continue;
        }
        zmq_close(items[i].socket);  // ended: polled no more
        items.erase(items.begin() + static_cast<long>(i));
        writes.erase(writes.begin() + static_cast<long>(i));
      }
    }
  }

  void* m_context;
  void* m_publisher;
  std::vector<std::thread> m_receivers;
};
#endif

// ---------------------------------------------------------------------------------------------
// Figures

// Every figure of a run by name, one value per pass.
using Series = std::map<std::string, std::vector<double>>;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// The sizes of one run.
struct Sizes {
  int passes;
  long small;      // 64-byte queued messages per burst
  long large;      // 256 KiB queued messages per burst
  long broadcast;  // broadcasts per burst
  long latency;    // messages of a latency series
  long gated;      // messages on a channel per burst
  long waiting;    // messages that wait behind the holder
  int plugins;     // the larger installation of the start and stop case (and half of it)
  int frames;      // seconds of the frames case (run once, after the passes)
};

constexpr Sizes kFull = {15, 40000, 400, 2000, 2000, 10000, 100000, 200, 20};
constexpr Sizes kQuick = {2, 2000, 20, 100, 200, 500, 5000, 20, 1};
constexpr Sizes kWarmUp = {1, 2000, 20, 100, 200, 500, 5000, 0, 0};

// The in-process part: the Core with its plugins, and the baselines with theirs.
class Bench {
 public:
  Bench() {
    const std::string source =
        m_install.Add(ZENT_BENCH_PLUGIN_DIR "/source.so", "plugins", "source.so");
    std::vector<std::string> paths;
    for (unsigned i = 1; i <= 5; ++i) {
      const unsigned mask = i == 5 ? kToHolder : i == 1 ? kToOne | kToFour : kToFour;
      paths.push_back(
          m_install.Add(ZENT_BENCH_PLUGIN_DIR "/sink.so", "plugins", SinkName(900 + i, mask)));
      const std::string copy =
          m_install.Add(ZENT_BENCH_PLUGIN_DIR "/sink.so", "baseline", SinkName(900 + i, mask));
      void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) Fail("dlopen %s: %s", copy.c_str(), dlerror());
      m_baselineSinks.emplace_back(handle);
    }
    m_core = std::make_unique<Core>(wxFileName(m_install.Executable()));
    m_core->Start();
    m_source = Symbol<SourceRunFn>(LoadedByCore(source), "SourceRun");
    for (const std::string& path : paths) m_coreSinks.emplace_back(LoadedByCore(path));
    // The gate case's channel is opened by a broadcast that no plugin subscribes to.
    SourceJob open = Job(1, 0, 0, 0);
    open.flags = 0;
    open.channel = kChannel;
    if (m_source(&open, kTimeoutMs) != 0 || open.refused != 0) Fail("cannot open the channel");

    std::vector<PluginEntryFn> writes, reads;
    for (int i = 0; i < 4; ++i) {
      writes.push_back(m_baselineSinks[i].write);
      reads.push_back(m_baselineSinks[i].read);
    }
    m_model1 = std::make_unique<Model>(std::vector<PluginEntryFn>{writes[0]});
    m_model4 = std::make_unique<Model>(writes);
    m_batch1 = std::make_unique<Model>(std::vector<PluginEntryFn>{writes[0]}, true);
    m_threads1 = std::make_unique<ThreadPerCall>(std::vector<PluginEntryFn>{reads[0]});
    m_threads4 = std::make_unique<ThreadPerCall>(reads);
    m_wakeup = std::make_unique<Wakeup>(writes[0]);
    m_copy.write = writes[0];
#ifdef ZENT_BENCH_PEER
    m_peer1 =
        std::make_unique<Peer>(std::vector<PluginEntryFn>{writes[0]}, "inproc://peer1", false);
    m_peer4 = std::make_unique<Peer>(writes, "inproc://peer4", false);
    m_peer4one = std::make_unique<Peer>(writes, "inproc://peer4one", true);
#endif
  }
  ~Bench() {
#ifdef ZENT_BENCH_PEER
    m_peer1.reset();
    m_peer4.reset();
    m_peer4one.reset();
#endif
    m_model1.reset();
    m_model4.reset();
    m_batch1.reset();
    m_wakeup.reset();
    m_core->Stop();
    m_core.reset();
    // The bare threads may still be on their way out of the sink copies: these stay loaded.
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // One pass: every case once; the figures go to series. odd alternates which goes first.
  void Pass(const Sizes& sizes, bool odd, Series& series);

  // Instructions per queued 64-byte message to one plugin, for the server and the peer: the
  // difference between a burst of 2n and one of n, counted by callgrind around each burst.
  // serverOnly: the server's alone (the count of the regression gate, scripts/check-instructions).
  void CountInstructions(long n, const std::string& dumps, bool serverOnly, Series& series);

 private:
  std::vector<const Sink*> CoreSinks(int n) const { return Pointers(m_coreSinks, n); }
  std::vector<const Sink*> BaselineSinks(int n) const { return Pointers(m_baselineSinks, n); }
  static std::vector<const Sink*> Pointers(const std::vector<Sink>& sinks, int n) {
    std::vector<const Sink*> result;
    for (int i = 0; i < n; ++i) result.push_back(&sinks[i]);
    return result;
  }

  // Sends job to sinks and records the messages a second, times scale, under name.
  void Rate(const std::string& name, const SourceJob& job, const std::vector<const Sink*>& sinks,
            double scale, Series& series) {
    const double seconds = Burst(m_source, job, sinks, job.count);
    series[name].push_back(static_cast<double>(job.count) * scale / seconds);
  }

  // Runs the measurements one after the other, the last first when odd.
  static void Interleave(bool odd, std::vector<std::function<void()>> runs) {
    if (odd) std::reverse(runs.begin(), runs.end());
    for (auto& run : runs) run();
  }

  void Queued(const Sizes& sizes, bool odd, Series& series);
  void Broadcast(const Sizes& sizes, bool odd, Series& series);
  void Latency(const Sizes& sizes, bool odd, Series& series);
  void Gated(const Sizes& sizes, bool odd, Series& series);
  void Waiting(const Sizes& sizes, Series& series);
  void WaitingOf(long count, uint32_t length, const std::string& name, Series& series);
  // Median and 99th percentile of one latency series through send, in microseconds, as the
  // sink's arrivals minus the source's send times.
  void LatencyOf(SourceJob job, const Sink& sink, const std::string& name, Series& series);

  Installation m_install;
  std::vector<Sink> m_baselineSinks;
  std::vector<Sink> m_coreSinks;
  SourceRunFn m_source = nullptr;
  std::unique_ptr<Core> m_core;
  std::unique_ptr<Model> m_model1, m_model4, m_batch1;
  std::unique_ptr<ThreadPerCall> m_threads1, m_threads4;
  std::unique_ptr<Wakeup> m_wakeup;
  CopyOnly m_copy{};
#ifdef ZENT_BENCH_PEER
  std::unique_ptr<Peer> m_peer1, m_peer4, m_peer4one;  // one thread per subscriber, or one
#endif
};

void Bench::Pass(const Sizes& sizes, bool odd, Series& series) {
  Queued(sizes, odd, series);
  Broadcast(sizes, odd, series);
  Latency(sizes, odd, series);
  Gated(sizes, odd, series);
  Waiting(sizes, series);
}

void Bench::Queued(const Sizes& sizes, bool odd, Series& series) {
  for (int subscribers : {1, 4}) {
    const uint32_t code = subscribers == 1 ? kToOne : kToFour;
    const auto core = CoreSinks(subscribers);
    const auto baseline = BaselineSinks(subscribers);
    Model* model = subscribers == 1 ? m_model1.get() : m_model4.get();
    const std::string small = "queued_64_" + std::to_string(subscribers);
    const std::string large = "queued_256k_" + std::to_string(subscribers);
    // Messages a second for 64 bytes, gigabytes a second for 256 KiB.
    auto rate = [&](const std::string& name, SourceJob job, const std::vector<const Sink*>& sinks) {
      Rate(name, job, sinks, job.length == kSmall ? 1.0 : job.length / 1e9, series);
    };
    const SourceJob smallJob = Job(sizes.small, kSmall, code);
    const SourceJob largeJob = Job(sizes.large, kLarge, code);
    std::vector<std::function<void()>> runs = {
        [&] { rate(small + ".server", smallJob, core); },
        [&] { rate(small + ".model", Through(model, smallJob), baseline); },
        [&] { rate(large + ".server", largeJob, core); },
    };
    if (subscribers == 1) {
      runs.push_back([&] { rate(large + ".copy", Through(&m_copy, largeJob), baseline); });
      runs.push_back(
          [&] { rate(small + ".batch_model", Through(m_batch1.get(), smallJob), baseline); });
    }
#ifdef ZENT_BENCH_PEER
    Peer* peer = subscribers == 1 ? m_peer1.get() : m_peer4.get();
    runs.push_back([&] { rate(small + ".peer", Through(peer, smallJob), baseline); });
    runs.push_back([&] { rate(large + ".peer", Through(peer, largeJob), baseline); });
    if (subscribers == 4) {
      Peer* one = m_peer4one.get();
      runs.push_back([&, one] { rate(small + ".peer_one", Through(one, smallJob), baseline); });
      runs.push_back([&, one] { rate(large + ".peer_one", Through(one, largeJob), baseline); });
    }
#endif
    Interleave(odd, runs);
  }
}

void Bench::Broadcast(const Sizes& sizes, bool odd, Series& series) {
  for (int subscribers : {1, 4}) {
    const std::string name = "broadcast_64_" + std::to_string(subscribers);
    ThreadPerCall* threads = subscribers == 1 ? m_threads1.get() : m_threads4.get();
    const SourceJob job = Job(sizes.broadcast, kSmall, subscribers == 1 ? kToOne : kToFour, 0);
    // Calls a second.
    Interleave(
        odd, {
                 [&] { Rate(name + ".server", job, CoreSinks(subscribers), subscribers, series); },
                 [&] {
                   Rate(name + ".thread", Through(threads, job), BaselineSinks(subscribers),
                        subscribers, series);
                 },
             });
  }
}

void Bench::LatencyOf(SourceJob job, const Sink& sink, const std::string& name, Series& series) {
  std::vector<int64_t> sent(job.count), arrived(job.count);
  job.gapNs = 50000;
  job.sendTimes = sent.data();
  sink.arrivals(arrived.data(), job.count);
  Burst(m_source, job, {&sink}, job.count);
  sink.arrivals(nullptr, 0);
  std::vector<double> micros;
  for (long i = 0; i < job.count; ++i) micros.push_back((arrived[i] - sent[i]) / 1e3);
  series[name + "_median"].push_back(Median(micros));
  series[name + "_p99"].push_back(Percentile(micros, 0.99));
}

void Bench::Latency(const Sizes& sizes, bool odd, Series& series) {
  const SourceJob job = Job(sizes.latency, kSmall, kToOne);
  std::vector<std::function<void()>> runs = {
      [&] { LatencyOf(job, m_coreSinks[0], "latency.server", series); },
      [&] {
        LatencyOf(Through(m_wakeup.get(), job), m_baselineSinks[0], "latency.wakeup", series);
      },
  };
#ifdef ZENT_BENCH_PEER
  runs.push_back(
      [&] { LatencyOf(Through(m_peer1.get(), job), m_baselineSinks[0], "latency.peer", series); });
#endif
  Interleave(odd, runs);
}

void Bench::Gated(const Sizes& sizes, bool odd, Series& series) {
  SourceJob job = Job(sizes.gated, kSmall, kToOne);
  job.channel = kChannel;
  Interleave(
      odd,
      {
          [&] { Rate("gate_64.server", job, CoreSinks(1), 1, series); },
          [&] { Rate("gate_64.model", Through(m_model1.get(), job), BaselineSinks(1), 1, series); },
      });
}

void Bench::Waiting(const Sizes& sizes, Series& series) {
  WaitingOf(sizes.waiting, kSmall, "memory", series);
  // A frame of 520 KiB: the payload's size class must not cost much more than the frame.
  WaitingOf(std::max(8L, sizes.waiting / 256), kFrame, "memory_520k", series);
  // A compressed 1080p frame, as cameras send them.
  WaitingOf(std::max(8L, sizes.waiting / 256), kCompressedFrame, "memory_frame", series);
}

void Bench::WaitingOf(long count, uint32_t length, const std::string& name, Series& series) {
  const Sink& holder = m_coreSinks[4];
  const long before = holder.count();
  holder.hold(1);
  SourceJob first = Job(1, kSmall, kToHolder);
  if (m_source(&first, kTimeoutMs) != 0 || first.refused != 0 ||
      holder.wait(before + 1, kTimeoutMs) != 0) {
    Fail("the holder did not take its first Write");
  }
  // The event handler is inside the holder's Write now: everything sent waits in the queue. The
  // buffers kept for reuse go first, so that every payload counts.
  FreeKeptPayloads();
  const auto heap = [] {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // in the heap and mapped on their own
  };
  const size_t heapBefore = heap();
  SourceJob waiting = Job(count, length, kToHolder);
  if (m_source(&waiting, kTimeoutMs) != 0 || waiting.refused != 0) Fail("queueing failed");
  const size_t heapAfter = heap();
  holder.hold(0);
  if (holder.wait(before + 1 + count, kTimeoutMs) != 0) {
    Fail("the waiting messages were not delivered");
  }
  // The holder counts a message before it looks at its hold: one message more, to another
  // plugin, is delivered only once the holder's last Write has returned, so that the next hold
  // cannot catch that Write.
  const Sink& other = m_coreSinks[0];
  const long others = other.count();
  SourceJob after = Job(1, kSmall, kToOne);
  if (m_source(&after, kTimeoutMs) != 0 || other.wait(others + 1, kTimeoutMs) != 0) {
    Fail("the holder's last Write did not return");
  }
  series[name + ".server"].push_back(static_cast<double>(heapAfter - heapBefore) /
                                     static_cast<double>(count));
  // What the record, the payload and 64 bytes of bookkeeping take.
  series[name + ".bound"].push_back(static_cast<double>(sizeof(Message) + length + 64));
}

#ifdef ZENT_BENCH_CALLGRIND
// What one callgrind dump counted: every instruction, and those of the C library's allocator
// (the own cost of the functions in its malloc sources).
struct Counted {
  double total = 0, allocator = 0;
};

// Reads a dump of callgrind's (its default format: one event, Ir, and line positions). A file
// name is given in full where its id first appears ("fl=(12) name") and by the id after.
Counted ReadDump(const std::string& path) {
  std::ifstream file(path);
  if (!file) Fail("cannot read %s", path.c_str());
  std::map<std::string, std::string> files;  // by "(id)"
  const auto resolve = [&files](const std::string& text) {
    const size_t space = text.find(' ');
    const std::string id = text.substr(0, space);
    if (space != std::string::npos) files[id] = text.substr(space + 1);
    return files[id];
  };
  Counted counted;
  std::string functionFile;  // of the functions that follow
  bool inAllocator = false, callCost = false;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    if (callCost) {  // the inclusive cost of the call above: counted where it was spent
      callCost = false;
      continue;
    }
    const size_t equals = line.find('=');
    const std::string key = equals != std::string::npos ? line.substr(0, equals) : "";
    const std::string rest = equals != std::string::npos ? line.substr(equals + 1) : "";
    if (key == "fl") {
      functionFile = resolve(rest);
    } else if (key == "fi" || key == "fe" || key == "cfi" || key == "cfl") {
      resolve(rest);
    } else if (key == "fn") {
      inAllocator = functionFile.find("/malloc/") != std::string::npos;
    } else if (key == "calls") {
      callCost = true;
    } else if (line.rfind("totals:", 0) == 0) {
      counted.total = std::stod(line.substr(line.find(':') + 1));
    } else if (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '+' ||
               line[0] == '-' || line[0] == '*') {
      std::istringstream fields(line);
      std::string position;
      double instructions = 0;
      if (fields >> position >> instructions && inAllocator) counted.allocator += instructions;
    }
  }
  return counted;
}

#endif  // ZENT_BENCH_CALLGRIND

void Bench::CountInstructions(long n, const std::string& dumps, bool serverOnly, Series& series) {
#ifdef ZENT_BENCH_CALLGRIND
  int dump = 0;
  auto count = [&](const std::string& name, SourceJob job, const std::vector<const Sink*>& sinks) {
    Burst(m_source, job, sinks, job.count);  // warms up what a first burst allocates
    Counted counted[2];
    for (int i = 0; i < 2; ++i) {
      job.count = n * (i + 1);
      CALLGRIND_ZERO_STATS;
      Burst(m_source, job, sinks, job.count);
      CALLGRIND_DUMP_STATS_AT(name.c_str());
      counted[i] = ReadDump(dumps + "." + std::to_string(++dump));
    }
    const auto perMessage = [&](double Counted::*figure) {
      return (counted[1].*figure - counted[0].*figure) / static_cast<double>(n);
    };
    series[name].push_back(perMessage(&Counted::total));
    // The allocator's share depends on how the sending and the delivering thread happen to meet
    // (where a freed block goes, when the heap is consolidated); the rest repeats from run to
    // run within a few instructions.
    series[name + "_outside_allocator"].push_back(perMessage(&Counted::total) -
                                                  perMessage(&Counted::allocator));
  };
  const SourceJob job = Job(n, kSmall, kToOne);
  count("instructions.server", job, CoreSinks(1));
#ifdef ZENT_BENCH_PEER
  if (!serverOnly) count("instructions.peer", Through(m_peer1.get(), job), BaselineSinks(1));
#else
  (void)serverOnly;
#endif
#else
  Fail("built without valgrind's callgrind.h: cannot count instructions");
#endif
}

// ---------------------------------------------------------------------------------------------
// Start and stop with many plugins: each in a child process of its own, so that the Core of the
// other cases stays where it is.

// The child: a Core over n sinks, timed from Start to its return and from Stop to its return;
// then, as the baseline, dlopen, dlsym and dlclose of the same files. Prints the three times in
// nanoseconds.
int StartStopChild(int n) {
  Installation install;
  std::vector<std::string> paths;
  for (int i = 0; i < n; ++i) {
    paths.push_back(install.Add(ZENT_BENCH_PLUGIN_DIR "/sink.so", "plugins",
                                SinkName(2000 + static_cast<unsigned>(i), 0)));
  }
  int64_t start = 0, stop = 0, bare = 0;
  {
    Core core{wxFileName(install.Executable())};
    int64_t t = BenchNowNs();
    core.Start();
    start = BenchNowNs() - t;
    if (static_cast<int>(core.PluginsSnapshot().size()) != n) Fail("not every plugin loaded");
    t = BenchNowNs();
    core.Stop();
    stop = BenchNowNs() - t;
  }
  const int64_t t = BenchNowNs();
  for (const std::string& path : paths) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr || dlsym(handle, "Load") == nullptr) Fail("dlopen %s", path.c_str());
    dlclose(handle);
  }
  bare = BenchNowNs() - t;
  std::printf("%lld %lld %lld\n", static_cast<long long>(start), static_cast<long long>(stop),
              static_cast<long long>(bare));
  return 0;
}

// Runs this program with the arguments of a child mode; returns what it printed, or fails
// (what) when it does not end well.
std::string RunChild(const std::vector<std::string>& arguments, const char* what) {
  int out[2];
  if (pipe(out) != 0) Fail("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<char*> argv = {const_cast<char*>(self.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    Fail("cannot start %s", self.c_str());
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t got = 0;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("%s failed", what);
  return text;
}

// Runs this program as the child for n plugins; the child's three times in milliseconds.
std::vector<double> StartStop(int n) {
  std::istringstream fields(RunChild({"--start-stop", std::to_string(n)}, "the start and stop"));
  double start = 0, stop = 0, bare = 0;
  if (!(fields >> start >> stop >> bare)) Fail("the start and stop with %d plugins failed", n);
  return {start / 1e6, stop / 1e6, bare / 1e6};
}

void StartStopPass(const Sizes& sizes, bool odd, Series& series) {
  std::vector<int> counts = {sizes.plugins / 2, sizes.plugins};
  if (odd) std::reverse(counts.begin(), counts.end());
  for (int n : counts) {
    const std::vector<double> times = StartStop(n);
    const std::string suffix = n == sizes.plugins ? "large" : "small";
    series["start." + suffix].push_back(times[0]);
    series["stop." + suffix].push_back(times[1]);
    series["dlopen." + suffix].push_back(times[2]);
  }
}

// ---------------------------------------------------------------------------------------------
// Frames as a recording box moves them, in a child process of its own (its CPU time is the
// server's and the plugins' alone): kCameras sources, each sending kFramesPerSecond compressed
// frames a second and one raw frame besides, on a channel of its own, to a writer plugin of its
// own, for a number of seconds. Beside it, the CPU time of one copy of the same bytes.

double CpuMs(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The child: prints "name value" lines of the frames.* figures.
int FramesChild(int seconds) {
  Installation install;
  std::vector<std::string> sourcePaths, sinkPaths;
  for (unsigned i = 0; i < kCameras; ++i) {
    sourcePaths.push_back(install.Add(ZENT_BENCH_PLUGIN_DIR "/source.so", "plugins",
                                      "source-" + std::to_string(1000 + i) + ".so"));
    sinkPaths.push_back(
        install.Add(ZENT_BENCH_PLUGIN_DIR "/sink.so", "plugins", SinkName(1100 + i, 1u << i)));
  }
  Core core{wxFileName(install.Executable())};
  core.Start();
  std::vector<SourceRunFn> sources;
  std::vector<Sink> sinks;
  for (unsigned i = 0; i < kCameras; ++i) {
    sources.push_back(Symbol<SourceRunFn>(LoadedByCore(sourcePaths[i]), "SourceRun"));
    sinks.emplace_back(LoadedByCore(sinkPaths[i]));
    // Each camera's channel is opened by a broadcast that no plugin subscribes to.
    SourceJob open = Job(1, 0, 0, 0);
    open.flags = 0;
    open.channel = 200 + i;
    if (sources[i](&open, kTimeoutMs) != 0 || open.refused != 0) Fail("cannot open a channel");
  }
  const long perSecond = kFramesPerSecond + 1;
  const long count = perSecond * seconds;
  std::vector<std::vector<int64_t>> sent(kCameras, std::vector<int64_t>(count)),
      arrived(kCameras, std::vector<int64_t>(count));
  std::vector<SourceJob> jobs;
  for (unsigned i = 0; i < kCameras; ++i) {
    SourceJob job = Job(count, kCompressedFrame, 1u << i, 1000 + i);
    job.channel = 200 + i;
    job.gapNs = 1000000000 / perSecond;
    job.bigEvery = perSecond;
    job.bigLength = kRawFrame;
    job.sendTimes = sent[i].data();
    jobs.push_back(job);
    sinks[i].arrivals(arrived[i].data(), count);
  }
  const double cpuBefore = CpuMs(RUSAGE_SELF);
  std::vector<std::thread> cameras;
  std::atomic<bool> late{false};
  for (unsigned i = 0; i < kCameras; ++i) {
    cameras.emplace_back([&, i] {
      if (sources[i](&jobs[i], kTimeoutMs) != 0) late = true;
    });
  }
  for (std::thread& camera : cameras) camera.join();
  if (late) Fail("a camera did not finish sending in time");
  long dropped = 0;
  for (unsigned i = 0; i < kCameras; ++i) {
    const long expected = count - jobs[i].refused;
    sinks[i].wait(expected, 10000);
    dropped += jobs[i].refused + (expected - std::min(expected, sinks[i].count()));
  }
  const double serverMs = CpuMs(RUSAGE_SELF) - cpuBefore;
  std::vector<double> latencies;
  for (unsigned i = 0; i < kCameras; ++i) {
    sinks[i].arrivals(nullptr, 0);
    if (jobs[i].refused != 0) continue;  // the arrivals no longer match the sends
    for (long n = 0; n < std::min(count, sinks[i].count()); ++n) {
      latencies.push_back((arrived[i][n] - sent[i][n]) / 1e6);
    }
  }
  core.Stop();

  // One copy of the same bytes on this thread: malloc, memcpy, the writer's look at every 64th
  // byte, free.
  std::vector<unsigned char> frame(kRawFrame, 1);
  const double copyBefore = CpuMs(RUSAGE_THREAD);
  unsigned sum = 0;
  for (long n = 0; n < count * kCameras; ++n) {
    const uint32_t length = (n % count + 1) % perSecond == 0 ? kRawFrame : kCompressedFrame;
    auto* copy = static_cast<unsigned char*>(std::malloc(length));
    if (copy == nullptr) Fail("no memory for a copy");
    std::memcpy(copy, frame.data(), length);
    for (uint32_t at = 0; at < length; at += 64) sum += copy[at];
    std::free(copy);
  }
  const double copyMs = CpuMs(RUSAGE_THREAD) - copyBefore;
  const double cameraSeconds = static_cast<double>(kCameras) * seconds;
  std::printf("frames.server_cpu %g\nframes.copy_cpu %g\nframes.dropped %ld\n",
              serverMs / cameraSeconds, copyMs / cameraSeconds + (sum == 1 ? 1e-9 : 0), dropped);
  if (!latencies.empty()) {
    std::printf("frames.latency_median %g\nframes.latency_max %g\n", Median(latencies),
                *std::max_element(latencies.begin(), latencies.end()));
  }
  return 0;
}

// Runs the frames case in a child for seconds; its figures go to series.
void FramesCase(int seconds, Series& series) {
  std::istringstream lines(RunChild({"--frames", std::to_string(seconds)}, "the frames case"));
  std::string name;
  double value = 0;
  while (lines >> name >> value) series[name].push_back(value);
  if (series.find("frames.server_cpu") == series.end()) Fail("the frames case printed nothing");
}

// ---------------------------------------------------------------------------------------------
// The table

enum class Unit { kRate, kBandwidth, kCalls, kMicros, kBytes, kMillis, kInstructions, kCount };

// One line of the table: a figure of the server over a baseline's, as the median of the
// per-pass ratios. higher: whether a higher ratio is better. json: one of the ratios that
// results.json carries.
struct Row {
  const char* key;
  const char* what;
  const char* server;
  const char* other;
  const char* otherName;
  Unit unit;
  bool higher;
  const char* target;
  bool json;
};

const Row kRows[] = {
    {"queued_64_1_vs_peer", "1 queued 64 B, 1 plugin", "queued_64_1.server", "queued_64_1.peer",
     "ZeroMQ", Unit::kRate, true, ">= 1.3", true},
    {"queued_64_1_vs_model", "1 queued 64 B, 1 plugin", "queued_64_1.server", "queued_64_1.model",
     "model", Unit::kRate, true, "", true},
    {"queued_64_1_vs_batch_model", "1 queued 64 B, 1 plugin", "queued_64_1.server",
     "queued_64_1.batch_model", "batch model", Unit::kRate, true, ">= 0.8", true},
    {"queued_64_4_vs_peer", "1 queued 64 B, 4 plugins", "queued_64_4.server", "queued_64_4.peer",
     "ZeroMQ", Unit::kRate, true, "", true},
    {"queued_64_4_vs_peer_one_thread", "1 queued 64 B, 4 plugins", "queued_64_4.server",
     "queued_64_4.peer_one", "ZeroMQ, 1 thread", Unit::kRate, true, ">= 2.5", true},
    {"queued_64_4_vs_model", "1 queued 64 B, 4 plugins", "queued_64_4.server", "queued_64_4.model",
     "model", Unit::kRate, true, "", false},
    {"queued_256k_1_vs_peer", "2 queued 256 KiB, 1 plugin", "queued_256k_1.server",
     "queued_256k_1.peer", "ZeroMQ", Unit::kBandwidth, true, ">= 1.0", true},
    {"queued_256k_1_vs_copy", "2 queued 256 KiB, 1 plugin", "queued_256k_1.server",
     "queued_256k_1.copy", "copy", Unit::kBandwidth, true, ">= 0.6", true},
    {"queued_256k_4_vs_peer", "2 queued 256 KiB, 4 plugins", "queued_256k_4.server",
     "queued_256k_4.peer", "ZeroMQ", Unit::kBandwidth, true, "", false},
    {"queued_256k_4_vs_peer_one_thread", "2 queued 256 KiB, 4 plugins", "queued_256k_4.server",
     "queued_256k_4.peer_one", "ZeroMQ, 1 thread", Unit::kBandwidth, true, "", false},
    {"broadcast_64_1_vs_thread", "3 broadcast 64 B, 1 plugin", "broadcast_64_1.server",
     "broadcast_64_1.thread", "thread", Unit::kCalls, true, ">= 0.9", true},
    {"broadcast_64_4_vs_thread", "3 broadcast 64 B, 4 plugins", "broadcast_64_4.server",
     "broadcast_64_4.thread", "thread", Unit::kCalls, true, "", false},
    {"latency_median_vs_peer", "4 latency, median", "latency.server_median", "latency.peer_median",
     "ZeroMQ", Unit::kMicros, false, "<= 1.0", true},
    {"latency_median_vs_wakeup", "4 latency, median", "latency.server_median",
     "latency.wakeup_median", "wake-up", Unit::kMicros, false, "<= 1.2", true},
    {"latency_p99_vs_peer", "4 latency, p99", "latency.server_p99", "latency.peer_p99", "ZeroMQ",
     Unit::kMicros, false, "", false},
    {"latency_p99_vs_wakeup", "4 latency, p99", "latency.server_p99", "latency.wakeup_p99",
     "wake-up", Unit::kMicros, false, "", false},
    {"gate_64_vs_model", "5 queued on a channel, 64 B", "gate_64.server", "gate_64.model", "model",
     Unit::kRate, true, "", false},
    {"bytes_per_waiting_message", "6 bytes per waiting message", "memory.server", "memory.bound",
     "rec+64+64", Unit::kBytes, false, "<= 1.0", false},
    {"bytes_per_waiting_520k", "6 bytes per waiting 520 KiB message", "memory_520k.server",
     "memory_520k.bound", "rec+520K+64", Unit::kBytes, false, "<= 1.125", false},
    {"bytes_per_waiting_frame", "6 bytes per waiting 200 KiB frame", "memory_frame.server",
     "memory_frame.bound", "rec+200K+64", Unit::kBytes, false, "<= 1.125", false},
    {"start_vs_dlopen", "7 start, {n} plugins", "start.large", "dlopen.large", "bare dlopen",
     Unit::kMillis, false, "", false},
    {"start_growth", "7 start, {n} plugins", "start.large", "start.small", "{h} plugins",
     Unit::kMillis, false, "~2 (linear)", false},
    {"stop_growth", "7 stop, {n} plugins", "stop.large", "stop.small", "{h} plugins", Unit::kMillis,
     false, "<= 2 (linear)", false},
    {"frames_cpu_vs_copy", "8 frames, CPU ms per camera-second", "frames.server_cpu",
     "frames.copy_cpu", "copy", Unit::kMillis, false, "", false},
    {"frames_latency_median", "8 frames, latency send to Write, median", "frames.latency_median",
     "-", "-", Unit::kMillis, false, "", false},
    {"frames_latency_max", "8 frames, latency send to Write, max", "frames.latency_max", "-", "-",
     Unit::kMillis, false, "", false},
    {"frames_dropped", "8 frames, dropped", "frames.dropped", "-", "-", Unit::kCount, false, "0",
     false},
    {"instructions_64_1_vs_peer", "callgrind instr./msg, 64 B, 1 plugin", "instructions.server",
     "instructions.peer", "ZeroMQ", Unit::kInstructions, false, "<= 0.6", true},
    {"instructions_64_1_outside_allocator", "callgrind instr./msg outside malloc, 64 B, 1 plugin",
     "instructions.server_outside_allocator", "instructions.peer_outside_allocator", "ZeroMQ",
     Unit::kInstructions, false, "", false},
};

std::string Figure(double value, Unit unit) {
  char text[32];
  switch (unit) {
    case Unit::kRate:
      std::snprintf(text, sizeof text, "%.2f M/s", value / 1e6);
      break;
    case Unit::kCalls:
      std::snprintf(text, sizeof text, "%.1f k/s", value / 1e3);
      break;
    case Unit::kBandwidth:
      std::snprintf(text, sizeof text, "%.2f GB/s", value);
      break;
    case Unit::kMicros:
      std::snprintf(text, sizeof text, "%.1f us", value);
      break;
    case Unit::kBytes:
      std::snprintf(text, sizeof text, "%.0f B", value);
      break;
    case Unit::kMillis:
      std::snprintf(text, sizeof text, "%.1f ms", value);
      break;
    case Unit::kInstructions:
    case Unit::kCount:
      std::snprintf(text, sizeof text, "%.0f", value);
      break;
  }
  return text;
}

// A row's outcome in one build: the server's figure, and the baseline's with the ratios where
// the build measured it.
struct Outcome {
  bool present = false;
  bool compared = false;
  double server = 0, other = 0;            // medians of the figures
  double median = 0, least = 0, most = 0;  // of the per-pass ratios
};

Outcome Evaluate(const Row& row, const Series& series) {
  Outcome outcome;
  const auto server = series.find(row.server);
  const auto other = series.find(row.other);
  if (server == series.end()) return outcome;
  outcome.present = true;
  outcome.server = Median(server->second);
  if (other == series.end()) return outcome;
  std::vector<double> ratios;
  for (size_t i = 0; i < std::min(server->second.size(), other->second.size()); ++i) {
    ratios.push_back(server->second[i] / other->second[i]);
  }
  if (ratios.empty()) return outcome;
  outcome.compared = true;
  outcome.other = Median(other->second);
  outcome.median = Median(ratios);
  outcome.least = *std::min_element(ratios.begin(), ratios.end());
  outcome.most = *std::max_element(ratios.begin(), ratios.end());
  return outcome;
}

// The outcomes of a build as saved by --save: "key compared server other median least most" a
// line.
std::map<std::string, Outcome> LoadOutcomes(const std::string& path) {
  std::map<std::string, Outcome> outcomes;
  std::ifstream file(path);
  if (!file) Fail("cannot read %s", path.c_str());
  std::string key;
  Outcome outcome;
  while (file >> key >> outcome.compared >> outcome.server >> outcome.other >> outcome.median >>
         outcome.least >> outcome.most) {
    outcome.present = true;
    outcomes[key] = outcome;
  }
  return outcomes;
}

// Series saved by another run of this program ("name value value ..." a line), such as the
// instruction counts made under callgrind.
void LoadSeries(const std::string& path, Series& series) {
  std::ifstream file(path);
  if (!file) Fail("cannot read %s", path.c_str());
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name;
    double value = 0;
    if (!(fields >> name)) continue;
    while (fields >> value) series[name].push_back(value);
  }
}

void SaveSeries(const std::string& path, const Series& series) {
  std::ofstream file(path);
  for (const auto& [name, values] : series) {
    file << name;
    for (double value : values) file << ' ' << value;
    file << '\n';
  }
  if (!file) Fail("cannot write %s", path.c_str());
}

// The ratio of the two columns' medians.
std::string MediansRatioText(const Outcome& outcome) {
  if (!outcome.compared || outcome.other == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", outcome.server / outcome.other);
  return text;
}

// The median of the per-pass ratios, with the least and the greatest: the spread.
std::string RatioText(const Outcome& outcome) {
  if (!outcome.compared) return "-";
  char text[64];
  if (outcome.least == outcome.most) {
    std::snprintf(text, sizeof text, "%.2f", outcome.median);
  } else {
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", outcome.median, outcome.least,
                  outcome.most);
  }
  return text;
}

// A row's text with {n} replaced by the plugins of the start and stop case, {h} by half of them.
std::string Expand(std::string text, int plugins) {
  for (const auto& [token, value] : {std::pair{"{n}", plugins}, std::pair{"{h}", plugins / 2}}) {
    for (size_t at; (at = text.find(token)) != std::string::npos;) {
      text.replace(at, 3, std::to_string(value));
    }
  }
  return text;
}

void PrintTable(const std::map<std::string, Outcome>& mine, const std::string& besideLabel,
                const std::map<std::string, Outcome>* beside, int plugins, FILE* out) {
  const bool two = beside != nullptr;
  const auto header = [out](const char* label) {
    std::fprintf(out,
                 " %s: server | %s: baseline | %s: ratio of medians | %s: median ratio "
                 "(least-greatest) |",
                 label, label, label, label);
  };
  std::fprintf(out, "| case | baseline | better |");
  header(kBuildLabel);
  if (two) header(besideLabel.c_str());
  std::fprintf(out, " target |\n|---|---|---|---:|---:|---:|---|%s---|\n",
               two ? "---:|---:|---:|---|" : "");
  for (const Row& row : kRows) {
    const auto a = mine.find(row.key);
    const Outcome none;
    const Outcome& own = a != mine.end() ? a->second : none;
    const Outcome* other = nullptr;
    if (two) {
      const auto b = beside->find(row.key);
      other = b != beside->end() ? &b->second : &none;
    }
    if (!own.present && (other == nullptr || !other->present)) continue;
    const std::string what = Expand(row.what, plugins);
    const std::string otherName = Expand(row.otherName, plugins);
    auto cells = [&](const Outcome& outcome) {
      if (!outcome.present) return std::string("- | - | - | - |");
      return Figure(outcome.server, row.unit) + " | " +
             (outcome.compared ? Figure(outcome.other, row.unit) : "-") + " | " +
             MediansRatioText(outcome) + " | " + RatioText(outcome) + " |";
    };
    std::fprintf(out, "| %s | %s | %s | %s", what.c_str(), otherName.c_str(),
                 row.higher ? "higher" : "lower", cells(own).c_str());
    if (two) std::fprintf(out, " %s", cells(*other).c_str());
    std::fprintf(out, " %s |\n", row.target);
  }
}

// The machine while the passes run: the load average before each pass, after waiting (up to
// a bound) for it to fall under a limit, and the share of the CPU time that the hypervisor
// stole from this virtual machine during each pass.
class Machine {
 public:
  Machine(double loadLimit, int waitSeconds) : m_limit(loadLimit), m_wait(waitSeconds) {}

  // Before a pass: waits until the 1-minute load average is under the limit, at most the
  // bound's seconds, and records it.
  void BeforePass(int pass) {
    double load = Load();
    const int64_t start = BenchNowNs();
    if (load >= m_limit && m_wait > 0) {
      std::fprintf(stderr,
                   "routing_bench: load %.2f, waiting up to %d s for it to fall under %.1f\n", load,
                   m_wait, m_limit);
    }
    while (load >= m_limit && BenchNowNs() - start < int64_t{m_wait} * 1000000000) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      load = Load();
    }
    if (load >= m_limit) {
      ++m_loaded;
      std::fprintf(stderr, "routing_bench: pass %d starts at load %.2f (never under %.1f)\n", pass,
                   load, m_limit);
    }
    m_loads.push_back(load);
    m_cpu = Cpu();
  }
  void AfterPass() {
    const Times now = Cpu();
    const double total = static_cast<double>(now.total - m_cpu.total);
    if (total > 0) m_steals.push_back(100.0 * static_cast<double>(now.steal - m_cpu.steal) / total);
  }

  // What the table's reader needs to know of the machine, one sentence.
  std::string Text() const {
    if (m_loads.empty()) return "";
    char text[512];
    std::snprintf(text, sizeof text,
                  "Load average (1 min) before the passes: median %.2f (%.2f-%.2f); %d of %zu "
                  "passes started at %.1f or more after waiting %d s for it to fall. Steal: "
                  "median %.1f %% (%.1f-%.1f %%) of the CPU time during a pass.",
                  Median(m_loads), Least(m_loads), Most(m_loads), m_loaded, m_loads.size(), m_limit,
                  m_wait, Median(m_steals), Least(m_steals), Most(m_steals));
    return text;
  }
  void Json(std::ostream& file) const {
    file << ",\n  \"machine\": {\"load_median\": " << Median(m_loads)
         << ", \"load_max\": " << Most(m_loads) << ", \"load_limit\": " << m_limit
         << ", \"passes\": " << m_loads.size() << ", \"passes_over_load_limit\": " << m_loaded
         << ", \"steal_percent_median\": " << Median(m_steals)
         << ", \"steal_percent_max\": " << Most(m_steals) << "}";
  }

 private:
  struct Times {
    uint64_t total = 0, steal = 0;
  };
  static double Least(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
  }
  static double Most(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
  }
  static double Load() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
  }
  // The first line of /proc/stat: user nice system idle iowait irq softirq steal, in ticks.
  static Times Cpu() {
    std::ifstream file("/proc/stat");
    std::string cpu;
    Times times;
    file >> cpu;
    for (int i = 0; i < 8; ++i) {
      uint64_t ticks = 0;
      if (!(file >> ticks)) break;
      times.total += ticks;
      if (i == 7) times.steal = ticks;
    }
    return times;
  }

  const double m_limit;
  const int m_wait;
  std::vector<double> m_loads, m_steals;
  int m_loaded = 0;
  Times m_cpu;
};

void WriteJson(const std::string& path, const std::map<std::string, Outcome>& outcomes,
               const Machine& machine) {
  std::ofstream file(path);
  file << "{\n  \"ratios\": {";
  const char* separator = "\n";
  for (const Row& row : kRows) {
    const auto it = outcomes.find(row.key);
    if (!row.json || it == outcomes.end() || !it->second.compared) continue;
    file << separator << "    \"" << row.key << "\": " << it->second.median;
    separator = ",\n";
    // Under the name it had before the one above.
    if (std::strcmp(row.key, "instructions_64_1_vs_peer") == 0) {
      file << separator << "    \"instructions_vs_peer\": " << it->second.median;
    }
  }
  file << "\n  },\n  \"ratios_of_medians\": {";
  separator = "\n";
  for (const Row& row : kRows) {
    const auto it = outcomes.find(row.key);
    if (!row.json || it == outcomes.end() || !it->second.compared || it->second.other == 0) {
      continue;
    }
    file << separator << "    \"" << row.key << "\": " << it->second.server / it->second.other;
    separator = ",\n";
  }
  file << "\n  }";
  machine.Json(file);
  // The frames case: CPU time per camera-second (ms), bytes per waiting frame, frames dropped,
  // the longest time from send to Write (ms).
  const auto figure = [&outcomes](const char* key) {
    const auto it = outcomes.find(key);
    return it != outcomes.end() ? it->second.server : -1.0;
  };
  if (outcomes.count("frames_cpu_vs_copy") != 0) {
    file << ",\n  \"frames\": {\"cpu_ms_per_camera_second\": " << figure("frames_cpu_vs_copy")
         << ", \"copy_cpu_ms_per_camera_second\": " << outcomes.at("frames_cpu_vs_copy").other
         << ", \"bytes_per_waiting_frame\": " << figure("bytes_per_waiting_frame")
         << ", \"dropped\": " << figure("frames_dropped")
         << ", \"latency_median_ms\": " << figure("frames_latency_median")
         << ", \"latency_max_ms\": " << figure("frames_latency_max") << "}";
  }
  for (const char* key : {"bytes_per_waiting_message", "bytes_per_waiting_520k"}) {
    if (const auto it = outcomes.find(key); it != outcomes.end()) {
      file << ",\n  \"" << key << "\": " << it->second.server;
    }
  }
  file << "\n}\n";
  if (!file) Fail("cannot write %s", path.c_str());
}

void Usage() {
  std::fputs(
      "usage: routing_bench [--quick] [--passes N] [--series FILE] [--save FILE]\n"
      "                     [--beside FILE --beside-label NAME] [--json FILE]\n"
      "                     [--load-limit L] [--load-wait S]\n"
      "       routing_bench --callgrind DUMPS [--server-only] --save FILE   (under valgrind\n"
      "                     --tool=callgrind --callgrind-out-file=DUMPS)\n"
      "  --quick         a run of a few seconds, to see that everything works\n"
      "  --series FILE   add figures saved by another run (the instruction counts)\n"
      "  --save FILE     save the outcomes (or, with --callgrind, the counts) to FILE\n"
      "  --beside FILE   print the outcomes of another build, saved by --save, beside these\n"
      "  --json FILE     write the ratios and the bytes per waiting message as JSON\n"
      "  --load-limit L  before each pass wait for the 1-minute load average to fall under L\n"
      "                  (default 1.5)\n"
      "  --load-wait S   for at most S seconds (default 60; 0 with --quick)\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int passes = 0;
  std::string seriesFile, saveFile, besideFile, besideLabel = "other", jsonFile, callgrind;
  int startStop = 0, frames = 0;
  bool serverOnly = false;
  double loadLimit = 1.5;
  int loadWait = -1;  // seconds; the default below
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--passes" && hasValue) {
      passes = std::atoi(argv[++i]);
    } else if (arg == "--series" && hasValue) {
      seriesFile = argv[++i];
    } else if (arg == "--save" && hasValue) {
      saveFile = argv[++i];
    } else if (arg == "--beside" && hasValue) {
      besideFile = argv[++i];
    } else if (arg == "--beside-label" && hasValue) {
      besideLabel = argv[++i];
    } else if (arg == "--json" && hasValue) {
      jsonFile = argv[++i];
    } else if (arg == "--callgrind" && hasValue) {
      callgrind = argv[++i];
    } else if (arg == "--server-only") {
      serverOnly = true;
    } else if (arg == "--load-limit" && hasValue) {
      loadLimit = std::atof(argv[++i]);
    } else if (arg == "--load-wait" && hasValue) {
      loadWait = std::atoi(argv[++i]);
    } else if (arg == "--start-stop" && hasValue) {
      startStop = std::atoi(argv[++i]);
    } else if (arg == "--frames" && hasValue) {
      frames = std::atoi(argv[++i]);
    } else {
      Usage();
      return 2;
    }
  }

  wxInitializer library;
  if (!library.IsOk()) Fail("cannot initialise wxWidgets");
  wxLog::EnableLogging(false);  // the loader's messages would only disturb the timings
  if (startStop > 0) return StartStopChild(startStop);
  if (frames > 0) return FramesChild(frames);

  Series series;
  if (!callgrind.empty()) {
    {
      Bench bench;
      bench.CountInstructions(quick ? 200 : 2000, callgrind, serverOnly, series);
    }
    if (!saveFile.empty()) SaveSeries(saveFile, series);
    return 0;
  }

  Sizes sizes = quick ? kQuick : kFull;
  Machine machine(loadLimit, loadWait >= 0 ? loadWait : quick ? 0 : 60);
  if (passes > 0) sizes.passes = passes;
  if (!seriesFile.empty()) LoadSeries(seriesFile, series);
  {
    Bench bench;
    Series warmUp;
    bench.Pass(kWarmUp, false, warmUp);
    for (int pass = 0; pass < sizes.passes; ++pass) {
      machine.BeforePass(pass + 1);
      std::fprintf(stderr, "routing_bench (%s): pass %d of %d\n", kBuildLabel, pass + 1,
                   sizes.passes);
      bench.Pass(sizes, pass % 2 == 1, series);
      StartStopPass(sizes, pass % 2 == 1, series);
      machine.AfterPass();
    }
    std::fprintf(stderr, "routing_bench (%s): frames for %d s\n", kBuildLabel, sizes.frames);
    FramesCase(sizes.frames, series);
  }

  std::map<std::string, Outcome> outcomes;
  for (const Row& row : kRows) {
    const Outcome outcome = Evaluate(row, series);
    if (outcome.present) outcomes[row.key] = outcome;
  }
  if (!saveFile.empty()) {
    std::ofstream file(saveFile);
    for (const auto& [key, o] : outcomes) {
      file << key << ' ' << o.compared << ' ' << o.server << ' ' << o.other << ' ' << o.median
           << ' ' << o.least << ' ' << o.most << '\n';
    }
    if (!file) Fail("cannot write %s", saveFile.c_str());
  }
  std::map<std::string, Outcome> beside;
  if (!besideFile.empty()) beside = LoadOutcomes(besideFile);
  PrintTable(outcomes, besideLabel, besideFile.empty() ? nullptr : &beside, sizes.plugins, stdout);
  std::printf(
      "\nZeroMQ: high-water marks 0 (unbounded) on the publisher and every subscriber, as the "
      "server's queue (whose byte bound no burst here comes near); \"ZeroMQ\": a receiving thread "
      "per plugin; \"ZeroMQ, 1 thread\": one thread serves every subscriber through zmq_poll, as "
      "the server's one event handler.\n%s (%s build)\n",
      machine.Text().c_str(), kBuildLabel);
  if (!jsonFile.empty()) WriteJson(jsonFile, outcomes, machine);
  return 0;
}
