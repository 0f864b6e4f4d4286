// Speed and memory of the two message paths, each against a baseline measured in the same run,
// so that the printed ratios mean the same on any machine:
//  - queued delivery through the Core (payload copy, queue, wake-up of the event handler, one
//    Write per subscriber on the shared buffer, release) against the least any hand-off to
//    another thread must do: copy the payload into a new buffer, pass it through a mutex and
//    condition-variable queue to a worker thread, which reads it and frees it;
//  - broadcast (one Read call thread per subscriber, each with a private copy) against one
//    detached thread per subscriber that reads its own copy.
// Counters: nanoseconds per message for each, their ratio, and the resident memory the Core
// gained over the whole run per thousand messages (a leak shows as steady growth).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <wx/init.h>
#include <wx/log.h>

#include "core/core.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A started Core over a temporary installation with `subscribers` copies of the sink plugin.
class BenchCore {
 public:
  explicit BenchCore(int subscribers) {
    char pattern[] = "/tmp/zent-bench.XXXXXX";
    dir_ = mkdtemp(pattern);
    // Modes set explicitly: the server refuses plugins that group or others may write, which a
    // umask of 002 would give them.
    constexpr fs::perms kMode = fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec;
    fs::create_directory(dir_ / "plugins");
    fs::permissions(dir_ / "plugins", kMode);
    for (int i = 0; i < subscribers; ++i) {
      const fs::path plugin = dir_ / "plugins" / ("sink" + std::to_string(i) + ".so");
      fs::copy_file(ZENT_BENCH_SINK, plugin);
      fs::permissions(plugin, kMode);
      sinks_.push_back(plugin.string());
    }
    core_ = std::make_unique<Core>(wxFileName((dir_ / "zentserver").string()));
    core_->Start();
    for (const std::string& path : sinks_) {
      void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
      if (handle == nullptr) {
        std::fprintf(stderr, "the core did not load %s\n", path.c_str());
        std::exit(1);
      }
      counters_.push_back(reinterpret_cast<long (*)()>(dlsym(handle, "SinkCount")));
      dlclose(handle);  // drops only the reference this lookup took
    }
  }
  ~BenchCore() {
    core_->Stop();
    core_.reset();
    fs::remove_all(dir_);
  }
  // Deliveries counted by every sink together.
  long Delivered() const {
    long total = 0;
    for (auto count : counters_) total += count();
    return total;
  }
  void WaitFor(long total) const {
    while (Delivered() < total) std::this_thread::yield();
  }

 private:
  fs::path dir_;
  std::vector<std::string> sinks_;
  std::vector<long (*)()> counters_;
  std::unique_ptr<Core> core_;
};

void Send(uint32_t source, const std::vector<char>& payload, uint32_t flags) {
  Message message;
  std::memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.source = source;
  message.flags = flags;
  message.data = payload.data();
  message.length = static_cast<uint32_t>(payload.size());
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
  CoreCallback(&message, &reply);
}

// The baseline hand-off: a worker thread that reads and frees what it is given.
class HandOff {
 public:
  HandOff() : worker_([this] { Run(); }) {}
  ~HandOff() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    worker_.join();
  }
  void Push(const std::vector<char>& payload) {
    char* copy = static_cast<char*>(std::malloc(payload.size()));
    std::memcpy(copy, payload.data(), payload.size());
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back({copy, payload.size()});
    }
    cv_.notify_one();
  }
  long done() const { return done_.load(); }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto [data, size] = queue_.front();
      queue_.pop_front();
      lock.unlock();
      unsigned sum = 0;
      for (size_t i = 0; i < size; i += 64) sum += static_cast<unsigned char>(data[i]);
      benchmark::DoNotOptimize(sum);
      std::free(data);
      ++done_;
      lock.lock();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<char*, size_t>> queue_;
  bool stop_ = false;
  std::atomic<long> done_{0};
  std::thread worker_;
};

constexpr int kBatch = 64;

void BM_QueuedDelivery(benchmark::State& state) {
  const int subscribers = static_cast<int>(state.range(1));
  const std::vector<char> payload(static_cast<size_t>(state.range(0)), 'p');
  BenchCore core(subscribers);
  HandOff baseline;
  const long residentBefore = ResidentKb();
  long sent = 0;
  double coreNs = 0, baselineNs = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) Send(7, payload, 0x01);
    sent += kBatch;
    core.WaitFor(sent * subscribers);
    coreNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();

    start = Clock::now();
    const long before = baseline.done();
    for (int i = 0; i < kBatch * subscribers; ++i) baseline.Push(payload);
    while (baseline.done() < before + kBatch * subscribers) std::this_thread::yield();
    baselineNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  }
  state.counters["core_ns_per_msg"] = coreNs / static_cast<double>(sent);
  state.counters["baseline_ns_per_msg"] = baselineNs / static_cast<double>(sent);
  state.counters["ratio"] = coreNs / baselineNs;
  state.counters["rss_kb_per_1000_msgs"] =
      1000.0 * static_cast<double>(ResidentKb() - residentBefore) / static_cast<double>(sent);
  state.SetItemsProcessed(sent);
}
BENCHMARK(BM_QueuedDelivery)->Args({256, 1})->Args({4096, 3})->Args({115200, 3})->UseRealTime();

void BM_Broadcast(benchmark::State& state) {
  const int subscribers = static_cast<int>(state.range(1));
  const std::vector<char> payload(static_cast<size_t>(state.range(0)), 'b');
  BenchCore core(subscribers);
  const long residentBefore = ResidentKb();
  std::atomic<long> baselineDone{0};
  long sent = 0;
  double coreNs = 0, baselineNs = 0;
  const long started = core.Delivered();  // the scheduler's start Reads
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) Send(0, payload, 0x01);
    sent += kBatch;
    core.WaitFor(started + sent * subscribers);
    coreNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();

    start = Clock::now();
    const long before = baselineDone.load();
    for (int i = 0; i < kBatch * subscribers; ++i) {
      char* copy = static_cast<char*>(std::malloc(payload.size()));
      std::memcpy(copy, payload.data(), payload.size());
      std::thread([copy, &payload, &baselineDone] {
        unsigned sum = 0;
        for (size_t b = 0; b < payload.size(); b += 64) sum += static_cast<unsigned char>(copy[b]);
        benchmark::DoNotOptimize(sum);
        std::free(copy);
        ++baselineDone;
      }).detach();
    }
    while (baselineDone.load() < before + kBatch * subscribers) std::this_thread::yield();
    baselineNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  }
  state.counters["core_ns_per_msg"] = coreNs / static_cast<double>(sent);
  state.counters["baseline_ns_per_msg"] = baselineNs / static_cast<double>(sent);
  state.counters["ratio"] = coreNs / baselineNs;
  state.counters["rss_kb_per_1000_msgs"] =
      1000.0 * static_cast<double>(ResidentKb() - residentBefore) / static_cast<double>(sent);
  state.SetItemsProcessed(sent);
}
BENCHMARK(BM_Broadcast)->Args({256, 1})->Args({4096, 3})->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  wxInitializer library;
  if (!library.IsOk()) return 1;
  wxLog::EnableLogging(false);  // the loader's messages would only disturb the timings
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
