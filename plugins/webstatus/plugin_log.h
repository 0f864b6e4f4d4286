// plugin_log.h: the plugin's log lines, "webstatus: ..." on standard error in the console and
// to syslog (facility daemon) in the daemon, whose standard error is /dev/null.
//
// Thread safety: Log may be called from any thread once ChooseLogTarget has run.
#ifndef ZENT_PLUGINS_WEBSTATUS_PLUGIN_LOG_H_
#define ZENT_PLUGINS_WEBSTATUS_PLUGIN_LOG_H_

#include <stdarg.h>
#include <syslog.h>

namespace webstatus {

// Looks where standard error goes; at Load.
void ChooseLogTarget();
__attribute__((format(printf, 2, 3))) void Log(int priority, const char* format, ...);
void LogV(int priority, const char* format, va_list args);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_PLUGIN_LOG_H_
