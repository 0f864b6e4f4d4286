// The server in daemon mode, started as an operator starts it: the real executable forks into
// the background, inside an isolation of its own (a private /run for the PID file and the test's
// socket at /dev/log).
//
// The test process makes itself the subreaper of its descendants, so the daemon child, orphaned
// by libdaemon's double fork, becomes the test's child: its exit status, which under the
// sanitizers also tells of any report, is the test's to read.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/isolation.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// The parent process of this process, from /proc.
pid_t ParentOf(pid_t pid) {
  const std::string stat = zt::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');  // the command name may hold spaces
  if (end == std::string::npos) return -1;
  char state = 0;
  int parent = -1;
  if (std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &parent) != 2) return -1;
  return parent;
}

std::vector<std::string> TextsOf(const std::vector<zt::SyslogEntry>& entries) {
  std::vector<std::string> texts;
  for (const auto& entry : entries) texts.push_back(entry.text);
  return texts;
}

// Index of the first text that begins with prefix, or -1.
int IndexOf(const std::vector<std::string>& texts, const std::string& prefix) {
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  }
  return -1;
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string why = zt::IsolatedRun::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
  }

  void TearDown() override {
    // Whatever is still the test's child is a daemon that a failed test left running.
    for (pid_t pid : Children()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!strayFile_.empty()) fs::remove(strayFile_);
  }

  // Starts the server in daemon mode in iso (with umask mask) and waits for the foreground
  // process to end (calling whileWaiting with it first, if given); returns its exit status.
  int StartDaemon(const zt::Installation& install, const zt::IsolatedRun& iso, mode_t mask = 022,
                  const std::function<void(zt::ServerProcess&)>& whileWaiting = {}) {
    zt::ServerProcess parent(install.exe(), {}, "/", SanitizerEnv(), "", [&iso, mask] {
      umask(mask);
      return iso.Enter();
    });
    parent.CloseStdin();
    if (whileWaiting) whileWaiting(parent);
    EXPECT_TRUE(parent.Wait(70000)) << "the foreground process did not end";
    parentPid_ = parent.pid();
    parentStderr_ = parent.Stderr();
    return parent.ExitCode();
  }

  // The daemon child: the process that logged its start. -1 when none did.
  static pid_t DaemonChild(zt::IsolatedRun& iso) {
    const auto started = iso.Syslog().WaitFor("Successfully started");
    return started ? static_cast<pid_t>(started->pid) : -1;
  }

  // Waits for the daemon child to end; returns its exit status, or -1 when it did not exit
  // normally within the bound.
  static int WaitForExit(pid_t child) {
    int status = 0;
    if (!zt::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; })) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Sanitizer reports of the server's processes: their standard error is /dev/null in the
  // daemon child, so they go to files.
  std::vector<std::string> SanitizerEnv() const {
    std::vector<std::string> env;
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      const char* value = std::getenv(name);
      if (value != nullptr) {
        env.push_back(std::string(name) + "=" + value + ":log_path=" + reports_ / "report");
      }
    }
    return env;
  }

  std::string SanitizerReports() const {
    std::string text;
    for (const auto& file : fs::directory_iterator(reports_.path())) {
      text += file.path().string() + ":\n" + zt::ReadFile(file.path().string());
    }
    return text;
  }

  // Stops the daemon child with signo and checks that it stopped in order. Returns its entries.
  std::vector<zt::SyslogEntry> StopAndCheck(zt::IsolatedRun& iso, pid_t child, int signo) {
    EXPECT_EQ(ParentOf(child), getpid()) << "the daemon child is not the test's to wait for";
    EXPECT_EQ(kill(child, signo), 0);
    EXPECT_EQ(WaitForExit(child), 0) << iso.Syslog().Dump() << SanitizerReports();
    EXPECT_EQ(SanitizerReports(), "");
    // Sent before the child ended, but perhaps not yet read from the socket.
    iso.Syslog().WaitFor("Done", child);
    const auto entries = iso.Syslog().EntriesOf(child);
    const auto texts = TextsOf(entries);
    const int received =
        IndexOf(texts, "Received signal " + std::to_string(signo) + ", Exiting...");
    EXPECT_GE(received, 0) << iso.Syslog().Dump();
    EXPECT_GT(received, IndexOf(texts, "Successfully started"));
    EXPECT_FALSE(texts.empty() || texts.back() != "Done") << iso.Syslog().Dump();
    for (const auto& entry : entries) {
      EXPECT_EQ(entry.ident, "zentserver") << entry.raw;
      EXPECT_EQ(entry.facility, LOG_DAEMON) << entry.raw;
    }
    return entries;
  }

  static std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::atoi(name.c_str());
      if (ParentOf(pid) == getpid()) children.push_back(pid);
    }
    return children;
  }

  zt::TempDir reports_;
  pid_t parentPid_ = -1;
  std::string parentStderr_;
  std::string strayFile_;
};

