#include "app/signals.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "pt/thread.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};

// The self-pipe of the stop signals: the handlers write to [1], the main thread reads [0]. Set
// before the handlers are installed and kept open for the life of the process, since a
// handler may still run on any thread while the process stops.
int g_stopPipe[2] = {-1, -1};
// The process whose stop the pipe reports.
pid_t g_server = -1;

void NoteStopSignal(int signo) {
  // A process that a plugin forked without executing anything shares this handler and the
  // pipe: the signal is that process's, which ends by it as if it had not been caught (the
  // action is the default again since SA_RESETHAND, and the signal is blocked until the handler
  // returns).
  if (getpid() != g_server) {
    raise(signo);
    return;
  }
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  // Non-blocking: with the pipe full a signal is already waiting to be read.
  if (write(g_stopPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

void IgnoreSignal(int) {}

// In every child forked by the process (by a plugin, or by the daemon mode's own fork, which
// sets its handlers afterwards): the stop signals are the child's own again.
void DefaultStopSignalsInChild() {
  for (int signo : kStopSignals) signal(signo, SIG_DFL);
}

bool Catch(int signo, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART | flags;
  sigemptyset(&action.sa_mask);
  return sigaction(signo, &action, nullptr) == 0;
}

}  // namespace

bool PrepareSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  for (int signo : kStopSignals) sigaddset(&set, signo);
  // The process has one thread yet: its mask is the one every later thread starts from.
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  pt::at_fork_child(DefaultStopSignalsInChild);
  return Catch(SIGPIPE, IgnoreSignal, 0);
}

StopSignals::~StopSignals() { RestoreDefaults(); }

bool StopSignals::Install(const char** error) {
  if (g_stopPipe[0] < 0 && pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "no pipe for them";
    return false;
  }
  g_server = getpid();
  // SA_RESETHAND: the signal that arrives first has its default action back at once, before
  // the main thread has even seen it.
  for (int signo : kStopSignals) {
    if (!Catch(signo, NoteStopSignal, SA_RESETHAND)) {
      for (int installed : kStopSignals) signal(installed, SIG_DFL);
      *error = "sigaction failed";
      return false;
    }
  }
  m_installed = true;
  return true;
}

void StopSignals::WaitForStopOrKey() {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // cannot wait: stop as at the end of input
    }
    if ((fds[1].revents & POLLIN) != 0) {
      unsigned char signo;
      if (read(g_stopPipe[0], &signo, 1) == 1) return;
      continue;
    }
    if (fds[0].revents != 0) {
      std::getchar();
      return;
    }
  }
}

void StopSignals::RestoreDefaults() {
  if (!m_installed) return;
  m_installed = false;
  for (int signo : kStopSignals) signal(signo, SIG_DFL);
}
