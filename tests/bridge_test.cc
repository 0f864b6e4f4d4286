// The MQTT bridge between two servers, against a real broker (Debian's mosquitto) on a
// loopback port of the test's own: what crosses, what must not come back, each server's state
// on the broker, a broker that goes away and comes back, and bad input on either side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "plugin_api/plugin_api.h"

#include "support/run_command.h"
#include "support/test_support.h"

namespace {

// What the bridges carry: queued messages of class bit 2, broadcasts of class bit 3.
constexpr uint32_t kQueued = 0x04000001;
constexpr uint32_t kBroadcast = 0x05000002;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// The test plugin's command that sends a queued message of kQueued; the payload follows.
const std::string kSendQueued = "send self 0 0x04 " + Hex(kQueued) + " ";

bool Runnable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A loopback port nothing listens on right now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Debian's broker with a configuration of its own. It keeps its sessions over a restart, so a
// subscriber of the test can collect what was published while it was away.
class Broker {
 public:
  // Starts it, on a free port the first time and on the same port again after Stop. False
  // (with the reason in error()) when it cannot be started.
  bool Start(bool anonymous = true) {
    if (!Runnable(ZENT_MOSQUITTO) || !Runnable(ZENT_MOSQUITTO_SUB) ||
        !Runnable(ZENT_MOSQUITTO_PUB)) {
      error_ = "mosquitto or its clients are not installed (scripts/setup installs them)";
      return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (port_ == 0 || (attempt > 0 && !restart_)) port_ = FreePort();
      std::string config = "listener " + std::to_string(port_) + " 127.0.0.1\n";
      config += anonymous ? "allow_anonymous true\n" : "allow_anonymous false\n";
      config += "persistence true\npersistence_location " + dir_.path() + "/\n";
      config += "log_dest stderr\n";
      // As root it would run as the user "mosquitto", which cannot write its database here.
      if (geteuid() == 0) config += "user root\n";
      zt::WriteFile(dir_ / "mosquitto.conf", config);
      process_ = std::make_unique<zt::ServerProcess>(
          ZENT_MOSQUITTO, std::vector<std::string>{"-c", dir_ / "mosquitto.conf"}, dir_.path());
      if (zt::WaitUntil([&] { return Listening(port_) || process_->Ended(); }) &&
          !process_->exited()) {
        return true;
      }
      error_ = "mosquitto did not start: " + process_->Stderr();
    }
    return false;
  }
  void Stop() {
    process_->Signal(SIGTERM);
    process_->Wait();
    restart_ = true;
  }
  int port() const { return port_; }
  const std::string& error() const { return error_; }

  zt::CommandResult Subscribe(const std::vector<std::string>& args) const {
    return zt::RunCommand(ZENT_MOSQUITTO_SUB, Args(args));
  }
  // Publishes as another server's bridge would, with a flags property; the exit status.
  int PublishAs(const std::string& topic, uint32_t flags,
                const std::vector<std::string>& payload) const {
    std::vector<std::string> args = {
        "-q", "1", "-t", topic, "-D", "publish", "user-property", "flags", std::to_string(flags)};
    args.insert(args.end(), payload.begin(), payload.end());
    return zt::RunCommand(ZENT_MOSQUITTO_PUB, Args(args)).exitCode;
  }
  // Waits until the retained message of topic reads text.
  bool WaitRetained(const std::string& topic, const std::string& text) const {
    return zt::WaitUntil([&] {
      return Subscribe({"-t", topic, "-C", "1", "-W", "2"}).out == text + "\n";
    });
  }

