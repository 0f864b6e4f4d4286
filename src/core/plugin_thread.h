// PluginThread: one call into one plugin on a self-deleting thread of its own.
//
// Used for the calls that must not hold up the thread that decides on them: the load-time
// IOCTL (command 1), the scheduler's start Read, and every broadcast Read. The thread carries
// private copies of the request and reply envelopes and of the request's payload, so the caller
// may release its own at once: after Launch it must not touch the thread again, which may
// already be gone. On its own thread it checks in with the plugin's call count (PluginCalls),
// and unless the plugin was closed meanwhile marks itself entered and makes its one call; then
// it frees the payload copy, leaves the call count and deletes itself. Its stack has a fixed
// size (kStackBytes), which plugin authors can rely on. Nobody awaits the call; its OS thread,
// which stays joinable, is joined by the plugin's call count once it has ended (see
// plugin_calls.h), so that the plugin's code is unloaded only after the thread has run its last
// instruction.
#ifndef ZENT_CORE_PLUGIN_THREAD_H_
#define ZENT_CORE_PLUGIN_THREAD_H_

#include "core/plugin_record.h"
#include "pt/thread.h"

class Core;

class PluginThread : public pt::thread {
 public:
  // Starts one call of entry with copies of request and reply. REQUIRES: calls->Enter()
  // returned true for this call; the thread leaves when the call has returned. Payload copy
  // rules, by op: Read and Write copy length bytes from data when data is set; IOCTL copies
  // only for command 2. When the copy or the thread cannot be had (no memory, no thread left
  // to start) the call is skipped: it is logged, the call count is left, and null is returned.
  // Otherwise returns the started thread, as a note only.
  static PluginThread* Launch(Core* core, PluginEntryFn entry, PluginCalls* calls,
                              const CallRequest& request, const CallReply& reply);

  // The stack of every call thread: the system's usual 8 MiB where address space is plenty,
  // 2 MiB in a 32-bit process, where it is what limits the threads in flight.
  static constexpr size_t kStackBytes = sizeof(void*) == 8 ? 8u << 20 : 2u << 20;

  // For tests: called on every call thread with its call count just before the thread checks
  // in (kBeforeCheckIn) and, when it was let through, just before it marks itself entered
  // (kAfterCheckIn), so that a test can hold a call there. Null (the default) for none.
  enum class Stage { kBeforeCheckIn, kAfterCheckIn };
  using CheckInHook = void (*)(PluginCalls* calls, Stage stage);
  static void SetCheckInHook(CheckInHook hook);

 protected:
  void execute() override;
  void cleanup() override;

 private:
  PluginThread(Core* core, PluginEntryFn entry, PluginCalls* calls, const CallRequest& request,
               const CallReply& reply);
  // The payload pointer of m_request that the rules above copy, or null if none.
  const void** PayloadSlot(uint32_t* length);
  // Replaces the caller's payload by a private copy; false when it cannot be allocated.
  bool CopyPayload();

  [[maybe_unused]] Core* m_core;  // the core that started the call; the call does not use it
  PluginEntryFn m_entry;
  PluginCalls* m_calls;
  CallRequest m_request;
  CallReply m_reply;
  bool m_called = false;  // checked in and called; set on the thread itself
};

#endif  // ZENT_CORE_PLUGIN_THREAD_H_
