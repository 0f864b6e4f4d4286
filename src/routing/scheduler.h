// SchedulerThread: timed work of the Core.
//
// When it starts it starts one Read call, without payload, for every plugin that takes Read
// calls (each on a call thread of its own, not awaited). Then it looks at the calendar time ten
// times a second, and at the monotonic clock right after; when the calendar time moved by more
// than one second further than the monotonic clock between two looks (the wall clock was set
// by hand or stepped), it queues the message "system time changed by %d seconds" (class bit 6,
// code 0x01000002, from the core) with the signed difference of the two steps. A stall of the
// thread (a paused virtual machine, a box swapping, SIGSTOP) moves both clocks alike and is
// not taken for a jump.
//
// On every pass it also joins the plugin call threads that have ended since the last one
// (Core::ReapCallThreads), so that ended threads do not pile up between calls into a plugin;
// once a second it reports channels that one message has held for long (Core::WarnOfHeldGates);
// and with a statistics interval it sends the statistics document that often, by the steady
// clock (Core::PostStatistics).
//
// It owns nothing; it waits only in relax(100), which a signal ends early. Stopping: the Core
// signals it; the body finishes the pass in progress (at most one more look) and returns.
#ifndef ZENT_ROUTING_SCHEDULER_H_
#define ZENT_ROUTING_SCHEDULER_H_

#include <cstdint>
#include <ctime>
#include <string>

#include "pt/thread.h"

class Core;

// The calendar time in whole seconds, as time() returns it. Tests replace it to step the clock
// without touching the machine's.
using CalendarClock = time_t (*)();
// The monotonic time in milliseconds (steady_clock). Tests replace it to stall the scheduler
// without stopping it.
using MonotonicClock = int64_t (*)();

class SchedulerThread : public pt::thread {
 public:
  explicit SchedulerThread(Core* core) : pt::thread(false), m_core(core) {}
  ~SchedulerThread() override;

  // Makes clock the one the scheduler reads (null restores time()); returns the previous one.
  static CalendarClock SetCalendarClock(CalendarClock clock);
  // The same for the monotonic clock (null restores steady_clock). The scheduler reads the
  // calendar clock first and the monotonic one right after it.
  static MonotonicClock SetMonotonicClock(MonotonicClock clock);
  // The clock step to report when the calendar time moved by calendarSeconds while the
  // monotonic time moved by monotonicMs between two looks; 0 for none (within a second).
  static int ClockStep(double calendarSeconds, int64_t monotonicMs);

  // The text of the clock message for a difference of seconds.
  static std::string ClockMessageText(int seconds);

 protected:
  void execute() override;
  void cleanup() override {}

 private:
  // Sends the clock message for a difference of seconds.
  void ReportClockStep(int seconds);

  Core* m_core;
};

#endif  // ZENT_ROUTING_SCHEDULER_H_
