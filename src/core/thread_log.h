// Logging from threads other than the main one.
//
// The wxWidgets 3 logging front end keeps the messages of threads other than the main one in a
// buffer until the main thread flushes it, and this program's main thread spends its life
// blocked (in getchar, poll or select): such messages would appear late or never. A thread that
// calls RouteThreadLog first sends its log calls to the process's active target at once,
// through one forwarding target that serialises them.
//
// The library keeps a small record for every thread that logs and frees it only at exit, so
// RouteThreadLog is called just before a log call on a thread that may be short-lived (a
// plugin call thread, a plugin's own thread calling back), and once at the start of the
// long-lived service threads. It does nothing on the main thread. The Core may also be started
// and stopped on a routed thread (the plugin test harness does so).
#ifndef ZENT_CORE_THREAD_LOG_H_
#define ZENT_CORE_THREAD_LOG_H_

void RouteThreadLog();

class wxLog;
// The process's active log target, also on a thread that RouteThreadLog routed (where the
// library answers GetActiveTarget with the thread's own target).
wxLog* ProcessLogTarget();

#endif  // ZENT_CORE_THREAD_LOG_H_
