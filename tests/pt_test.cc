// The runtime layer: threads, semaphores, trigger, owner lock, layer string and fatal errors.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "pt/fatal.h"
#include "pt/owner_lock.h"
#include "pt/string.h"
#include "pt/sync.h"
#include "pt/thread.h"
#include "support/test_support.h"

// The wall clock as the code under test reads it, shifted by g_wallClockShift seconds. With a
// shift, a timed wait that measured its limit on the wall clock would last the shift longer.
static std::atomic<long> g_wallClockShift{0};

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) {
  long rc = syscall(SYS_clock_gettime, clock, ts);
  if (rc == 0 && clock == CLOCK_REALTIME) ts->tv_sec += g_wallClockShift.load();
  return static_cast<int>(rc);
}

// The threads handed to pthread_detach, in order: a thread that nobody will join must be, or
// its descriptor and stack are never released.
static std::mutex g_detachedLock;
static std::vector<pthread_t> g_detached;

extern "C" int pthread_detach(pthread_t thread) {
  using Detach = int (*)(pthread_t);
  static const auto next = reinterpret_cast<Detach>(dlsym(RTLD_NEXT, "pthread_detach"));
  {
    std::lock_guard<std::mutex> lock(g_detachedLock);
    g_detached.push_back(thread);
  }
  return next(thread);
}

static size_t TimesDetached(pthread_t thread) {
  std::lock_guard<std::mutex> lock(g_detachedLock);
  size_t times = 0;
  for (pthread_t detached : g_detached) times += pthread_equal(detached, thread) ? 1 : 0;
  return times;
}

extern "C" int gettimeofday(struct timeval* tv, void* tz) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A timed wait that must time out: it must return false, and not before its limit.
template <typename Wait>
void ExpectTimesOut(Wait wait, int limitMs) {
  const auto begin = Clock::now();
  EXPECT_FALSE(wait()) << "a " << limitMs << " ms wait without a post returned true";
  const auto waited = Clock::now() - begin;
  EXPECT_GE(waited, std::chrono::milliseconds(limitMs))
      << "a " << limitMs << " ms wait timed out after "
      << std::chrono::duration_cast<std::chrono::microseconds>(waited).count() << " us";
}

// A joinable thread whose body is a function of the thread itself.
class FnThread : public pt::thread {
 public:
  explicit FnThread(std::function<void(FnThread*)> body, std::function<void()> onCleanup = {})
      : pt::thread(false), body_(std::move(body)), onCleanup_(std::move(onCleanup)) {}
  ~FnThread() override { waitfor(); }
  using pt::thread::relax;

 protected:
  void execute() override { body_(this); }
  void cleanup() override {
    if (onCleanup_) onCleanup_();
  }

 private:
  std::function<void(FnThread*)> body_;
  std::function<void()> onCleanup_;
};

bool WaitFinished(const pt::thread& t) {
  return zt::WaitUntil([&] { return t.is_finished(); });
}

TEST(ThreadTest, RunsBodyThenCleanupOnceAndReportsFinished) {
  std::atomic<int> runs{0};
  std::atomic<bool> finishedSeenInCleanup{true};
  FnThread* self = nullptr;
  FnThread t([&](FnThread*) { ++runs; }, [&] { finishedSeenInCleanup = self->is_finished(); });
  self = &t;
  EXPECT_FALSE(t.is_finished());
  t.start();
  t.start();  // a second start creates no second thread
  ASSERT_TRUE(WaitFinished(t));
  t.waitfor();
  t.waitfor();  // a second join returns at once
  EXPECT_EQ(runs.load(), 1);
  EXPECT_FALSE(finishedSeenInCleanup.load()) << "finished must be set after cleanup";
}

// Waits until thread tid sleeps in a wait on object; false at once when done() is true first
// (the wait returned instead of blocking).
template <typename T>
bool WaitAsleepOn(
    const std::atomic<pid_t>& tid, const T& object,
    const std::function<bool()>& done = [] { return false; }) {
  return zt::WaitUntil([&] { return done() || zt::AsleepOn(tid, &object, sizeof object); }) &&
         !done();
}

