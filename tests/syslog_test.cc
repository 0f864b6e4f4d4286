// wxLogSyslog through a real syslog socket: the logging runs in a child with a private /dev/log
// (the test's datagram socket), and the test reads what arrived.
#include <cerrno>
#include <memory>
#include <string>
#include <syslog.h>

#include <gtest/gtest.h>

#include "app/log_syslog.h"
#include "support/isolation.h"

namespace {

class SyslogTargetTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string why = zt::IsolatedRun::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    iso_ = std::make_unique<zt::IsolatedRun>();
  }

  // Runs body in an isolated child and waits until count entries arrived (the socket is the
  // test's own: every entry comes from the child).
  std::vector<zt::SyslogEntry> LogInChild(const std::function<void()>& body, size_t count) {
    pid_t child = -1;
    const int status = iso_->RunInChild(
        [&] {
          body();
          return 0;
        },
        &child);
    EXPECT_EQ(status, 0);
    if (status != 0) return iso_->Syslog().Entries();
    std::vector<zt::SyslogEntry> entries;
    zt::WaitUntil([&] { return (entries = iso_->Syslog().Entries()).size() >= count; });
    EXPECT_EQ(entries.size(), count) << iso_->Syslog().Dump();
    pid_ = child;
    return entries;
  }

  std::unique_ptr<zt::IsolatedRun> iso_;
  long pid_ = -1;
};

TEST_F(SyslogTargetTest, EveryLevelHasItsPriorityAndTheEntryHoldsTheTextAlone) {
  struct Case {
    wxLogLevel level;
    int priority;
  };
  const std::vector<Case> cases = {
      {wxLOG_FatalError, LOG_CRIT}, {wxLOG_Error, LOG_ERR},     {wxLOG_Warning, LOG_WARNING},
      {wxLOG_Message, LOG_INFO},    {wxLOG_Status, LOG_NOTICE}, {wxLOG_Info, LOG_INFO},
      {wxLOG_Debug, LOG_DEBUG},     {wxLOG_Trace, LOG_DEBUG},   {wxLOG_Progress, LOG_INFO},
      {wxLOG_User + 5, LOG_INFO},
  };
  const auto entries = LogInChild(
      [&] {
        wxLogSyslog log("zentserver");
        for (const Case& c : cases) {
          log.LogRecord(c.level, wxString::Format("level %lu", c.level),
                        wxLogRecordInfo(__FILE__, __LINE__, __func__, "test"));
        }
        log.LogText("text without a level");
        log.LogTextAtLevel(wxLOG_Debug, "text at the debug level");
      },
      cases.size() + 2);
  ASSERT_EQ(entries.size(), cases.size() + 2);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(entries[i].raw);
    EXPECT_EQ(entries[i].text, "level " + std::to_string(cases[i].level));
    EXPECT_EQ(entries[i].severity, cases[i].priority);
    EXPECT_EQ(entries[i].facility, LOG_DAEMON);
    EXPECT_EQ(entries[i].ident, "zentserver");
  }
  EXPECT_EQ(entries[cases.size()].text, "text without a level");
  EXPECT_EQ(entries[cases.size()].severity, LOG_INFO);
  EXPECT_EQ(entries[cases.size() + 1].severity, LOG_DEBUG);
}

TEST_F(SyslogTargetTest, LogCallsOfTheActiveTargetArriveUnchanged) {
  const std::string percent = "50% done: %s %d %n %% %";
  const auto entries = LogInChild(
      [&] {
        delete wxLog::SetActiveTarget(new wxLogSyslog("zentserver"));
        wxLogWarning("disk %d%% full", 90);
        wxLogMessage("%s", percent);
        errno = ENOENT;
        wxLogSysError("could not open the file");
        wxLogGeneric(wxLOG_Status, "status");
        delete wxLog::SetActiveTarget(nullptr);
      },
      4);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].text, "disk 90% full");
  EXPECT_EQ(entries[0].severity, LOG_WARNING);
  EXPECT_EQ(entries[1].text, percent);
  EXPECT_EQ(entries[1].severity, LOG_INFO);
  EXPECT_EQ(entries[2].severity, LOG_ERR);
  EXPECT_EQ(entries[2].text.rfind("could not open the file (error 2: ", 0), 0u) << entries[2].text;
  EXPECT_EQ(entries[3].severity, LOG_NOTICE);
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.ident, "zentserver") << entry.raw;
    EXPECT_EQ(entry.facility, LOG_DAEMON) << entry.raw;
    EXPECT_EQ(entry.pid, pid_) << entry.raw;
  }
}

TEST_F(SyslogTargetTest, TheIdentifierIsTheTargetsOwnCopyAndIsGivenUpAtDestruction) {
  const auto entries = LogInChild(
      [&] {
        // The caller's string is overwritten and freed while the target logs.
        auto ident = std::make_unique<std::string>("zentserver");
        auto* log = new wxLogSyslog(ident->c_str());
        ident->assign(ident->size(), 'X');
        ident.reset();
        log->LogText("with a copied identifier");
        delete log;
        // After closelog the identifier is the program's own again, never the freed copy.
        syslog(LOG_INFO | LOG_USER, "after the target");
        wxLogSyslog nameless(nullptr);
        nameless.LogText("without an identifier");
      },
      3);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].ident, "zentserver");
  EXPECT_EQ(entries[0].pid, pid_);
  EXPECT_EQ(entries[1].ident, program_invocation_short_name);
  EXPECT_EQ(entries[2].ident, "");
  EXPECT_EQ(entries[2].text, "without an identifier");
  EXPECT_EQ(entries[2].facility, LOG_DAEMON);
  EXPECT_EQ(entries[2].pid, pid_);
}

}  // namespace
