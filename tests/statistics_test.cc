// The Core's counters and the statistics document: each counter is moved by traffic that must
// move it, the document is well-formed XML that carries them, and the server sends it by Write
// to the plugins that subscribe to it, at the interval the command line sets.
#include "core/statistics.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "support/core_harness.h"
#include "support/run_command.h"

namespace {

const PluginStatistics& PluginOf(const CoreStatistics& s, uint32_t id) {
  const auto it = std::find_if(s.plugins.begin(), s.plugins.end(),
                               [id](const PluginStatistics& p) { return p.id == id; });
  EXPECT_NE(it, s.plugins.end()) << "plugin " << id;
  static const PluginStatistics none;
  return it != s.plugins.end() ? *it : none;
}

TEST(StatisticsTest, EachCounterMovesWithTheTrafficThatMovesIt) {
  zt::Installation install;
  const std::string go = install.dir() + "/go";
  install.AddPlugin("source.so", "id 10\n");
  // Its Writes wait for the mark, and each broadcasts from inside the call.
  const std::string slow =
      install.AddPlugin("slow.so", "id 11\naccepts_write 1\nmask 0 0\nawait write " + go +
                                       "\nsend write 0 0 0x02 0 hi\n");
  const std::string keeper =
      install.AddPlugin("keeper.so", "id 12\naccepts_write 1\nmask 0 0\nretain 1\nrelease close\n");
  const std::string reader = install.AddPlugin("reader.so", "id 13\naccepts_read 1\nmask 1 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  Core& core = harness.core();
  ASSERT_TRUE(zt::WaitUntil([&] { return core.Statistics().delivered == 1; }))
      << "the status document";
  ASSERT_EQ(zt::SendText(0, 5, 0x02, 0, "open five"), RESULT_OK);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zt::SendText(10, 0, 0x01, 0, "hello"), RESULT_OK);
  ASSERT_EQ(zt::SendText(10, 5, 0x01, 0, "on five"), RESULT_OK);
  EXPECT_EQ(zt::SendText(10, 99, 0x01, 0, "never opened"), RESULT_CHANNEL_REFUSED);
  zt::SendText(12, 0, MSG_RELEASE, 0, "not a buffer of the core's");

  // The event handler is inside the slow plugin's first Write, and every delivery waits.
  ASSERT_TRUE(zt::WaitUntil([&] { return PluginOf(core.Statistics(), 11).running == "Write"; }));
  const CoreStatistics during = core.Statistics();
  EXPECT_GT(PluginOf(during, 11).runningSeconds, 0.0);
  EXPECT_EQ(during.depth, 4u) << "the four messages wait (one is inside the Write)";
  EXPECT_EQ(during.depthBytes, 4 * sizeof(Message) + 3 * 5 + 7);
  zt::WriteFile(go, "");
  ASSERT_TRUE(zt::WaitUntil([&] { return core.Statistics().delivered == 5; }))
      << "the status document and four messages";
  zt::WaitForEvents(reader, "read", 1 + 1 + 4);  // the start Read, the opening and 4 from Writes
  // A Read is counted when it returns, a little after the plugin wrote its line.
  ASSERT_TRUE(zt::WaitUntil([&] {
    const CoreStatistics now = core.Statistics();
    const PluginStatistics& r = PluginOf(now, 13);
    return r.reads == 1u + 1u + 4u && r.inFlight == 0;
  }));

  const CoreStatistics s = core.Statistics();
  EXPECT_EQ(s.queued, 5u);
  EXPECT_EQ(s.depth, 0u);
  EXPECT_EQ(s.depthBytes, 0u);
  EXPECT_GE(s.depthMax, 3u);
  EXPECT_EQ(s.broadcasts, 1u + 4u);
  EXPECT_EQ(s.refusedChannel, 1u);
  EXPECT_GE(s.callThreads, 1u + 5u) << "the start Read and the broadcasts' Reads";
  EXPECT_GT(s.rss, 0u);
  EXPECT_GT(s.threads, 2);
  EXPECT_GE(s.warnings, 1u) << "the bad release";
  EXPECT_GT(s.uptime, 0.0);
  EXPECT_NEAR(s.time, s.started + s.uptime, 1.0);

  const PluginStatistics& source = PluginOf(s, 10);
  EXPECT_EQ(source.sentQueued, 4u);
  EXPECT_EQ(source.sentRefused, 1u);
  EXPECT_EQ(source.writes, 0u);
  const PluginStatistics& slowStats = PluginOf(s, 11);
  EXPECT_EQ(slowStats.writes, 4u);
  EXPECT_EQ(slowStats.ioctls, 1u) << "the status document";
  EXPECT_EQ(slowStats.broadcasts, 4u) << "one from inside each Write";
  EXPECT_EQ(slowStats.longestEntry, "Write");
  // The call ran at least as long as it had when seen running. Both are in ticks of the time
  // stamp counter, whose rate the Core is still measuring against the steady clock in its first
  // second: the two conversions may differ by a few percent.
  EXPECT_GE(slowStats.longestSeconds,
            0.9 * (during.plugins.empty() ? 0.0 : PluginOf(during, 11).runningSeconds));
  EXPECT_GE(slowStats.writeSeconds, slowStats.longestSeconds);
  EXPECT_NEAR(slowStats.longestAt, s.started, s.uptime + 1);
  EXPECT_EQ(slowStats.running, "");
  const PluginStatistics& keeperStats = PluginOf(s, 12);
  // The four messages and the status document.
  EXPECT_EQ(keeperStats.buffersHeld, 5u);
  EXPECT_EQ(keeperStats.bytesHeld, 3u * 5 + 7 + core.BuildStatusDocument().size());
  EXPECT_GT(keeperStats.oldestHeldSeconds, 0.0);
  EXPECT_EQ(keeperStats.badReleases, 1u);
  const PluginStatistics& readerStats = PluginOf(s, 13);
  EXPECT_EQ(readerStats.reads, 1u + 1u + 4u);
  EXPECT_EQ(readerStats.inFlight, 0);
  EXPECT_GE(readerStats.inFlightMax, 1);
  ASSERT_EQ(s.channels.size(), 1u);
  EXPECT_EQ(s.channels[0].number, 5u);
  EXPECT_TRUE(s.channels[0].open);
  EXPECT_EQ(s.channels[0].passed, 1u);
  EXPECT_GT(s.channels[0].heldSeconds, 0.0) << "the keeper holds the message on channel 5";
  EXPECT_EQ(s.channels[0].waiting, 0);

  // The document carries the same figures and is well-formed for a strict parser.
  const std::string text = StatisticsDocument(s, 7, 2);
  zt::TempDir dir;
  zt::WriteFile(dir / "statistics.xml", text);
  const zt::CommandResult parsed =
      zt::RunCommand("/usr/bin/xmllint", {"--noout", dir / "statistics.xml"});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.Describe() << text;
  TiXmlDocument document;
  document.Parse(text.c_str());
  const TiXmlElement* root = document.RootElement();
  ASSERT_NE(root, nullptr) << text;
  EXPECT_STREQ(root->Value(), "ZentStatistics");
  EXPECT_STREQ(root->Attribute("Sequence"), "7");
  EXPECT_STREQ(root->FirstChildElement("Routing")->Attribute("Queued"), "5");
  const TiXmlElement* plugin = root->FirstChildElement("Plugins")->FirstChildElement("Plugin");
  while (plugin != nullptr && std::string(plugin->Attribute("ID")) != "12") {
    plugin = plugin->NextSiblingElement("Plugin");
  }
  ASSERT_NE(plugin, nullptr) << text;
  EXPECT_STREQ(plugin->Attribute("File"), "keeper.so");
  EXPECT_STREQ(plugin->FirstChildElement("Buffers")->Attribute("Held"), "5");
  EXPECT_STREQ(
      root->FirstChildElement("Channels")->FirstChildElement("Channel")->Attribute("Number"), "5");
  harness.Stop();
}

TEST(StatisticsTest, TheServerSendsTheDocumentByWriteAtTheIntervalAsked) {
  zt::Installation install;
  const std::string config = "id 20\naccepts_write 1\nmask 7 0x02000011\n";
  const std::string record = install.AddPlugin("stats.so", config);
  const auto documents = [&record] { return zt::Payloads(record, "write"); };
  // Without the option, none.
  EXPECT_EQ(zt::RunConsoleOnce(install).exitCode, 0);
  EXPECT_TRUE(documents().empty());
  for (const std::vector<std::string>& how :
       {std::vector<std::string>{"--stats-interval", "1"}, std::vector<std::string>{}}) {
    std::remove(record.c_str());
    std::vector<std::string> args = {"-d"};
    args.insert(args.end(), how.begin(), how.end());
    zt::ServerProcess server(install.exe(), args, "/",
                             how.empty() ? std::vector<std::string>{"ZENT_STATS_INTERVAL=1"}
                                         : std::vector<std::string>{});
    zt::WaitForEvents(record, "write", 2);
    server.CloseStdin();
    ASSERT_TRUE(server.Wait());
    const std::vector<std::string> texts = documents();
    ASSERT_GE(texts.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      TiXmlDocument document;
      document.Parse(texts[i].c_str());
      ASSERT_NE(document.RootElement(), nullptr) << texts[i];
      EXPECT_EQ(std::string(document.RootElement()->Attribute("Sequence")), std::to_string(i + 1));
      EXPECT_STREQ(document.RootElement()->Attribute("Interval"), "1");
    }
    for (const zt::Event& write : zt::EventsNamed(zt::ReadEvents(record), "write")) {
      EXPECT_EQ(write["code"], "0x1000011");
      EXPECT_EQ(write["flags"], "0x80");
      EXPECT_EQ(write["source"], std::to_string(CORE_SOURCE));
    }
    // By Write only: the one IOCTL command 2 is the status document.
    EXPECT_EQ(zt::StatusDocuments(record).size(), 1u);
  }
  const zt::CommandResult bad = zt::RunConsoleOnce(install, {}, {"-d", "--stats-interval", "-3"});
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.exitCode, -1);
}

}  // namespace
