#include "core/thread_log.h"

#include <wx/log.h>
#include <wx/thread.h>

#include "pt/sync.h"

namespace {

// The target of every routed thread: hands each record to the process's active target, one
// record at a time.
class ThreadLogForwarder : public wxLog {
 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override {
    // On a routed thread the library answers GetActiveTarget with the thread's own target
    // (this object); without it, with the process's target.
    wxLog::SetThreadActiveTarget(nullptr);
    wxLog* target = wxLog::GetActiveTarget();
    wxLog::SetThreadActiveTarget(this);
    if (target == nullptr || target == this) return;
    pt::lockguard guard(m_lock);
    target->LogRecord(level, msg, info);
  }

 private:
  pt::mutex m_lock;
};

ThreadLogForwarder& Forwarder() {
  // Never destroyed: threads may log while the process exits.
  static ThreadLogForwarder* forwarder = new ThreadLogForwarder;
  return *forwarder;
}

thread_local bool t_routed = false;

// Serialises the first routing of threads: the library sets up its per-thread records lazily,
// and the first threads to log must not do that at the same moment.
pt::mutex g_routeLock;

}  // namespace

wxLog* ProcessLogTarget() {
  // The main thread has no target of its own.
  if (wxThread::IsMain()) return wxLog::GetActiveTarget();
  wxLog* const own = wxLog::SetThreadActiveTarget(nullptr);
  wxLog* const target = wxLog::GetActiveTarget();
  wxLog::SetThreadActiveTarget(own);
  return target;
}

void RouteThreadLog() {
  if (t_routed) return;
  t_routed = true;
  if (wxThread::IsMain()) return;
  pt::lockguard guard(g_routeLock);
  wxLog::SetThreadActiveTarget(&Forwarder());
}
