#include "support/test_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/trusted_temp.h"

extern char** environ;

namespace zt {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool WaitWhileProgressing(const std::function<bool()>& done, const Progress& progress,
                          int timeoutMs) {
  long last = progress();
  for (;;) {
    bool grew = false;
    const bool ended = WaitUntil(
        [&] {
          const long now = progress();
          grew = now != last;
          last = now;
          return grew || done();
        },
        timeoutMs);
    if (!ended || done()) return done();
  }
}

struct Watchdog::State {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
};

Watchdog::Watchdog(const std::string& what, int timeoutMs, Progress progress)
    : state_(std::make_shared<State>()) {
  std::thread([state = state_, what, timeoutMs, progress] {
    std::unique_lock<std::mutex> lock(state->mu);
    const auto wait = [&] {
      return state->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return state->done; });
    };
    long last = progress ? progress() : 0;
    bool finished = wait();
    while (!finished && progress) {
      const long now = progress();
      if (now == last) break;  // no progress within the bound: a stall
      last = now;
      finished = wait();
    }
    if (!finished) {
      std::fprintf(stderr, "\nFAILED: %s did not finish within %d ms\n", what.c_str(), timeoutMs);
      std::fflush(stderr);
      std::_Exit(1);
    }
  }).detach();
}

Watchdog::~Watchdog() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->done = true;
  state_->cv.notify_all();
}

std::vector<std::string> ListingOrder(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name[0] == '.' || name.size() < 3 || name.compare(name.size() - 3, 3, ".so") != 0 ||
        fs::is_directory(dir + "/" + name)) {
      continue;
    }
    names.push_back(name);
  }
  closedir(listing);
  return names;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  chmod(to.c_str(), mode);
}

void MakeDirectory(const std::string& path, mode_t mode) {
  fs::create_directory(path);
  chmod(path.c_str(), mode);
}

namespace {

// mkdtemp of pattern ("...XXXXXX"); aborts when it cannot.
std::string MakeTempDirectory(const std::string& pattern) {
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr) {
    std::fprintf(stderr, "test support: cannot make a directory %s: %s\n", pattern.c_str(),
                 std::strerror(errno));
    std::abort();
  }
  return buffer.data();
}

// The directory of this process's temporary directories (see support/trusted_temp.h): open to
// others, removed with its contents when the process that made it ends (not a child that a
// death test forked).
class TestRoot {
 public:
  static const std::string& Path() {
    static TestRoot root;
    return root.path_;
  }

