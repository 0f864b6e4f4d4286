// PluginCalls: the call threads into one plugin, from the moment each is decided on until its
// OS thread has ended.
//
// Every call thread (the load-time IOCTL, the scheduler's start Read, each broadcast Read) is
// counted in (Enter) before it is started; at most a bounded number are in flight at once, and
// a call past that bound is skipped, so that a plugin that blocks in Read while broadcasts keep
// coming cannot make the server start threads until it runs out of memory or address space. On
// its own thread the call then checks in (Begin) and learns whether it may still make its call.
// A call that has not checked in when the Close pass closes the plugin is skipped: its thread
// ends without calling. A call let through marks itself as entered (Entered) as its last step
// before the call; from then on it counts as running. After the call (or the skip) the thread
// leaves (Leave) and its OS thread ends; the thread is joined later (Reap, JoinAll), so that it
// is known when it has run its last instruction, thread-exit destructors included.
//
// At stop the Close pass closes the count (no call is counted in any more) and waits until
// every call counted in has either been skipped or marked itself as entered, so that no call
// enters the plugin after that. Only a call already running may overlap Close, as a running Read
// may. The Unload pass calls the plugin's Unload first (a plugin may end a worker loop there
// that runs inside a call), then waits until no call is inside and every thread that checked in
// has been joined, and only then unloads the shared object: no code of the plugin runs after
// that, on any thread of the server.
//
// Threads are joined as they end, without blocking: by the next call thread launched into the
// same plugin and by the scheduler's regular pass (Reap), so ended threads do not pile up. A
// thread is recorded for joining when it leaves, so a reap looks only at threads that have left
// and not yet been joined: its cost follows the threads that ended, not those still running.
// Enter makes room for the call's thread in that record, so that a call thread never needs
// memory to leave.
//
// Skipped calls (closed, no memory or thread for the call, at the bound) are counted; the
// errors about the last two are logged at most once a second per plugin.
//
// Thread safety: all operations may be called from any thread. Leave touches nothing of the
// object after it has woken the waiter. Each thread_id is joined exactly once: the non-blocking
// joins are made under the lock.
#ifndef ZENT_CORE_PLUGIN_CALLS_H_
#define ZENT_CORE_PLUGIN_CALLS_H_

#include <functional>
#include <string>
#include <vector>

#include "core/log_limiter.h"
#include "core/plugin_stats.h"
#include "pt/sync.h"
#include "pt/thread.h"

class PluginCalls {
 public:
  // name: the plugin's file name as logged; mostInFlight: the bound on calls in flight at once
  // (0 for none); stats: the plugin's counters, where its calls are counted (or null).
  explicit PluginCalls(const wxString& name = wxString(), int mostInFlight = 0,
                       PluginStats* stats = nullptr);
  PluginCalls(const PluginCalls&) = delete;
  PluginCalls& operator=(const PluginCalls&) = delete;

  // Counts one more call in flight. False when the call must not be made: the plugin was
  // closed, or (counted as skipped, logged at most once a second) the bound is reached or there
  // is no memory for it.
  bool Enter();
  // On the call's own thread: decides whether the call is made. False when the plugin was
  // closed since Enter: the call is skipped, already counted out, and thread is recorded to be
  // joined.
  bool Begin(pt::thread_id thread);
  // On the call's own thread, after Begin let it through: the last step before the call.
  void Entered();
  // The call has returned; thread is recorded to be joined.
  void Leave(pt::thread_id thread);
  // A counted call whose thread will not run after all: why (for the log) it could not be set
  // up. Counted as skipped and logged at most once a second.
  void Cancel(const wxString& why);
  // No call is counted in from now on.
  void Close();
  bool Closed();
  // Waits until every call counted in was skipped, cancelled or marked itself entered.
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

  struct Counts {
    int inFlight = 0;      // counted in and not yet returned, now
    int mostInFlight = 0;  // the highest inFlight so far
    long skippedClosed = 0;
    long skippedNoThread = 0;  // no memory for the call's copy, its thread or its record
    long skippedAtBound = 0;
  };
  Counts Snapshot();
  PluginStats* stats() const { return m_stats; }

 private:
  // Counts one more skipped call (under the lock) and logs why at most once a second.
  void Skipped(long* counter, const wxString& why);

  const wxString m_name;
  const int m_bound;
  PluginStats* const m_stats;
  pt::mutex m_lock;
  pt::condition m_idle;
  int m_inFlight PT_GUARDED_BY(m_lock) = 0;  // counted in and not yet returned
  // Counted in and neither skipped nor entered: the Close pass waits for these.
  int m_pending PT_GUARDED_BY(m_lock) = 0;
  bool m_closed PT_GUARDED_BY(m_lock) = false;
  std::vector<pt::thread_id> m_ended PT_GUARDED_BY(m_lock);  // left, not yet joined
  Counts m_counts PT_GUARDED_BY(m_lock);
  LogLimiter m_skipLog;
};

#endif  // ZENT_CORE_PLUGIN_CALLS_H_