TEST_F(DaemonTest, StartsInTheBackgroundAndEachStopSignalStopsItInOrder) {
  for (int signo : {SIGTERM, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    zt::Installation install;
    zt::IsolatedRun iso;
    const std::string record = install.AddPlugin("watch.so", "id 1\n");
    ASSERT_EQ(StartDaemon(install, iso), 0) << parentStderr_ << iso.Syslog().Dump();
    EXPECT_EQ(parentStderr_, "");

    const pid_t child = DaemonChild(iso);
    ASSERT_GT(child, 0) << iso.Syslog().Dump();
    EXPECT_NE(child, parentPid_);
    EXPECT_EQ(zt::ReadFile(iso.PidFile()), std::to_string(child) + "\n");
    ASSERT_EQ(zt::EventsNamed(zt::ReadEvents(record), "open").size(), 1u);

    StopAndCheck(iso, child, signo);
    EXPECT_FALSE(zt::FileExists(iso.PidFile()));
    const auto events = zt::ReadEvents(record);
    const auto names = [&] {
      std::vector<std::string> list;
      for (const auto& event : events) list.push_back(event.name);
      return list;
    }();
    EXPECT_EQ(zt::EventsNamed(events, "close").size(), 1u);
    EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u);
    EXPECT_LT(std::find(names.begin(), names.end(), "close"),
              std::find(names.begin(), names.end(), "unload"));
  }
}

TEST_F(DaemonTest, TheChildWorksInTheExecutablesDirectoryWithUmask022) {
  zt::Installation install;
  zt::IsolatedRun iso;
  // Created by the plugin's Load with mode 0666 and a name relative to the working directory.
  const std::string name = "created-" + std::to_string(getpid()) + ".log";
  strayFile_ = "/" + name;  // where it would land if the child stayed in libdaemon's "/"
  install.AddPlugin("files.so", "id 1\nrecord " + name + "\nrecord_mode 0666\n");
  // Started from "/" with no umask at all: what the child gets is its own doing.
  ASSERT_EQ(StartDaemon(install, iso, 0), 0) << parentStderr_ << iso.Syslog().Dump();
  const pid_t child = DaemonChild(iso);
  ASSERT_GT(child, 0);

  std::error_code error;
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(child) + "/cwd", error),
            fs::canonical(install.dir()));
  struct stat created = {};
  ASSERT_EQ(stat((install.dir() + "/" + name).c_str(), &created), 0)
      << "the plugin's file is not in the executable's directory";
  EXPECT_EQ(created.st_mode & 07777, 0644u);
  StopAndCheck(iso, child, SIGTERM);
}

TEST_F(DaemonTest, APluginThreadsLogLineReachesSyslogWhileTheDaemonRuns) {
  zt::Installation install;
  zt::IsolatedRun iso;
  // The plugin's own thread gives back a buffer the core does not hold: the core warns.
  install.AddPlugin("sender.so", "id 7\nsend thread self 0 0x200 0 hello\n");
  ASSERT_EQ(StartDaemon(install, iso), 0) << parentStderr_ << iso.Syslog().Dump();
  const pid_t child = DaemonChild(iso);
  ASSERT_GT(child, 0);

  const auto warning = iso.Syslog().WaitFor("plugin 7 gave back a buffer it does not hold", child);
  ASSERT_TRUE(warning) << iso.Syslog().Dump();
  EXPECT_EQ(warning->severity, LOG_WARNING);
  EXPECT_EQ(warning->ident, "zentserver");
  EXPECT_EQ(warning->facility, LOG_DAEMON);
  // Logged while the daemon runs, not flushed at its end.
  EXPECT_EQ(IndexOf(TextsOf(iso.Syslog().EntriesOf(child)), "Received signal"), -1);
  EXPECT_TRUE(zt::FileExists(iso.PidFile()));
  StopAndCheck(iso, child, SIGTERM);
}

