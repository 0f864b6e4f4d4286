// Plugin discovery, loading, call threads, and closing and unloading at stop: real shared
// objects in a real plugins directory, loaded by the real Core (in this process) or by the real
// executable.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/payload.h"
#include "core/plugin_calls.h"
#include "core/plugin_thread.h"
#include "support/core_harness.h"
#include "support/run_command.h"

namespace {

using zt::ListingOrder;
using zt::LoadedNames;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

TEST(PluginDiscoveryTest, OnlyPlainSharedObjectsThatExportLoadAreKept) {
  zt::Installation install;
  const std::string good = install.AddPlugin("good.so", "id 1\n");
  for (const char* name : {"video.so.1", ".hidden.so", "Video.SO"})
    install.AddPlugin(name, "id 9\n");
  std::filesystem::create_directory(install.plugins() + "/x.so");
  zt::WriteFile(install.plugins() + "/junk.so", "this is not a shared object\n");
  zt::CopyFile(zt::TestPluginFile("noload"), install.plugins() + "/noload.so");

  const zt::CommandResult server = zt::RunConsoleOnce(install);
  EXPECT_EQ(server.exitCode, 0) << server.Describe();
  EXPECT_NE(server.out.find("stopping the core"), std::string::npos);

  const auto events = zt::ReadEvents(good);
  EXPECT_EQ(zt::EventsNamed(events, "load").size(), 1u);
  EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u);
  for (const char* name : {"video.so.1", ".hidden.so", "Video.SO"}) {
    EXPECT_FALSE(zt::FileExists(install.RecordOf(name))) << name << " was loaded";
  }
  for (const char* call : {"open", "close", "unload", "ioctl"}) {
    EXPECT_FALSE(zt::FileExists(install.plugins() + "/noload.so." + call + "-called"))
        << "a call reached the plugin without Load: " << call;
  }
  // The library reports the files it could not load or look up; the server runs on.
  EXPECT_NE(server.err.find("junk.so"), std::string::npos) << server.err;
}

TEST(PluginDiscoveryTest, StreampiPluginsComeFirstAndNamesAreLowerCase) {
  zt::Installation install;
  const std::vector<std::string> files = {"alpha.so", "StreamPIx.so", "beta.so", "streampiy.so"};
  for (size_t i = 0; i < files.size(); ++i) {
    install.AddPlugin(files[i], "id " + std::to_string(i + 1) + "\n");
  }
  // Expected: every "streampi" plugin in front, the last listed first, then the others in
  // listing order.
  std::vector<std::string> front, back;
  for (const std::string& name : ListingOrder(install.plugins())) {
    const std::string lower = Lower(name);
    if (lower.rfind("streampi", 0) == 0) {
      front.insert(front.begin(), lower);
    } else {
      back.push_back(lower);
    }
  }
  front.insert(front.end(), back.begin(), back.end());

  zt::CoreHarness harness(install);
  harness.Start();
  EXPECT_EQ(LoadedNames(harness.core()), front);
}

TEST(PluginDiscoveryTest, RefusingPluginsAreLoggedAndDropped) {
  zt::Installation install;
  const std::string foo = install.AddPlugin("Foo.so", "id 1\nload_result 7\n");
  const std::string err = install.AddPlugin("err5.so", "id 2\nload_error 5\n");
  const std::string ok = install.AddPlugin("ok.so", "id 3\n");
  zt::LogCapture::Get().Clear();
  zt::CoreHarness harness(install);
  harness.Start();
  EXPECT_EQ(LoadedNames(harness.core()), std::vector<std::string>{"ok.so"});
  EXPECT_TRUE(zt::LogCapture::Get().Contains("plugin Foo.so load returned 7 error 0"));
  EXPECT_TRUE(zt::LogCapture::Get().Contains("plugin err5.so load returned 0 error 5"));
  harness.Stop();
  for (const std::string& record : {foo, err}) {
    const auto events = zt::ReadEvents(record);
    EXPECT_EQ(zt::EventsNamed(events, "load").size(), 1u);
    EXPECT_EQ(events.size(), 2u) << "only Load (begin and end) may reach a refusing plugin";
  }
  EXPECT_FALSE(zt::IsMapped(install.plugins() + "/Foo.so"));
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(ok), "unload").size(), 1u);
}

