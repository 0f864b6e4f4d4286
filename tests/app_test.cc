// The server's executable, started as a process: command line, console mode and working
// directory.
#include "app/app.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run_command.h"
#include "support/test_support.h"

namespace {

using zt::kConsoleTexts;

std::string CwdOf(pid_t pid) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error).string();
}

TEST(ConsoleModeTest, EndOfInputStopsTheCoreWithTheTextsInOrder) {
  zt::Installation install;
  for (const char* debugSwitch : {"-d", "--debug"}) {
    const zt::CommandResult server = zt::RunConsoleOnce(install, {}, {debugSwitch});
    EXPECT_EQ(server.exitCode, 0) << debugSwitch << "\n" << server.err;
    EXPECT_EQ(server.out, kConsoleTexts) << debugSwitch;
  }
}

TEST(ConsoleModeTest, AKeyStopsTheCore) {
  zt::Installation install;
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  ASSERT_TRUE(server.WaitForStdout("press any key"));
  server.WriteStdin("x\n");
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0);
  EXPECT_EQ(server.Stdout(), kConsoleTexts);
}

TEST(CommandLineTest, HelpShowsTheDebugSwitchAndRunsNothing) {
  zt::Installation install;
  const zt::CommandResult server = zt::RunConsoleOnce(install, {}, {"--help"});
  const std::string output = server.out + server.err;
  EXPECT_NE(output.find("-d, --debug"), std::string::npos) << output;
  EXPECT_NE(output.find("do not daemonize"), std::string::npos) << output;
  EXPECT_NE(output.find("--verbose"), std::string::npos) << output;
  EXPECT_EQ(server.out.find("starting the core"), std::string::npos);
}

TEST(CommandLineTest, VerboseNamesEveryPluginLoadedWithWhatItAskedFor) {
  zt::Installation install;
  install.AddPlugin("seven.so", "id 7\naccepts_read 1\nmask 2 0x08000001\nmask 8 0x10\n");
  const std::string line =
      "plugin seven.so loaded: id 7 (0x00000007), acceptsRead 1, acceptsWrite 0, ioctlAtLoad 0, "
      "masks 00000000 00000000 08000001 00000000 00000000 00000000 00000000 00000000 00000010";
  const zt::CommandResult verbose = zt::RunConsoleOnce(install, {}, {"-d", "--verbose"});
  EXPECT_EQ(verbose.exitCode, 0) << verbose.Describe();
  EXPECT_EQ(zt::CountOf(verbose.err, line), 1u) << verbose.err;
  const zt::CommandResult quiet = zt::RunConsoleOnce(install);
  EXPECT_EQ(quiet.err.find("seven.so"), std::string::npos) << quiet.err;
}

TEST(CommandLineTest, UnknownOptionIsRejected) {
  zt::Installation install;
  const zt::CommandResult server = zt::RunConsoleOnce(install, {}, {"--no-such-option"});
  EXPECT_NE(server.exitCode, 0);
  EXPECT_NE(server.exitCode, -1) << "it ended";
  EXPECT_EQ(server.out.find("starting the core"), std::string::npos);
}

TEST(CommandLineTest, TheBoundsAreTakenFromTheCommandLineAndCheckedForRange) {
  // A plugin queues a 2 MB message while it opens: over a bound of 1 MiB, under the default.
  zt::Installation install;
  const std::string record =
      install.AddPlugin("big.so", "id 4\nsend open self 0 0x01 0 #2000000\n");
  const auto resultOfSend = [&](const std::vector<std::string>& args) {
    std::remove(record.c_str());
    const zt::CommandResult server = zt::RunConsoleOnce(install, {}, args);
    EXPECT_EQ(server.exitCode, 0) << server.Describe();
    const auto sent = zt::EventsNamed(zt::ReadEvents(record), "sent");
    return sent.size() == 1 ? sent[0]["result"] : "none";
  };
  EXPECT_EQ(resultOfSend({"-d"}), "0");
  EXPECT_EQ(resultOfSend({"-d", "--max-queued-mb", "1"}), "-1");
  EXPECT_EQ(resultOfSend({"-d", "--max-queued-mb", "0", "--max-calls-per-plugin", "0"}), "0");
  for (const char* bad : {"-1", "x"}) {
    const zt::CommandResult server =
        zt::RunConsoleOnce(install, {}, {"-d", "--max-queued-mb", bad});
    EXPECT_NE(server.exitCode, 0) << bad;
    EXPECT_NE(server.exitCode, -1) << "it ended";
    EXPECT_EQ(server.out.find("starting the core"), std::string::npos) << bad;
  }
}

// Starts the server as argv0 from cwd, waits for its prompt and returns its working directory.
std::string WorkingDirectoryWhenStartedAs(const zt::Installation& install, const std::string& argv0,
                                          const std::string& cwd,
                                          const std::vector<std::string>& env = {}) {
  zt::ServerProcess server(install.exe(), {"-d"}, cwd, env, argv0);
  EXPECT_TRUE(server.WaitForStdout("press any key")) << argv0 << "\n" << server.Stderr();
  const std::string dir = CwdOf(server.pid());
  server.CloseStdin();
  EXPECT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << argv0;
  return dir;
}

TEST(ExecutablePathTest, WorkingDirectoryBecomesTheExecutablesDirectory) {
  zt::Installation install;
  zt::TempDir elsewhere;
  const std::string expected = std::filesystem::canonical(install.dir()).string();
  EXPECT_EQ(WorkingDirectoryWhenStartedAs(install, install.exe(), elsewhere.path()), expected);
  EXPECT_EQ(WorkingDirectoryWhenStartedAs(
                install,
                install.dir() + "/../" + std::filesystem::path(install.dir()).filename().string() +
                    "/./zentserver",
                elsewhere.path()),
            expected);
  const std::string path = "PATH=" + elsewhere.path() + ":" + install.dir() + ":/usr/bin:/bin";
  EXPECT_EQ(WorkingDirectoryWhenStartedAs(install, "zentserver", elsewhere.path(), {path}),
            expected);
  // A relative path with a directory part is taken from the caller's working directory.
  const std::string parent = std::filesystem::path(install.dir()).parent_path().string();
  const std::string relative =
      std::filesystem::path(install.dir()).filename().string() + "/zentserver";
  EXPECT_EQ(WorkingDirectoryWhenStartedAs(install, relative, parent, {"PATH=/usr/bin:/bin"}),
            expected);
}

TEST(ExecutablePathTest, ResolvesDotsAndBareNames) {
  zt::Installation install;
  const wxFileName dotted = ResolveExecutablePath(install.dir() + "/./sub/../zentserver");
  EXPECT_EQ(std::string(dotted.GetFullPath().utf8_str()), install.exe());
  EXPECT_EQ(std::string(dotted.GetPath().utf8_str()), install.dir());
}

}  // namespace
