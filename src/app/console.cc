// Console mode ("debug" switch): the server stays in the foreground, starts the Core, and stops
// it again on a key press, at the end of standard input, or on SIGINT, SIGTERM or SIGQUIT.
//
// The stop signals run no code of the program: they are blocked before the Core starts (so
// every thread started afterwards, the Core's and the plugins', inherits the mask) and read
// from a signalfd beside standard input. Once one has arrived they are unblocked again with
// their default action, so that a second one while the Core stops ends the process at once.
#include <cerrno>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <wx/intl.h>
#include <wx/log.h>

#include "app/app.h"
#include "core/core.h"

namespace {

class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&m_set);
    for (int signo : {SIGINT, SIGTERM, SIGQUIT}) {
      // Whatever the parent left (an ignored SIGINT in a background job), these stop the Core.
      signal(signo, SIG_DFL);
      sigaddset(&m_set, signo);
    }
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    m_fd = signalfd(-1, &m_set, SFD_CLOEXEC);
  }
  ~StopSignals() {
    if (m_fd >= 0) close(m_fd);
    pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits for a key (or the end of input) or a stop signal.
  void Wait() {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_fd, POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;  // cannot wait: stop as on the end of input
      }
      if ((fds[1].revents & POLLIN) != 0) {
        signalfd_siginfo info;
        if (read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return;
        continue;
      }
      if (fds[0].revents != 0) {
        std::getchar();
        return;
      }
    }
  }

 private:
  sigset_t m_set;
  int m_fd = -1;
};

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

int qvServerApp::RunConsole() {
  Say("starting the core...\n");
  std::optional<StopSignals> stopSignals(std::in_place);
  if (!g_core->Start()) {
    wxLogError(wxGetTranslation("Core did not start."));
    return 1;
  }
  Say("\npress any key to stop the core\n\n");
  stopSignals->Wait();
  // Unblocked with their default action: a further stop signal now ends the process at once.
  stopSignals.reset();
  Say("\nstopping the core...\n\n");
  g_core->Stop();
  return 0;
}