TEST(ThreadTest, SignalWakesRelaxOnceAndOnlyOnce) {
  std::atomic<bool> first{false};
  std::atomic<long> firstMs{-1};
  std::atomic<pid_t> tid{0};
  FnThread t([&](FnThread* self) {
    tid = zt::ThreadId();
    const auto begin = Clock::now();
    first = self->relax(60000);
    firstMs = MillisecondsSince(begin);
    // A second relax after one signal must time out.
    ExpectTimesOut([&] { return self->relax(50); }, 50);
  });
  t.start();
  // The signal comes while the first relax sleeps, not before it began.
  EXPECT_TRUE(WaitAsleepOn(tid, t, [&] { return t.is_finished(); }));
  t.signal();
  t.signal();  // posts nothing more
  ASSERT_TRUE(WaitFinished(t));
  EXPECT_TRUE(first.load());
  EXPECT_LT(firstMs.load(), 10000);
  EXPECT_TRUE(t.is_signaled());
}

TEST(ThreadTest, SignalBeforeStartEndsFirstRelaxAtOnce) {
  std::atomic<bool> woke{false};
  FnThread t([&](FnThread* self) { woke = self->relax(60000); });
  t.signal();
  t.start();
  ASSERT_TRUE(WaitFinished(t));
  EXPECT_TRUE(woke.load());
}

TEST(ThreadTest, RelaxTimesOutWithoutSignal) {
  FnThread t([&](FnThread* self) { ExpectTimesOut([&] { return self->relax(30); }, 30); });
  t.start();
  ASSERT_TRUE(WaitFinished(t));
}

// An autofree thread that reports its own deletion.
class SelfDeleting : public pt::thread {
 public:
  SelfDeleting(std::atomic<int>* order, pt::semaphore* go)
      : pt::thread(true), order_(order), go_(go) {}
  ~SelfDeleting() override { order_->store(order_->load() * 10 + 3); }

 protected:
  void execute() override {
    go_->wait();
    order_->store(order_->load() * 10 + 1);
  }
  void cleanup() override { order_->store(order_->load() * 10 + 2); }

 private:
  std::atomic<int>* order_;
  pt::semaphore* go_;
};

TEST(ThreadTest, AutofreeThreadDeletesItselfAfterCleanup) {
  std::atomic<int> order{0};
  pt::semaphore go(0);
  (new SelfDeleting(&order, &go))->start();
  go.post();
  ASSERT_TRUE(zt::WaitUntil([&] { return order.load() == 123; }))
      << "execute, cleanup, destructor expected in order, got " << order.load();
}

// A joinable thread whose destructor does not join (the base detaches instead).
class Unjoined : public pt::thread {
 public:
  Unjoined() : pt::thread(false) {}
  std::atomic<pthread_t> id{0};
  std::atomic<pid_t> tid{0};

 protected:
  void execute() override {
    id = pthread_self();
    tid = zt::ThreadId();
  }
};

TEST(ThreadTest, DeletingAFinishedThreadThatWasNeverJoinedReleasesIt) {
  // Without a join or a detach the OS thread's descriptor and stack stay taken until the
  // process ends: the object's end hands the thread to pthread_detach, once.
  auto* t = new Unjoined;
  t->start();
  ASSERT_TRUE(WaitFinished(*t));
  const pthread_t id = t->id;
  const pid_t tid = t->tid;
  ASSERT_TRUE(zt::WaitUntil([&] { return zt::ThreadsOfThisProcess().count(tid) == 0; }));
  EXPECT_EQ(TimesDetached(id), 0u) << "detached while the object still had it";
  delete t;
  EXPECT_EQ(TimesDetached(id), 1u) << "the ended thread was never released";
}

TEST(ThreadTest, ExceptionFromCleanupIsDropped) {
  std::atomic<bool> ran{false};
  FnThread t([&](FnThread*) { ran = true; }, [] { throw new pt::exception("from cleanup"); });
  t.start();
  ASSERT_TRUE(WaitFinished(t));
  EXPECT_TRUE(ran.load());
}

using ThreadDeathTest = ::testing::Test;

TEST(ThreadDeathTest, WaitforOnItselfIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FnThread t([](FnThread* self) { self->waitfor(); });
        t.start();
        pt::msleep(60000);
      },
      ::testing::ExitedWithCode(47), "\nInternal \\[c002f\\]: Can not waitfor\\(\\) on myself\n");
}

class IdleAutofree : public pt::thread {
 public:
  IdleAutofree() : pt::thread(true) {}

 protected:
  void execute() override {}
};

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Without address space left for a thread's stack, try_start says so and leaves the object
// unstarted and its caller's to delete, autofree or not; start would end the process.
void ExitWithWhetherAThreadStartsWithoutRoom() {
  rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  const long pages = std::stol(zt::ReadFile("/proc/self/statm"));
  limit.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (1 << 20));
  setrlimit(RLIMIT_AS, &limit);
  auto* t = new IdleAutofree;
  const bool started = t->try_start();
  if (!started) delete t;
  std::exit(started ? 1 : 0);
}

