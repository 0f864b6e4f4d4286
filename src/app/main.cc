// The process entry: the library's console-application registration creates the qvServerApp
// and hands argc and argv to wxEntry, whose result is the exit status.
#include "app/app.h"

wxIMPLEMENT_APP_CONSOLE(qvServerApp);