TEST(PluginDiscoveryTest, WithoutAPluginsDirectoryTheServerRunsAndStops) {
  zt::Installation install;
  std::filesystem::remove(install.plugins());
  const zt::CommandResult server = zt::RunConsoleOnce(install);
  EXPECT_EQ(server.exitCode, 0) << server.Describe();
  EXPECT_EQ(server.err, "") << "a missing plugins directory is not an error";
}

TEST(PluginInterfaceTest, InfoFilledByACPluginIsKeptAsIs) {
  zt::Installation install;
  install.AddPlugin("full.so",
                    "id 0xfedcba98\nmask 0 0x11\nmask 5 0x80000001\nmask 8 0xffffffff\n"
                    "ioctl_at_load 1\naccepts_read 1\naccepts_write 1\n");
  const std::string bare = install.AddPlugin("bare.so", "");
  zt::CoreHarness harness(install);
  harness.Start();
  const std::string document = harness.core().BuildStatusDocument();
  const auto plugins = harness.core().PluginsSnapshot();
  ASSERT_EQ(plugins.size(), 2u);
  for (const PluginRecord& plugin : plugins) {
    EXPECT_EQ(plugin.info.size, zt::kPluginInfoSize);
    EXPECT_EQ(plugin.info.version, 1u);
    if (plugin.fileName == "full.so") {
      EXPECT_EQ(plugin.info.id, 0xfedcba98u);
      EXPECT_EQ(plugin.info.classMasks[0], 0x11u);
      EXPECT_EQ(plugin.info.classMasks[5], 0x80000001u);
      EXPECT_EQ(plugin.info.classMasks[8], 0xffffffffu);
      EXPECT_EQ(plugin.info.ioctlAtLoad, 1);
      EXPECT_EQ(plugin.info.acceptsRead, 1);
      EXPECT_EQ(plugin.info.acceptsWrite, 1);
    } else {
      // Accepted with nothing filled in: id 0, no masks, no flags.
      EXPECT_EQ(plugin.info.id, 0u);
      for (uint32_t mask : plugin.info.classMasks) EXPECT_EQ(mask, 0u);
      EXPECT_EQ(plugin.info.ioctlAtLoad + plugin.info.acceptsRead + plugin.info.acceptsWrite, 0);
    }
  }
  harness.Stop();
  const auto events = zt::ReadEvents(bare);
  for (const char* name : {"load", "open", "close", "unload"}) {
    EXPECT_EQ(zt::EventsNamed(events, name).size(), 1u) << name;
  }
  EXPECT_EQ(zt::EventsNamed(events, "load")[0].Number("ctx_size"), zt::kPluginContextSize);
  EXPECT_TRUE(zt::EventsNamed(events, "read").empty());
  EXPECT_TRUE(zt::EventsNamed(events, "write").empty());
  // Without masks or flags it still gets the status document, and by IOCTL nothing else.
  const auto ioctls = zt::EventsNamed(events, "ioctl");
  ASSERT_EQ(ioctls.size(), 1u);
  EXPECT_EQ(ioctls[0]["cmd"], "2");
  EXPECT_EQ(zt::Unhex(ioctls[0]["hex"]), document);
}

TEST(PluginInterfaceTest, MissingEntryPointsAreNamedOnceAndNeverCalled) {
  zt::Installation install;
  const std::string record = install.AddPlugin(
      "partial.so", "id 4\naccepts_read 1\naccepts_write 1\nmask 0 0\n", "testplugin_partial");
  zt::LogCapture::Get().Clear();
  zt::CoreHarness harness(install);
  harness.Start();
  // Would reach it by Read (broadcast), Write (queued) and IOCTL (the status document).
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "broadcast"), RESULT_OK);
  EXPECT_EQ(zt::SendText(9, 0, 0x01, 0, "queued"), RESULT_OK);
  harness.Stop();
  // The entry points it lacks and needs, once each, as the inspector names them; nothing about
  // Seek, and no line from the symbol lookups themselves.
  std::vector<std::string> lines;
  for (const std::string& line : zt::LogCapture::Get().Lines()) {
    if (line.find("partial.so") != std::string::npos) lines.push_back(line);
    EXPECT_EQ(line.find("symbol"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "plugin partial.so does not export IOCTL: the server skips that call (so "
                       "the plugin never sees the status document)",
                       "plugin partial.so sets acceptsRead but does not export Read",
                       "plugin partial.so sets acceptsWrite but does not export Write"}));
  const auto events = zt::ReadEvents(record);
  EXPECT_EQ(zt::EventsNamed(events, "close").size(), 1u);
  EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u);
}

