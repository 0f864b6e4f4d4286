#include "app/app.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    {wxCMD_LINE_OPTION, nullptr, "max-queued-mb",
     "bound on the MiB that queued messages may hold (0: none)", wxCMD_LINE_VAL_NUMBER,
     wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_OPTION, nullptr, "max-calls-per-plugin",
     "bound on the call threads in flight into one plugin (0: none)", wxCMD_LINE_VAL_NUMBER,
     wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_OPTION, nullptr, "stats-interval",
     "send the statistics document every S seconds (0: never; default: ZENT_STATS_INTERVAL, "
     "else 0)",
     wxCMD_LINE_VAL_NUMBER, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, wxCMD_LINE_PARAM_OPTIONAL},
};

// A day: an interval longer than that is a typing error.
constexpr long kMostStatisticsInterval = 86400;

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
  g_core->SetLimits(m_limits);
  g_core->SetStatisticsInterval(m_statisticsInterval);
  return true;
}

void qvServerApp::OnInitCmdLine(wxCmdLineParser& parser) {
  wxAppConsole::OnInitCmdLine(parser);
  parser.SetDesc(kCommandLine);
}

bool qvServerApp::OnCmdLineParsed(wxCmdLineParser& parser) {
  if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
  m_debug = parser.Found("debug");
  // A bound that does not fit is refused, not cut to what fits.
  const auto bound = [&parser](const char* name, long most, long* value) {
    if (!parser.Found(name, value)) return true;
    if (*value >= 0 && *value <= most) return true;
    wxLogError("--%s must be a number from 0 to %ld", name, most);
    return false;
  };
  long queuedMb = 0;
  long calls = 0;
  long interval = 0;
  if (!bound("max-queued-mb", static_cast<long>(SIZE_MAX >> 21), &queuedMb) ||
      !bound("max-calls-per-plugin", 1000000, &calls) ||
      !bound("stats-interval", kMostStatisticsInterval, &interval)) {
    return false;
  }
  if (parser.Found("stats-interval")) {
    m_statisticsInterval = static_cast<int>(interval);
  } else if (const char* text = std::getenv("ZENT_STATS_INTERVAL"); text != nullptr && *text) {
    // As the service's environment file sets it; a value that is no number is refused as on
    // the command line.
    char* end = nullptr;
    errno = 0;
    interval = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || interval < 0 || interval > kMostStatisticsInterval) {
      wxLogError("ZENT_STATS_INTERVAL must be a number from 0 to %ld, not \"%s\"",
                 kMostStatisticsInterval, text);
      return false;
    }
    m_statisticsInterval = static_cast<int>(interval);
  }
  if (parser.Found("max-queued-mb")) m_limits.maxQueuedBytes = static_cast<size_t>(queuedMb) << 20;
  if (parser.Found("max-calls-per-plugin")) m_limits.maxCallsPerPlugin = static_cast<int>(calls);
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
