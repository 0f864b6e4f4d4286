// Core: the one central object of the server. It owns the loaded plugins, the queue of messages
// waiting to be routed, the routing tables (buffer holds and channel gates), the wake-up trigger
// and the two service threads (the event handler and the scheduler).
//
// Lifecycle, all on the main thread: construct (starts nothing, safe before a fork), Start
// (trigger, load, open and post the status document, event handler thread, scheduler thread),
// Stop (scheduler, event handler, Close pass, Unload pass, drop what is still queued, trigger),
// destroy.
//
// Thread safety: HandleMessage (through CoreCallback) may be called by any thread at any time
// between Start and Stop, several at once. Which lock guards what is written beside each member;
// no code holds two of the Core's locks at once, and none is held while a plugin is called or
// while a channel gate is waited for.
#ifndef ZENT_CORE_CORE_H_
#define ZENT_CORE_CORE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include <wx/filename.h>

#include "plugin_api/plugin_api.h"

#include "core/plugin_record.h"
#include "pt/sync.h"
#include "pt/thread.h"
#include "routing/buffer_refs.h"
#include "routing/channel_gates.h"
#include "routing/message_queue.h"

class EventHandlerThread;
class SchedulerThread;

// Lets a warning through at most once a second and counts the ones it holds back, so that a
// plugin that makes the same fault for every message does not fill the log.
class LogLimiter {
 public:
  // True when this one is to be logged; then *skipped is the number held back before it.
  bool Due(long* skipped);
  // The text that says how many were held back: empty for none.
  static wxString Skipped(long skipped);

 private:
  std::atomic<int64_t> m_next{0};
  std::atomic<long> m_skipped{0};
};

// The callback that every plugin receives in its PluginContext: hands the message to the one
// Core of the process (Core::s_instance). Always returns 0; the outcome is in reply->result.
extern "C" int CoreCallback(const Message* message, MessageReply* reply);

class Core {
 public:
  // Copies the executable's path; loads nothing and starts no thread.
  explicit Core(const wxFileName& exePath);
  // Frees the members, and the payload buffers that plugins still held at Stop. Stop must have
  // run first on a started Core.
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Brings the system up; returns true in every case that returns. Called once.
  bool Start();
  // Takes the system down; safe on a Core that was never started. No time limit.
  void Stop();

  // Routes one message (see the routing files). Never changes the message; copies its payload
  // before it returns. May block while a channel is held. Always returns 0; the outcome goes
  // into reply->result. A null message is refused; with a null reply the outcome is not
  // written. Both are logged as a plugin's fault (at most once a second).
  int HandleMessage(const Message* message, MessageReply* reply);

  // The Core of the process, set by the constructor.
  static Core* s_instance;

  // --- plugin host (plugin_loader.cc, status_document.cc) ---
  // Loads every "*.so" of the plugins directory beside the executable. False when the
  // directory could not be opened.
  bool LoadAllPlugins();
  // The names of the files that LoadAllPlugins loads from dir, in listing order, as bytes.
  // *opened tells whether dir could be read.
  static std::vector<std::string> ListPluginFiles(const std::string& dir, bool* opened);
  // Opens every plugin, records open codes and times, posts the status document.
  bool OpenAllPlugins();
  // The status document's text as OpenAllPlugins posts it.
  std::string BuildStatusDocument() const;
  void CloseAllPlugins();
  void UnloadAllPlugins();
  // Start the load-time IOCTL call and the scheduler's start Read of one plugin on a call
  // thread of its own. False when the call is skipped (entry point missing, plugin closed).
  bool StartIoctlAtLoad(PluginRecord& plugin);
  bool StartReadAtStart(PluginRecord& plugin);

