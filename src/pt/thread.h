// pt::thread: an OS thread that runs one body (execute) and then cleanup.
//
// Two kinds, fixed at construction:
//  - joinable (autofree false): the owner starts it, asks it to stop with signal, polls
//    is_finished and deletes it; the subclass destructor calls waitfor, which joins. A started
//    object deleted without a join detaches its OS thread.
//  - autofree: the thread deletes its own object after execute and cleanup. After start the
//    creator must not touch the object again; the object cannot be joined. Its OS thread is
//    detached, unless it is made "reaped": then the OS thread stays joinable and whoever the
//    thread hands its thread_id (thread_id::self) must join it once, which tells that nothing
//    of the thread runs any more, thread-exit destructors included.
//
// The four flags (running, signaled, finished, freed) go from 0 to 1 once, always through a
// locked exchange; the bodies poll is_signaled once per pass, the owner polls is_finished.
#ifndef ZENT_PT_THREAD_H_
#define ZENT_PT_THREAD_H_

#include <atomic>
#include <cstddef>
#include <pthread.h>

#include "pt/sync.h"
#include "pt/unknown.h"

namespace pt {

// The OS thread of a reaped autofree thread (see above), to be joined exactly once by one
// thread at a time.
class thread_id {
 public:
  thread_id() = default;
  // The calling thread.
  static thread_id self();
  // Joins the thread if it has ended (thread-exit destructors included); true when it is joined
  // now. Never blocks.
  bool try_join();

 private:
  explicit thread_id(pthread_t id) : id_(id) {}
  pthread_t id_{};
};

// Registers fn to run in the child of every fork() of the process, right after the fork
// (pthread_atfork). fn must use async-signal-safe calls only.
void at_fork_child(void (*fn)());

class thread : public unknown {
 public:
  // reaped: only with autofree; see the file comment.
  explicit thread(bool autofree, bool reaped = false);
  // Detaches the OS thread of a started joinable object that was never joined.
  ~thread() override;

  // The size of the OS thread's stack, in bytes (rounded up to whole pages by the system); 0,
  // the default, for the process's default (the stack limit). Before start.
  void set_stack_size(size_t bytes) { stacksize_ = bytes; }
  // Creates the OS thread; later calls do nothing. Fatal 0xC0028 if it cannot be created.
  void start();
  // As start, but when the OS thread cannot be created (no memory for its stack, a limit on
  // threads) returns false instead: the object stays unstarted and its owner's, autofree or
  // not, and may be started again or deleted. True once started.
  bool try_start();
  // Asks the body to stop and wakes a relax in progress. Allowed at any time, also before
  // start; only the first call has an effect.
  void signal();
  // For the body: waits up to msecs milliseconds. True when woken by signal (the first relax
  // after a signal returns at once), false on time-out.
  bool relax(int msecs);
  // Joins a joinable thread; later calls return at once. Fatal when called by the thread
  // itself (0xC002F) or on an autofree thread (0xC0030).
  void waitfor();

  bool is_signaled() const;
  bool is_finished() const;

 protected:
  // The thread body.
  virtual void execute() = 0;
  // Runs on the thread after execute; does nothing by default.
  virtual void cleanup();

 private:
  static void* _threadproc(void* arg);

  std::atomic<pthread_t> handle_;  // 0 until known, 0 again after a join
  const int autofree_;
  const bool reaped_;
  size_t stacksize_ = 0;
  int running_ = 0;
  int signaled_ = 0;
  int finished_ = 0;
  int freed_ = 0;
  timedsem relaxsem_;
};

}  // namespace pt

#endif  // ZENT_PT_THREAD_H_
