#include "harness/output_capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zh {

OutputCapture::OutputCapture(int fd, bool tee) : fd_(fd), tee_(tee) {}

OutputCapture::~OutputCapture() { Stop(); }

bool OutputCapture::Start() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  std::fflush(fd_ == 1 ? stdout : stderr);
  saved_ = fcntl(fd_, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0 || dup2(ends[1], fd_) < 0) {
    if (saved_ >= 0) close(saved_);
    close(ends[0]);
    close(ends[1]);
    saved_ = -1;
    return false;
  }
  close(ends[1]);
  read_ = ends[0];
  started_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void OutputCapture::Stop() {
  if (!started_) return;
  started_ = false;
  std::fflush(fd_ == 1 ? stdout : stderr);
  // The descriptor goes back first: from then on only a child that inherited the pipe can
  // still write into it.
  dup2(saved_, fd_);
  stopping_.store(true);
  thread_.join();
  close(read_);
  close(saved_);
  read_ = saved_ = -1;
}

void OutputCapture::Run() {
  char buffer[4096];
  for (;;) {
    pollfd ready = {read_, POLLIN, 0};
    const int n = poll(&ready, 1, 100);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (stopping_.load()) return;
      continue;
    }
    const ssize_t got = read(read_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // every writing end is closed
    if (tee_) {
      for (ssize_t written = 0; written < got;) {
        const ssize_t w = write(saved_, buffer + written, static_cast<size_t>(got - written));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        written += w;
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    text_.append(buffer, static_cast<size_t>(got));
    grew_.notify_all();
  }
}

std::string OutputCapture::Text() {
  std::fflush(fd_ == 1 ? stdout : stderr);
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

bool OutputCapture::WaitFor(const std::string& needle, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (text_.find(needle) != std::string::npos) return true;
    // Looked at again every 50 ms as well: what this process printed may sit in its stdio
    // buffer until flushed.
    const auto next =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    grew_.wait_until(lock, next);
    if (std::chrono::steady_clock::now() >= deadline) {
      return text_.find(needle) != std::string::npos;
    }
    lock.unlock();
    std::fflush(fd_ == 1 ? stdout : stderr);
    lock.lock();
  }
}

}  // namespace zh
