// Console mode ("debug" switch): the server stays in the foreground, starts the Core, and stops
// it again on a key press, at the end of standard input, or on SIGINT, SIGTERM or SIGQUIT.
//
// The stop signals are caught before the Core starts by handlers that only write to a pipe,
// which the main thread reads beside standard input (app/signals.h); no thread has them blocked,
// so programs that plugins start get them. Once one has arrived they get their default action
// back, so that a second one while the Core stops ends the process at once. If they cannot be
// caught, the Core is stopped again at once rather than left running with no way to stop it.
#include <cstdio>

#include <wx/intl.h>
#include <wx/log.h>

#include "app/app.h"
#include "app/signals.h"
#include "core/core.h"

namespace {

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

int qvServerApp::RunConsole() {
  Say("starting the core...\n");
  StopSignals stopSignals;
  const char* error = "";
  const bool catching = stopSignals.Install(&error);
  if (!catching) {
    wxLogError("cannot catch the stop signals (%s); the core stops again at once", error);
  }
  if (!g_core->Start()) {
    wxLogError(wxGetTranslation("Core did not start."));
    return 1;
  }
  Say("\npress any key to stop the core\n\n");
  if (catching) stopSignals.WaitForStopOrKey();
  // A further stop signal now ends the process at once.
  stopSignals.RestoreDefaults();
  Say("\nstopping the core...\n\n");
  g_core->Stop();
  return 0;
}
