// The status page plugin in the real server, through a real HTTP client: every page, the
// password, settings it refuses, a port that is taken, and the stop. A test plugin feeds it
// statistics documents of the documented form (as the core's own, from CORE_SOURCE) where a test
// needs figures that a real run cannot make at will; the server's own statistics are tested
// with --stats-interval.
#include <crypt.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "plugin_api/plugin_api.h"

#include "support/http_client.h"
#include "support/promtool.h"
#include "support/run_command.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;

// A statistics document with one plugin that looks stuck in every way.
const std::string kStuckStatistics =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>"
    "<ZentStatistics Version=\"1\" Sequence=\"3\" Time=\"1765316992.125\" "
    "Started=\"1765316986.002\" Uptime=\"6.123\" Interval=\"2\">"
    "<Process Rss=\"9060352\" Threads=\"11\" ClockJumps=\"0\" Warnings=\"1\" Errors=\"0\" />"
    "<Routing Queued=\"451\" Delivered=\"450\" Depth=\"1\" DepthBytes=\"115384\" DepthMax=\"3\" "
    "DepthBytesMax=\"346152\" Broadcasts=\"2\" CallThreads=\"4\" RefusedChannel=\"0\" "
    "RefusedNoMemory=\"0\" RefusedBound=\"0\" RefusedStopping=\"0\" />"
    "<Plugins><Plugin ID=\"102\" File=\"recorder.so\" OpenCode=\"0\" LoadMs=\"0\" OpenMs=\"0\">"
    "<Calls Read=\"0\" Write=\"150\" Ioctl=\"1\" ReadUs=\"0\" WriteUs=\"9000\" IoctlUs=\"20\" "
    "LongestUs=\"6500000\" LongestEntry=\"Write\" LongestAt=\"1765316990.5\" Running=\"Write\" "
    "RunningUs=\"6200000\" InFlight=\"0\" InFlightMax=\"0\" SkippedClosed=\"0\" "
    "SkippedNoThread=\"0\" SkippedBound=\"0\" />"
    "<Sent Queued=\"0\" Refused=\"0\" NoMemory=\"0\" Broadcasts=\"0\" />"
    "<Buffers Held=\"2\" HeldBytes=\"230768\" OldestMs=\"75000\" BadReleases=\"0\" />"
    "</Plugin></Plugins>"
    "<Channels><Channel Number=\"7\" Open=\"1\" Waiting=\"1\" HeldMs=\"7000\" Passed=\"150\" />"
    "</Channels></ZentStatistics>";

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Hash(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt);
  crypt_data data{};
  return crypt_rn(password.c_str(), salt, &data, sizeof data);
}

// A loopback port that something listens on for as long as the object lives.
class TakenPort {
 public:
  TakenPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd_, 1) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~TakenPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class WebStatusTest : public ::testing::Test {
 protected:
  // The plugin with its configuration beside it, and the test plugin "feeder.so", which
  // records what it is sent and, with control, sends what the test writes to its FIFO.
  void Install(const std::string& config, bool control = true) {
    zt::CopyFile(ZENT_WEBSTATUS_PLUGIN, install_.plugins() + "/webstatus.so", 0644);
    const std::string conf = install_.plugins() + "/webstatus.conf";
    zt::WriteFile(conf, config);
    chmod(conf.c_str(), 0644);
    feederRecord_ = install_.AddPlugin(
        "feeder.so", "id 0x10\n" + (control ? "ctl " + control_.path() + "\n" : std::string()));
  }

  // Starts the server in the console; true once the page's address is in its log.
  bool Start(const std::vector<std::string>& args = {"-d"}) {
    server_ = std::make_unique<zt::ServerProcess>(install_.exe(), args, install_.dir());
    static const std::string kAddress = "the status page is at http://127.0.0.1:";
    const bool listening = zt::WaitUntil([&] {
      const std::string err = server_->Stderr();
      const size_t at = err.find(kAddress);
      if (at == std::string::npos) return server_->Ended();
      port_ = std::atoi(err.c_str() + at + kAddress.size());
      return true;
    });
    return listening && port_ != 0;
  }

  // Stops the server (the end of its input) and expects a clean end.
  void Stop() {
    control_.Close();
    server_->CloseStdin();
    ASSERT_TRUE(server_->Wait()) << server_->Stderr();
    EXPECT_EQ(server_->ExitCode(), 0) << server_->Stderr();
  }

  // Sends a statistics document as the core sends it.
  void Feed(const std::string& document) {
    const std::string path = install_.dir() + "/document.xml";
    zt::WriteFile(path, document);
    ASSERT_TRUE(control_.Send("send " + Hex(CORE_SOURCE) + " 0 " +
                              Hex(MSG_CLASS_BIT(ZENT_STATISTICS_CLASS)) + " " +
                              Hex(ZENT_CODE_STATISTICS) + " @" + path));
  }

  json StatsJson() {
    const zt::HttpAnswer answer = zt::HttpGet(port_, "/stats.json");
    EXPECT_EQ(answer.status, 200) << answer.error;
    return json::parse(answer.body.empty() ? "null" : answer.body);
  }

  zt::Installation install_;
  zt::PluginControl control_{install_.dir() + "/feeder.ctl"};
  std::string feederRecord_;
  std::unique_ptr<zt::ServerProcess> server_;
  int port_ = 0;
};

