#include "app/log_syslog.h"

#include <syslog.h>

namespace {

constexpr int kOptions = LOG_PID | LOG_CONS;
constexpr int kFacility = LOG_DAEMON;

}  // namespace

wxLogSyslog::wxLogSyslog(const char* ident) : m_ident(ident != nullptr ? ident : "") {
  openlog(m_ident.c_str(), kOptions, kFacility);
}

wxLogSyslog::~wxLogSyslog() { closelog(); }

void wxLogSyslog::Reopen() { openlog(m_ident.c_str(), kOptions, kFacility); }

int wxLogSyslog::PriorityOf(wxLogLevel level) {
  switch (level) {
    case wxLOG_FatalError:
      return LOG_CRIT;
    case wxLOG_Error:
      return LOG_ERR;
    case wxLOG_Warning:
      return LOG_WARNING;
    case wxLOG_Message:
      return LOG_INFO;
    case wxLOG_Status:
      return LOG_NOTICE;
    case wxLOG_Info:
      return LOG_INFO;
    case wxLOG_Debug:
    case wxLOG_Trace:
      return LOG_DEBUG;
    default:
      return LOG_INFO;
  }
}

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) {
  Write(PriorityOf(level), msg);
}

void wxLogSyslog::DoLogTextAtLevel(wxLogLevel level, const wxString& msg) {
  Write(PriorityOf(level), msg);
}

void wxLogSyslog::DoLogText(const wxString& msg) { Write(LOG_INFO, msg); }

void wxLogSyslog::Write(int priority, const wxString& text) {
  // The facility goes with every entry, whatever another openlog of the process chose.
  syslog(priority | kFacility, "%s", static_cast<const char*>(text.utf8_str()));
}