TEST(ThreadDeathTest, TryStartReportsAThreadThatCannotBeCreated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithWhetherAThreadStartsWithoutRoom(), ::testing::ExitedWithCode(0), "");
}
#endif  // the sanitizers' runtimes need address space of their own

TEST(ThreadDeathTest, WaitforOnAutofreeThreadIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        IdleAutofree t;
        t.waitfor();
      },
      ::testing::ExitedWithCode(48), "Internal \\[c0030\\]: Can not waitfor\\(\\) on an autofree");
}

TEST(ThreadDeathTest, ExceptionFromBodyRunsCleanupThenLeavesTheThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        FnThread t([](FnThread*) { throw new pt::exception("from body"); },
                   [] { std::fputs("cleanup ran\n", stderr); });
        t.start();
        pt::msleep(60000);
      },
      "cleanup ran");
}

TEST(FatalTest, HandlerGetsCodeAndMessageAndProcessExitsWithCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(pt::fatal(0xC0029, "Semaphore failed"), ::testing::ExitedWithCode(0x29),
              "^\nInternal \\[c0029\\]: Semaphore failed\n$");
  EXPECT_EXIT(pt::fatal(0x12, "short"), ::testing::ExitedWithCode(0x12), "Internal \\[0012\\]");
  EXPECT_EXIT(
      {
        pt::fatal_handler = [](int code, const char* msg) {
          std::fprintf(stderr, "custom %x %s", code, msg);
        };
        pt::fatal(0xC0028, "pthread_create() failed");
      },
      ::testing::ExitedWithCode(40), "^custom c0028 pthread_create\\(\\) failed$");
}

TEST(TimedSemTest, CountsAndTimesOut) {
  pt::timedsem empty(0);
  const auto begin = Clock::now();
  EXPECT_FALSE(empty.wait(0));
  EXPECT_LT(MillisecondsSince(begin), 5000);

  pt::timedsem two(2);
  EXPECT_TRUE(two.wait(0));
  EXPECT_TRUE(two.wait(0));
  EXPECT_FALSE(two.wait(0));

  pt::timedsem later(0);
  later.post();  // no waiter: raises the count
  EXPECT_TRUE(later.wait(0));
  ExpectTimesOut([&] { return later.wait(20); }, 20);
}

TEST(TimedSemTest, WaitWithoutLimitBlocksUntilPost) {
  pt::timedsem sem(0);
  std::atomic<bool> taken{false}, returned{false};
  std::atomic<pid_t> tid{0};
  std::thread waiter([&] {
    tid = zt::ThreadId();
    taken = sem.wait(-1);
    returned = true;
  });
  EXPECT_TRUE(WaitAsleepOn(tid, sem, [&] { return returned.load(); }))
      << "wait(-1) returned without a unit";
  sem.post();
  EXPECT_TRUE(zt::WaitUntil([&] { return returned.load(); }));
  EXPECT_TRUE(taken.load());
  zt::Watchdog watchdog("the waiter's join");
  waiter.join();
}

TEST(TimedSemTest, WallClockStepDoesNotStretchATimedWait) {
  // Every reading of the wall clock is an hour ahead during this wait: a limit measured on the
  // wall clock would wait an hour, one on the monotonic clock its 100 milliseconds.
  pt::timedsem sem(0);
  std::atomic<bool> returned{false};
  g_wallClockShift = 3600;
  std::thread waiter([&] {
    ExpectTimesOut([&] { return sem.wait(100); }, 100);
    returned = true;
  });
  const bool inTime = zt::WaitUntil([&] { return returned.load(); }, 10000);
  g_wallClockShift = 0;
  if (!inTime) sem.post();  // let the waiter go so that the test can end
  waiter.join();
  EXPECT_TRUE(inTime) << "a 100 ms wait lasted as long as the wall-clock step";
}

TEST(TriggerTest, AutoResetReleasesOneWaitPerSignalledState) {
  pt::trigger trigger(true, false);
  trigger.post();
  trigger.post();  // a flag, not a count
  trigger.wait();  // returns at once
  std::atomic<int> released{0};
  std::atomic<pid_t> tid{0};
  std::thread waiter([&] {
    tid = zt::ThreadId();
    trigger.wait();
    ++released;
  });
  // Two posts released one wait: the second one goes to sleep until the next post.
  EXPECT_TRUE(WaitAsleepOn(tid, trigger, [&] { return released.load() != 0; }));
  trigger.post();
  ASSERT_TRUE(zt::WaitUntil([&] { return released.load() == 1; }));
  waiter.join();
}

