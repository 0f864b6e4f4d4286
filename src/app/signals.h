// Signal dispositions of the server process, shared by the console and the daemon mode.
//
// Plugins run inside the server and start programs of their own (encoders, streaming tools),
// which inherit the mask of the thread that starts them. So no thread of the server ever has a
// signal blocked on the server's behalf: stop signals are caught by handlers that do nothing
// but write the signal's number to a pipe (async-signal-safe, SA_RESTART), which the main
// thread waits on, and a broken pipe is caught by a handler that does nothing at all, so that a
// plugin's write to a socket or pipe whose reader has gone fails with EPIPE instead of ending
// the server. Handlers, not SIG_IGN: a program started by a plugin gets the default action of
// every signal back when it executes. A process a plugin forks without executing anything gets
// the stop signals at their default action right away, so that a stop signal meant for it ends
// it and does not stop the server.
#ifndef ZENT_APP_SIGNALS_H_
#define ZENT_APP_SIGNALS_H_

// Catches SIGPIPE with a handler that does nothing, and unblocks SIGPIPE and the stop signals
// in the calling thread, whatever mask the process was started with, so that threads started
// from it (the Core's, the plugins') inherit none of them. Called on the main thread before any
// plugin is loaded, in every process that may run plugins. False when the handler could not be
// installed.
bool PrepareSignals();

// SIGINT, SIGTERM and SIGQUIT, caught for the console mode's main thread.
class StopSignals {
 public:
  StopSignals() = default;
  // Restores the default action of the three signals.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Installs the handlers. False (and the reason in *error) when they cannot be: the caller
  // must then not wait for a signal that would never be seen.
  bool Install(const char** error);
  // Waits until a stop signal arrives, or a key, or the end of standard input.
  void WaitForStopOrKey();
  // The default actions again: a further stop signal ends the process at once.
  void RestoreDefaults();

 private:
  bool m_installed = false;
};

#endif  // ZENT_APP_SIGNALS_H_
