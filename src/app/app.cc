#include "app/app.h"

#include <cstdio>

#include <wx/cmdline.h>
#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/stdpaths.h>

#include "app/signals.h"
#include "core/core.h"

Core* g_core = nullptr;

wxIMPLEMENT_CLASS(qvServerApp, wxEvtHandler);

namespace {

const wxCmdLineEntryDesc kCommandLine[] = {
    {wxCMD_LINE_SWITCH, "d", "debug", "do not daemonize", wxCMD_LINE_VAL_NONE,
     wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, wxCMD_LINE_PARAM_OPTIONAL},
};

// Every normalisation but case folding.
constexpr int kNormalise = wxPATH_NORM_ENV_VARS | wxPATH_NORM_DOTS | wxPATH_NORM_TILDE |
                           wxPATH_NORM_ABSOLUTE | wxPATH_NORM_LONG | wxPATH_NORM_SHORTCUT;

}  // namespace

wxFileName ResolveExecutablePath(const wxString& argv0) {
  wxFileName path;
  path.Assign(argv0, wxPATH_NATIVE);
  // A name with a directory part is found from the working directory, as the shell that
  // started it found it; only a bare name was looked up in PATH.
  if (!wxIsAbsolutePath(path.GetFullPath()) && !argv0.Contains("/")) {
    wxPathList search;
    search.AddEnvList("PATH");
    const wxString found = search.FindAbsoluteValidPath(argv0);
    if (found.empty()) {
      // Started with a name that PATH does not hold (a changed PATH, or an argv[0] that is not
      // a path at all): the running image is the executable.
      path.Assign(wxStandardPaths::Get().GetExecutablePath());
    } else {
      path.Assign(found);
    }
  }
  path.Normalize(kNormalise);
  return path;
}

qvServerApp::qvServerApp() : m_debug(false) { m_checker.Create("qvServer", wxEmptyString); }

bool qvServerApp::OnInit() {
  if (!wxAppConsole::OnInit()) return false;
  m_exePath = ResolveExecutablePath(argv[0]);
  wxSetWorkingDirectory(m_exePath.GetPath());
  g_core = new Core(m_exePath);
  return true;
}

void qvServerApp::OnInitCmdLine(wxCmdLineParser& parser) {
  wxAppConsole::OnInitCmdLine(parser);
  parser.SetDesc(kCommandLine);
}

bool qvServerApp::OnCmdLineParsed(wxCmdLineParser& parser) {
  if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
  m_debug = parser.Found("debug");
  return true;
}

int qvServerApp::OnRun() {
  // Before any plugin is loaded, in the console and in both processes of the daemon mode.
  if (!PrepareSignals()) wxLogSysError("cannot catch SIGPIPE");
  return m_debug ? RunConsole() : RunDaemon();
}

int qvServerApp::OnExit() {
  delete g_core;
  g_core = nullptr;
  return wxAppConsole::OnExit();
}