TEST_F(WebStatusTest, ServesThePageTheMetricsAndTheDocumentsReadOnly) {
  Install("port 0\n");
  ASSERT_TRUE(Start()) << server_->Stderr();

  // The status document as the server sent it, once it came.
  zt::HttpAnswer status;
  ASSERT_TRUE(
      zt::WaitUntil([&] { return (status = zt::HttpGet(port_, "/status.xml")).status == 200; }));
  EXPECT_EQ(status.Header("content-type"), "application/xml");
  EXPECT_EQ(status.body.rfind("<?xml", 0), 0u) << status.body;
  EXPECT_NE(status.body.find("Filename=\"webstatus.so\""), std::string::npos) << status.body;
  // The feeder may be given the same document after the status page was.
  ASSERT_TRUE(zt::WaitUntil([&] { return !zt::Payloads(feederRecord_, "ioctl").empty(); }));
  EXPECT_EQ(status.body, zt::Payloads(feederRecord_, "ioctl").at(0));

  // Before any statistics: the plugins of the status document and how to turn them on.
  json data = StatsJson();
  EXPECT_TRUE(data["statistics"].is_null());
  EXPECT_NE(data["notices"][0].get<std::string>().find("--stats-interval"), std::string::npos);
  std::set<std::string> files;
  for (const json& plugin : data["plugins"]) files.insert(plugin["file"]);
  EXPECT_EQ(files, (std::set<std::string>{"feeder.so", "webstatus.so"}));

  Feed(kStuckStatistics);
  ASSERT_TRUE(zt::WaitUntil([&] { return StatsJson()["statistics"].is_object(); }));
  data = StatsJson();
  EXPECT_EQ(data["statistics"]["routing"]["queued"], 451);
  ASSERT_EQ(data["plugins"].size(), 1u);
  EXPECT_EQ(data["plugins"][0]["marks"].size(), 2u) << data.dump();
  EXPECT_EQ(data["channels"][0]["marks"].size(), 1u) << data.dump();

  const zt::HttpAnswer page = zt::HttpGet(port_, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.Header("content-security-policy").find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(page.Header("cache-control"), "no-store");
  EXPECT_NE(page.body.find("\"file\":\"recorder.so\""), std::string::npos);

  const zt::HttpAnswer metrics = zt::HttpGet(port_, "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(metrics.body.find("zentserver_plugin_stuck{plugin=\"recorder.so\"} 1\n"),
            std::string::npos)
      << metrics.body;
  zt::ExpectPromtoolAccepts(metrics.body);

  // Read-only, and nothing but the four pages.
  const zt::HttpAnswer head = zt::HttpRequest(port_, "HEAD", "/metrics");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());
  const zt::HttpAnswer post = zt::HttpRequest(port_, "POST", "/metrics");
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.Header("allow"), "GET, HEAD");
  EXPECT_EQ(zt::HttpGet(port_, "/etc/passwd").status, 404);
  EXPECT_EQ(zt::HttpGet(port_, "/stats.json?x=1").status, 200);

  Stop();
  // Nothing listens after the stop.
  EXPECT_EQ(zt::HttpGet(port_, "/").status, 0);
}

