// Blocking primitives of the runtime layer, on POSIX mutexes, condition variables and unnamed
// semaphores. None of them reports an error: a primitive that cannot be set up or used ends the
// process through pt::fatal. Every timed wait measures its limit on the monotonic clock, so a
// step of the wall clock neither stretches nor shortens it.
//
// Thread safety: every operation may be called from any thread. No operation holds a lock of
// its own while it calls out of the layer, and none holds two locks, so there is no lock order.
#ifndef ZENT_PT_SYNC_H_
#define ZENT_PT_SYNC_H_

#include <atomic>
#include <pthread.h>
#include <semaphore.h>

#include "pt/thread_annotations.h"
#include "pt/unknown.h"

namespace pt {

// Sleeps msecs milliseconds (a microsecond sleep of msecs * 1000).
void msleep(int msecs);

// A plain, non-recursive mutex with default attributes. The results of its calls are not
// checked: with default attributes they cannot fail on this platform.
class PT_CAPABILITY("mutex") mutex {
 public:
  mutex();
  ~mutex();
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() PT_ACQUIRE();
  void unlock() PT_RELEASE();

 private:
  friend class condition;
  pthread_mutex_t m_;
};

// Locks a mutex for the length of a scope.
class PT_SCOPED_CAPABILITY lockguard {
 public:
  explicit lockguard(mutex& m) PT_ACQUIRE(m) : m_(&m) { m_->lock(); }
  ~lockguard() PT_RELEASE() { m_->unlock(); }
  lockguard(const lockguard&) = delete;
  lockguard& operator=(const lockguard&) = delete;

 private:
  mutex* m_;
};

// A condition variable whose timed waits run on the monotonic clock. what is the fatal message
// if it cannot be set up.
class condition {
 public:
  explicit condition(const char* what);
  ~condition();
  condition(const condition&) = delete;
  condition& operator=(const condition&) = delete;

  // REQUIRES: the caller holds m. Waits for a signal; may wake spuriously.
  void wait(mutex& m) PT_REQUIRES(m);
  // REQUIRES: the caller holds m. Waits for a signal for at most msecs milliseconds, counted
  // from now. Returns false on time-out, true on any other wake-up (which may be spurious).
  bool wait_for(mutex& m, int msecs) PT_REQUIRES(m);
  void signal();     // wakes one waiter
  void broadcast();  // wakes every waiter

 private:
  pthread_cond_t c_;
};

// A counting semaphore, private to the process.
class semaphore : public unknown {
 public:
  explicit semaphore(int initvalue);
  ~semaphore() override;

  void wait();  // retried while interrupted by a signal
  void post();

 private:
  sem_t s_;
};

// A counting semaphore whose wait has a limit.
class timedsem : public unknown {
 public:
  explicit timedsem(int initvalue);
  ~timedsem() override;

  // Takes one unit. A negative msecs waits without limit. Returns true when a unit was taken,
  // false when msecs passed first. A wake-up that finds no unit starts a full msecs again.
  bool wait(int msecs);
  void post();

 private:
  int count_ PT_GUARDED_BY(mtx_);
  mutex mtx_;
  condition cond_;
};

// An event object. Auto-reset: each post releases one wait, and a post with nobody waiting
// leaves it signalled so that the next wait returns at once. Manual reset: a post releases every
// waiter and leaves it signalled. The state is a flag, not a count.
//
// A post that finds the trigger signalled already, or nobody asleep in wait, touches neither
// the mutex nor the kernel; a wait looks a short while before it goes to sleep, so that a
// waiter that is posted again and again while it works rarely sleeps at all.
class trigger {
 public:
  trigger(bool autoreset, bool state);
  ~trigger();
  trigger(const trigger&) = delete;
  trigger& operator=(const trigger&) = delete;

  void wait();
  void post();

 private:
  // Takes the signal if it is set (auto-reset) or sees it (manual reset).
  bool take();

  mutex mtx_;
  condition cond_;
  std::atomic<int> state_;        // 1 = signalled
  std::atomic<int> sleeping_{0};  // waiters that may be asleep on cond_
  const bool autoreset_;
};

}  // namespace pt

#endif  // ZENT_PT_SYNC_H_
