// PluginCalls: the call threads in flight into one plugin.
//
// Every call thread (the load-time IOCTL, the scheduler's start Read, each broadcast Read) is
// counted in (Enter) before it is started, marks the moment it calls into the plugin (Started)
// and leaves after its call has returned. At stop the Close pass first closes the count (no call
// is counted in any more) and waits until every call already counted in has been made, so that
// no call thread is still on its way into the plugin when its Close is called (a call may still
// run inside the plugin then, as any Read may overlap Close). The Unload pass waits until no
// call is inside before it calls the plugin's Unload and unloads its shared object: no call
// ever runs in unloaded code.
//
// Thread safety: all operations may be called from any thread. Leave touches nothing of the
// object after it has woken the waiter, which may delete the object at once.
#ifndef ZENT_CORE_PLUGIN_CALLS_H_
#define ZENT_CORE_PLUGIN_CALLS_H_

#include <functional>

#include "pt/sync.h"

class PluginCalls {
 public:
  PluginCalls();
  PluginCalls(const PluginCalls&) = delete;
  PluginCalls& operator=(const PluginCalls&) = delete;

  // Counts one more call in flight. False once Close has run: the call must not be made.
  bool Enter();
  // The counted call is about to enter the plugin.
  void Started();
  // The call has returned.
  void Leave();
  // A counted call that will not be made after all (it could not be set up).
  void Cancel();
  // No call is counted in from now on.
  void Close();
  // Waits until every call counted in has entered the plugin (or was cancelled).
  void WaitStarted();
  // Waits until no call is in flight, without a time limit. While it waits, calls stillWaiting
  // with the number of calls in flight every intervalMs milliseconds.
  void WaitIdle(int intervalMs, const std::function<void(int inFlight)>& stillWaiting);
  int InFlight();

 private:
  pt::mutex m_lock;
  pt::condition m_idle;
  int m_inFlight PT_GUARDED_BY(m_lock) = 0;  // counted in and not yet returned
  int m_pending PT_GUARDED_BY(m_lock) = 0;   // counted in and not yet started
  bool m_closed PT_GUARDED_BY(m_lock) = false;
};

#endif  // ZENT_CORE_PLUGIN_CALLS_H_
