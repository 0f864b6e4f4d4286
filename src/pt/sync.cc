#include "pt/sync.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

#include "pt/fatal.h"

namespace pt {

namespace {

constexpr const char* kSemaphoreFailed = "Semaphore failed";

// How often a trigger's wait looks at the state before it sleeps (a few microseconds).
constexpr int kSpinLooks = 200;

inline void cpu_relax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

timespec DeadlineAfter(int msecs) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nsec = now.tv_nsec + static_cast<long long>(msecs % 1000) * 1000000LL;
  timespec deadline;
  deadline.tv_sec = now.tv_sec + msecs / 1000 + static_cast<time_t>(nsec / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(nsec % 1000000000LL);
  return deadline;
}

}  // namespace

void msleep(int msecs) { usleep(static_cast<useconds_t>(msecs) * 1000); }

mutex::mutex() { pthread_mutex_init(&m_, nullptr); }
mutex::~mutex() { pthread_mutex_destroy(&m_); }
void mutex::lock() { pthread_mutex_lock(&m_); }
void mutex::unlock() { pthread_mutex_unlock(&m_); }

condition::condition(const char* what) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) fatal(kFatalSemaphore, what);
  // The monotonic clock: a wall-clock step must not change how long a timed wait lasts.
  if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
      pthread_cond_init(&c_, &attr) != 0) {
    fatal(kFatalSemaphore, what);
  }
  pthread_condattr_destroy(&attr);
}

condition::~condition() { pthread_cond_destroy(&c_); }

void condition::wait(mutex& m) { pthread_cond_wait(&c_, &m.m_); }

bool condition::wait_for(mutex& m, int msecs) {
  const timespec deadline = DeadlineAfter(msecs);
  return pthread_cond_timedwait(&c_, &m.m_, &deadline) != ETIMEDOUT;
}

void condition::signal() { pthread_cond_signal(&c_); }
void condition::broadcast() { pthread_cond_broadcast(&c_); }

semaphore::semaphore(int initvalue) {
  if (sem_init(&s_, 0, static_cast<unsigned>(initvalue)) != 0)
    fatal(kFatalSemaphore, kSemaphoreFailed);
}

semaphore::~semaphore() { sem_destroy(&s_); }

void semaphore::wait() {
  while (sem_wait(&s_) != 0) {
    if (errno != EINTR) fatal(kFatalSemaphore, kSemaphoreFailed);
  }
}

void semaphore::post() {
  if (sem_post(&s_) != 0) fatal(kFatalSemaphore, kSemaphoreFailed);
}

timedsem::timedsem(int initvalue) : count_(initvalue), cond_("Timed semaphore failed") {}

timedsem::~timedsem() = default;

bool timedsem::wait(int msecs) {
  lockguard guard(mtx_);
  for (;;) {
    if (count_ > 0) {
      --count_;
      return true;
    }
    if (msecs < 0) {
      cond_.wait(mtx_);
    } else if (!cond_.wait_for(mtx_, msecs)) {
      return false;
    }
  }
}

void timedsem::post() {
  lockguard guard(mtx_);
  ++count_;
  cond_.signal();
}

trigger::trigger(bool autoreset, bool state)
    : cond_("Trigger failed"), state_(state ? 1 : 0), autoreset_(autoreset) {}

trigger::~trigger() = default;

bool trigger::take() {
  if (!autoreset_) return state_.load() == 1;
  int signalled = 1;
  // The load is sequentially consistent (a plain load on x86): wait's last look must not read
  // the state from before a post that, in turn, read sleeping_ from before wait announced itself.
  return state_.load() == 1 && state_.compare_exchange_strong(signalled, 0);
}

void trigger::wait() {
  // A short look first: the post that the waiter waits for is often already on its way.
  for (int i = 0; i < kSpinLooks; ++i) {
    if (take()) return;
    cpu_relax();
  }
  lockguard guard(mtx_);
  // Announced before the last look, which post reads after it sets the state: either this
  // look sees the signal, or that post sees a sleeper and wakes it under the mutex.
  sleeping_.fetch_add(1);
  while (!take()) cond_.wait(mtx_);
  sleeping_.fetch_sub(1);
}

void trigger::post() {
  if (state_.exchange(1) == 1 && autoreset_) return;  // already signalled: one wait takes it
  if (sleeping_.load() == 0) return;
  lockguard guard(mtx_);
  if (autoreset_) {
    cond_.signal();
  } else {
    cond_.broadcast();
  }
}

}  // namespace pt
