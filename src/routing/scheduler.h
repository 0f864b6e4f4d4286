// SchedulerThread: timed work of the Core.
//
// When it starts it starts one Read call, without payload, for every plugin that takes Read
// calls (each on a call thread of its own, not awaited). Then it looks at the calendar time ten
// times a second; when it moved by more than one second between two looks (the wall clock was
// set), it queues the message "system time changed by %d seconds" (class bit 6, code
// 0x01000002, from the core) with the signed difference.
//
// On every pass it also joins the plugin call threads that have ended since the last one
// (Core::ReapCallThreads), so that ended threads do not pile up between calls into a plugin.
//
// It owns nothing; it waits only in relax(100), which a signal ends early. Stopping: the Core
// signals it; the body finishes the pass in progress (at most one more look) and returns.
#ifndef ZENT_ROUTING_SCHEDULER_H_
#define ZENT_ROUTING_SCHEDULER_H_

#include <ctime>
#include <string>

#include "pt/thread.h"

class Core;

// The calendar time in whole seconds, as time() returns it. Tests replace it to step the clock
// without touching the machine's.
using CalendarClock = time_t (*)();

class SchedulerThread : public pt::thread {
 public:
  explicit SchedulerThread(Core* core) : pt::thread(false), m_core(core) {}
  ~SchedulerThread() override;

  // Makes clock the one the scheduler reads (null restores time()); returns the previous one.
  static CalendarClock SetCalendarClock(CalendarClock clock);

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
