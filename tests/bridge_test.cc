// The MQTT bridge between servers, against a real broker (Debian's mosquitto) on a loopback
// port of the test's own, plain and with TLS (certificates made here with openssl): what
// crosses and what must not, each server's state on the broker, a broker that goes away or hands
// the session to another client, loops through relaying plugins, and a stop while a Read is
// still inside the bridge. What needs no broker is tested with the bridge inside the core,
// through the plugin test harness (bridge_parts_test.cc).
#include <arpa/inet.h>
#include <glob.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
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

// The topic level of a code: 8 hex digits.
std::string Level(uint32_t code) { return Hex(code).substr(2); }

// The test plugin's command that sends a queued message of kQueued; the payload follows.
const std::string kSendQueued = "send self 0 0x04 " + Hex(kQueued) + " ";

bool Runnable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// A loopback port nothing listens on right now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = zt::LoopbackAddress(0);
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
  const sockaddr_in address = zt::LoopbackAddress(port);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// A CA, a certificate for the broker (host name "localhost" only) and one for a client, made
// with openssl in dir; keys readable by their owner alone.
bool MakeCertificates(const zt::TempDir& dir, std::string* error) {
  const auto run = [&](const std::vector<std::string>& args) {
    const zt::CommandResult result = zt::RunCommand(ZENT_OPENSSL, args, {}, dir.path());
    if (result.exitCode != 0) *error = "openssl failed: " + result.Describe();
    return result.exitCode == 0;
  };
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                       "-nodes"};
  const auto request = [&](const std::string& name, const std::string& subject) {
    std::vector<std::string> args = {"req"};
    args.insert(args.end(), ec.begin(), ec.end());
    args.insert(args.end(), {"-keyout", name + ".key", "-out", name + ".csr", "-subj", subject});
    return run(args);
  };
  const auto sign = [&](const std::string& name, const std::string& extensions) {
    zt::WriteFile(dir / (name + ".ext"), extensions + "\n");
    return run({"x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "2", "-out", name + ".crt", "-extfile", name + ".ext"});
  };
  std::vector<std::string> ca = {"req", "-x509"};
  ca.insert(ca.end(), ec.begin(), ec.end());
  ca.insert(ca.end(), {"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=zt-ca"});
  const bool ok = run(ca) && request("server", "/CN=localhost") &&
                  sign("server", "subjectAltName=DNS:localhost") &&
                  request("client", "/CN=zt-client") &&
                  sign("client", "extendedKeyUsage=clientAuth");
  for (const char* key : {"ca.key", "server.key", "client.key"}) chmod((dir / key).c_str(), 0600);
  return ok;
}

// Debian's broker with a configuration of its own. It keeps its sessions over a restart, so a
// subscriber of the test can collect what was published while it was away. With TLS, its one
// listener wants a client certificate signed by the test's CA.
class Broker {
 public:
  // Starts it, on a free port the first time and on the same port again after Stop. False
  // (with the reason in error()) when it cannot be started.
  bool Start(bool anonymous = true, const std::string& more = "") {
    if (!Runnable(ZENT_MOSQUITTO) || !Runnable(ZENT_MOSQUITTO_SUB) ||
        !Runnable(ZENT_MOSQUITTO_PUB) || !Runnable(ZENT_OPENSSL)) {
      error_ = "mosquitto, its clients or openssl are not installed (scripts/setup installs them)";
      return false;
    }
    if (tls_ && !certificatesMade_) {
      if (!MakeCertificates(dir_, &error_)) return false;
      certificatesMade_ = true;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (port_ == 0 || (attempt > 0 && !restart_)) port_ = FreePort();
      std::string config = "listener " + std::to_string(port_) + " 127.0.0.1\n";
      if (tls_) {
        config += "cafile " + (dir_ / "ca.crt") + "\ncertfile " + (dir_ / "server.crt") +
                  "\nkeyfile " + (dir_ / "server.key") + "\nrequire_certificate true\n";
      }
      config += anonymous ? "allow_anonymous true\n" : "allow_anonymous false\n";
      config += "persistence true\npersistence_location " + dir_.path() + "/\n";
      config += "log_dest stderr\n" + more;
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
  bool StartTls() {
    tls_ = true;
    return Start();
  }
  void Stop() {
    process_->Signal(SIGTERM);
    process_->Wait();
    restart_ = true;
  }
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  std::string File(const std::string& name) const { return dir_ / name; }

  zt::CommandResult Subscribe(const std::vector<std::string>& args) const {
    return zt::RunCommand(ZENT_MOSQUITTO_SUB, Args(args));
  }
  // A subscriber that runs until it has its messages (-C) or is destroyed.
  std::unique_ptr<zt::ServerProcess> SubscribeInBackground(
      const std::vector<std::string>& args) const {
    return std::make_unique<zt::ServerProcess>(ZENT_MOSQUITTO_SUB, Args(args), dir_.path());
  }
  zt::CommandResult Publish(const std::vector<std::string>& args) const {
    return zt::RunCommand(ZENT_MOSQUITTO_PUB, Args(args));
  }
  // Publishes as a program on the broker would, with a flags property (and more with "-D");
  // the exit status.
  int PublishAs(const std::string& topic, uint32_t flags,
                const std::vector<std::string>& payload) const {
    std::vector<std::string> args = {
        "-q", "1", "-t", topic, "-D", "publish", "user-property", "flags", std::to_string(flags)};
    args.insert(args.end(), payload.begin(), payload.end());
    return Publish(args).exitCode;
  }
  // Waits until the retained message of topic reads text.
  bool WaitRetained(const std::string& topic, const std::string& text) const {
    return zt::WaitUntil([&] {
      return Subscribe({"-t", topic, "-C", "1", "-W", "2"}).out == text + "\n";
    });
  }

 private:
  std::vector<std::string> Args(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {
        "-h", tls_ ? "localhost" : "127.0.0.1", "-p", std::to_string(port_), "-V", "mqttv5"};
    if (tls_) {
      all.insert(all.end(), {"--cafile", dir_ / "ca.crt", "--cert", dir_ / "client.crt", "--key",
                             dir_ / "client.key"});
    }
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  zt::TempDir dir_;
  int port_ = 0;
  bool restart_ = false;
  bool tls_ = false;
  bool certificatesMade_ = false;
  std::unique_ptr<zt::ServerProcess> process_;
  std::string error_;
};

// The settings every host's bridge starts from: what it carries and accepts, a short back-off.
// The settings of every test bridge; more settings may set their own reconnect_delay.
std::string BridgeSettings(const std::string& clientId, int port, const std::string& more = "") {
  return "client_id " + clientId + "\nport " + std::to_string(port) + "\ncarry queued 2 " +
         Hex(kQueued) + "\ncarry broadcast 3 " + Hex(kBroadcast) + "\naccept 2 " + Hex(kQueued) +
         "\naccept 3 " + Hex(kBroadcast) + "\n" +
         (more.find("reconnect_delay") == std::string::npos ? "reconnect_delay 1 2\n" : "") + more;
}

// A server with the bridge and a test plugin that sends what the test tells it and records
// what reaches it. Both plugins subscribe to the same codes.
struct Host {
  Host(const std::string& name, int port, const std::string& moreSettings = "",
       const std::string& pluginSettings = "", const std::vector<std::string>& env = {})
      : clientId("zt-" + name), control(install.dir() + "/ctl"), env_(env) {
    zt::CopyFile(ZENT_MQTT_BRIDGE, install.plugins() + "/mqtt_bridge.so");
    zt::WriteFile(install.plugins() + "/mqtt-bridge.conf",
                  "# " + name + "\n" + BridgeSettings(clientId, port, moreSettings));
    record = install.AddPlugin("tp.so", "id 7\naccepts_write 1\naccepts_read 1\nmask 2 " +
                                            Hex(ZENT_QUEUED_MATCH(kQueued)) + "\nmask 3 " +
                                            Hex(ZENT_BROADCAST_MATCH(kBroadcast)) + "\nctl " +
                                            control.path() + "\n" + pluginSettings);
  }
  void Start() {
    server = std::make_unique<zt::ServerProcess>(install.exe(), std::vector<std::string>{"-d"},
                                                 install.dir(), env_);
  }
  // A key stops the server; true when it ended with status 0.
  bool Stop(int timeoutMs = zt::kWaitMs) {
    control.Close();
    server->WriteStdin("\n");
    return server->Wait(timeoutMs) && server->ExitCode() == 0;
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
  // Of those, the ones the bridge sent in (queued, with the bridge's source 200).
  size_t FromBridge(const std::string& payload) const {
    size_t n = 0;
    for (const zt::Event& call : Calls("write", payload)) n += call["source"] == "200";
    return n;
  }
  bool WaitCall(const std::string& kind, const std::string& payload,
                int timeoutMs = zt::kWaitMs) const {
    return zt::WaitUntil([&] { return !Calls(kind, payload).empty(); }, timeoutMs);
  }

  zt::Installation install;
  const std::string clientId;
  std::string record;
  zt::PluginControl control;
  std::vector<std::string> env_;
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

  // Publishes probes as another server would until host takes one in: its subscriptions hold,
  // and whatever the broker sent it before the probe has been dealt with.
  bool WaitTakingIn(const Host& host, const Broker& broker) {
    for (int attempt = 0; attempt < 40; ++attempt) {
      // Never one a host may have taken in before.
      const std::string probe = "probe-" + std::to_string(probes_++);
      broker.PublishAs("zent/zt-probe/msg/" + Level(kQueued), 0x4, {"-m", probe});
      if (host.WaitCall("write", probe, 500)) return true;
    }
    return false;
  }
  bool WaitTakingIn(const Host& host) { return WaitTakingIn(host, broker_); }

  Broker broker_;
  int probes_ = 0;
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
  // Bad messages in are skipped, and a code must be 8 hex digits exactly.
  zt::TempDir files;
  zt::WriteFile(files / "big", std::string(70000, 'x'));
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/" + Level(kQueued), 0x4, {"-f", files / "big"}), 0);
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/0x400001", 0x4, {"-m", "hex-with-0x"}), 0);
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/" + Level(kQueued), MSG_RELEASE, {"-m", "x"}), 0);
  // A queued message on a channel that no broadcast opened on B: the core refuses it.
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/" + Level(kQueued), 0x4,
                              {"-m", "x", "-D", "publish", "user-property", "channel", "9"}),
            0);
  // Once a good message is in, so are the bad ones before it.
  ASSERT_TRUE(WaitTakingIn(b));
  EXPECT_TRUE(b.Calls("write", "hex-with-0x").empty());

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
  EXPECT_NE(b.Log().find("1 oversized in, 2 malformed in"), std::string::npos) << b.Log();
  EXPECT_NE(b.Log().find("1 refused by the core"), std::string::npos) << b.Log();
}

TEST_F(BridgeTest, PublishesWithItsOriginAndTakesInNothingThatNoAcceptLineNames) {
  // Published before B starts and kept by the broker: never sent in, at start or later.
  ASSERT_EQ(broker_.PublishAs("zent/zt-x/msg/" + Level(kQueued), 0x4, {"-r", "-m", "retained"}), 0);
  Host b("b", broker_.port(), "max_payload 20000\npublish_status no\n");
  b.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-b/online", "1")) << b.Log();

  // To every plugin, but no "all" on B's lines; a class bit of a code it does not accept; the
  // status document's code; a message relayed past max_hops; one that names B as its origin.
  const std::string topic = "zent/zt-x/msg/" + Level(kQueued);
  EXPECT_EQ(broker_.PublishAs(topic, 0x4 | MSG_TO_ALL, {"-m", "to-all"}), 0);
  EXPECT_EQ(broker_.PublishAs(topic, 0x8, {"-m", "other-class"}), 0);
  EXPECT_EQ(broker_.PublishAs("zent/zt-x/msg/01000010", 0x4 | MSG_TO_OTHERS, {"-m", "status"}), 0);
  EXPECT_EQ(
      broker_.PublishAs(topic, 0x4, {"-m", "hops", "-D", "publish", "user-property", "hops", "5"}),
      0);
  EXPECT_EQ(broker_.PublishAs(topic, 0x4,
                              {"-m", "mine", "-D", "publish", "user-property", "origin", "zt-b"}),
            0);
  // Above max_payload but within the packet size announced (max_payload and 8 KiB): it reaches
  // the bridge, which skips it. Far above it: the broker does not even send it.
  zt::TempDir files;
  zt::WriteFile(files / "above", std::string(20500, 'a'));
  zt::WriteFile(files / "far-above", std::string(40000, 'f'));
  EXPECT_EQ(broker_.PublishAs(topic, 0x4, {"-f", files / "above"}), 0);
  EXPECT_EQ(broker_.PublishAs(topic, 0x4, {"-f", files / "far-above"}), 0);
  ASSERT_TRUE(WaitTakingIn(b)) << b.Log();
  for (const char* payload : {"retained", "to-all", "other-class", "status", "hops", "mine"}) {
    EXPECT_TRUE(b.Calls("write", payload).empty()) << payload;
    EXPECT_TRUE(b.Calls("ioctl", payload).empty()) << payload;
  }

  // What B publishes names B as its origin, first hop.
  // The subscription may start after a publish: publish again until one is seen.
  const auto seen =
      broker_.SubscribeInBackground({"-t", "zent/zt-b/msg/#", "-C", "1", "-F", "%P|%p"});
  ASSERT_TRUE(zt::WaitUntil([&] {
    b.control.Send(kSendQueued + "from-b");
    return seen->WaitForStdout("|from-b", 300);
  })) << b.Log();
  EXPECT_NE(seen->Stdout().find("origin:zt-b"), std::string::npos) << seen->Stdout();
  EXPECT_NE(seen->Stdout().find("hops:0"), std::string::npos) << seen->Stdout();

  // publish_status no: no status document on the broker.
  EXPECT_EQ(broker_.Subscribe({"-t", "zent/zt-b/status", "-C", "1", "-W", "1"}).out, "");
  EXPECT_TRUE(b.Stop()) << b.Log();
  EXPECT_NE(b.Log().find("1 oversized in"), std::string::npos) << b.Log();
  EXPECT_NE(b.Log().find("3 not accepted in"), std::string::npos) << b.Log();
  EXPECT_NE(b.Log().find("2 looped in"), std::string::npos) << b.Log();
}

TEST_F(BridgeTest, PublishesTheServersStatisticsRetainedUnlessToldNotTo) {
  Host a("a", broker_.port(), "", "", {"ZENT_STATS_INTERVAL=1"});
  Host b("b", broker_.port(), "publish_stats no\n", "", {"ZENT_STATS_INTERVAL=1"});
  a.Start();
  b.Start();
  // Retained: a subscriber that comes after the publish gets it too.
  const zt::CommandResult stats =
      broker_.Subscribe({"-t", "zent/zt-a/stats", "-C", "1", "-W", "20"});
  EXPECT_NE(stats.out.find("<ZentStatistics Version=\"1\""), std::string::npos) << stats.out;
  EXPECT_NE(stats.out.find("File=\"mqtt_bridge.so\""), std::string::npos) << stats.out;
  ASSERT_TRUE(b.WaitLog("connected"));
  EXPECT_EQ(broker_.Subscribe({"-t", "zent/zt-b/stats", "-C", "1", "-W", "3"}).out, "");
  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_TRUE(b.Stop()) << b.Log();
}

TEST_F(BridgeTest, ASubscriptionTheBrokerRefusesIsLoggedAndTheOthersHold) {
  // The broker's dynamic security plugin lets anonymous clients subscribe under zent/ only.
  glob_t found;
  const bool have = glob("/usr/lib/*/mosquitto_dynamic_security.so", 0, nullptr, &found) == 0;
  const std::string plugin = have ? found.gl_pathv[0] : "";
  globfree(&found);
  if (!have) GTEST_SKIP() << "the broker's dynamic security plugin is not installed";
  broker_.Stop();
  zt::TempDir acl;
  zt::WriteFile(acl / "dynsec.json",
                R"({"defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true,
                     "subscribe": false, "unsubscribe": true},
                    "clients": [], "anonymousGroup": "anon",
                    "groups": [{"groupname": "anon", "roles": [{"rolename": "zent"}],
                                "clients": []}],
                    "roles": [{"rolename": "zent", "acls": [{"acltype": "subscribePattern",
                               "topic": "zent/#", "allow": true}]}]})");
  ASSERT_TRUE(broker_.Start(
      true, "plugin " + plugin + "\nplugin_opt_config_file " + (acl / "dynsec.json") + "\n"))
      << broker_.error();
  Host b("b", broker_.port(), "subscribe zent/+/msg/#\nsubscribe private/#\n");
  b.Start();
  ASSERT_TRUE(b.WaitLog("the broker refused the subscription to private/#: Not authorized"))
      << b.Log();
  EXPECT_EQ(b.Log().find("refused the subscription to zent/+/msg/#"), std::string::npos);
  ASSERT_TRUE(WaitTakingIn(b)) << b.Log();
  EXPECT_TRUE(b.Stop()) << b.Log();
}

TEST_F(BridgeTest, KeepsTheServerGoingWhileTheBrokerIsAwayAndResumesWhenItIsBack) {
  Host a("a", broker_.port(), "queue_limit 20\n"), b("b", broker_.port());
  // Counts bytes as well: 2 KiB hold three messages of 600 bytes (the status document waits
  // apart from them).
  Host c("c", broker_.port(), "queue_limit_bytes 2048\n");
  a.Start();
  b.Start();
  c.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-c/online", "1")) << c.Log();
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
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(c.control.Send(kSendQueued + "#600"));

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
  EXPECT_TRUE(c.Stop()) << c.Log();
  EXPECT_EQ(zt::CountOf(a.Log(), "lost the broker"), 1u) << "one log line per outage\n" << a.Log();
  EXPECT_NE(a.Log().find("10 dropped out (queue full)"), std::string::npos) << a.Log();
  EXPECT_NE(c.Log().find("2 dropped out (queue full)"), std::string::npos) << c.Log();
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

TEST_F(BridgeTest, ComesBackWhenAnotherClientTakesItsSessionOverAndGoesAway) {
  Host a("a", broker_.port()), b("b", broker_.port());
  a.Start();
  b.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-b/online", "1")) << b.Log();
  // A client with A's id connects (the broker disconnects A with "session taken over") and
  // leaves at once.
  ASSERT_EQ(broker_.Publish({"-i", "zt-a", "-t", "elsewhere", "-m", "x"}).exitCode, 0);
  // (Debian's broker closes the connection without saying why; a broker that says "session
  // taken over" gets a log line that says so.)
  ASSERT_TRUE(zt::WaitUntil([&] {
    return a.Log().find("lost the broker") != std::string::npos ||
           a.Log().find("took this bridge's session over") != std::string::npos;
  })) << a.Log();
  // A is back: it takes in and publishes again.
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(WaitTakingIn(a)) << a.Log();
  ASSERT_TRUE(a.control.Send(kSendQueued + "after-the-takeover"));
  EXPECT_TRUE(b.WaitCall("write", "after-the-takeover")) << a.Log() << b.Log();
  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_TRUE(b.Stop()) << b.Log();
}

TEST_F(BridgeTest, ComesBackAfterATlsBrokerRestartsAndChecksTheBrokersName) {
  // The broker's certificate names localhost, which a root without /etc/hosts cannot resolve.
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", nullptr, nullptr, &found) != 0)
    GTEST_SKIP() << "\"localhost\" does not resolve on this machine (no /etc/hosts)";
  freeaddrinfo(found);
  Broker tls;
  if (!tls.StartTls()) GTEST_SKIP() << "no TLS broker: " << tls.error();
  // A TLS handshake under a sanitizer on a busy machine can take longer than the usual
  // 2 seconds that a connection attempt is given before it is torn down.
  const std::string files = "tls_ca_file " + tls.File("ca.crt") + "\ntls_cert_file " +
                            tls.File("client.crt") + "\ntls_key_file " + tls.File("client.key") +
                            "\nreconnect_delay 1 8\n";
  Host a("a", tls.port(), "host localhost\n" + files),
      b("b", tls.port(), "host localhost\n" + files);
  // The broker's certificate names localhost, not 127.0.0.1: never connected.
  Host wrongName("c", tls.port(), "host 127.0.0.1\n" + files);
  // Without a client certificate the broker refuses it.
  Host noCertificate(
      "d", tls.port(),
      "host localhost\ntls_ca_file " + tls.File("ca.crt") + "\nreconnect_delay 1 8\n");
  for (Host* host : {&a, &b, &wrongName, &noCertificate}) host->Start();
  ASSERT_TRUE(tls.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(tls.WaitRetained("zent/zt-b/online", "1")) << b.Log();
  ASSERT_TRUE(WaitTakingIn(b, tls)) << b.Log();
  ASSERT_TRUE(a.control.Send(kSendQueued + "before"));
  ASSERT_TRUE(b.WaitCall("write", "before")) << a.Log() << b.Log();

  tls.Stop();
  ASSERT_TRUE(a.WaitLog("lost the broker")) << a.Log();
  ASSERT_TRUE(tls.Start()) << tls.error();
  ASSERT_TRUE(WaitTakingIn(b, tls)) << b.Log();
  ASSERT_TRUE(WaitTakingIn(a, tls)) << a.Log();
  ASSERT_TRUE(a.control.Send(kSendQueued + "after"));
  EXPECT_TRUE(b.WaitCall("write", "after")) << a.Log() << b.Log();

  EXPECT_TRUE(wrongName.WaitLog("the broker's certificate: IP address mismatch"))
      << wrongName.Log();
  EXPECT_EQ(wrongName.Log().find("connected to"), std::string::npos) << wrongName.Log();
  EXPECT_EQ(noCertificate.Log().find("connected to"), std::string::npos) << noCertificate.Log();
  for (Host* host : {&a, &b, &wrongName, &noCertificate}) EXPECT_TRUE(host->Stop()) << host->Log();
}

TEST_F(BridgeTest, UnloadWaitsForAReadStillInsideTheBridge) {
  // Every Read with a payload stays 2 s inside the bridge before it publishes.
  Host a("a", broker_.port(), "", "", {"ZENT_BRIDGE_TEST_READ_HOLD_MS=2000"});
  a.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-a/online", "1")) << a.Log();
  ASSERT_TRUE(a.control.Send("send 0 0 0x08 " + Hex(kBroadcast) + " held"));
  // The same broadcast reaches the test plugin's Read: the bridge's Read runs by now.
  ASSERT_TRUE(a.WaitCall("read", "held")) << a.Log();
  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_EQ(a.Log().find("AddressSanitizer"), std::string::npos) << a.Log();
  EXPECT_EQ(a.Log().find("still running inside the bridge"), std::string::npos) << a.Log();
}

TEST_F(BridgeTest, AHeldChannelDelaysOnlyItsOwnMessages) {
  // B's plugin keeps every queued buffer: channel 7 stays held after its first message.
  Host b("b", broker_.port(), "accept 3 " + Hex(kBroadcast) + " 7\n", "retain 1\n");
  b.Start();
  ASSERT_TRUE(broker_.WaitRetained("zent/zt-b/online", "1")) << b.Log();
  const std::string topic = "zent/zt-x/msg/" + Level(kQueued);
  const auto on7 = [](const char* payload) {
    return std::vector<std::string>{"-m",      payload, "-D", "publish", "user-property",
                                    "channel", "7"};
  };
  // A broadcast opens channel 7 on B.
  ASSERT_EQ(broker_.PublishAs("zent/zt-x/msg/" + Level(kBroadcast), 0x8,
                              {"-m", "open-7", "-D", "publish", "user-property", "channel", "7",
                               "-D", "publish", "user-property", "source", "0"}),
            0);
  ASSERT_TRUE(b.WaitCall("read", "open-7")) << b.Log();
  ASSERT_EQ(broker_.PublishAs(topic, 0x4, on7("first-on-7")), 0);
  ASSERT_TRUE(b.WaitCall("write", "first-on-7")) << b.Log();
  ASSERT_EQ(broker_.PublishAs(topic, 0x4, on7("second-on-7")), 0);
  // Messages without a channel still come in while the second waits for channel 7.
  ASSERT_TRUE(WaitTakingIn(b)) << b.Log();
  EXPECT_TRUE(b.Calls("write", "second-on-7").empty());
  EXPECT_TRUE(b.Stop()) << b.Log();
}

TEST(BridgeLoopTest, AMessageRelayedBetweenServersStopsAfterMaxHops) {
  Broker broker;
  if (!broker.Start()) GTEST_SKIP() << "no broker for the bridge tests: " << broker.error();
  // B and C each forward every message they receive: without origins and hops they would
  // bounce it between them for ever.
  Host a("a", broker.port()), b("b", broker.port(), "", "relay 1\n"),
      c("c", broker.port(), "", "relay 1\n");
  for (Host* host : {&a, &b, &c}) host->Start();
  for (const char* id : {"zt-a", "zt-b", "zt-c"}) {
    ASSERT_TRUE(broker.WaitRetained(std::string("zent/") + id + "/online", "1"));
  }
  ASSERT_TRUE(a.control.Send(kSendQueued + "bouncing"));
  // Each relay takes A's message (hop 0) and the other relay's copies in, each copy one hop
  // further, until a copy would pass max_hops (4) and is not published: at most 5 each. How
  // many exactly depends on how the copies cross.
  constexpr size_t kMost = 5;
  ASSERT_TRUE(zt::WaitUntil([&] {
    return b.FromBridge("bouncing") >= 2 && c.FromBridge("bouncing") >= 2;
  })) << b.Log()
      << c.Log();
  // The traffic ends: rounds of probes through every host until a round in which neither
  // relay took another copy in (a copy under way when a round begins arrives before it ends).
  size_t lastB = 0, lastC = 0;
  bool quiet = false;
  for (int round = 0; round < 20 && !quiet; ++round) {
    const std::string probe = "round-" + std::to_string(round);
    ASSERT_EQ(broker.PublishAs("zent/zt-probe/msg/" + Level(kQueued), 0x4, {"-m", probe}), 0);
    for (Host* host : {&a, &b, &c}) ASSERT_TRUE(host->WaitCall("write", probe)) << host->Log();
    const size_t nowB = b.FromBridge("bouncing"), nowC = c.FromBridge("bouncing");
    quiet = round > 0 && nowB == lastB && nowC == lastC;
    lastB = nowB;
    lastC = nowC;
    if (lastB > kMost || lastC > kMost) break;  // bouncing on
  }
  EXPECT_TRUE(quiet) << lastB << " " << lastC;
  EXPECT_LE(lastB, kMost);
  EXPECT_LE(lastC, kMost);
  EXPECT_EQ(a.FromBridge("bouncing"), 0u) << "A took its own message back";
  for (Host* host : {&a, &b, &c}) EXPECT_TRUE(host->Stop()) << host->Log();
}

// A broker that says why it ends each session: it answers the CONNECT and then sends
// DISCONNECT with "session taken over" (0x8E), as brokers do when another client with the same
// id connects. (Debian's broker closes such a connection without a word.) The one fake of
// these tests: no real broker at hand sends it.
class TakeoverBroker {
 public:
  TakeoverBroker() {
    fd_ = zt::ListenOnLoopback(8, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TakeoverBroker() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    for (;;) {
      const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      // The CONNECT: its type byte, then its remaining length (a varint), then the rest.
      unsigned char byte = 0;
      size_t length = 0;
      bool ok = read(client, &byte, 1) == 1 && (byte & 0xF0) == 0x10;
      for (int shift = 0; ok && shift < 28; shift += 7) {
        ok = read(client, &byte, 1) == 1;
        length |= static_cast<size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) break;
      }
      std::vector<unsigned char> rest(length);
      for (size_t got = 0; ok && got < length;) {
        const ssize_t n = read(client, rest.data() + got, length - got);
        ok = n > 0;
        got += ok ? static_cast<size_t>(n) : 0;
      }
      const unsigned char connack[] = {0x20, 0x03, 0x00, 0x00, 0x00};
      const unsigned char disconnect[] = {0xE0, 0x02, 0x8E, 0x00};
      if (ok && write(client, connack, sizeof connack) == sizeof connack &&
          write(client, disconnect, sizeof disconnect) == sizeof disconnect) {
        // Let the client read it all and close first, as a broker's DISCONNECT asks.
        shutdown(client, SHUT_WR);
        pollfd p = {client, POLLIN, 0};
        char sink[4096];
        while (poll(&p, 1, 2000) > 0 && read(client, sink, sizeof sink) > 0) {
        }
      }
      close(client);
    }
  }

  int fd_ = -1, port_ = 0;
  std::thread thread_;
};

TEST(BridgeTakeoverTest, ASessionTakenOverIsLoggedAsSuchAndTheBridgeComesBack) {
  TakeoverBroker broker;
  Host a("a", broker.port());
  a.Start();
  const std::string line =
      "another client with the client id zt-a took this bridge's session over at 127.0.0.1:" +
      std::to_string(broker.port());
  ASSERT_TRUE(a.WaitLog(line)) << a.Log();
  // It connects again (and is taken over again), and never calls it a lost connection.
  EXPECT_TRUE(zt::WaitUntil([&] { return zt::CountOf(a.Log(), "connected to 127.0.0.1") >= 2; }))
      << a.Log();
  EXPECT_TRUE(a.Stop()) << a.Log();
  EXPECT_EQ(a.Log().find("lost the broker"), std::string::npos) << a.Log();
}

}  // namespace
