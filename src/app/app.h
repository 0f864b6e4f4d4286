// qvServerApp: the application object of the server, a console application of the wxWidgets
// base library.
//
// OnInit parses the command line (the "debug" switch, short "d", the bounds --max-queued-mb and
// --max-calls-per-plugin, --stats-interval, besides the library's help and verbose switches),
// resolves the executable's absolute path, makes its directory the working directory and constructs
// the one Core, which starts nothing yet. OnRun runs the console mode ("debug") or the daemon mode
// and returns the exit status; OnExit deletes the Core in every process that ran OnRun.
#ifndef ZENT_APP_APP_H_
#define ZENT_APP_APP_H_

#include <wx/app.h>
#include <wx/filename.h>
#include <wx/snglinst.h>

#include "core/core.h"

class wxCmdLineParser;

// The one Core of the process; owned by the application. Null before OnInit and after OnExit.
extern Core* g_core;

class qvServerApp : public wxAppConsole {
 public:
  qvServerApp();

  bool OnInit() override;
  int OnRun() override;
  int OnExit() override;
  void OnInitCmdLine(wxCmdLineParser& parser) override;
  bool OnCmdLineParsed(wxCmdLineParser& parser) override;

 private:
  int RunConsole();
  int RunDaemon();

  // Taken at construction and never consulted: a second instance is not refused.
  wxSingleInstanceChecker m_checker;
  wxFileName m_exePath;
  bool m_debug;
  CoreLimits m_limits;           // as the command line sets them
  int m_statisticsInterval = 0;  // seconds; 0: no statistics document

  wxDECLARE_CLASS(qvServerApp);
};

// The absolute, normalised path of the executable started as argv0: an absolute argv0 as it
// stands, a relative one with a directory part from the working directory, a bare name through
// the directories of PATH (and, should none hold it, the running image itself).
wxFileName ResolveExecutablePath(const wxString& argv0);

#endif  // ZENT_APP_APP_H_