 private:
  std::vector<std::string> Args(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"-h", "127.0.0.1", "-p", std::to_string(port_), "-V", "mqttv5"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  zt::TempDir dir_;
  int port_ = 0;
  bool restart_ = false;
  std::unique_ptr<zt::ServerProcess> process_;
  std::string error_;
};

// A server with the bridge and a test plugin that sends what the test tells it and records
// what reaches it. Both plugins subscribe to the same codes.
struct Host {
  Host(const std::string& name, int port, const std::string& moreSettings = "")
      : clientId("zt-" + name), control(install.dir() + "/ctl") {
    zt::CopyFile(ZENT_MQTT_BRIDGE, install.plugins() + "/mqtt_bridge.so");
    zt::WriteFile(install.plugins() + "/mqtt-bridge.conf",
                  "# " + name + "\nport " + std::to_string(port) + "\nclient_id " + clientId +
                      "\ncarry queued 2 " + Hex(kQueued) + "\ncarry broadcast 3 " +
                      Hex(kBroadcast) + "\nreconnect_delay 1 2\n" + moreSettings);
    record = install.AddPlugin("tp.so", "id 7\naccepts_write 1\naccepts_read 1\nmask 2 " +
                                            Hex(ZENT_QUEUED_MATCH(kQueued)) + "\nmask 3 " +
                                            Hex(ZENT_BROADCAST_MATCH(kBroadcast)) + "\nctl " +
                                            control.path() + "\n");
  }
  void Start() {
    server = std::make_unique<zt::ServerProcess>(install.exe(), std::vector<std::string>{"-d"},
                                                 install.dir());
  }
  // A key stops the server; true when it ended with status 0.
  bool Stop() {
    control.Close();
    server->WriteStdin("\n");
    return server->Wait() && server->ExitCode() == 0;
  }
  std::string Log() const { return server->Stderr(); }
  bool WaitLog(const std::string& text) const {
    return zt::WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }

  // The test plugin's calls of one kind ("write", "read") whose payload is payload.
  std::vector<zt::Event> Calls(const std::string& kind, const std::string& payload) const {
    std::vector<zt::Event> calls;
    for (const zt::Event& event : zt::EventsNamed(zt::ReadEvents(record), kind)) {
      if (zt::Unhex(event["hex"]) == payload) calls.push_back(event);
    }
    return calls;
  }
  bool WaitCall(const std::string& kind, const std::string& payload,
                int timeoutMs = zt::kWaitMs) const {
    return zt::WaitUntil([&] { return !Calls(kind, payload).empty(); }, timeoutMs);
  }

  zt::Installation install;
  const std::string clientId;
  std::string record;
  zt::PluginControl control;
  std::unique_ptr<zt::ServerProcess> server;
};

// The payload the test plugin makes for "#N": byte i is i * 7 + 1.
std::string Pattern(size_t n) {
  std::string bytes;
  for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(i * 7 + 1));
  return bytes;
}

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!broker_.Start()) GTEST_SKIP() << "no broker for the bridge tests: " << broker_.error();
  }

  // Publishes probes as another server would until host takes one in: its subscriptions hold.
  bool WaitTakingIn(const Host& host) {
    for (int attempt = 0; attempt < 40; ++attempt) {
      const std::string probe = "probe-" + std::to_string(attempt);
      broker_.PublishAs("zent/zt-probe/msg/" + Hex(kQueued).substr(2), 0x4, {"-m", probe});
      if (host.WaitCall("write", probe, 500)) return true;
    }
    return false;
  }

  Broker broker_;
};