// The plugin files of an installation in listing order, with each one's settings given by its
// position: the loader visits them in that order.
std::vector<std::string> InstallInListingOrder(zt::Installation& install, size_t count,
                                               const std::function<std::string(size_t)>& config) {
  for (size_t i = 0; i < count; ++i) install.AddPlugin(zt::Cat("p", std::to_string(i), ".so"), "");
  const std::vector<std::string> order = ListingOrder(install.plugins());
  for (size_t i = 0; i < order.size(); ++i) {
    zt::WriteFile(install.plugins() + "/" + order[i] + ".conf", config(i));
  }
  return order;
}

TEST(CallThreadTest, LoadTimeIoctlRunsOnItsOwnThreadAndIsNotAwaited) {
  // The first plugin's IOCTL marks that it runs, then waits for the second plugin's Open; the
  // second plugin's Load waits for that mark. Both waits succeed only if the call was started
  // before the second file was loaded and was not awaited.
  zt::Installation install;
  const std::string running = install.dir() + "/ioctl-running";
  const std::string opened = install.dir() + "/second-opened";
  const auto names = InstallInListingOrder(install, 2, [&](size_t i) {
    return i == 0 ? "id 1\nioctl_at_load 1\ntouch ioctl1 " + running + "\nawait ioctl1 " + opened +
                        "\n"
                  : "id 2\nawait load " + running + "\ntouch open " + opened + "\n";
  });
  zt::CoreHarness harness(install);
  harness.Start();
  const auto first = zt::WaitForEvents(install.RecordOf(names[0]), "ioctl_end");
  harness.Stop();
  const auto second = zt::ReadEvents(install.RecordOf(names[1]));

  const auto awaitedByIoctl = zt::EventsNamed(first, "await");
  ASSERT_EQ(awaitedByIoctl.size(), 1u);
  EXPECT_EQ(awaitedByIoctl[0]["result"], "ok") << "the load pass waited for the IOCTL call";
  const auto awaitedByLoad = zt::EventsNamed(second, "await");
  ASSERT_EQ(awaitedByLoad.size(), 1u);
  EXPECT_EQ(awaitedByLoad[0]["result"], "ok") << "the IOCTL call was not started before";

  const zt::Event load = zt::EventsNamed(first, "load")[0];
  std::vector<zt::Event> atLoad;
  for (const zt::Event& ioctl : zt::EventsNamed(first, "ioctl")) {
    if (ioctl["cmd"] == "1") atLoad.push_back(ioctl);
  }
  ASSERT_EQ(atLoad.size(), 1u);
  const zt::Event& ioctl = atLoad[0];
  EXPECT_NE(ioctl["tid"], load["tid"]);
  EXPECT_EQ(ioctl.Number("size"), zt::kIoctlRequestSize);
  EXPECT_EQ(ioctl.Number("reply_size"), zt::kIoctlReplySize);
  EXPECT_EQ(ioctl["argsize"], "8");
  EXPECT_EQ(ioctl["argversion"], "1");
  EXPECT_EQ(ioctl["len"], "0");
  EXPECT_EQ(ioctl["data"], "(nil)");
  EXPECT_EQ(ioctl["reply_cmd"], "1");
  EXPECT_EQ(ioctl["result_size"], "8");
}

