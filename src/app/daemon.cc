// Daemon mode (the default): the server forks into the background with libdaemon.
//
// The parent waits up to 60 seconds for the child's start-up code and exits with it. The child
// sets its umask and working directory, logs to syslog from then on, writes the PID file,
// registers SIGINT, SIGTERM and SIGQUIT, starts the Core, reports to the parent, and waits on
// libdaemon's signal descriptor: the signals run no code of the program, their handlers only
// write to that descriptor. One stop signal stops the Core, removes the PID file and ends the
// child with status 0.
//
// A failed PID file or signal registration is reported to the parent (which then exits with
// that code) and the child runs on regardless: the service keeps working, and the operator
// learns of the fault from the exit status and the log.
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/stat.h>

#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <libdaemon/dsignal.h>
#include <wx/filefn.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "app/app.h"
#include "app/log_syslog.h"
#include "core/core.h"

namespace {

// The PID file's name (/var/run/zentserver.pid) and the identifier of every syslog entry.
constexpr const char* kIdent = "zentserver";
constexpr int kStartupWaitSeconds = 60;

// Start-up codes that the child sends to the parent. Only the first one sent is read.
constexpr int kStarted = 0;
constexpr int kNoPidFile = 1;
constexpr int kNoSignals = 2;
constexpr int kCoreDidNotStart = 3;
constexpr int kStopped = -1;

// Parent: waits for the child's first start-up code and turns it into the exit status.
int WaitForChild() {
  const int code = daemon_retval_wait(kStartupWaitSeconds);
  if (code < 0) {
    wxLogError("%s", wxGetTranslation("Timeout waiting for service to signal that it is running."));
    wxLogError("%s", wxGetTranslation("Please verify that the service is responding by "
                                      "connecting to it with a client."));
    return 255;
  }
  if (code > 0) {
    wxLogError("Daemon returned %i", code);
    return code;
  }
  return 0;
}

// Child: sends a start-up code to the parent. The parent may be gone (killed, or tired of
// waiting for a slow start): the write then fails with EPIPE, which is logged, and the service
// goes on.
void SendToParent(int code, wxLogSyslog& log) {
  if (daemon_retval_send(code) < 0) {
    log.Reopen();  // libdaemon may have logged its own failure first
    wxLogWarning("could not report the start to the waiting process (code %d): %s", code,
                 wxSysErrorMsgStr());
  }
}

// Child: blocks until a stop signal arrives or the wait itself fails.
void WaitForStopSignal(wxLogSyslog& log) {
  const int fd = daemon_signal_fd();
  // Without a descriptor no signal can reach the loop, and a daemon that nothing stops would
  // only ever end by SIGKILL, with every plugin's data lost: stop at once instead.
  if (fd < 0) {
    wxLogError("cannot receive stop signals (no signal descriptor); stopping the service");
    return;
  }
  for (;;) {
    // poll, not select: ThreadSanitizer runs a signal's handler late unless the thread waits
    // in a call it intercepts, and it intercepts poll only; the wait is the same.
    pollfd watched = {fd, POLLIN, 0};
    if (poll(&watched, 1, -1) < 0) {
      if (errno == EINTR) continue;
      wxLogSysError("poll() failed.");
      return;
    }
    const int signo = daemon_signal_next();
    if (signo <= 0) {
      wxLogSysError("daemon_signal_next() failed.");
      log.Reopen();  // libdaemon logged its own failure first
      return;
    }
    if (signo == SIGINT || signo == SIGQUIT || signo == SIGTERM) {
      wxLogMessage("Received signal %i, Exiting...", signo);
      return;
    }
    wxLogWarning("Received signal %i but did nothing with it.", signo);
  }
}

// Child: everything from the fork to the end of the service.
int RunChild(const wxString& exeDir) {
  umask(022);
  // libdaemon's fork left the job-control signals ignored. The child has no terminal any more,
  // and programs that plugins start should begin with every signal at its default.
  for (int signo : {SIGTSTP, SIGTTIN, SIGTTOU}) signal(signo, SIG_DFL);
  // libdaemon's fork moved the child to the root directory.
  wxSetWorkingDirectory(exeDir);

  // Owned by the library from here on; the child's standard error is /dev/null, so the old
  // target is of no further use.
  auto* log = new wxLogSyslog(daemon_pid_file_ident);
  delete wxLog::SetActiveTarget(log);

  const bool pidFileCreated = daemon_pid_file_create() >= 0;
  if (!pidFileCreated) {
    wxLogSysError("Could not create PID file");
    log->Reopen();  // libdaemon logged its own failure first
    SendToParent(kNoPidFile, *log);
  }
  if (daemon_signal_init(SIGINT, SIGTERM, SIGQUIT, 0) < 0) {
    wxLogSysError("Could not register signal handlers");
    log->Reopen();
    SendToParent(kNoSignals, *log);
  }

  if (g_core->Start()) {
    wxLogMessage("Successfully started");
    SendToParent(kStarted, *log);
    WaitForStopSignal(*log);
  } else {
    wxLogSysError("Service routine did not start.");
    SendToParent(kCoreDidNotStart, *log);
  }

  g_core->Stop();
  daemon_retval_send(kStopped);
  daemon_signal_done();
  // The file stands for whoever created it: a file that was there before (another instance's)
  // is not this process's to remove.
  if (pidFileCreated) daemon_pid_file_remove();
  wxLogMessage("Done");
  return 0;
}

}  // namespace

int qvServerApp::RunDaemon() {
  daemon_pid_file_ident = kIdent;
  // libdaemon logs its own failures with openlog and this identifier; openlog is process-wide,
  // so any other identifier would replace the service's in every later entry.
  daemon_log_ident = kIdent;
  daemon_retval_init();
  const pid_t pid = daemon_fork();
  if (pid < 0) {
    const int error = errno;
    daemon_retval_done();
    // The exit status is the error; a failed fork never reports success.
    return error != 0 ? error : 1;
  }
  if (pid > 0) return WaitForChild();
  return RunChild(m_exePath.GetPath());
}
