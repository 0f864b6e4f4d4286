#include "core/core.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

#include <wx/log.h>

#include "core/log_counts.h"
#include "core/payload.h"
#include "core/plugin_calls.h"
#include "routing/event_handler.h"
#include "routing/scheduler.h"

Core* Core::s_instance = nullptr;

namespace {
// True on the thread that runs Core::Start, until the event handler thread runs.
thread_local bool t_startingCore = false;

// A Core runs in this process (between Start and Stop), and this process is a child that a
// plugin forked from it without exec. Written with async-signal-safe stores only: the fork
// child hook runs where only such calls are allowed.
std::atomic<bool> g_coreRuns{false};
std::atomic<bool> g_forkedChild{false};

void MarkForkedChild() {
  // The daemon's own fork comes before the Core starts: its child is the server, not a copy.
  if (g_coreRuns.load(std::memory_order_relaxed)) {
    g_forkedChild.store(true, std::memory_order_relaxed);
  }
}
}  // namespace

bool Core::InForkedChild() { return g_forkedChild.load(std::memory_order_relaxed); }

Core::Core(const wxFileName& exePath)
    : m_wakeup(nullptr), m_eventHandlerThread(nullptr), m_schedulerThread(nullptr) {
  s_instance = this;
  m_exePath = exePath;
}

Core::~Core() {
  // Buffers that plugins kept and never gave back: every plugin is unloaded by now, so nobody
  // can use them any more.
  for (void* buffer : m_bufferRefs.TakeAll()) ReleasePayload(buffer);
  FreeKeptPayloads();
  if (s_instance == this) s_instance = nullptr;
}

bool Core::BeginStart() {
  if (m_startedOnce) {
    wxLogError("the core was started before: a stopped core is not started again");
    return false;
  }
  m_startedOnce = true;
  m_ticks.Restart();
  log_counts::Install();
  static std::once_flag forkHook;
  std::call_once(forkHook, [] { pt::at_fork_child(MarkForkedChild); });
  g_coreRuns.store(true, std::memory_order_relaxed);
  m_wakeup = new pt::trigger(true, false);
  t_startingCore = true;
  {
    pt::lockguard guard(m_pluginsLock);
    m_plugins.clear();
  }
  LoadAllPlugins();
  return true;
}

bool Core::LoadOnly() {
  if (!BeginStart()) return false;
  t_startingCore = false;
  // Nothing will deliver: refused from now on, and no gate wait blocks.
  EndDelivery();
  m_gates.AbandonAll();
  return true;
}

bool Core::Start() {
  if (!BeginStart()) return false;
  OpenAllPlugins();
  StartEventHandlerThread();
  t_startingCore = false;
  StartSchedulerThread();
  return true;
}

void Core::Stop() {
  StopSchedulerThread();
  StopEventHandlerThread();
  CloseAllPlugins();
  ReportKeptBuffers();
  UnloadAllPlugins();
  DrainQueue();
  if (m_wakeup != nullptr) {
    delete m_wakeup;
    m_wakeup = nullptr;
  }
  g_coreRuns.store(false, std::memory_order_relaxed);
  log_counts::Remove();
}

void Core::StartEventHandlerThread() {
  {
    pt::lockguard guard(m_pluginsLock);
    m_recipients.clear();
    for (const PluginRecord& plugin : m_plugins) {
      if (plugin.library == nullptr) continue;
      Recipient recipient;
      recipient.id = plugin.info.id;
      std::copy(std::begin(plugin.info.classMasks), std::end(plugin.info.classMasks),
                recipient.masks);
      recipient.acceptsWrite = plugin.info.acceptsWrite != 0;
      recipient.write = plugin.write;
      recipient.ioctl = plugin.ioctl;
      recipient.stats = plugin.stats;
      m_recipients.push_back(recipient);
    }
  }
  m_eventHandlerThread = new EventHandlerThread(this);
  m_eventHandlerThread->start();
}

void Core::StartSchedulerThread() {
  m_schedulerThread = new SchedulerThread(this);
  m_schedulerThread->start();
}

void Core::StopSchedulerThread() {
  if (m_schedulerThread == nullptr) return;
  m_schedulerThread->signal();
  while (!m_schedulerThread->is_finished()) pt::msleep(100);
  delete m_schedulerThread;
  m_schedulerThread = nullptr;
}

void Core::StopEventHandlerThread() {
  if (m_eventHandlerThread == nullptr) return;
  m_eventHandlerThread->signal();
  m_wakeup->post();
  while (!m_eventHandlerThread->is_finished()) pt::msleep(100);
  delete m_eventHandlerThread;
  m_eventHandlerThread = nullptr;
  // Nobody delivers from now on, so nobody gives a held gate back: waits on gates end here.
  m_gates.AbandonAll();
}

void Core::DrainQueue() {
  // Both Core threads have ended and every plugin is unloaded: nobody else touches the queue.
  // The event handler's last drain left it empty unless it never ran.
  // Queued buffers are not in the reference table yet: they are the queue's alone.
  std::deque<Message> dropped;
  {
    pt::lockguard guard(m_queueLock);
    m_taken.TakeAll(&dropped);  // empty: the event handler's last drain delivered it
    std::deque<Message> queued;
    m_queue.TakeAll(&queued);
    dropped.insert(dropped.end(), queued.begin(), queued.end());
    m_queuedBytes.store(0, std::memory_order_relaxed);
    m_takenCount.store(0, std::memory_order_relaxed);
  }
  for (const Message& message : dropped) ReleasePayload(const_cast<void*>(message.data));
}

bool Core::MustNotWaitForGates() const { return IsEventHandlerThread() || t_startingCore; }

std::vector<PluginRecord> Core::PluginsSnapshot() const {
  pt::lockguard guard(m_pluginsLock);
  return m_plugins;
}