TEST(CallThreadTest, BroadcastPayloadsArePrivateCopies) {
  zt::Installation install;
  const std::string a = install.AddPlugin("a.so", "id 1\naccepts_read 1\nmask 0 0\n");
  const std::string b = install.AddPlugin("b.so", "id 2\naccepts_read 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  std::string payload(1000, 0);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + 5);
  const std::string original = payload;
  ASSERT_EQ(zt::Send(zt::MakeMessage(0, 0, 0x01, 0, payload.data(), 1000)), RESULT_OK);
  payload.assign(1000, 'X');  // the sender reuses its buffer at once
  // A null payload carries no copy, whatever its length says.
  ASSERT_EQ(zt::Send(zt::MakeMessage(0, 0, 0x01, 0, nullptr, 1000)), RESULT_OK);
  const auto eventsA = zt::EventsNamed(zt::WaitForEvents(a, "read", 3), "read");
  const auto eventsB = zt::EventsNamed(zt::WaitForEvents(b, "read", 3), "read");
  harness.Stop();

  auto find = [](const std::vector<zt::Event>& reads, bool withData) {
    for (const zt::Event& read : reads) {
      if (read["len"] == "1000" && (read["data"] != "(nil)") == withData) return read;
    }
    return zt::Event{};
  };
  const zt::Event copyA = find(eventsA, true), copyB = find(eventsB, true);
  EXPECT_EQ(zt::Unhex(copyA["hex"]), original);
  EXPECT_EQ(zt::Unhex(copyB["hex"]), original);
  char sender[32];
  std::snprintf(sender, sizeof sender, "%p", static_cast<const void*>(payload.data()));
  EXPECT_NE(copyA["data"], sender);
  EXPECT_EQ(find(eventsA, false)["len"], "1000");
  EXPECT_EQ(find(eventsB, false)["hex"], "-");
  // Every Read is its own call thread; the start Read came with no payload.
  EXPECT_NE(copyA["tid"], find(eventsA, false)["tid"]);
  EXPECT_EQ(eventsA.size(), 3u);
}

TEST(CallThreadTest, AFailedPayloadCopySkipsThatCallAndIsLogged) {
  zt::Installation install;
  const std::string a = install.AddPlugin("a.so", "id 1\naccepts_read 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  zt::WaitForEvents(a, "read");  // the start Read
  zt::LogCapture::Get().Clear();
  {
    zt::PayloadScope noMemory(zt::PayloadScope::kFail);
    EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "lost"), RESULT_OK);
  }
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "kept"), RESULT_OK);
  const auto reads = zt::EventsNamed(zt::WaitForEvents(a, "read", 2), "read");
  harness.Stop();
  EXPECT_TRUE(zt::LogCapture::Get().Contains("could not copy a payload of 4 bytes"));
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(zt::Unhex(reads[1]["hex"]), "kept");
}

TEST(StopTest, WorkersThatEndInUnloadLetTheStopEndAndKeepTheCodeLoadedUntilTheyReturn) {
  // Two worker loops run inside calls: the load-time IOCTL and a broadcast Read. Each ends only
  // when the plugin's Unload makes the mark, so Unload must come before the wait for the calls
  // still inside; the code must stay loaded until both have returned.
  zt::Installation install;
  const std::string mark = install.dir() + "/unloading";
  const std::string worker =
      install.AddPlugin("worker.so", "id 1\nioctl_at_load 1\nawait ioctl1 " + mark +
                                         "\naccepts_read 1\nmask 0 0\nawait read " + mark +
                                         "\ntouch unload " + mark + "\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "work"), RESULT_OK);
  ASSERT_EQ(zt::EventsNamed(zt::WaitForEvents(worker, "read", 2), "read").size(), 2u);
  // The start Read (no payload, so no waiting) has ended; the broadcast's works on.
  ASSERT_EQ(zt::EventsNamed(zt::WaitForEvents(worker, "read_end"), "read_end").size(), 1u);
  harness.Stop();
  std::vector<std::string> order;
  for (const zt::Event& event : zt::ReadEvents(worker)) {
    if (event.name == "await") {
      EXPECT_EQ(event["result"], "ok") << event.raw;
    }
    if (event.name == "close" || event.name == "unload" || event.name == "ioctl_end" ||
        (event.name == "read_end" && !order.empty())) {
      order.push_back(event.name);
    }
  }
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0], "close");
  EXPECT_EQ(order[1], "unload");
  std::sort(order.begin() + 2, order.end());
  EXPECT_EQ(order, (std::vector<std::string>{"close", "unload", "ioctl_end", "read_end"}));
  EXPECT_FALSE(zt::IsMapped(install.plugins() + "/worker.so"));
}

TEST(StopTest, TheCodeStaysLoadedUntilEveryCallThreadHasRunItsExitDestructors) {
  // Each Read leaves a thread-specific value whose destructor, in the plugin's code, runs as the
  // call's thread exits, well after the call has returned: the stop comes at once.
  zt::Installation install;
  const std::string record =
      install.AddPlugin("tls.so", "id 1\naccepts_read 1\nmask 0 0\ntls_sleep 300\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "one"), RESULT_OK);
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "two"), RESULT_OK);
  ASSERT_EQ(zt::EventsNamed(zt::WaitForEvents(record, "read_end", 3), "read_end").size(), 3u);
  harness.Stop();  // crashes if the code went before the destructors ran
  const auto events = zt::ReadEvents(record);
  EXPECT_EQ(zt::EventsNamed(events, "tls_exit").size(), 3u);
  EXPECT_FALSE(zt::IsMapped(install.plugins() + "/tls.so"));
}

