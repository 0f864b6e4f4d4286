// Shared helpers of the tests: temporary directories, the configurable test plugin, its event
// records, bounded waits, the server started as a process, and log capture.
#ifndef ZENT_TESTS_SUPPORT_TEST_SUPPORT_H_
#define ZENT_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zt {

// Generous bound for anything a test waits for: a wait that reaches it is a failure.
constexpr int kWaitMs = 20000;

// What the server prints in the console mode from its start to its stop.
constexpr const char* kConsoleTexts =
    "starting the core...\n\npress any key to stop the core\n\n\nstopping the core...\n\n";

// Waits until done() is true, looking every few milliseconds, for at most timeoutMs. Returns
// whether it became true.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs);

// A measure of work done (messages sent, events recorded) that only grows.
using Progress = std::function<long()>;

// As WaitUntil, for work whose length depends on the machine (a sanitizer, a busy machine):
// the bound counts from the last time progress() grew, so it fails only when the work stalls.
bool WaitWhileProgressing(const std::function<bool()>& done, const Progress& progress,
                          int timeoutMs = kWaitMs);

// Ends the process with a message if it is still alive after timeoutMs (counted, when progress
// is given, from the last time it grew): for a step that would hang for ever on broken code (a
// stop, a join), so that the test fails instead of hanging.
class Watchdog {
 public:
  Watchdog(const std::string& what, int timeoutMs = kWaitMs, Progress progress = {});
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The "*.so" files of dir that are not hidden and not directories, in the order the directory
// lists them: the order in which the server visits them.
std::vector<std::string> ListingOrder(const std::string& dir);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
void CopyFile(const std::string& from, const std::string& to, mode_t mode = 0755);
// Creates the directory path with mode (not the umask's), as the server accepts a plugins
// directory only when group and others cannot write it.
void MakeDirectory(const std::string& path, mode_t mode = 0755);

// A fresh directory (mode 0700) in the process's own directory under the first of TMPDIR, /tmp
// and /var/tmp that the server's trust check accepts (see support/trusted_temp.h), removed with
// its contents at destruction. Its path is absolute and free of symbolic links.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Built artefacts of this build (paths compiled in by CMake).
std::string ServerExecutable();
std::string TestPluginFile(const std::string& variant = "testplugin");

// A directory laid out as an installation: the server's executable (a copy) with a "plugins"
// directory beside it, into which test plugins are installed.
class Installation {
 public:
  Installation();
  const std::string& dir() const { return dir_.path(); }
  std::string exe() const { return dir_ / "zentserver"; }
  std::string plugins() const { return dir_ / "plugins"; }
  // Installs the test plugin (variant) as plugins/<name> with the given settings (see
  // tests/plugins/testplugin.c). Returns the path of its event record.
  std::string AddPlugin(const std::string& name, const std::string& config,
                        const std::string& variant = "testplugin");
  std::string RecordOf(const std::string& name) const { return plugins() + "/" + name + ".log"; }

 private:
  TempDir dir_;
};

// The write end of a test plugin's command FIFO ("ctl PATH" in its settings), made here. The
// plugin's control thread reads commands until this end closes, and the plugin's Unload waits
// for that thread: close it before the server stops.
class PluginControl {
 public:
  explicit PluginControl(const std::string& path);
  ~PluginControl() { Close(); }
  PluginControl(const PluginControl&) = delete;
  PluginControl& operator=(const PluginControl&) = delete;
  const std::string& path() const { return path_; }
  // Sends one command line ("send ...", "release_all", ...); the first waits until the plugin
  // has opened its end. False when it never did.
  bool Send(const std::string& line);
  void Close();

