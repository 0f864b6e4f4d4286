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
#include "support/core_harness.h"

namespace {

// The "*.so" plain files of dir in the order the directory lists them, as the loader visits
// them.
std::vector<std::string> ListingOrder(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    struct stat st;
    if (name[0] == '.' || name.size() < 3 || name.compare(name.size() - 3, 3, ".so") != 0 ||
        stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    names.push_back(name);
  }
  closedir(d);
  return names;
}

std::vector<std::string> LoadedNames(Core& core) {
  std::vector<std::string> names;
  for (const PluginRecord& plugin : core.PluginsSnapshot()) {
    names.push_back(std::string(plugin.fileName.utf8_str()));
  }
  return names;
}

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

  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  EXPECT_NE(server.Stdout().find("stopping the core"), std::string::npos);

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
  EXPECT_NE(server.Stderr().find("junk.so"), std::string::npos) << server.Stderr();
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
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  EXPECT_EQ(server.Stderr(), "") << "a missing plugins directory is not an error";
}

TEST(PluginInterfaceTest, InfoFilledByACPluginIsKeptAsIs) {
  zt::Installation install;
  install.AddPlugin("full.so",
                    "id 0xfedcba98\nmask 0 0x11\nmask 5 0x80000001\nmask 8 0xffffffff\n"
                    "ioctl_at_load 1\naccepts_read 1\naccepts_write 1\n");
  const std::string bare = install.AddPlugin("bare.so", "");
  zt::CoreHarness harness(install);
  harness.Start();
  const auto plugins = harness.core().PluginsSnapshot();
  ASSERT_EQ(plugins.size(), 2u);
  for (const PluginRecord& plugin : plugins) {
    EXPECT_EQ(plugin.info.size, sizeof(PluginInfo));
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
  for (const char* name : {"open", "close", "unload"}) {
    EXPECT_EQ(zt::EventsNamed(events, name).size(), 1u) << name;
  }
  EXPECT_TRUE(zt::EventsNamed(events, "read").empty());
  EXPECT_TRUE(zt::EventsNamed(events, "write").empty());
  for (const zt::Event& ioctl : zt::EventsNamed(events, "ioctl")) EXPECT_NE(ioctl["cmd"], "1");
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
  size_t warnings = 0;
  for (const std::string& line : zt::LogCapture::Get().Lines()) {
    if (line.find("partial.so does not export") == std::string::npos) continue;
    ++warnings;
    EXPECT_NE(line.find("Read, Write, IOCTL"), std::string::npos) << line;
    EXPECT_EQ(line.find("Seek"), std::string::npos) << line;
  }
  EXPECT_EQ(warnings, 1u);
  const auto events = zt::ReadEvents(record);
  EXPECT_EQ(zt::EventsNamed(events, "close").size(), 1u);
  EXPECT_EQ(zt::EventsNamed(events, "unload").size(), 1u);
}

// The plugin files of an installation in listing order, with each one's settings given by its
// position: the loader visits them in that order.
std::vector<std::string> InstallInListingOrder(zt::Installation& install, size_t count,
                                               const std::function<std::string(size_t)>& config) {
  for (size_t i = 0; i < count; ++i) install.AddPlugin("p" + std::to_string(i) + ".so", "");
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
  EXPECT_EQ(ioctl["size"], std::to_string(sizeof(IoctlRequest)));
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

void* FailingAllocator(size_t) { return nullptr; }

TEST(CallThreadTest, AFailedPayloadCopySkipsThatCallAndIsLogged) {
  zt::Installation install;
  const std::string a = install.AddPlugin("a.so", "id 1\naccepts_read 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  zt::WaitForEvents(a, "read");  // the start Read
  zt::LogCapture::Get().Clear();
  const PayloadFunctions previous = SetPayloadFunctions({FailingAllocator, nullptr});
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "lost"), RESULT_OK);
  SetPayloadFunctions(previous);
  EXPECT_EQ(zt::SendText(0, 0, 0x01, 0, "kept"), RESULT_OK);
  const auto reads = zt::EventsNamed(zt::WaitForEvents(a, "read", 2), "read");
  harness.Stop();
  EXPECT_TRUE(zt::LogCapture::Get().Contains("could not copy a payload of 4 bytes"));
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(zt::Unhex(reads[1]["hex"]), "kept");
}

TEST(StopTest, ARunningReadHoldsBackTheUnloadOfItsPlugin) {
  // The Read waits for a mark that the test makes only once the plugin has been closed: it is
  // still running when the stop reaches the Unload pass.
  zt::Installation install;
  const std::string mark = install.dir() + "/closed";
  const std::string slow =
      install.AddPlugin("slow.so", "id 1\naccepts_read 1\nmask 0 0\nawait read " + mark + "\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "slow"), RESULT_OK);
  zt::WaitForEvents(slow, "read", 2);
  std::thread marker([&] {
    zt::WaitForEvents(slow, "close");
    zt::WriteFile(mark, "");
  });
  harness.Stop();
  marker.join();
  std::vector<std::string> order;
  for (const zt::Event& event : zt::ReadEvents(slow)) {
    if (event.name == "await") {
      EXPECT_EQ(event["result"], "ok");
    }
    if (event.name == "close" || event.name == "read_end" || event.name == "unload") {
      order.push_back(event.name);
    }
  }
  // The start Read ended at once; the broadcast's Read ended after Close, before Unload.
  EXPECT_EQ(order, (std::vector<std::string>{"read_end", "close", "read_end", "unload"}));
  EXPECT_FALSE(zt::IsMapped(install.plugins() + "/slow.so"));
}

// Holds a payload copy until the plugin's record shows its Close (or two seconds pass): a call
// counted in before the stop, whose thread is not yet running when the Close pass comes.
struct SlowCopy {
  static std::string record;
  static std::atomic<bool> entered, closedMeanwhile;
  static void* Allocate(size_t size) {
    entered = true;
    closedMeanwhile = zt::WaitUntil(
        [] { return !zt::EventsNamed(zt::ReadEvents(record), "close").empty(); }, 2000);
    return std::malloc(size);
  }
};
std::string SlowCopy::record;
std::atomic<bool> SlowCopy::entered{false};
std::atomic<bool> SlowCopy::closedMeanwhile{false};

TEST(StopTest, NoCallEntersAPluginAfterItsClose) {
  // A plugin's own thread broadcasts to p.so just as the stop begins: the call is counted in,
  // but its payload copy is held until p.so's Close shows (or two seconds pass).
  zt::Installation install;
  SlowCopy::record = install.AddPlugin("p.so", "id 1\naccepts_read 1\nmask 0 0\n");
  const std::string fifo = install.dir() + "/commands";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string sender = install.AddPlugin("sender.so", "id 2\nctl " + fifo + "\n");
  zt::CoreHarness harness(install);
  harness.Start();
  zt::WaitForEvents(SlowCopy::record, "read");  // the start Read
  SlowCopy::entered = false;
  const PayloadFunctions previous = SetPayloadFunctions({SlowCopy::Allocate, nullptr});
  {
    std::ofstream commands(fifo);  // the plugin's thread reads it, then ends
    commands << "send 0 0 0x01 0 counted in before the stop\nquit\n";
  }
  ASSERT_TRUE(zt::WaitUntil([] { return SlowCopy::entered.load(); }));
  harness.Stop();
  SetPayloadFunctions(previous);
  // The Close pass waited for the call that was counted in; the call was made, not dropped.
  EXPECT_FALSE(SlowCopy::closedMeanwhile.load()) << "Close came before a counted call started";
  size_t reads = 0;
  for (const zt::Event& read : zt::EventsNamed(zt::ReadEvents(SlowCopy::record), "read")) {
    reads += zt::Unhex(read["hex"]) == "counted in before the stop";
  }
  EXPECT_EQ(reads, 1u);
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(sender), "sent")[0]["result"], "0");
}

TEST(StopTest, EveryPluginIsClosedBeforeAnyIsUnloadedAndNothingStaysMapped) {
  zt::Installation install;
  const std::string shared = install.dir() + "/shared.log";
  const auto names = InstallInListingOrder(install, 3, [&](size_t i) {
    return "id " + std::to_string(i + 1) + "\nrecord " + shared + "\n" +
           (i == 1 ? "open_result -3\n" : "");
  });
  zt::ServerProcess server(install.exe(), {"-d"}, "/");
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
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
  for (size_t i = 0; i < kPlugins; ++i) {
    install.AddPlugin("streampi" + std::to_string(i) + ".so", "");
  }
  const std::vector<std::string> names = ListingOrder(install.plugins());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string config;
    if (i == 0) {
      config = "id 100\nspam 0 0 0x01 0x000001 0\nspam_until unload\nspam_mark " + sending + "\n";
    } else {
      // Only the last one loaded takes the broadcasts, so the calls do not outrun the machine.
      config = "id " + std::to_string(i) + "\nmask 0 0x1\nsleep load 40\nawait unload " + sending +
               "\n" + (i == names.size() - 1 ? "accepts_read 1\n" : "");
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
