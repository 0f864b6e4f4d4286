// The status page plugin's parts on their own: webstatus.conf and the password file, the two
// documents as the server writes them, the 10 minutes of history, what counts as stuck, and the
// metrics (checked by promtool) and JSON made from them.
#include <crypt.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "documents.h"
#include "health.h"
#include "history.h"
#include "metrics.h"
#include "page_data.h"
#include "snapshot.h"
#include "support/promtool.h"
#include "support/run_command.h"
#include "support/test_support.h"
#include "webstatus_config.h"

namespace {

using namespace webstatus;

// The example of docs/plugins.md, on one line as the server sends it, with a second plugin, a
// channel and an attribute and element that a later form might add.
const std::string kStatistics =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>"
    "<ZentStatistics Version=\"1\" Sequence=\"3\" Time=\"1765316992.125\" "
    "Started=\"1765316986.002\" Uptime=\"6.123\" Interval=\"2\" Later=\"x\">"
    "<Process Rss=\"9060352\" Threads=\"11\" ClockJumps=\"0\" Warnings=\"1\" Errors=\"0\" />"
    "<Routing Queued=\"451\" Delivered=\"450\" Depth=\"1\" DepthBytes=\"115384\" DepthMax=\"3\" "
    "DepthBytesMax=\"346152\" Broadcasts=\"2\" CallThreads=\"4\" RefusedChannel=\"0\" "
    "RefusedNoMemory=\"0\" RefusedBound=\"0\" RefusedStopping=\"0\" />"
    "<Plugins>"
    "<Plugin ID=\"101\" File=\"camera.so\" OpenCode=\"0\" LoadMs=\"0\" OpenMs=\"0\">"
    "<Calls Read=\"1\" Write=\"0\" Ioctl=\"1\" ReadUs=\"5804122\" WriteUs=\"0\" IoctlUs=\"31\" "
    "LongestUs=\"0\" LongestEntry=\"\" LongestAt=\"0\" Running=\"\" RunningUs=\"0\" "
    "InFlight=\"1\" InFlightMax=\"1\" SkippedClosed=\"0\" SkippedNoThread=\"0\" "
    "SkippedBound=\"0\" />"
    "<Sent Queued=\"150\" Refused=\"0\" NoMemory=\"0\" Broadcasts=\"1\" />"
    "<Buffers Held=\"0\" HeldBytes=\"0\" OldestMs=\"0\" BadReleases=\"0\" /><Later />"
    "</Plugin>"
    "<Plugin ID=\"102\" File=\"rec&quot;order\\x0a.so\" OpenCode=\"-3\" LoadMs=\"4\" OpenMs=\"7\">"
    "<Calls Read=\"0\" Write=\"150\" Ioctl=\"1\" ReadUs=\"0\" WriteUs=\"9000\" IoctlUs=\"20\" "
    "LongestUs=\"6500000\" LongestEntry=\"Write\" LongestAt=\"1765316990.5\" Running=\"Write\" "
    "RunningUs=\"6200000\" InFlight=\"0\" InFlightMax=\"0\" SkippedClosed=\"0\" "
    "SkippedNoThread=\"0\" SkippedBound=\"2\" />"
    "<Sent Queued=\"0\" Refused=\"3\" NoMemory=\"4\" Broadcasts=\"0\" />"
    "<Buffers Held=\"2\" HeldBytes=\"230768\" OldestMs=\"75000\" BadReleases=\"1\" />"
    "</Plugin>"
    "</Plugins>"
    "<Channels><Channel Number=\"7\" Open=\"1\" Waiting=\"2\" HeldMs=\"7000\" Passed=\"150\" />"
    "</Channels>"
    "</ZentStatistics>";

const std::string kStatus =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?><Zent Delta=\"0\"><Modules>"
    "<Module Name=\"Core\" Version=\"3.5.9.17308\" ID=\"-2147483648\">"
    "<Plugin Filename=\"zentserver\" Opened=\"1\" OpenCode=\"0\" ID=\"-2147483648\" />"
    "<Plugin Filename=\"camera.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"0\" OpenTime=\"2\" "
    "ID=\"101\" /></Module></Modules></Zent>";

Statistics Parsed(const std::string& text) {
  Statistics stats;
  std::string error;
  EXPECT_TRUE(ParseStatistics(text.data(), text.size(), &stats, &error)) << error;
  return stats;
}

// kStatistics with one text replaced.
std::string With(const std::string& from, const std::string& to) {
  std::string text = kStatistics;
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

std::string Hash(const char* method, const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_NE(crypt_gensalt_rn(method, 0, nullptr, 0, salt, sizeof salt), nullptr);
  crypt_data data{};
  return crypt_rn(password.c_str(), salt, &data, sizeof data);
}

TEST(WebStatusConfigTest, TakesEachGoodLineAndNamesTheFaultOfEachBadOne) {
  zt::TempDir dir;
  const std::string users = "# users\nana:" + Hash("$y$", "secret") + "\n";
  zt::WriteFile(dir / "users", users);
  chmod((dir / "users").c_str(), 0600);
  zt::WriteFile(dir / "open-users", users);
  chmod((dir / "open-users").c_str(), 0644);
  struct Case {
    std::string text, error;  // error "" when the text is good
  } cases[] = {
      {"", ""},
      {"# comment\n \naddress ::1\nport 0\nid 0x10\n", ""},
      {"address localhost\n", "line 1: address: needs a numeric IPv4 or IPv6 address"},
      {"port 65536\n", "line 1: port: needs one number from 0 (any free port) to 65535"},
      {"port 1\nport 2\n", "line 2: port: given twice (first on line 1)"},
      {"colour blue\n", "line 1: colour: unknown key"},
      {"id 0x80000000\n", "line 1: id: must not be the core's own identifier"},
      {"allow_anonymous_remote maybe\n", "line 1: allow_anonymous_remote: needs yes or no"},
      {"address 0.0.0.0\n", "address 0.0.0.0 is reachable from other machines: name a"},
      {"address ::\nallow_anonymous_remote yes\n", ""},
      {"address ::ffff:127.0.0.2\n", ""},
      {"address 0.0.0.0\npassword_file users\n", ""},
      {"password_file open-users\n",
       "password_file " + (dir / "open-users") + ": readable by others"},
      {"password_file missing\n", "password_file " + (dir / "missing")},
  };
  for (const Case& c : cases) {
    WebStatusConfig config;
    std::string error;
    const bool ok = ParseWebStatusConfig(c.text, dir.path(), &config, &error);
    if (c.error.empty()) {
      EXPECT_TRUE(ok) << c.text << "\n" << error;
    } else {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\n" << error;
    }
  }
  WebStatusConfig remote;
  std::string error;
  ASSERT_TRUE(
      ParseWebStatusConfig("address :: \nallow_anonymous_remote yes", dir.path(), &remote, &error));
  ASSERT_EQ(remote.warnings.size(), 1u);
  EXPECT_NE(remote.warnings[0].find("without authentication"), std::string::npos);
  EXPECT_EQ(remote.address, "::");
  EXPECT_EQ(remote.port, 8090);
}

TEST(WebStatusConfigTest, PasswordFilesHoldCryptHashesAndCheckThemAlike) {
  struct Case {
    std::string text, error;
  } cases[] = {
      {"", "names no user"},
      {"ana\n", "line 1: needs \"user:hash\""},
      {"ana:secret\n", "line 1: the password of ana is not a crypt(3) hash"},
      {"ana:$6$\n", "line 1: the password of ana is not a crypt(3) hash"},
      {"ana:$6$rounds=5000$salt\n", "line 1: the password of ana is not a crypt(3) hash"},
      {"ana:" + Hash("$6$", "a").substr(0, 20) + "\n", "line 1: the password of ana is not"},
      {"ana:" + Hash("$6$", "a") + "\nana:" + Hash("$6$", "b") + "\n",
       "line 2: user ana is given twice (first on line 1)"},
  };
  for (const Case& c : cases) {
    Credentials credentials;
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_FALSE(ParsePasswordFile(c.text, &credentials, &warnings, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\n" << error;
  }

  Credentials credentials;
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(ParsePasswordFile("ana:" + Hash("$y$", "open sesame") + "\r\nbob:" +
                                    Hash("$6$", "hunter2") + "\nold:" + Hash("$1$", "x") + "\n",
                                &credentials, &warnings, &error))
      << error;
  EXPECT_EQ(credentials.size(), 3u);
  ASSERT_EQ(warnings.size(), 1u);  // MD5 crypt is legacy
  EXPECT_NE(warnings[0].find("line 3: the password hash of old uses a weak method"),
            std::string::npos);
  EXPECT_TRUE(credentials.Check("ana", "open sesame"));
  EXPECT_TRUE(credentials.Check("bob", "hunter2"));
  EXPECT_FALSE(credentials.Check("ana", "hunter2"));
  EXPECT_FALSE(credentials.Check("ana", ""));
  EXPECT_FALSE(credentials.Check("bob", "hunter2 "));
  // An unknown user whose password is the first user's is still refused.
  EXPECT_FALSE(credentials.Check("eve", "open sesame"));
  EXPECT_FALSE(Credentials().Check("ana", "open sesame"));

  EXPECT_TRUE(IsLoopback("127.0.0.1"));
  EXPECT_TRUE(IsLoopback("127.9.9.9"));
  EXPECT_TRUE(IsLoopback("::1"));
  EXPECT_FALSE(IsLoopback("0.0.0.0"));
  EXPECT_FALSE(IsLoopback("::"));
  EXPECT_FALSE(IsLoopback("192.0.2.1"));
  EXPECT_FALSE(IsLoopback("localhost"));
}

TEST(WebStatusDocumentsTest, ReadsBothDocumentsAndRefusesWhatIsNotThem) {
  const Statistics s = Parsed(kStatistics);
  EXPECT_EQ(s.sequence, 3u);
  EXPECT_DOUBLE_EQ(s.time, 1765316992.125);
  EXPECT_DOUBLE_EQ(s.uptime, 6.123);
  EXPECT_DOUBLE_EQ(s.interval, 2);
  EXPECT_EQ(s.process.rss, 9060352u);
  EXPECT_EQ(s.routing.depthBytesMax, 346152u);
  ASSERT_EQ(s.plugins.size(), 2u);
  EXPECT_EQ(s.plugins[0].file, "camera.so");
  EXPECT_EQ(s.plugins[0].readUs, 5804122u);
  EXPECT_EQ(s.plugins[0].sentQueued, 150u);
  const PluginStats& recorder = s.plugins[1];
  EXPECT_EQ(recorder.file, "rec\"order\\x0a.so");
  EXPECT_EQ(recorder.openCode, -3);
  EXPECT_EQ(recorder.Calls(), 151u);
  EXPECT_EQ(recorder.longestEntry, "Write");
  EXPECT_DOUBLE_EQ(recorder.longestAt, 1765316990.5);
  EXPECT_EQ(recorder.running, "Write");
  EXPECT_EQ(recorder.skippedBound, 2u);
  EXPECT_EQ(recorder.sentNoMemory, 4u);
  EXPECT_EQ(recorder.oldestMs, 75000u);
  ASSERT_EQ(s.channels.size(), 1u);
  EXPECT_TRUE(s.channels[0].open);
  EXPECT_EQ(s.channels[0].heldMs, 7000u);

  for (const auto& [from, to] :
       std::vector<std::pair<std::string, std::string>>{{"Rss=\"9060352\"", "Rss=\"-1\""},
                                                        {"Uptime=\"6.123\"", "Uptime=\"six\""},
                                                        {"Queued=\"451\"", "Queued=\"451 \""},
                                                        {"ID=\"101\"", "ID=\"4294967296\""},
                                                        {"Version=\"1\"", "Version=\"0\""},
                                                        {"<ZentStatistics", "<Other"},
                                                        {"</ZentStatistics>", ""}}) {
    Statistics stats;
    std::string error;
    const std::string text = With(from, to);
    EXPECT_FALSE(ParseStatistics(text.data(), text.size(), &stats, &error)) << to;
    EXPECT_FALSE(error.empty());
  }

  StatusDocument status;
  std::string error;
  ASSERT_TRUE(ParseStatusDocument(kStatus.data(), kStatus.size(), &status, &error)) << error;
  EXPECT_EQ(status.version, "3.5.9.17308");
  ASSERT_EQ(status.entries.size(), 2u);
  EXPECT_EQ(status.entries[0].id, 0x80000000u);
  EXPECT_FALSE(status.entries[0].hasTimes);
  EXPECT_EQ(status.entries[1].file, "camera.so");
  EXPECT_EQ(status.entries[1].openMs, 2);
  for (const std::string& other :
       {std::string("hello"), std::string("<Zent/>"), kStatistics, std::string()}) {
    EXPECT_FALSE(ParseStatusDocument(other.data(), other.size(), &status, &error)) << other;
  }
}

// A document of the run that started at started, made at uptime, with counters that grow.
Statistics At(double uptime, double started = 1000) {
  Statistics s;
  s.version = 1;
  s.started = started;
  s.uptime = uptime;
  s.interval = 2;
  s.routing.queued = static_cast<uint64_t>(uptime * 25);  // 25 a second
  s.routing.broadcasts = static_cast<uint64_t>(uptime);   // 1 a second
  s.routing.depth = static_cast<uint64_t>(uptime) % 7;
  s.process.rss = 1000000 + static_cast<uint64_t>(uptime);
  return s;
}

TEST(WebStatusHistoryTest, KeepsTenMinutesAndRatesFromTheServersOwnClock) {
  History history;
  for (int t = 0; t <= 1000; t += 2) history.Add(At(t));
  std::vector<ChartPoint> points = history.Points();
  ASSERT_EQ(points.size(), 301u);  // uptime 400 to 1000
  EXPECT_DOUBLE_EQ(points.front().ago, 600);
  EXPECT_DOUBLE_EQ(points.back().ago, 0);
  EXPECT_FALSE(points.front().hasRate);  // nothing before it is kept
  for (size_t i = 1; i < points.size(); ++i) {
    ASSERT_TRUE(points[i].hasRate);
    EXPECT_DOUBLE_EQ(points[i].queuedRate, 25);
    EXPECT_DOUBLE_EQ(points[i].broadcastRate, 1);
  }
  EXPECT_EQ(points.back().rss, 1001000u);

  // The same document again, or an older one delivered late, adds nothing.
  history.Add(At(1000));
  history.Add(At(990));
  EXPECT_EQ(history.size(), 301u);
  // Documents held up and delivered in a burst: the rate is still per second of the server.
  history.Add(At(1010));
  EXPECT_DOUBLE_EQ(history.Points().back().queuedRate, 25);
  // A server that started again begins a new history.
  history.Add(At(3, 5000));
  points = history.Points();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_FALSE(points[0].hasRate);
}

TEST(WebStatusHealthTest, MarksLongCallsHeldGatesKeptBuffersAndLateStatistics) {
  const Statistics s = Parsed(kStatistics);
  EXPECT_TRUE(PluginMarks(s.plugins[0]).empty());
  const std::vector<std::string> marks = PluginMarks(s.plugins[1]);
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0], "inside Write for 6.2 s: every queued delivery waits");
  EXPECT_EQ(marks[1], "keeps 2 buffers, the oldest for 75 s");
  EXPECT_EQ(ChannelMarks(s.channels[0]),
            std::vector<std::string>{"held for 7.0 s, 2 senders wait"});

  // Just under each bound: nothing looks stuck.
  PluginStats busy = s.plugins[1];
  busy.runningUs = kStuckCallUs;
  busy.oldestMs = kKeptBufferMs;
  EXPECT_TRUE(PluginMarks(busy).empty());
  ChannelStats held = s.channels[0];
  held.heldMs = kHeldGateMs;
  EXPECT_TRUE(ChannelMarks(held).empty());

  EXPECT_EQ(Notices(&s, 5.9).size(), 0u);  // every 2 s: late after 6 s
  const std::vector<std::string> late = Notices(&s, 12);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_NE(late[0].find("No statistics for 12 s (one comes every 2.0 s)"), std::string::npos);
  EXPECT_NE(late[0].find("rec\"order\\x0a.so inside Write for 6.2 s"), std::string::npos);
  ASSERT_EQ(Notices(nullptr, 0).size(), 1u);
  EXPECT_NE(Notices(nullptr, 0)[0].find("--stats-interval"), std::string::npos);
}

// A snapshot as the store makes it from the two documents.
Snapshot Snap(const std::string& stats) {
  Store store("box");
  std::string error;
  EXPECT_TRUE(store.PutStatus(kStatus.data(), static_cast<uint32_t>(kStatus.size()), &error));
  if (!stats.empty()) {
    EXPECT_TRUE(store.PutStatistics(stats.data(), static_cast<uint32_t>(stats.size()), &error))
        << error;
  }
  EXPECT_FALSE(store.PutStatistics("<x/>", 4, &error));
  EXPECT_FALSE(store.PutStatus("hello", 5, &error));  // another plugin's MSG_TO_OTHERS
  return store.Take();
}

// The alerting rules the package ships are valid and name only metrics the plugin writes.
TEST(WebStatusMetricsTest, TheShippedAlertingRulesAreValidAndNameRealMetrics) {
  if (!zt::HavePromtool()) GTEST_SKIP() << zt::kNoPromtool;
  const zt::CommandResult check = zt::RunCommand(ZENT_PROMTOOL, {"check", "rules", ZENT_ALERTS});
  EXPECT_EQ(check.exitCode, 0) << check.Describe();
  const std::string rules = zt::ReadFile(ZENT_ALERTS);
  const std::string metrics = MetricsText(Snap(kStatistics));
  for (size_t at = rules.find("zentserver_"); at != std::string::npos;
       at = rules.find("zentserver_", at + 1)) {
    const std::string name =
        rules.substr(at, rules.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", at) - at);
    EXPECT_NE(metrics.find("# TYPE " + name + " "), std::string::npos) << name;
  }
}

TEST(WebStatusMetricsTest, FollowTheConventionsAndPassPromtool) {
  const std::string text = MetricsText(Snap(kStatistics));
  for (const char* line : {
           "# TYPE zentserver_plugin_calls_total counter\n",
           "zentserver_plugin_calls_total{plugin=\"camera.so\",entry=\"read\"} 1\n",
           "zentserver_plugin_call_seconds_total{plugin=\"camera.so\",entry=\"read\"} 5.804122\n",
           // A file name with a quote and a backslash, escaped as the format asks.
           "zentserver_plugin_longest_call_seconds{plugin=\"rec\\\"order\\\\x0a.so\"} 6.5\n",
           "zentserver_plugin_stuck{plugin=\"rec\\\"order\\\\x0a.so\"} 1\n",
           "zentserver_plugin_stuck{plugin=\"camera.so\"} 0\n",
           "zentserver_plugin_oldest_held_buffer_seconds{plugin=\"rec\\\"order\\\\x0a.so\"} 75\n",
           "zentserver_plugin_info{plugin=\"camera.so\",id=\"101\",open_code=\"0\"} 1\n",
           "zentserver_refused_messages_total{reason=\"no_memory\"} 0\n",
           "zentserver_queue_bytes 115384\n",
           "zentserver_resident_memory_bytes 9060352\n",
           "zentserver_channel_held_seconds{channel=\"7\"} 7\n",
           "zentserver_info{version=\"3.5.9.17308\"} 1\n",
           "zentserver_statistics_received_total 1\n",
           "zentserver_statistics_rejected_total 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  zt::ExpectPromtoolAccepts(text);
  // Without statistics: what the status document says.
  const std::string bare = MetricsText(Snap(""));
  EXPECT_NE(bare.find("zentserver_plugin_info{plugin=\"camera.so\",id=\"101\",open_code=\"0\"} 1"),
            std::string::npos)
      << bare;
  EXPECT_EQ(bare.find("zentserver_queue"), std::string::npos) << bare;
  zt::ExpectPromtoolAccepts(bare);
}

TEST(WebStatusPageTest, JsonCarriesTheCountersMarksAndHistoryAndThePageInlinesItSafely) {
  const std::string stats = With("File=\"camera.so\"", "File=\"&lt;/script&gt;&lt;!--.so\"");
  const Snapshot snapshot = Snap(stats);
  const nlohmann::json data = nlohmann::json::parse(StatsJson(snapshot));
  EXPECT_EQ(data["host"], "box");
  EXPECT_EQ(data["version"], "3.5.9.17308");
  EXPECT_EQ(data["statistics"]["routing"]["queued"], 451);
  EXPECT_EQ(data["statistics"]["late"], false);
  ASSERT_EQ(data["plugins"].size(), 2u);
  EXPECT_EQ(data["plugins"][0]["file"], "</script><!--.so");
  EXPECT_EQ(data["plugins"][1]["calls"]["longestUs"], 6500000);
  EXPECT_EQ(data["plugins"][1]["marks"].size(), 2u);
  EXPECT_EQ(data["channels"][0]["marks"].size(), 1u);
  EXPECT_EQ(data["history"]["ago"].size(), 1u);
  EXPECT_TRUE(data["history"]["queuedRate"][0].is_null());
  EXPECT_TRUE(data["notices"].empty());

  const std::string page = PageHtml(snapshot);
  EXPECT_EQ(page.find("/*INITIAL_DATA*/"), std::string::npos);
  // Only the page's own two script elements end; the name is inlined escaped.
  EXPECT_EQ(zt::CountOf(page, "</script>"), 2u);
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  const size_t start = page.find("type=\"application/json\">") + 24;
  const nlohmann::json inlined =
      nlohmann::json::parse(page.substr(start, page.find("</script>", start) - start));
  EXPECT_EQ(inlined["plugins"][0]["file"], "</script><!--.so");
  // Self-contained: nothing is loaded from elsewhere.
  for (const char* external : {"src=", "href=\"http", "@import", "url("}) {
    EXPECT_EQ(page.find(external), std::string::npos) << external;
  }

  // Without statistics the plugins come from the status document, without counters.
  const nlohmann::json bare = nlohmann::json::parse(StatsJson(Snap("")));
  EXPECT_TRUE(bare["statistics"].is_null());
  ASSERT_EQ(bare["plugins"].size(), 1u);
  EXPECT_EQ(bare["plugins"][0]["file"], "camera.so");
  EXPECT_TRUE(bare["plugins"][0]["calls"].is_null());
  EXPECT_EQ(bare["notices"].size(), 1u);
}

}  // namespace