// Holds a call thread before it checks in until its plugin has been closed.
void HoldUntilClosed(PluginCalls* calls, PluginThread::Stage stage) {
  if (stage == PluginThread::Stage::kBeforeCheckIn) {
    zt::WaitUntil([calls] { return calls->Closed(); });
  }
}

std::atomic<pid_t> g_stopper{0};
std::atomic<bool> g_held{false};
std::string g_heldRecord;  // the record of the held call's plugin
std::string g_heldRecordAtRelease;

// Holds a call thread that was let through, just before it marks itself entered, until the
// thread that stops the Core sleeps on the plugin's call count: in the Close pass's wait for
// this very mark, or, had the Close pass not waited for it, in the Unload pass's wait for the
// call to return, after the plugin's Close and Unload. Keeps the plugin's record as it stood
// when it let the call go.
void HoldAfterCheckIn(PluginCalls* calls, PluginThread::Stage stage) {
  if (stage != PluginThread::Stage::kAfterCheckIn) return;
  g_held = true;
  zt::WaitUntil(
      [calls] { return calls->Closed() && zt::AsleepOn(g_stopper, calls, sizeof *calls); });
  g_heldRecordAtRelease = zt::ReadFile(g_heldRecord);
}

TEST(StopTest, ACallLetThroughBeforeTheCloseEntersThePluginBeforeCloseAndUnload) {
  zt::Installation install;
  const std::string record = install.AddPlugin("p.so", "id 1\naccepts_read 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  zt::WaitForEvents(record, "read");  // the start Read
  g_stopper = zt::ThreadId();
  g_held = false;
  g_heldRecord = record;
  PluginThread::SetCheckInHook(HoldAfterCheckIn);
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "late"), RESULT_OK);
  ASSERT_TRUE(zt::WaitUntil([] { return g_held.load(); }));
  harness.Stop();
  PluginThread::SetCheckInHook(nullptr);
  // The stop waited for the call before it closed the plugin (the call may then overlap Close,
  // as a running call may).
  EXPECT_EQ(g_heldRecordAtRelease.find("close"), std::string::npos)
      << "the call was let in after Close:\n" << g_heldRecordAtRelease;
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(record), "read").size(), 2u);
}

TEST(StopTest, ACallThatHasNotReachedThePluginWhenItIsClosedIsSkipped) {
  zt::Installation install;
  const std::string record = install.AddPlugin("p.so", "id 1\naccepts_read 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  zt::WaitForEvents(record, "read");  // the start Read
  PluginThread::SetCheckInHook(HoldUntilClosed);
  // Counted in before the stop, but its thread reaches the plugin only after the Close pass
  // has closed it: the Close pass waits for it to decide, and it decides not to call.
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "late"), RESULT_OK);
  harness.Stop();
  PluginThread::SetCheckInHook(nullptr);
  const auto events = zt::ReadEvents(record);
  EXPECT_EQ(zt::EventsNamed(events, "read").size(), 1u) << "a call entered after the Close mark";
  EXPECT_EQ(zt::EventsNamed(events, "close").size(), 1u);
}

TEST(CallThreadTest, ABroadcastStormAgainstABlockedReadStaysWithinTheBound) {
  zt::Installation install;
  const std::string go = install.dir() + "/go";
  const std::string record =
      install.AddPlugin("slow.so", "id 1\naccepts_read 1\nmask 0 0\nawait read " + go + "\n");
  zt::CoreHarness harness(install);
  CoreLimits limits;
  limits.maxCallsPerPlugin = 8;
  harness.core().SetLimits(limits);
  harness.Start();
  PluginCalls* calls = harness.core().PluginsSnapshot().at(0).calls;
  zt::WaitForEvents(record, "read_end");  // the start Read, without payload, does not wait
  ASSERT_TRUE(zt::WaitUntil([calls] { return calls->InFlight() == 0; }));
  zt::LogCapture::Get().Clear();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "storm"), RESULT_OK);
  const PluginCalls::Counts counts = calls->Snapshot();
  EXPECT_EQ(counts.inFlight, 8);
  EXPECT_EQ(counts.mostInFlight, 8);
  EXPECT_EQ(counts.skippedAtBound, 92);
  size_t lines = 0;
  for (const std::string& line : zt::LogCapture::Get().Lines()) {
    lines += line.find(
                 "plugin slow.so: 8 calls are in flight, the most allowed; the call is "
                 "skipped") != std::string::npos;
  }
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 3u) << "not limited to one line a second";
  // The plugin catches up: the calls it was given all return, and it takes calls again.
  zt::WriteFile(go, "");
  EXPECT_EQ(zt::EventsNamed(zt::WaitForEvents(record, "read_end", 9), "read_end").size(), 9u);
  ASSERT_TRUE(zt::WaitUntil([calls] { return calls->InFlight() == 0; }));
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "again"), RESULT_OK);
  EXPECT_EQ(zt::EventsNamed(zt::WaitForEvents(record, "read_end", 10), "read_end").size(), 10u);
  harness.Stop();
}