TEST(TriggerTest, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  pt::trigger trigger(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  std::atomic<pid_t> tids[3] = {};
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&, i] {
      tids[i] = zt::ThreadId();
      trigger.wait();
      ++released;
    });
  // One post wakes every sleeping waiter, not only the first.
  for (auto& tid : tids) {
    EXPECT_TRUE(WaitAsleepOn(tid, trigger, [&] { return released.load() != 0; }));
  }
  trigger.post();
  ASSERT_TRUE(zt::WaitUntil([&] { return released.load() == 3; }));
  for (std::thread& t : waiters) t.join();
  trigger.wait();  // still signalled
}

TEST(OwnerLockTest, OnlyTheHolderReleases) {
  OwnerLock lock;
  int a, b;
  ASSERT_TRUE(lock.Acquire(&a));
  lock.Release(&b);  // not the holder: nothing
  EXPECT_FALSE(lock.Acquire(&b, false));
  lock.Release(&a);
  EXPECT_TRUE(lock.Acquire(&b, false));
}

TEST(OwnerLockTest, ReleasingAFreeLockDoesNotOpenItTwice) {
  OwnerLock lock;
  lock.Release(nullptr);  // free, nobody holds it: nothing to give back
  EXPECT_TRUE(lock.Acquire(nullptr, false));
  EXPECT_FALSE(lock.Acquire(nullptr, false)) << "a release of a free lock raised its count";
}

TEST(OwnerLockTest, ForceReleaseOnAFreeLockLetsTwoThrough) {
  OwnerLock lock;
  lock.ForceRelease();
  int a, b, c;
  EXPECT_TRUE(lock.Acquire(&a, false));
  EXPECT_TRUE(lock.Acquire(&b, false));
  EXPECT_FALSE(lock.Acquire(&c, false));
}

TEST(OwnerLockTest, WaitersBlockUntilReleaseOrAbandon) {
  OwnerLock lock;
  int holder, second;
  // WaitFree waits until the lock is free and leaves it free.
  ASSERT_TRUE(lock.Acquire(&holder));
  std::atomic<bool> sawFree{false};
  std::thread freeWaiter([&] { sawFree = lock.WaitFree(); });
  ASSERT_TRUE(zt::WaitUntil([&] { return lock.Waiters() == 1; }));
  EXPECT_FALSE(sawFree.load());
  lock.Release(&holder);
  ASSERT_TRUE(zt::WaitUntil([&] { return sawFree.load(); }));
  freeWaiter.join();

  // Acquire waits until the holder gives the lock back, and then holds it.
  ASSERT_TRUE(lock.Acquire(&holder, false)) << "WaitFree left the lock taken";
  std::atomic<bool> taken{false};
  std::thread taker([&] { taken = lock.Acquire(&second); });
  ASSERT_TRUE(zt::WaitUntil([&] { return lock.Waiters() == 1; }));
  EXPECT_FALSE(taken.load());
  lock.Release(&holder);
  ASSERT_TRUE(zt::WaitUntil([&] { return taken.load(); }));
  taker.join();

  // Held by second now; a waiter is refused once the lock is abandoned.
  std::atomic<int> refused{0};
  std::thread late([&] { refused = lock.Acquire(&holder) ? 1 : 2; });
  EXPECT_TRUE(zt::WaitUntil([&] { return lock.Waiters() == 1; }));
  lock.Abandon();
  ASSERT_TRUE(zt::WaitUntil([&] { return refused.load() == 2; }));
  late.join();
  EXPECT_FALSE(lock.WaitFree());  // does not block either
  lock.Release(&second);
  EXPECT_TRUE(lock.WaitFree());
}

TEST(LayerStringTest, CopiesShareOneCountedBlock) {
  pt::string empty;
  EXPECT_EQ(empty.c_str(), pt::emptystr);
  EXPECT_EQ(pt::string("").c_str(), pt::emptystr);
  EXPECT_EQ(pt::nullstring.c_str(), pt::emptystr);
  pt::string text("hello");
  EXPECT_EQ(text.length(), 5);
  {
    pt::string copy = text;
    EXPECT_EQ(copy.c_str(), text.c_str());
    EXPECT_EQ(text.refcount(), 2);
    pt::exception e(copy);
    EXPECT_STREQ(e.get_message().c_str(), "hello");
  }
  EXPECT_EQ(text.refcount(), 1);
  text = empty;
  EXPECT_TRUE(text.empty());
}

}  // namespace