// The server's own statistics, every second: the calls counted, the metrics, and a Write that
// does not return for 8 s, which holds up every queued delivery, the statistics among them.
TEST_F(WebStatusTest, ShowsTheServersOwnStatisticsAndAWriteThatHoldsUpTheQueue) {
  Install("port 0\n");
  // A plugin whose Write of its own message sleeps; the test sends that message when it wants.
  zt::PluginControl slowControl(install_.dir() + "/slow.ctl");
  install_.AddPlugin("slow.so", "id 0x20\naccepts_write 1\nmask 0 " +
                                    Hex(ZENT_QUEUED_MATCH(0x01000001)) +
                                    "\nsleep write 8000\nctl " + slowControl.path() + "\n");
  ASSERT_TRUE(Start({"-d", "--stats-interval", "1"})) << server_->Stderr();

  const auto plugin = [](const json& data, const std::string& file) {
    for (const json& p : data["plugins"]) {
      if (p["file"] == file) return p;
    }
    return json();
  };
  // Its own Write calls take the statistics.
  json data;
  ASSERT_TRUE(zt::WaitUntil([&] {
    data = StatsJson();
    const json self = plugin(data, "webstatus.so");
    return data["history"]["ago"].size() >= 3 && self.is_object() && self["calls"]["write"] >= 2;
  })) << data.dump();
  EXPECT_EQ(data["statistics"]["interval"], 1);
  EXPECT_TRUE(data["notices"].empty()) << data.dump();
  EXPECT_TRUE(plugin(data, "slow.so").is_object()) << data.dump();
  EXPECT_TRUE(plugin(data, "feeder.so").is_object()) << data.dump();
  const zt::HttpAnswer metrics = zt::HttpGet(port_, "/metrics");
  EXPECT_NE(
      metrics.body.find("zentserver_plugin_calls_total{plugin=\"webstatus.so\",entry=\"write\"} "),
      std::string::npos)
      << metrics.body;
  zt::ExpectPromtoolAccepts(metrics.body);

  // While the Write sleeps, no statistics come: the page says that deliveries are held up.
  ASSERT_TRUE(slowControl.Send("send self 0 0x01 0x01000001 slow"));
  ASSERT_TRUE(zt::WaitUntil([&] {
    data = StatsJson();
    return !data["notices"].empty() && data["statistics"]["late"] == true;
  })) << data.dump();
  EXPECT_NE(data["notices"][0].get<std::string>().find("queued deliveries are held up"),
            std::string::npos);
  // Once it returned, the documents made meanwhile arrive; the Write shows as the longest call.
  ASSERT_TRUE(zt::WaitUntil([&] {
    data = StatsJson();
    const json slow = plugin(data, "slow.so");
    return data["notices"].empty() && slow.is_object() && slow["calls"]["longestUs"] >= 8000000;
  })) << data.dump();
  EXPECT_EQ(plugin(data, "slow.so")["calls"]["longestEntry"], "Write") << data.dump();
  slowControl.Close();
  Stop();
}

TEST_F(WebStatusTest, AsksForAPasswordWhenAPasswordFileIsSet) {
  const std::string users = install_.dir() + "/users";
  zt::WriteFile(users, "ana:" + Hash("open sesame") + "\n");
  chmod(users.c_str(), 0600);
  Install("port 0\npassword_file " + users + "\n");
  ASSERT_TRUE(Start()) << server_->Stderr();

  for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"ana", "wrong"}, {"eve", "open sesame"}}) {
    for (const char* path : {"/", "/metrics", "/stats.json", "/status.xml", "/nothing"}) {
      const zt::HttpAnswer answer = zt::HttpGet(port_, path, user, password);
      EXPECT_EQ(answer.status, 401) << path << " as " << user;
      EXPECT_EQ(answer.Header("www-authenticate"), "Basic realm=\"zentserver\"");
      EXPECT_EQ(answer.body.find("zentserver_"), std::string::npos);
    }
  }
  EXPECT_TRUE(zt::WaitUntil([&] {
    return server_->Stderr().find("refused a request from 127.0.0.1: wrong user or password") !=
           std::string::npos;
  }));
  EXPECT_EQ(zt::HttpGet(port_, "/metrics", "ana", "open sesame").status, 200);
  Stop();
}

TEST_F(WebStatusTest, RefusesUnsafeSettingsAndTheServerRunsOnWithoutIt) {
  struct Case {
    std::string config;
    mode_t mode;
    std::string reason;
  } cases[] = {
      {"address 0.0.0.0\n", 0644, "is reachable from other machines"},
      {"port 0\n", 0666, "webstatus.conf: writable by group and others; not loaded"},
      {"port 0\nport 1\n", 0644, "line 2: port: given twice"},
  };
  for (const Case& c : cases) {
    zt::Installation install;
    zt::CopyFile(ZENT_WEBSTATUS_PLUGIN, install.plugins() + "/webstatus.so", 0644);
    zt::WriteFile(install.plugins() + "/webstatus.conf", c.config);
    chmod((install.plugins() + "/webstatus.conf").c_str(), c.mode);
    const std::string record = install.AddPlugin("witness.so", "id 0x11\n");
    const zt::CommandResult run = zt::RunConsoleOnce(install);
    EXPECT_EQ(run.exitCode, 0) << run.Describe();
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not loaded"), std::string::npos) << run.err;
    const std::vector<zt::Event> documents = zt::StatusDocuments(record);
    ASSERT_EQ(documents.size(), 1u);
    const std::string status = zt::Payloads(record, "ioctl").at(0);
    EXPECT_EQ(status.find("webstatus.so"), std::string::npos) << status;
  }
}

TEST_F(WebStatusTest, APortThatIsTakenIsLoggedAndShowsAsTheOpenCode) {
  TakenPort taken;
  ASSERT_NE(taken.port(), 0);
  Install("port " + std::to_string(taken.port()) + "\n", false);
  const zt::CommandResult run = zt::RunConsoleOnce(install_);
  EXPECT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_NE(run.err.find("cannot serve on http://127.0.0.1:" + std::to_string(taken.port())),
            std::string::npos)
      << run.err;
  const std::string status = zt::Payloads(feederRecord_, "ioctl").at(0);
  EXPECT_NE(status.find("Filename=\"webstatus.so\" Opened=\"1\" OpenCode=\"-1\""),
            std::string::npos)
      << status;
}

}  // namespace
