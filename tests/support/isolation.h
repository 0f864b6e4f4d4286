// A private /run and /dev/log for the processes a test starts, so that daemon tests neither
// touch the machine's PID files and system log nor collide with each other.
//
// IsolatedRun prepares, in a temporary directory, an empty run/ directory and a dev/ directory
// holding a datagram socket "log" read by a SyslogSink. A process that calls Enter (in a child
// forked by the test) gets a mount namespace of its own in which that run/ directory is /run
// (so /var/run/zentserver.pid lands in it, visible to the test) and that dev/ directory, with
// null, zero, random and urandom bound in from the real /dev, is /dev (so syslog(3) writes to
// the test's socket). Nothing outside the namespace sees the mounts; they vanish with its last
// process. It needs root and unshare(CLONE_NEWNS); Unavailable says why not when it cannot.
#ifndef ZENT_TESTS_SUPPORT_ISOLATION_H_
#define ZENT_TESTS_SUPPORT_ISOLATION_H_

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace zt {

// One entry as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT".
struct SyslogEntry {
  int facility = -1;  // as the LOG_* facility constants (LOG_DAEMON is 3 << 3)
  int severity = -1;  // LOG_ERR, LOG_INFO, ...
  std::string ident;
  long pid = -1;
  std::string text;
  std::string raw;
};

// Parses one datagram; false when it does not have the form above.
bool ParseSyslogEntry(const std::string& datagram, SyslogEntry* entry);

// A datagram socket bound at a path, read by a thread of its own so that a writer never blocks
// on a full socket queue (Linux queues only a few datagrams).
class SyslogSink {
 public:
  explicit SyslogSink(const std::string& path);
  ~SyslogSink();
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  std::vector<SyslogEntry> Entries();
  // The entries whose process ID is pid.
  std::vector<SyslogEntry> EntriesOf(long pid);
  // Waits for an entry whose text contains text (from process pid, unless pid is -1).
  std::optional<SyslogEntry> WaitFor(const std::string& text, long pid = -1,
                                     int timeoutMs = kWaitMs);
  // Every entry received, one a line, for failure messages.
  std::string Dump();

 private:
  void Read();

  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::mutex mu_;
  std::vector<SyslogEntry> entries_;
  std::thread reader_;
};

class IsolatedRun {
 public:
  IsolatedRun();
  IsolatedRun(const IsolatedRun&) = delete;
  IsolatedRun& operator=(const IsolatedRun&) = delete;

  // Empty when isolation works on this machine; otherwise the reason, for GTEST_SKIP.
  static std::string Unavailable();

  // What the isolated process sees as /run.
  const std::string& RunDir() const { return runDir_; }
  // libdaemon's PID file of the server, as the test sees it.
  std::string PidFile() const { return runDir_ + "/zentserver.pid"; }
  SyslogSink& Syslog() { return *syslog_; }

  // Enters the isolation. For a child forked by the test: system calls only. False on failure.
  bool Enter() const;
  // Forks a child that enters the isolation, runs body and ends with its result; waits for it.
  // Returns the exit status, or -1 when the child did not exit normally within the bound.
  int RunInChild(const std::function<int()>& body, pid_t* childPid = nullptr,
                 int timeoutMs = kWaitMs);

 private:
  TempDir dir_;
  std::string runDir_;
  std::string devDir_;
  std::vector<std::string> devNodes_;  // the real devices bound in
  std::vector<std::string> devFiles_;  // where they appear in devDir_
  std::unique_ptr<SyslogSink> syslog_;
};

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_ISOLATION_H_