TEST_F(DaemonTest, PluginChildrenGetDefaultSignalsAndBrokenPipesFailWithEpipe) {
  zt::Installation install;
  zt::IsolatedRun iso;
  const std::string record = install.AddPlugin(
      "spawner.so",
      "id 1\naccepts_read 1\nmask 0 0\nspawn open\nepipe open\nspawn read\nepipe read\n"
      "send open 0 0 0x01 0 kick\n");
  ASSERT_EQ(StartDaemon(install, iso), 0) << parentStderr_ << iso.Syslog().Dump();
  const pid_t child = DaemonChild(iso);
  ASSERT_GT(child, 0);
  const auto events = zt::WaitForEvents(record, "epipe", 2);
  constexpr unsigned long long kStopAndPipe = (1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1)) |
                                              (1ull << (SIGTERM - 1)) | (1ull << (SIGPIPE - 1));
  EXPECT_EQ(zt::SignalsBlockedByAnyThread(child) & kStopAndPipe, 0u);
  StopAndCheck(iso, child, SIGTERM);
  const auto spawned = zt::EventsNamed(events, "spawn");
  ASSERT_EQ(spawned.size(), 2u);
  // Nor are they ignored, nor the job-control signals that the daemon ignored while it forked.
  constexpr unsigned long long kIgnoredByTheFork =
      (1ull << (SIGPIPE - 1)) | (1ull << (SIGTSTP - 1)) | (1ull << (SIGTTIN - 1)) |
      (1ull << (SIGTTOU - 1));
  for (const zt::Event& spawn : spawned) {
    EXPECT_EQ(spawn.Number("sigblk") & kStopAndPipe, 0u) << spawn.raw;
    EXPECT_EQ(spawn.Number("sigign") & kIgnoredByTheFork, 0u) << spawn.raw;
  }
  for (const zt::Event& epipe : zt::EventsNamed(events, "epipe")) {
    EXPECT_EQ(epipe.Number("errno"), static_cast<unsigned long>(EPIPE)) << epipe.raw;
  }
}

TEST_F(DaemonTest, TheChildStartsAndStopsCleanlyWhenItsParentWasKilledDuringASlowLoad) {
  zt::Installation install;
  zt::IsolatedRun iso;
  const std::string parentGone = install.dir() + "/parent-gone";
  const std::string record = install.AddPlugin(
      "slow.so", "id 1\ntouch load " + install.dir() + "/loading\nawait load " + parentGone + "\n");
  StartDaemon(install, iso, 022, [&](zt::ServerProcess& parent) {
    // Killed while the child is inside Load: the child's start-up report then goes nowhere.
    ASSERT_TRUE(zt::WaitUntil([&] { return zt::FileExists(install.dir() + "/loading"); }));
    parent.Signal(SIGKILL);
    ASSERT_TRUE(parent.Wait());
    zt::WriteFile(parentGone, "");
  });
  const pid_t child = DaemonChild(iso);
  ASSERT_GT(child, 0) << iso.Syslog().Dump();
  StopAndCheck(iso, child, SIGTERM);
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(record), "unload").size(), 1u);
}

TEST_F(DaemonTest, AnExistingPidFileIsReportedAndLeftAloneWhileTheDaemonRunsOn) {
  zt::Installation install;
  zt::IsolatedRun iso;
  // Another instance's PID file, naming a live process (this one).
  const std::string foreign = std::to_string(getpid()) + "\n";
  zt::WriteFile(iso.PidFile(), foreign);
  const std::string record = install.AddPlugin("watch.so", "id 1\n");
  EXPECT_EQ(StartDaemon(install, iso), 1) << iso.Syslog().Dump();
  EXPECT_NE(parentStderr_.find("Daemon returned 1"), std::string::npos) << parentStderr_;

  const pid_t child = DaemonChild(iso);
  ASSERT_GT(child, 0) << iso.Syslog().Dump();
  const auto failure = iso.Syslog().WaitFor("Could not create PID file", child);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->severity, LOG_ERR);
  EXPECT_EQ(zt::ReadFile(iso.PidFile()), foreign);
  ASSERT_EQ(zt::EventsNamed(zt::ReadEvents(record), "open").size(), 1u);

  // libdaemon's own entry about the file comes first and carries the service's identifier too
  // (StopAndCheck checks every entry's identifier).
  const auto entries = StopAndCheck(iso, child, SIGTERM);
  const auto texts = TextsOf(entries);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_NE(texts[0].find("zentserver.pid"), std::string::npos) << iso.Syslog().Dump();
  EXPECT_EQ(texts[0].find("Could not create PID file"), std::string::npos);
  // Still the other instance's file: this daemon did not create it, so it did not remove it.
  EXPECT_EQ(zt::ReadFile(iso.PidFile()), foreign);
}

}  // namespace
