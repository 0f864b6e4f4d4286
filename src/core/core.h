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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <wx/filename.h>

#include "plugin_api/plugin_api.h"

#include "core/log_limiter.h"
#include "core/payload.h"
#include "core/plugin_record.h"
#include "core/plugin_stats.h"
#include "core/statistics.h"
#include "pt/sync.h"
#include "pt/thread.h"
#include "routing/buffer_refs.h"
#include "routing/channel_gates.h"
#include "routing/message_queue.h"

class EventHandlerThread;
class SchedulerThread;

// Bounds on what the Core holds for plugins, so that a plugin that misbehaves under load (a
// producer faster than the slowest Write, a Read that blocks while broadcasts keep coming)
// cannot exhaust the memory or the address space of the process. The command line sets them.
struct CoreLimits {
  // The bytes that queued messages waiting for delivery may hold (payload buffers and queue
  // records); a queued send that would pass it is answered RESULT_NO_MEMORY. 0 for no bound.
  size_t maxQueuedBytes = sizeof(void*) == 8 ? size_t{256} << 20 : size_t{64} << 20;
  // Call threads in flight into one plugin at once; a call past it is skipped. 0 for no bound.
  int maxCallsPerPlugin = sizeof(void*) == 8 ? 512 : 64;
  // A channel whose gate a message has held this long is reported, with who holds it (once per
  // message). Not a bound: the wait goes on; tests shorten it.
  int gateHeldWarningMs = 10000;
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

  // Sets the bounds that Start and the routing apply. Before Start.
  void SetLimits(const CoreLimits& limits) { m_limits = limits; }
  const CoreLimits& Limits() const { return m_limits; }

  // Brings the system up. Called once: a Core that was started before refuses to start again
  // (logged, false), since what its first run left behind (plugins' threads that still call
  // back, gates they may wait on) is not its to reset. Otherwise returns true.
  bool Start();
  // Loads the plugins and calls nothing else (no Open, no delivery, no scheduler), for a tool
  // that describes plugins without running them. A plugin that sends from inside Load is
  // answered as during Start; once Load has returned, delivery has ended: queued messages are
  // refused and no sender waits for a gate. Stop then closes and unloads them. Refused as Start
  // is on a Core that was started before.
  bool LoadOnly();
  // Takes the system down; safe on a Core that was never started. No time limit.
  void Stop();

  // For the plugin test harness (src/harness), before Start or LoadOnly: load the one file at
  // path (absolute) instead of the plugins directory, with the same checks and calls; load
  // plugins whose entry points are functions of the process (name as their file name,
  // entries in the interface's order, null where missing) after the files; run the
  // scheduler's start Read pass or not.
  void SetPluginFile(const std::string& path) { m_pluginFile = path; }
  void AddBuiltInPlugin(const std::string& name, const PluginEntryFn entries[8]);
  void SetStartReads(bool run) { m_startReads = run; }

  // Routes one message (see the routing files). Never changes the message; copies its payload
  // before it returns. May block while a channel is held. Always returns 0; the outcome goes
  // into reply->result. A null message is refused; with a null reply the outcome is not
  // written. Both are logged as a plugin's fault (at most once a second).
  int HandleMessage(const Message* message, MessageReply* reply);

  // The Core of the process, set by the constructor.
  static Core* s_instance;
  // True in a child that a plugin forked from a running server without exec: its copy of the
  // Core has no threads to deliver anything and may hold copies of locks that other threads
  // held at the fork, so the callback answers RESULT_CHANNEL_REFUSED there and touches nothing.
  static bool InForkedChild();

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
  // or, once until (if given) is signalled, before the next few messages (what it had taken
  // and not delivered then is delivered first by the next call).
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

  // Every intervalSeconds the scheduler sends the statistics document (0, the default: never).
  // Before Start.
  void SetStatisticsInterval(int intervalSeconds) { m_statisticsInterval = intervalSeconds; }
  int StatisticsInterval() const { return m_statisticsInterval; }
  // The counters as they stand (statistics.h); any thread, at any time between Start and Stop.
  CoreStatistics Statistics();
  // One of them without the rest (which read /proc): queued messages refused at the bound.
  uint64_t RefusedAtBound() const { return m_refusedBound.load(std::memory_order_relaxed); }
  // Sends the statistics document numbered sequence (on the scheduler thread).
  void PostStatistics(uint64_t sequence);
  // The counters of the plugin whose id is source, or null (any thread).
  PluginStats* SenderStats(uint32_t source) const {
    const SenderTable* table = m_senders.load(std::memory_order_acquire);
    return table != nullptr ? table->Find(source) : nullptr;
  }
  // Warns of channels whose gate one message has held for longer than the limits allow,
  // naming the plugins that keep it; once per message (on the scheduler thread).
  void WarnOfHeldGates();
  // The scheduler saw the wall clock jump.
  void CountClockJump() { m_clockJumps.fetch_add(1, std::memory_order_relaxed); }
  // A call thread was started.
  void CountCallThread() { m_callThreads.fetch_add(1, std::memory_order_relaxed); }

  // Between Start and Stop (the wake-up trigger exists).
  bool Started() const { return m_wakeup != nullptr; }
  // The bytes that queued messages waiting for delivery hold now (payloads and records).
  size_t QueuedBytes() const { return m_queuedBytes.load(std::memory_order_relaxed); }
  // For tests and tools: a copy of the plugin list as it stands.
  std::vector<PluginRecord> PluginsSnapshot() const;
  const wxFileName& ExePath() const { return m_exePath; }
  BufferRefTable& BufferRefs() { return m_bufferRefs; }
  // How many senders wait for channel's gate at this moment (for diagnostics and tests).
  int SendersWaitingOn(uint32_t channel) { return m_gates.WaitingOn(channel); }

