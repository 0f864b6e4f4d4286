// PluginCalls: the call threads into one plugin, from the moment each is decided on until its
// OS thread has ended.
//
// Every call thread (the load-time IOCTL, the scheduler's start Read, each broadcast Read) is
// counted in (Enter) before it is started. On its own thread it then checks in (Begin): it
// records its thread_id, and learns whether it may still make its call. A call that has not
// checked in when the Close pass closes the plugin is skipped: its thread ends without calling.
// After the call (or the skip) the thread leaves (Leave) and its OS thread ends; the thread is
// joined later (Reap, JoinAll), so that it is known when it has run its last instruction,
// thread-exit destructors included.
//
// At stop the Close pass closes the count (no call is counted in any more) and waits until
// every call counted in has checked in, so that none is let in after that. Only a call already
// past the check may overlap Close, as a running Read may. The Unload pass calls the plugin's
// Unload first (a plugin may end a worker loop there that runs inside a call), then waits until
// no call is inside and every thread that checked in has been joined, and only then unloads
// the shared object: no code of the plugin runs after that, on any thread of the server.
//
// Threads are joined as they end, without blocking: by the next call thread launched into the
// same plugin and by the scheduler's regular pass (Reap), so ended threads do not pile up.
// Enter makes room for the call's thread in the table, so that a call thread never needs
// memory to check in.
//
// Thread safety: all operations may be called from any thread. Leave touches nothing of the
// object after it has woken the waiter. Each thread_id is joined exactly once: the non-blocking
// joins are made under the lock.
#ifndef ZENT_CORE_PLUGIN_CALLS_H_
#define ZENT_CORE_PLUGIN_CALLS_H_

#include <functional>
#include <vector>

#include "pt/sync.h"
#include "pt/thread.h"

class PluginCalls {
 public:
  PluginCalls();
  PluginCalls(const PluginCalls&) = delete;
  PluginCalls& operator=(const PluginCalls&) = delete;

  // Counts one more call in flight. False once Close has run, or (logged) when there is no
  // memory for it: the call must not be made.
  bool Enter();
  // On the call's own thread: records thread as one to be joined, and decides whether the call
  // is made. False when the plugin was closed since Enter: the call is skipped and already
  // counted out; the thread still ends and is joined as any other.
  bool Begin(pt::thread_id thread);
  // The call has returned.
  void Leave();
  // A counted call whose thread will not run after all (it could not be set up).
  void Cancel();
  // No call is counted in from now on.
  void Close();
  bool Closed();
  // Waits until every call counted in has checked in (or was cancelled).
  void WaitStarted();
  // Waits until no call is in flight, without a time limit. While it waits, calls stillWaiting
  // with the number of calls in flight every intervalMs milliseconds.
  void WaitIdle(int intervalMs, const std::function<void(int inFlight)>& stillWaiting);
  // Joins every recorded thread that has ended; never blocks.
  void Reap();
  // REQUIRES: no call is counted in any more (Close) and none is in flight (WaitIdle). Joins
  // every recorded thread, waiting for those still exiting; calls stillWaiting with the number
  // left every intervalMs milliseconds while it waits.
  void JoinAll(int intervalMs, const std::function<void(int threads)>& stillWaiting);
  int InFlight();

 private:
  pt::mutex m_lock;
  pt::condition m_idle;
  int m_inFlight PT_GUARDED_BY(m_lock) = 0;  // counted in and not yet returned
  int m_pending PT_GUARDED_BY(m_lock) = 0;   // counted in and not yet checked in
  bool m_closed PT_GUARDED_BY(m_lock) = false;
  std::vector<pt::thread_id> m_threads PT_GUARDED_BY(m_lock);  // checked in, not yet joined
};

#endif  // ZENT_CORE_PLUGIN_CALLS_H_