TEST_F(BridgeTest, CarriesMessagesBothWaysOnceAndKeepsEachServersStateOnTheBroker) {
  Host a("a", broker_.port()), b("b", broker_.port());
  a.Start();
  b.Start();
  // "online" shows once a bridge's subscriptions are made.
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-b/online", "1")) << b.Log();

  const std::string binary = Pattern(300);
  ASSERT_TRUE(a.control.Send(kSendQueued + "#70000"));  // above max_payload: not carried
  ASSERT_TRUE(a.control.Send(kSendQueued + "#300"));
  ASSERT_TRUE(a.control.Send("send 0 0 0x08 " + Hex(kBroadcast) + " hello-broadcast"));
  ASSERT_TRUE(b.WaitCall("write", binary)) << b.Log();
  ASSERT_TRUE(b.WaitCall("read", "hello-broadcast")) << b.Log();

  // The queued message arrives as A's plugin sent it, from B's bridge (id and source 200).
  const zt::Event sent = a.Calls("write", binary).at(0);
  const zt::Event arrived = b.Calls("write", binary).at(0);
  EXPECT_EQ(arrived["code"], "0x4000001");
  EXPECT_EQ(arrived["flags"], "0x4");
  EXPECT_EQ(arrived["channel"], "0");
  EXPECT_EQ(arrived["source"], "200");
  EXPECT_EQ(arrived["extra"], sent["extra"]);
  EXPECT_EQ(b.Calls("read", "hello-broadcast").at(0)["channel"], "0");

  // Bad messages in are logged and skipped.
  zt::TempDir files;
  zt::WriteFile(files / "big", std::string(70000, 'x'));
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/04000001", 0x4, {"-f", files / "big"}), 0);
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/nothex", 0x4, {"-m", "x"}), 0);
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/04000001", MSG_RELEASE, {"-m", "x"}), 0);
  // A queued message on a channel that no broadcast opened on B: the core refuses it.
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/04000001", 0x4,
                              {"-m", "x", "-D", "publish", "user-property", "channel", "9"}),
            0);
  EXPECT_TRUE(
      b.WaitLog("skipped a message in on zent/zt-x/msg/04000001: 70000 bytes, larger "
                "than max_payload 65536"))
      << b.Log();
  EXPECT_TRUE(
      b.WaitLog("the core refused a message in (code 0x04000001, channel 9: result 1; 1 "
                "so far)"))
      << b.Log();
  EXPECT_TRUE(
      b.WaitLog("skipped a malformed message in on zent/zt-x/msg/nothex: the topic does "
                "not end in msg/ and a code of 8 hex digits"))
      << b.Log();
  // Once a good message is in, so are the bad ones before it; one log line a second for each
  // kind of trouble, each one counted.
  ASSERT_TRUE(WaitTakingIn(b));

  // B answers. A's bridge publishes in order, so once the answer is in, anything of A's that
  // came back through B would be in too.
  ASSERT_TRUE(b.control.Send(kSendQueued + "reply-from-b"));
  ASSERT_TRUE(a.WaitCall("write", "reply-from-b")) << a.Log();
  EXPECT_EQ(a.Calls("write", binary).size(), 1u) << "the queued message came back to A";
  EXPECT_EQ(a.Calls("read", "hello-broadcast").size(), 1u) << "the broadcast came back to A";
  EXPECT_EQ(b.Calls("write", "reply-from-b").size(), 1u);
  for (const zt::Event& write : zt::EventsNamed(zt::ReadEvents(b.record), "write")) {
    EXPECT_NE(write["len"], "70000") << "a message above max_payload crossed";
  }
  EXPECT_NE(a.Log().find("skipped a message of 70000 bytes (code 0x04000001): larger than "
                         "max_payload 65536"),
            std::string::npos)
      << a.Log();

  // Each server's status document is retained on the broker, and the will marks a stopped
  // server offline.
  const zt::CommandResult status =
      broker_.Subscribe({"-t", "zent/+/status", "-C", "2", "-W", "10", "-v"});
  for (const char* host : {"zt-a", "zt-b"}) {
    EXPECT_NE(status.out.find(std::string("zent/") + host + "/status <?xml"), std::string::npos)
        << status.Describe();
  }
  EXPECT_EQ(zt::CountOf(status.out, "Filename=\"mqtt_bridge.so\""), 2u) << status.out;
  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_TRUE(broker_.WaitRetained("zent/zt-a/online", "0"));
  EXPECT_TRUE(b.Stop()) << b.Log();
  EXPECT_NE(b.Log().find("; 1 oversized in, 2 malformed in"), std::string::npos) << b.Log();
}

