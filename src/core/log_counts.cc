#include "core/log_counts.h"

#include <atomic>

#include <wx/log.h>

#include "core/thread_log.h"

namespace {

std::atomic<uint64_t> g_warnings{0};
std::atomic<uint64_t> g_errors{0};

// Counts each record, then hands it to the target that was active before it.
class CountingLink : public wxLog {
 public:
  explicit CountingLink(wxLog* next) : m_next(next) {}
  wxLog* next() const { return m_next; }

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override {
    if (level == wxLOG_Warning) {
      g_warnings.fetch_add(1, std::memory_order_relaxed);
    } else if (level == wxLOG_Error || level == wxLOG_FatalError) {
      g_errors.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_next != nullptr) m_next->LogRecord(level, msg, info);
  }

 private:
  wxLog* const m_next;
};

CountingLink* g_link = nullptr;

}  // namespace

namespace log_counts {

void Install() {
  if (g_link != nullptr) return;
  // GetActiveTarget makes the library's default target if there is none yet: the link goes in
  // front of whatever would have received the records.
  g_link = new CountingLink(ProcessLogTarget());
  wxLog::SetActiveTarget(g_link);
}

void Remove() {
  if (g_link == nullptr) return;
  if (ProcessLogTarget() == g_link) {
    wxLog::SetActiveTarget(g_link->next());
    delete g_link;
  }
  // Otherwise someone made another target active over it: the link stays alive (that target
  // may still pass records to it) and is simply no longer ours.
  g_link = nullptr;
}

uint64_t Warnings() { return g_warnings.load(std::memory_order_relaxed); }
uint64_t Errors() { return g_errors.load(std::memory_order_relaxed); }

}  // namespace log_counts
