// Runs a command to its end with a bounded wait, for the tests that drive tools (the
// inspector, ffprobe, cmake, cpack, dpkg-deb) as a user would.
#ifndef ZENT_TESTS_SUPPORT_RUN_COMMAND_H_
#define ZENT_TESTS_SUPPORT_RUN_COMMAND_H_

#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zt {

struct CommandResult {
  int exitCode = -1;  // -1 when it did not exit normally within the bound
  std::string out;
  std::string err;
  // For failure messages.
  std::string Describe() const {
    return "exit " + std::to_string(exitCode) + "\n--- stdout\n" + out + "\n--- stderr\n" + err;
  }
};

// Runs exe with args in cwd (the test's own when empty) with the test's environment plus env,
// standard input closed; kills it after timeoutMs. inChild runs in the child before the exec, as
// for ServerProcess.
inline CommandResult RunCommand(const std::string& exe, const std::vector<std::string>& args,
                                const std::vector<std::string>& env = {},
                                const std::string& cwd = "", int timeoutMs = kWaitMs,
                                const std::function<bool()>& inChild = {}) {
  ServerProcess process(exe, args, cwd, env, "", inChild);
  process.CloseStdin();
  CommandResult result;
  if (process.Wait(timeoutMs)) result.exitCode = process.ExitCode();
  result.out = process.Stdout();
  result.err = process.Stderr();
  return result;
}

// Runs the installation's server once with args (the console by default) from "/", standard
// input closed, so that it starts, serves and stops at once.
inline CommandResult RunConsoleOnce(const Installation& install,
                                    const std::vector<std::string>& env = {},
                                    const std::vector<std::string>& args = {"-d"}) {
  return RunCommand(install.exe(), args, env, "/");
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_RUN_COMMAND_H_