  // --- routing (routing/*.cc) ---
  // Starts one Read call thread per subscribed plugin that takes Read calls; does not wait.
  void BroadcastNow(const Message& message);
  // Delivers one queued message by Write and IOCTL calls on the calling (event handler) thread.
  // Returns whether its buffer went into the reference table (held by the Core); then
  // *lastHolder is the plugin called last if it did not keep the buffer, whose hold is still to
  // be dropped with the Core's own.
  bool DeliverQueued(const Message& message, std::optional<uint32_t>* lastHolder);
  // Drains m_queue; called only by the event handler thread. Returns when the queue is empty,
  // or, once until (if given) is signalled, before the next batch of messages taken from it.
  void DispatchQueued(const pt::thread* until = nullptr);
  // Delivers one message taken from the queue and frees its buffer unless a plugin keeps it.
  void DispatchOne(const Message& message);
  // Delivery ends: from now on queued messages are refused, not accepted and dropped (on the
  // event handler thread, when it has seen the stop).
  void EndDelivery();

  // The scheduler's start pass (on the scheduler thread).
  void StartReadPass();
  // Joins the plugin call threads that have ended; never blocks (on the scheduler thread).
  void ReapCallThreads();

  // Between Start and Stop (the wake-up trigger exists).
  bool Started() const { return m_wakeup != nullptr; }
  // For tests and tools: a copy of the plugin list as it stands.
  std::vector<PluginRecord> PluginsSnapshot() const;
  const wxFileName& ExePath() const { return m_exePath; }
  BufferRefTable& BufferRefs() { return m_bufferRefs; }
  // How many senders wait for channel's gate at this moment (for diagnostics and tests).
  int SendersWaitingOn(uint32_t channel) { return m_gates.WaitingOn(channel); }

 private:
  friend class EventHandlerThread;

  // Routes one message; returns the outcome (RESULT_*).
  int Route(const Message& message);
  // Loads one listed file; a rejected file leaves no trace.
  void LoadPlugin(const std::string& dir, const std::string& name);
  void StartEventHandlerThread();
  void StartSchedulerThread();
  void StopSchedulerThread();
  void StopEventHandlerThread();
  void DrainQueue();
  // True when a message that would wait for a channel gate must not wait: on the event handler
  // thread (only it gives gates back after deliveries), and on the thread that runs Start until
  // the event handler runs (a plugin calling back from Load or Open would wait for a delivery
  // that cannot begin before Start returns). Once delivery has ended no gate wait blocks at all.
  bool MustNotWaitForGates() const;

  pt::mutex m_queueLock;
  // Wakes the event handler thread; non-null only between Start and Stop. Owned.
  pt::trigger* m_wakeup;
  // The loaded plugins in delivery order. Changed only by Start and Stop; m_pluginsLock guards
  // every change and every read that may overlap one (a plugin broadcasting from its own thread
  // while later plugins load, or while Stop unloads). The event handler reads m_recipients, a
  // copy made before it starts, instead.
  std::vector<PluginRecord> m_plugins PT_GUARDED_BY(m_pluginsLock);
  mutable pt::mutex m_pluginsLock;
  // What queued delivery needs of each loaded plugin, in list order: copied from m_plugins just
  // before the event handler starts (the list does not change while it runs) and read by it
  // alone, compact, so that each message is matched against every plugin quickly.
  struct Recipient {
    uint32_t id;
    uint32_t masks[ZENT_CLASS_MASKS];
    bool acceptsWrite;
    PluginEntryFn write;
    PluginEntryFn ioctl;
  };
  std::vector<Recipient> m_recipients;
  EventHandlerThread* m_eventHandlerThread;  // owned; null when none
  SchedulerThread* m_schedulerThread;        // owned; null when none
  MessageQueue m_queue PT_GUARDED_BY(m_queueLock);
  // Set once the event handler has seen the stop: nothing queued from then on would be
  // delivered.
  bool m_deliveryEnded PT_GUARDED_BY(m_queueLock) = false;
  // A plugin's faults that it may repeat for every message are logged at most once a second.
  LogLimiter m_releaseWarnings;  // releases of buffers the plugin does not hold
  LogLimiter m_nullWarnings;     // null messages and replies
  BufferRefTable m_bufferRefs;   // has its own lock
  ChannelGates m_gates;          // has its own lock
  wxFileName m_exePath;
};

#endif  // ZENT_CORE_CORE_H_
