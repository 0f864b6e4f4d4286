// The server's process and its signals, through the real executable in the console mode: stop
// signals, programs that plugins start, and writes to pipes whose reader has gone.
#include <csignal>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// SIGINT, SIGQUIT and SIGTERM, as bits of a /proc signal mask; and SIGPIPE.
constexpr unsigned long long kStopMask =
    (1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1)) | (1ull << (SIGTERM - 1));
constexpr unsigned long long kPipeMask = 1ull << (SIGPIPE - 1);

TEST(StopSignalTest, EachStopSignalStopsTheConsoleCoreCleanly) {
  for (int signo : {SIGTERM, SIGINT, SIGQUIT}) {
    zt::Installation install;
    const std::string record = install.AddPlugin("watch.so", "id 1\n");
    zt::ServerProcess server(install.exe(), {"-d"}, "/");
    ASSERT_TRUE(server.WaitForStdout("press any key")) << server.Stderr();
    server.Signal(signo);
    ASSERT_TRUE(server.Wait()) << signo;
    EXPECT_EQ(server.ExitCode(), 0) << signo << "\n" << server.Stderr();
    EXPECT_EQ(server.Stdout(), zt::kConsoleTexts) << signo;
    const auto events = zt::ReadEvents(record);
    EXPECT_EQ(zt::EventsNamed(events, "close").size(), 1u) << signo;
    EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u) << signo;
  }
}

TEST(StopSignalTest, ASecondSignalDuringTheStopEndsTheProcessAtOnce) {
  zt::Installation install;
  const std::string record = install.AddPlugin("slow.so", "id 1\nsleep close 60000\n");
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  ASSERT_TRUE(server.WaitForStdout("press any key"));
  server.Signal(SIGTERM);
  ASSERT_FALSE(zt::WaitForEvents(record, "close").empty());
  server.Signal(SIGINT);
  ASSERT_TRUE(server.Wait(10000)) << "the second signal did not end the process";
  EXPECT_TRUE(WIFSIGNALED(server.status()));
  EXPECT_EQ(WTERMSIG(server.status()), SIGINT);
}

TEST(PluginProcessTest, ChildrenGetDefaultSignalsAndBrokenPipesFailWithEpipe) {
  // The plugin starts a program and writes to a pipe without reader, from Open on the main
  // thread and from a Read on a call thread (its own broadcast, sent from Open).
  zt::Installation install;
  const std::string record = install.AddPlugin(
      "spawner.so",
      "id 1\naccepts_read 1\nmask 0 0\nspawn open\nepipe open\nspawn read\nepipe read\n"
      "send open 0 0 0x01 0 kick\n");
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  ASSERT_TRUE(server.WaitForStdout("press any key")) << server.Stderr();
  const auto events = zt::WaitForEvents(record, "epipe", 2);
  EXPECT_EQ(zt::SignalsBlockedByAnyThread(server.pid()) & (kStopMask | kPipeMask), 0u)
      << "a thread of the server has a stop signal or SIGPIPE blocked";
  server.Signal(SIGTERM);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(record), "unload").size(), 1u);

  const auto spawned = zt::EventsNamed(events, "spawn");
  ASSERT_EQ(spawned.size(), 2u);
  for (const zt::Event& spawn : spawned) {
    EXPECT_EQ(spawn.Number("sigblk") & (kStopMask | kPipeMask), 0u) << spawn.raw;
    EXPECT_EQ(spawn.Number("sigign") & kPipeMask, 0u) << spawn.raw;
  }
  const auto broken = zt::EventsNamed(events, "epipe");
  ASSERT_EQ(broken.size(), 2u);
  for (const zt::Event& epipe : broken) {
    EXPECT_EQ(epipe["result"], "-1") << epipe.raw;
    EXPECT_EQ(epipe.Number("errno"), static_cast<unsigned long>(EPIPE)) << epipe.raw;
  }
}

TEST(PluginProcessTest, AStopSignalForAForkedChildEndsTheChildNotTheServer) {
  zt::Installation install;
  const std::string record = install.AddPlugin("forker.so", "id 1\nfork open\n");
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  ASSERT_TRUE(server.WaitForStdout("press any key")) << server.Stderr();
  const auto forked = zt::EventsNamed(zt::WaitForEvents(record, "forked"), "forked");
  ASSERT_EQ(forked.size(), 1u);
  const pid_t child = static_cast<pid_t>(forked[0].Number("pid"));
  ASSERT_EQ(kill(child, SIGTERM), 0);
  // The child ends by the signal (a zombie until its plugin reaps it).
  EXPECT_TRUE(zt::WaitUntil([&] {
    const std::string stat = zt::ReadFile("/proc/" + std::to_string(child) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  }));
  // The child shares the server's handlers and their pipe. Had its signal been taken for the
  // server's stop, the server's main thread would have been woken from its wait for a key or
  // a stop signal (poll) before the child ended, and would never wait there again: once it
  // sleeps there now, no stop came, whatever the timing.
  EXPECT_TRUE(zt::WaitUntil([&] {
    return zt::AsleepInPoll(server.pid()) || server.Ended() ||
           server.Stdout().find("stopping the core") != std::string::npos;
  }));
  EXPECT_TRUE(zt::AsleepInPoll(server.pid())) << "the server left its wait for a stop";
  EXPECT_EQ(server.Stdout().find("stopping the core"), std::string::npos)
      << "the child's signal stopped the server";
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0);
  EXPECT_EQ(server.Stdout(), zt::kConsoleTexts);
}

}  // namespace
