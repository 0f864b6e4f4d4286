#include "pt/thread.h"

#include "pt/atomic.h"
#include "pt/fatal.h"
#include "pt/string.h"

namespace pt {

void at_fork_child(void (*fn)()) { pthread_atfork(nullptr, nullptr, fn); }

thread_id thread_id::self() { return thread_id(pthread_self()); }

bool thread_id::try_join() { return pthread_tryjoin_np(id_, nullptr) == 0; }

thread::thread(bool autofree, bool reaped)
    : handle_(0), autofree_(autofree ? 1 : 0), reaped_(autofree && reaped), relaxsem_(0) {}

thread::~thread() {
  // A started joinable thread that nobody joined releases its OS resources when it ends.
  if (atomic_exchange(&freed_, 1) == 0 && autofree_ == 0 && atomic_read(&running_) == 1) {
    pthread_detach(handle_.load());
  }
}

void thread::start() {
  if (!try_start()) fatal(kFatalThreadCreate, "pthread_create() failed");
}

bool thread::try_start() {
  if (atomic_exchange(&running_, 1) == 1) return true;
  // An autofree object may already be deleted when pthread_create returns: read what is needed
  // now and write nothing to the object afterwards.
  const bool autofree = autofree_ != 0;
  const bool detached = autofree && !reaped_;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
  // A size the system refuses (below its minimum) leaves the default.
  if (stacksize_ != 0) pthread_attr_setstacksize(&attr, stacksize_);
  pthread_t id;
  const bool created = pthread_create(&id, &attr, _threadproc, this) == 0;
  pthread_attr_destroy(&attr);
  if (!created) {
    atomic_exchange(&running_, 0);
    return false;
  }
  if (!autofree) handle_.store(id);
  return true;
}

void thread::signal() {
  if (atomic_exchange(&signaled_, 1) == 0) relaxsem_.post();
}

bool thread::relax(int msecs) { return relaxsem_.wait(msecs); }

void thread::waitfor() {
  if (atomic_exchange(&freed_, 1) == 1) return;
  if (pthread_equal(pthread_self(), handle_.load())) {
    fatal(kFatalWaitforSelf, "Can not waitfor() on myself");
  }
  if (autofree_ != 0) fatal(kFatalWaitforAutofree, "Can not waitfor() on an autofree thread");
  if (atomic_read(&running_) == 0) return;  // never started: there is nothing to join
  pthread_join(handle_.load(), nullptr);
  handle_.store(0);
}

bool thread::is_signaled() const { return atomic_read(&signaled_) == 1; }

bool thread::is_finished() const { return atomic_read(&finished_) == 1; }

void thread::cleanup() {}

void* thread::_threadproc(void* arg) {
  thread* self = static_cast<thread*>(arg);
  // Known here for both kinds, so that waitfor can tell that the thread itself calls it even
  // before start has stored the identifier.
  self->handle_.store(pthread_self());

  // The end of the thread: cleanup (a pt::exception it throws is dropped), the finished flag,
  // and for an autofree thread the deletion of its object, after which nothing of it is touched.
  auto finish = [self] {
    try {
      self->cleanup();
    } catch (exception* e) {
      delete e;
    } catch (...) {
      fatal(kFatalUnhandled, "Unhandled exception in thread cleanup");
    }
    const bool autofree = self->autofree_ != 0;
    atomic_exchange(&self->finished_, 1);
    if (autofree) delete self;
  };

  try {
    self->execute();
  } catch (exception*) {
    finish();
    throw;
  } catch (...) {
    // Nothing in the program throws anything else out of a thread body; if it happens, say so
    // in the layer's one fatal line instead of an anonymous abort.
    fatal(kFatalUnhandled, "Unhandled exception in thread");
  }
  finish();
  return nullptr;
}

}  // namespace pt