 private:
  std::string path_;
  int fd_ = -1;
};

// One recorded event of a test plugin: "name key=value ...".
struct Event {
  std::string name;
  std::map<std::string, std::string> fields;
  std::string raw;
  const std::string& operator[](const std::string& key) const;
  unsigned long Number(const std::string& key) const;  // decimal or 0x-hex
  bool Has(const std::string& key) const { return fields.count(key) != 0; }
};

std::vector<Event> ReadEvents(const std::string& recordPath);
std::vector<Event> EventsNamed(const std::vector<Event>& events, const std::string& name);
// Waits until the record holds at least count events named name; returns the events read last.
std::vector<Event> WaitForEvents(const std::string& recordPath, const std::string& name,
                                 size_t count = 1, int timeoutMs = kWaitMs);
// The bytes of a payload recorded as hex ("-" for none).
std::string Unhex(const std::string& hex);
// The payloads, as text, of the calls named name ("read", "write", "ioctl") in a plugin's
// record, in order; calls that carried no payload are left out.
std::vector<std::string> Payloads(const std::string& recordPath, const std::string& name);
// The IOCTL command 2 calls in a plugin's record: the status documents it received.
std::vector<Event> StatusDocuments(const std::string& recordPath);

// The server started as a process, with standard input on a pipe and standard output and error
// in files.
class ServerProcess {
 public:
  // Runs exe with args (after argv[0], which is exe unless argv0 is given) in cwd, with the
  // environment of the test plus extraEnv ("NAME=value", replacing a variable of that name).
  // HOME is a private directory unless extraEnv sets it. inChild, when given, runs in the
  // child just before the exec (system calls only: the test may have threads); false ends the
  // child with status 125.
  ServerProcess(const std::string& exe, const std::vector<std::string>& args,
                const std::string& cwd, const std::vector<std::string>& extraEnv = {},
                const std::string& argv0 = "", const std::function<bool()>& inChild = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t pid() const { return pid_; }
  void WriteStdin(const std::string& text);
  void CloseStdin();
  void Signal(int signo);
  // Waits for the process to end; false (and the process is killed) after timeoutMs.
  bool Wait(int timeoutMs = kWaitMs);
  // Whether the process has ended, without waiting for it.
  bool Ended();
  bool exited() const { return exited_; }
  int status() const { return status_; }  // raw wait status
  int ExitCode() const;                   // -1 unless it exited normally
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until standard output contains text.
  bool WaitForStdout(const std::string& text, int timeoutMs = kWaitMs) const;

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
  int status_ = 0;
  TempDir io_;
};

// Collects every log record of the process (the library's active log target), from any thread.
class LogCapture {
 public:
  static LogCapture& Get();
  void Add(const std::string& text);
  std::vector<std::string> Lines();
  void Clear();
  bool Contains(const std::string& text);
  bool WaitFor(const std::string& text, int timeoutMs = kWaitMs);

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

// The signals that any thread of process pid has blocked, as a mask with bit (n - 1) for signal
// n; ~0 when the process cannot be read.
unsigned long long SignalsBlockedByAnyThread(pid_t pid);

// The kernel's id of the calling thread.
pid_t ThreadId();
// The kernel ids of the threads of this process that exist at this moment.
std::set<pid_t> ThreadsOfThisProcess();
// Whether thread tid of this process sleeps in a futex wait on a word inside the size bytes at
// object (on any word when object is null): truly inside a blocking wait on that object, not
// about to enter it or spinning before it sleeps.
bool AsleepOn(pid_t tid, const void* object = nullptr, size_t size = 0);

// Whether the main thread of process pid (a child of this one) sleeps in poll(2) or ppoll(2).
bool AsleepInPoll(pid_t pid);

// For a scope: the environment variable name set to value; unset again at the end.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
};

// The IPv4 loopback address with port (0: any free one, when bound).
sockaddr_in LoopbackAddress(int port);
// A TCP socket bound to a free loopback port and listening with backlog, its port in *port;
// -1 when it cannot be made.
int ListenOnLoopback(int backlog, int* port);

// Counts the occurrences of needle in haystack.
size_t CountOf(const std::string& haystack, const std::string& needle);

// Joins strings and C strings into one. Written instead of "text" + std::to_string(n): GCC 12
// at -O3 takes the insert inside that operator for an overlapping copy (-Wrestrict), which fails
// a build where warnings are errors.
template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::string result;
  (result.append(parts), ...);
  return result;
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_TEST_SUPPORT_H_
