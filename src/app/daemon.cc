#include <wx/log.h>

#include "app/app.h"

int qvServerApp::RunDaemon() {
  wxLogError("daemon mode is not available in this build; start the server with -d");
  return 1;
}