TEST_F(BridgeTest, KeepsTheServerGoingWhileTheBrokerIsAwayAndResumesWhenItIsBack) {
  Host a("a", broker_.port(), "queue_limit 20\n"), b("b", broker_.port());
  a.Start();
  b.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-b/online", "1")) << b.Log();
  // A subscriber whose session the broker keeps over its restart.
  const std::vector<std::string> probe = {"-c", "-i", "zt-probe",       "-q",
                                          "1",  "-t", "zent/zt-a/msg/#"};
  std::vector<std::string> subscribeOnly = probe;
  subscribeOnly.push_back("-E");
  ASSERT_EQ(broker_.Subscribe(subscribeOnly).exitCode, 0);

  broker_.Stop();
  // Every message reaches A's own plugin at once: the bridge's Write never waits for the
  // broker. The bridge keeps 20 of them for the broker and drops the rest.
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(a.control.Send(kSendQueued + "down-" + std::to_string(i)));
  ASSERT_TRUE(a.WaitCall("write", "down-29")) << a.Log();
  EXPECT_TRUE(
      a.WaitLog("dropped a message for zent/zt-a/msg/04000001: 20 wait for the broker "
                "already (queue_limit; 1 dropped so far)"))
      << a.Log();

  ASSERT_TRUE(broker_.Start()) << broker_.error();
  std::vector<std::string> collect = probe;
  collect.insert(collect.end(), {"-C", "20", "-W", "20"});
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "down-" + std::to_string(i) + "\n";
  EXPECT_EQ(broker_.Subscribe(collect).out, expected);

  // Traffic resumes in both directions.
  ASSERT_TRUE(WaitTakingIn(a)) << a.Log();
  ASSERT_TRUE(b.control.Send(kSendQueued + "after-the-restart"));
  EXPECT_TRUE(a.WaitCall("write", "after-the-restart")) << a.Log() << b.Log();

  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_TRUE(b.Stop()) << b.Log();
  EXPECT_EQ(zt::CountOf(a.Log(), "lost the broker"), 1u) << "one log line per outage\n" << a.Log();
  EXPECT_NE(a.Log().find("10 dropped out (queue full)"), std::string::npos) << a.Log();
}

TEST_F(BridgeTest, WaitsForABrokerThatIsAwayAtStartOrRefusesIt) {
  broker_.Stop();
  Host a("a", broker_.port());
  a.Start();
  ASSERT_TRUE(a.WaitLog("cannot reach the broker at 127.0.0.1:" + std::to_string(broker_.port()) +
                        " (Connection refused); retrying"))
      << a.Log();
  EXPECT_TRUE(a.server->WaitForStdout("press any key")) << "the server did not start";
  // The library gives a refused connection up for good; the bridge does not.
  ASSERT_TRUE(broker_.Start(/*anonymous=*/false)) << broker_.error();
  ASSERT_TRUE(a.WaitLog("refused the connection (Not authorized); retrying")) << a.Log();
  broker_.Stop();
  ASSERT_TRUE(broker_.Start()) << broker_.error();
  EXPECT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  EXPECT_TRUE(a.Stop()) << a.Log();
}

TEST(BridgeConfigTest, ABadLineIsLoggedWithItsNumberAndTheServerRunsWithoutTheBridge) {
  zt::Installation install;
  zt::CopyFile(ZENT_MQTT_BRIDGE, install.plugins() + "/mqtt_bridge.so");
  zt::WriteFile(install.plugins() + "/mqtt-bridge.conf",
                "# a class bit that does not exist\nport 1883\ncarry queued 9 0x04000001\n");
  zt::ServerProcess server(install.exe(), {"-d"}, install.dir());
  EXPECT_TRUE(zt::WaitUntil([&] {
    return server.Stderr().find(
               "mqtt-bridge.conf: line 3: carry: CLASS must be a class bit "
               "number from 0 to 8; not loaded") != std::string::npos;
  })) << server.Stderr();
  EXPECT_TRUE(server.WaitForStdout("press any key"));
  server.WriteStdin("\n");
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0);
  EXPECT_NE(server.Stderr().find("plugin mqtt_bridge.so load returned 0 error 1"),
            std::string::npos)
      << server.Stderr();
}

}  // namespace
