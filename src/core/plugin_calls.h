// PluginCalls: the call threads in flight into one plugin.
//
// Every call thread (the load-time IOCTL, the scheduler's start Read, each broadcast Read)
// enters before it is started and leaves after its call has returned. From Close on no call
// enters any more, and the Unload pass waits until none is inside before it calls the plugin's
// Unload and unloads its shared object: no call ever runs in unloaded code, and no call thread
// outlives its plugin's code.
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
  // The call has returned.
  void Leave();
  // No call enters from now on.
  void Close();
  // Waits until no call is in flight, without a time limit. While it waits, calls stillWaiting
  // with the number of calls in flight every intervalMs milliseconds.
  void WaitIdle(int intervalMs, const std::function<void(int inFlight)>& stillWaiting);
  int InFlight();

 private:
  pt::mutex m_lock;
  pt::condition m_idle;
  int m_inFlight PT_GUARDED_BY(m_lock) = 0;
  bool m_closed PT_GUARDED_BY(m_lock) = false;
};

#endif  // ZENT_CORE_PLUGIN_CALLS_H_