 private:
  friend class EventHandlerThread;

  // The first steps of Start and LoadOnly: refuses a second start, loads the plugins (with
  // t_startingCore set on the calling thread).
  bool BeginStart();
  // Routes one message; returns the outcome (RESULT_*).
  int Route(const Message& message);
  // Routes a queued message (source not 0); returns the outcome and counts it.
  int Queue(const Message& message);
  // What a queued message with a payload of length bytes holds while it waits: its payload
  // buffer as allocated and its record.
  static size_t QueuedCost(uint32_t length) {
    return sizeof(Message) + (length != 0 ? PayloadFootprint(length) : 0);
  }
  // Loads one listed file; a rejected file leaves no trace (but its counters).
  void LoadPlugin(const std::string& dir, const std::string& name);
  void LoadBuiltInPlugins();
  // Calls Load of a plugin whose entry points are set and keeps it if it accepts; path names it
  // to the loader's observer.
  void AdmitPlugin(PluginRecord& plugin, const bool exports[8], const std::string& path);
  // A plugin's counters, kept with the Core.
  PluginStats* NewPluginStats();
  // REQUIRES: m_pluginsLock is held. Gives stats the plugin's id and makes them findable by it.
  void PublishSender(PluginStats* stats, uint32_t id) PT_REQUIRES(m_pluginsLock);
  void StartEventHandlerThread();
  void StartSchedulerThread();
  void StopSchedulerThread();
  void StopEventHandlerThread();
  void DrainQueue();
  // At stop, after the Close pass: one warning per plugin that still keeps buffers.
  void ReportKeptBuffers();
  // "name.so (id N)" for the plugin of id, or "id N" when none has it.
  wxString PluginName(uint32_t id) const;
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
    PluginStats* stats;
  };
  std::vector<Recipient> m_recipients;
  EventHandlerThread* m_eventHandlerThread;  // owned; null when none
  SchedulerThread* m_schedulerThread;        // owned; null when none
  MessageQueue m_queue PT_GUARDED_BY(m_queueLock);
  // Set once the event handler has seen the stop: nothing queued from then on would be
  // delivered.
  bool m_deliveryEnded PT_GUARDED_BY(m_queueLock) = false;
  // Bytes held by the messages accepted and not yet delivered (QueuedCost of each): those in
  // m_queue and those the event handler has taken and delivers now. Added to under
  // m_queueLock as messages are appended (after the bound is checked there), taken from by
  // the event handler after each few deliveries; read without the lock for diagnostics.
  std::atomic<size_t> m_queuedBytes{0};
  // What the event handler has taken from m_queue (all of it at once, in one swap under
  // m_queueLock) and not yet delivered: its own, touched by no other thread but for the swap;
  // and how many records that is, for the statistics.
  MessageQueue m_taken;
  std::atomic<size_t> m_takenCount{0};
  // Set by the event handler when it finds the queue empty, before it waits; the next queued
  // message clears it and posts m_wakeup. Set at first, so that what is queued before the
  // event handler runs leaves the trigger signalled for its first wait.
  bool m_handlerWaiting PT_GUARDED_BY(m_queueLock) = true;
  CoreLimits m_limits;
  bool m_startedOnce = false;  // on the main thread only
  // What Start loads and runs (SetPluginFile, AddBuiltInPlugin, SetStartReads).
  struct BuiltInPlugin {
    std::string name;
    PluginEntryFn entries[8];
  };
  std::string m_pluginFile;
  std::vector<BuiltInPlugin> m_builtIns;
  bool m_startReads = true;

  // --- counters (statistics.cc) ---
  // Every plugin's counters, in load order; they live as long as the Core (plugin_stats.h).
  std::vector<std::unique_ptr<PluginStats>> m_pluginStats PT_GUARDED_BY(m_pluginsLock);
  // The senders' counters by id: the table in use, and every table ever published (a sender
  // may still look at an older one), guarded by m_pluginsLock.
  std::atomic<const SenderTable*> m_senders{nullptr};
  std::vector<std::unique_ptr<SenderTable>> m_senderTables PT_GUARDED_BY(m_pluginsLock);
  // Routing. Those of the queue change under m_queueLock with it; Delivered is the event
  // handler's alone; the rest are added to from any thread.
  struct QueueCounts {
    uint64_t queued = 0;
    size_t depthMax = 0;
    size_t depthBytesMax = 0;
  };
  QueueCounts m_queueCounts PT_GUARDED_BY(m_queueLock);
  std::atomic<uint64_t> m_delivered{0};
  std::atomic<uint64_t> m_broadcasts{0}, m_callThreads{0}, m_clockJumps{0};
  std::atomic<uint64_t> m_refusedChannel{0}, m_refusedNoMemory{0}, m_refusedBound{0},
      m_refusedStopping{0};
  TickClock m_ticks;
  int m_statisticsInterval = 0;  // seconds; 0: no statistics document
  // For each channel warned of, the gate's count of acquisitions at the warning: a gate held
  // by the same message is warned of once. The scheduler's alone.
  std::map<uint32_t, uint64_t> m_gatesWarned;
  // A plugin's faults that it may repeat for every message are logged at most once a second.
  LogLimiter m_releaseWarnings;  // releases of buffers the plugin does not hold
  LogLimiter m_nullWarnings;     // null messages and replies
  LogLimiter m_boundWarnings;    // queued messages refused at the queue's bound
  BufferRefTable m_bufferRefs;   // has its own lock
  ChannelGates m_gates;          // has its own lock
  wxFileName m_exePath;
};

#endif  // ZENT_CORE_CORE_H_
