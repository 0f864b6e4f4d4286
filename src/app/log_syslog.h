// wxLogSyslog: a log target of the wxWidgets logging front end that writes every record to the
// system log, one entry per record, through openlog/syslog/closelog.
//
// The entry holds the message text alone (syslog stamps entries itself), written unchanged: a
// '%' in a message is never interpreted. The record's level chooses the priority; the facility
// is LOG_DAEMON and the options LOG_PID and LOG_CONS.
//
// openlog is process-wide and keeps only a pointer to the identifier, so the target keeps its
// own copy of the identifier for as long as it lives, and at most one instance may exist at a
// time. Records may arrive from several threads at once: syslog is thread-safe and the target
// keeps no other state.
#ifndef ZENT_APP_LOG_SYSLOG_H_
#define ZENT_APP_LOG_SYSLOG_H_

#include <string>

#include <wx/log.h>

class wxLogSyslog : public wxLog {
 public:
  // Opens the system log with ident; a null pointer gives an empty identifier.
  explicit wxLogSyslog(const char* ident);
  // Closes the system log.
  ~wxLogSyslog() override;
  wxLogSyslog(const wxLogSyslog&) = delete;
  wxLogSyslog& operator=(const wxLogSyslog&) = delete;

  // Opens the system log again with this target's identifier, options and facility, after
  // other code of the process (libdaemon's own logging) called openlog with options of its own.
  void Reopen();

  // The syslog priority of a library log level; levels the library does not define give
  // LOG_INFO.
  static int PriorityOf(wxLogLevel level);

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
  void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override;
  // Text without a level is logged at LOG_INFO.
  void DoLogText(const wxString& msg) override;

 private:
  void Write(int priority, const wxString& text);

  // The identifier's bytes, unchanged while the log is open: openlog points into them.
  const std::string m_ident;
};

#endif  // ZENT_APP_LOG_SYSLOG_H_
