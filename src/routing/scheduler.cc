#include "routing/scheduler.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <wx/log.h>

#include "core/core.h"
#include "core/plugin_calls.h"
#include "core/thread_log.h"

namespace {

time_t SystemCalendarTime() { return ::time(nullptr); }
int64_t SystemMonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<CalendarClock> g_clock{SystemCalendarTime};
std::atomic<MonotonicClock> g_monotonic{SystemMonotonicMs};

constexpr uint32_t kClockMessageFlags = MSG_CLASS_BIT(6);

}  // namespace

CalendarClock SchedulerThread::SetCalendarClock(CalendarClock clock) {
  return g_clock.exchange(clock != nullptr ? clock : SystemCalendarTime);
}

MonotonicClock SchedulerThread::SetMonotonicClock(MonotonicClock clock) {
  return g_monotonic.exchange(clock != nullptr ? clock : SystemMonotonicMs);
}

int SchedulerThread::ClockStep(double calendarSeconds, int64_t monotonicMs) {
  // The calendar counts whole seconds, so a real second may show as 0 or 2 of them: only what
  // the calendar moved beyond the time that really passed, in whole seconds, counts, and only
  // more than one of them.
  const int step = static_cast<int>(calendarSeconds) -
                   static_cast<int>(std::llround(static_cast<double>(monotonicMs) / 1000.0));
  return step > 1 || step < -1 ? step : 0;
}

std::string SchedulerThread::ClockMessageText(int seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "system time changed by %d seconds", seconds);
  return text;
}

SchedulerThread::~SchedulerThread() { waitfor(); }

void SchedulerThread::execute() {
  RouteThreadLog();
  m_core->StartReadPass();
  time_t previous = 0;
  int64_t previousMs = 0;
  // The statistics go by the machine's own steady clock, whatever the test clocks say.
  const int64_t intervalMs = int64_t{m_core->StatisticsInterval()} * 1000;
  int64_t nextStatisticsMs = SystemMonotonicMs() + intervalMs;
  uint64_t sequence = 0;
  int pass = 0;
  while (!is_signaled()) {
    relax(100);
    m_core->ReapCallThreads();
    if (++pass % 10 == 0) m_core->WarnOfHeldGates();  // once a second
    if (intervalMs > 0 && SystemMonotonicMs() >= nextStatisticsMs) {
      m_core->PostStatistics(++sequence);
      // Every interval on the clock; a pass that came late (a stalled machine) does not make
      // the ones after it come in a burst.
      nextStatisticsMs += intervalMs;
      if (nextStatisticsMs <= SystemMonotonicMs())
        nextStatisticsMs = SystemMonotonicMs() + intervalMs;
    }
    const time_t now = g_clock.load()();
    const int64_t nowMs = g_monotonic.load()();
    if (previous != 0) {
      if (const int step = ClockStep(difftime(now, previous), nowMs - previousMs)) {
        ReportClockStep(step);
      }
    }
    previous = now;
    previousMs = nowMs;
  }
}

void SchedulerThread::ReportClockStep(int seconds) {
  m_core->CountClockJump();
  const std::string text = ClockMessageText(seconds);
  Message message;
  std::memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(text.size());
  message.data = text.data();
  message.source = CORE_SOURCE;
  message.channel = 0;
  message.flags = kClockMessageFlags;
  message.code = ZENT_CODE_CLOCK;
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
  m_core->HandleMessage(&message, &reply);
  if (reply.result != RESULT_OK && reply.result != RESULT_CHANNEL_REFUSED) {
    // (Refused: the Core is stopping; nothing is lost that anybody waits for.)
    wxLogError("the clock message was not posted (result %d)", static_cast<int>(reply.result));
  }
}

void Core::ReapCallThreads() {
  pt::lockguard guard(m_pluginsLock);
  for (PluginRecord& plugin : m_plugins) {
    if (plugin.calls != nullptr) plugin.calls->Reap();
  }
}

void Core::StartReadPass() {
  if (!m_startReads) return;
  // m_plugins no longer changes once the scheduler runs; the lock keeps the note writes in
  // step with a broadcast that reads the list on a plugin's thread.
  pt::lockguard guard(m_pluginsLock);
  for (size_t i = 0; i < m_plugins.size(); ++i) {
    PluginRecord& plugin = m_plugins[i];
    if (plugin.library != nullptr && plugin.info.acceptsRead != 0) StartReadAtStart(plugin);
  }
}
