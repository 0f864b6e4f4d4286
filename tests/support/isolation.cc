#include "support/isolation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zt {

namespace fs = std::filesystem;

bool ParseSyslogEntry(const std::string& datagram, SyslogEntry* entry) {
  entry->raw = datagram;
  if (datagram.empty() || datagram[0] != '<') return false;
  const size_t close = datagram.find('>');
  if (close == std::string::npos || close == 1) return false;
  char* end = nullptr;
  const long pri = std::strtol(datagram.c_str() + 1, &end, 10);
  if (end != datagram.c_str() + close) return false;
  entry->facility = static_cast<int>(pri & ~7L);
  entry->severity = static_cast<int>(pri & 7L);
  // The time stamp: "Mmm dd hh:mm:ss ".
  constexpr size_t kStampLength = 16;
  const size_t header = close + 1 + kStampLength;
  if (datagram.size() < header || datagram[header - 1] != ' ') return false;
  const size_t separator = datagram.find(": ", header);
  if (separator == std::string::npos) return false;
  const std::string tag = datagram.substr(header, separator - header);
  entry->text = datagram.substr(separator + 2);
  const size_t open = tag.rfind('[');
  if (open != std::string::npos && tag.back() == ']') {
    entry->ident = tag.substr(0, open);
    entry->pid = std::strtol(tag.c_str() + open + 1, nullptr, 10);
  } else {
    entry->ident = tag;
  }
  return true;
}

SyslogSink::SyslogSink(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) std::abort();
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      pipe2(stop_, O_CLOEXEC) != 0) {
    std::abort();
  }
  reader_ = std::thread([this] { Read(); });
}

SyslogSink::~SyslogSink() {
  const char stop = 1;
  if (write(stop_[1], &stop, 1) != 1) std::abort();
  reader_.join();
  close(fd_);
  close(stop_[0]);
  close(stop_[1]);
}

void SyslogSink::Read() {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (;;) {
      const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
      if (n < 0) break;
      SyslogEntry entry;
      ParseSyslogEntry(std::string(buffer.data(), static_cast<size_t>(n)), &entry);
      std::lock_guard<std::mutex> lock(mu_);
      entries_.push_back(std::move(entry));
    }
    if (fds[1].revents != 0) return;
  }
}

std::vector<SyslogEntry> SyslogSink::Entries() {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_;
}

std::vector<SyslogEntry> SyslogSink::EntriesOf(long pid) {
  std::vector<SyslogEntry> found;
  for (SyslogEntry& entry : Entries()) {
    if (entry.pid == pid) found.push_back(std::move(entry));
  }
  return found;
}

std::optional<SyslogEntry> SyslogSink::WaitFor(const std::string& text, long pid, int timeoutMs) {
  std::optional<SyslogEntry> found;
  WaitUntil(
      [&] {
        for (const SyslogEntry& entry : Entries()) {
          if ((pid == -1 || entry.pid == pid) && entry.text.find(text) != std::string::npos) {
            found = entry;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::string SyslogSink::Dump() {
  std::string text;
  for (const SyslogEntry& entry : Entries()) text += "  " + entry.raw + "\n";
  return text.empty() ? "  (no syslog entries)\n" : text;
}

IsolatedRun::IsolatedRun()
    : runDir_(dir_ / "run"),
      devDir_(dir_ / "dev"),
      devNodes_{"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom"} {
  fs::create_directory(runDir_);
  fs::create_directory(devDir_);
  for (const std::string& node : devNodes_) {
    devFiles_.push_back(devDir_ + "/" + fs::path(node).filename().string());
    WriteFile(devFiles_.back(), "");  // a mount point for the device
  }
  syslog_ = std::make_unique<SyslogSink>(devDir_ + "/log");
}

std::string IsolatedRun::Unavailable() {
  static const std::string reason = []() -> std::string {
    if (geteuid() != 0) return "needs root for a private mount namespace (/run and /dev/log)";
    const pid_t pid = fork();
    if (pid < 0) return std::string("fork failed: ") + std::strerror(errno);
    if (pid == 0) {
      if (unshare(CLONE_NEWNS) != 0) _exit(1);
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(2);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    return "needs unshare(CLONE_NEWNS) and private mounts for a private /run and /dev/log; "
           "this machine refused them";
  }();
  return reason;
}

bool IsolatedRun::Enter() const {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  for (size_t i = 0; i < devNodes_.size(); ++i) {
    if (mount(devNodes_[i].c_str(), devFiles_[i].c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return false;
    }
  }
  if (mount(runDir_.c_str(), "/run", nullptr, MS_BIND, nullptr) != 0) return false;
  return mount(devDir_.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

int IsolatedRun::RunInChild(const std::function<int()>& body, pid_t* childPid, int timeoutMs) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!Enter()) _exit(125);
    _exit(body());
  }
  if (childPid != nullptr) *childPid = pid;
  int status = 0;
  const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zt