TEST(StopTest, EveryPluginIsClosedBeforeAnyIsUnloadedAndNothingStaysMapped) {
  zt::Installation install;
  const std::string shared = install.dir() + "/shared.log";
  const auto names = InstallInListingOrder(install, 3, [&](size_t i) {
    return "id " + std::to_string(i + 1) + "\nrecord " + shared + "\n" +
           (i == 1 ? "open_result -3\n" : "");
  });
  const zt::CommandResult server = zt::RunConsoleOnce(install);
  EXPECT_EQ(server.exitCode, 0) << server.Describe();
  std::string sequence;
  for (const zt::Event& event : zt::ReadEvents(shared)) {
    if (event.name == "close") sequence += "c";
    if (event.name == "unload") sequence += "u";
  }
  EXPECT_EQ(sequence, "cccuuu");

  zt::CoreHarness harness(install);
  harness.Start();
  for (const std::string& name : names) EXPECT_TRUE(zt::IsMapped(install.plugins() + "/" + name));
  harness.Stop();
  for (const std::string& name : names) {
    EXPECT_FALSE(zt::IsMapped(install.plugins() + "/" + name)) << name;
  }
}

TEST(PluginListTest, BroadcastsFromAPluginThreadWhileLaterPluginsLoadAndUnload) {
  // The first plugin loaded broadcasts from its own thread, without pause, from its Load until
  // its Unload. All names begin with "streampi", so each plugin goes to the front of the list
  // and the broadcaster ends up last: the others are loaded, closed and unloaded while its
  // thread reads the list. Their Unload waits until it has broadcast after its own Close
  // (which comes before every Unload), so broadcasts certainly overlap the Unload pass.
  // ThreadSanitizer watches.
  zt::Installation install;
  const size_t kPlugins = 6;
  const std::string sending = install.dir() + "/still-sending";
  const std::string window = "/zt-window-" + std::to_string(getpid());
  for (size_t i = 0; i < kPlugins; ++i) {
    install.AddPlugin("streampi" + std::to_string(i) + ".so", "");
  }
  const std::vector<std::string> names = ListingOrder(install.plugins());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string config;
    if (i == 0) {
      config = "id 100\nspam 0 0 0x01 0x000001 0\nspam_until unload\nspam_mark " + sending +
               "\nspam_window " + window + " 8\n";
    } else {
      // Only the last one loaded takes the broadcasts, and it gives a credit back for each: so
      // at most eight Read calls are ever under way, and the calls do not outrun the machine
      // (each Read thread has a stack of its own, which a 32-bit process has little room for).
      config = "id " + std::to_string(i) + "\nmask 0 0x1\nsleep load 40\nawait unload " + sending +
               "\n" + (i == names.size() - 1 ? "accepts_read 1\nread_credit " + window + "\n" : "");
    }
    zt::WriteFile(install.plugins() + "/" + names[i] + ".conf", config);
  }
  zt::CoreHarness harness(install);
  harness.Start();
  const auto plugins = harness.core().PluginsSnapshot();
  ASSERT_EQ(plugins.size(), kPlugins);
  EXPECT_EQ(plugins.back().info.id, 100u) << "the broadcaster is last in the list";
  const std::string last = install.RecordOf(names.back());
  EXPECT_GE(zt::EventsNamed(zt::WaitForEvents(last, "read", 20), "read").size(), 20u);
  harness.Stop();

  const auto done = zt::EventsNamed(zt::ReadEvents(install.RecordOf(names.front())), "spam_done");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_GT(done[0].Number("sent"), 20u);
  EXPECT_EQ(done[0]["failed"], "0");
  EXPECT_GE(done[0].Number("after_close"), 5u) << "no broadcast overlapped the Unload pass";
  for (size_t i = 1; i < kPlugins; ++i) {
    const auto events = zt::ReadEvents(install.RecordOf(names[i]));
    EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u) << names[i];
    for (const zt::Event& await : zt::EventsNamed(events, "await")) {
      EXPECT_EQ(await["result"], "ok") << names[i];
    }
  }
}

}  // namespace