 private:
  TestRoot() : owner_(getpid()) {
    std::string why;
    const std::string base = TrustedTempBase(&why);
    if (base.empty()) {
      std::fprintf(stderr, "\nFAILED: no directory for the tests' plugins: %s\n", why.c_str());
      std::exit(1);
    }
    path_ = MakeTempDirectory(base + "/zentserver-tests.XXXXXX");
    chmod(path_.c_str(), 0755);
  }
  ~TestRoot() {
    if (getpid() != owner_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  pid_t owner_;
  std::string path_;
};

}  // namespace

TempDir::TempDir() {
  // Without symbolic links, as the server names the paths it finds at fault.
  path_ = fs::canonical(MakeTempDirectory(TestRoot::Path() + "/zt.XXXXXX")).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ServerExecutable() { return ZENT_SERVER_EXE; }

std::string TestPluginFile(const std::string& variant) {
  return std::string(ZENT_TEST_PLUGIN_DIR) + "/" + variant + ".so";
}

Installation::Installation() {
  CopyFile(ServerExecutable(), exe());
  MakeDirectory(plugins());
}

std::string Installation::AddPlugin(const std::string& name, const std::string& config,
                                    const std::string& variant) {
  CopyFile(TestPluginFile(variant), plugins() + "/" + name);
  WriteFile(plugins() + "/" + name + ".conf", config);
  return RecordOf(name);
}

PluginControl::PluginControl(const std::string& path) : path_(path) {
  if (mkfifo(path_.c_str(), 0600) != 0) std::abort();
}

bool PluginControl::Send(const std::string& line) {
  // Opening without a reader fails at once (ENXIO) instead of blocking.
  if (fd_ < 0 && !WaitUntil([&] {
        fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
      })) {
    return false;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  const std::string text = line + "\n";
  return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void PluginControl::Close() {
  // A plugin that was never sent a command waits in its open of the FIFO: open it, so that
  // the plugin's control thread sees the end.
  if (fd_ < 0) fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

const std::string& Event::operator[](const std::string& key) const {
  static const std::string kNone;
  auto it = fields.find(key);
  return it == fields.end() ? kNone : it->second;
}

unsigned long Event::Number(const std::string& key) const {
  return std::strtoul((*this)[key].c_str(), nullptr, 0);
}

std::vector<Event> ReadEvents(const std::string& recordPath) {
  std::vector<Event> events;
  std::istringstream in(ReadFile(recordPath));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    Event event;
    event.raw = line;
    std::istringstream words(line);
    words >> event.name;
    std::string word;
    while (words >> word) {
      auto eq = word.find('=');
      if (eq != std::string::npos) event.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<Event> EventsNamed(const std::vector<Event>& events, const std::string& name) {
  std::vector<Event> named;
  for (const Event& event : events) {
    if (event.name == name) named.push_back(event);
  }
  return named;
}

std::vector<Event> WaitForEvents(const std::string& recordPath, const std::string& name,
                                 size_t count, int timeoutMs) {
  // Every event recorded counts as progress: a long run of deliveries is not a stall.
  std::vector<Event> events;
  WaitWhileProgressing([&] { return EventsNamed(events, name).size() >= count; },
                       [&] {
                         events = ReadEvents(recordPath);
                         return static_cast<long>(events.size());
                       },
                       timeoutMs);
  return events;
}

std::string Unhex(const std::string& hex) {
  if (hex == "-") return "";
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<std::string> Payloads(const std::string& recordPath, const std::string& name) {
  std::vector<std::string> payloads;
  for (const Event& event : EventsNamed(ReadEvents(recordPath), name)) {
    if (event["len"] != "0") payloads.push_back(Unhex(event["hex"]));
  }
  return payloads;
}

std::vector<Event> StatusDocuments(const std::string& recordPath) {
  std::vector<Event> documents;
  for (const Event& event : EventsNamed(ReadEvents(recordPath), "ioctl")) {
    if (event["cmd"] == "2") documents.push_back(event);
  }
  return documents;
}

ServerProcess::ServerProcess(const std::string& exe, const std::vector<std::string>& args,
                             const std::string& cwd, const std::vector<std::string>& extraEnvIn,
                             const std::string& argv0, const std::function<bool()>& inChild) {
  std::vector<std::string> extraEnv = {"HOME=" + io_.path()};
  extraEnv.insert(extraEnv.end(), extraEnvIn.begin(), extraEnvIn.end());
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) std::abort();
  const std::string out = io_ / "stdout";
  const std::string err = io_ / "stderr";
  // Everything the child needs is prepared before the fork: after it, only system calls.
  std::vector<std::string> argStrings;
  argStrings.push_back(argv0.empty() ? exe : argv0);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** var = environ; *var != nullptr; ++var) {
    const std::string assignment = *var;
    const std::string name = assignment.substr(0, assignment.find('='));
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced |= extra.substr(0, extra.find('=')) == name;
    if (!replaced) envStrings.push_back(assignment);
  }
  // Later settings win: a test's own HOME replaces the private one.
  for (size_t i = 0; i < extraEnv.size(); ++i) {
    const std::string name = extraEnv[i].substr(0, extraEnv[i].find('='));
    bool later = false;
    for (size_t j = i + 1; j < extraEnv.size(); ++j)
      later |= extraEnv[j].substr(0, extraEnv[j].find('=')) == name;
    if (!later) envStrings.push_back(extraEnv[i]);
  }
  std::vector<char*> envp;
  for (std::string& var : envStrings) envp.push_back(var.data());
  envp.push_back(nullptr);
  const char* dir = cwd.empty() ? nullptr : cwd.c_str();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    if (dir != nullptr && chdir(dir) != 0) _exit(126);
    // The test process may block signals in some threads; the server starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (inChild && !inChild()) _exit(125);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  stdin_ = in[1];
}

ServerProcess::~ServerProcess() {
  if (stdin_ >= 0) close(stdin_);
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

void ServerProcess::WriteStdin(const std::string& text) {
  if (stdin_ >= 0 && write(stdin_, text.data(), text.size()) < 0) {
    // The server has gone; the test sees that in its exit status.
  }
}

void ServerProcess::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

void ServerProcess::Signal(int signo) { kill(pid_, signo); }

bool ServerProcess::Wait(int timeoutMs) {
  if (exited_) return true;
  const bool ended = WaitUntil([&] { return Ended(); }, timeoutMs);
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
    return false;
  }
  return true;
}

bool ServerProcess::Ended() {
  if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return exited_;
}

int ServerProcess::ExitCode() const {
  return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string ServerProcess::Stdout() const { return ReadFile(io_ / "stdout"); }
std::string ServerProcess::Stderr() const { return ReadFile(io_ / "stderr"); }

bool ServerProcess::WaitForStdout(const std::string& text, int timeoutMs) const {
  return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, timeoutMs);
}

LogCapture& LogCapture::Get() {
  static LogCapture* capture = new LogCapture;
  return *capture;
}

void LogCapture::Add(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(text);
}

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

bool LogCapture::Contains(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const std::string& line : lines_) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

bool LogCapture::WaitFor(const std::string& text, int timeoutMs) {
  return WaitUntil([&] { return Contains(text); }, timeoutMs);
}

unsigned long long SignalsBlockedByAnyThread(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  unsigned long long blocked = 0;
  bool any = false;
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    const std::string status = ReadFile(task.path().string() + "/status");
    const size_t at = status.find("SigBlk:");
    if (at == std::string::npos) continue;
    const unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
    // A sanitizer runtime's own service thread blocks nearly every signal, SIGSEGV included,
    // which no thread of the server ever does; it runs no code of the server or its plugins.
    if ((mask & (1ull << (SIGSEGV - 1))) != 0) continue;
    blocked |= mask;
    any = true;
  }
  return any ? blocked : ~0ull;
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

std::set<pid_t> ThreadsOfThisProcess() {
  std::set<pid_t> threads;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/self/task", error)) {
    threads.insert(std::atoi(task.path().filename().c_str()));
  }
  return threads;
}

namespace {

// The system call that a thread sleeps in, from "/proc/.../syscall": "NR ARG1 ..." while the
// thread is blocked in system call NR, "running" or "-1 ..." else. Returns NR and sets *args to
// the text after it; -1 when the thread is not blocked in one (or cannot be read).
long BlockedSystemCall(const std::string& procFile, std::string* args) {
  const std::string call = ReadFile(procFile);
  char* end = nullptr;
  const long number = std::strtol(call.c_str(), &end, 10);
  if (end == call.c_str()) return -1;
  *args = end;
  return number;
}

}  // namespace

bool AsleepOn(pid_t tid, const void* object, size_t size) {
  std::string args;
  const long number =
      BlockedSystemCall("/proc/self/task/" + std::to_string(tid) + "/syscall", &args);
  bool futex = number == SYS_futex;
#ifdef SYS_futex_time64
  futex = futex || number == SYS_futex_time64;
#endif
  if (!futex) return false;
  if (object == nullptr) return true;
  const uintptr_t word = std::strtoull(args.c_str(), nullptr, 16);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(object);
  return word >= begin && word < begin + size;
}

bool AsleepInPoll(pid_t pid) {
  std::string args;
  const long number = BlockedSystemCall("/proc/" + std::to_string(pid) + "/syscall", &args);
  bool poll = number == SYS_ppoll;
#ifdef SYS_poll
  poll = poll || number == SYS_poll;
#endif
#ifdef SYS_ppoll_time64
  poll = poll || number == SYS_ppoll_time64;
#endif
  return poll;
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int ListenOnLoopback(int backlog, int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      listen(fd, backlog) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace zt
