// The MQTT bridge without a broker: its parts on their own (the parser of mqtt-bridge.conf,
// line by line, and the rules that decide what is taken in from the broker), and the plugin
// inside the core through the plugin test harness (a file it refuses, a stop while the broker
// does not answer or its name takes long to resolve).
#include <chrono>
#include <memory>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zentserver/harness.h>

#include <gtest/gtest.h>

#include "plugin_api/plugin_api.h"

#include "bridge_config.h"
#include "inbound.h"
#include "support/test_support.h"

namespace {

using mqtt_bridge::BridgeConfig;

struct Case {
  const char* text;
  const char* error;  // "" when the text is good
};

TEST(BridgeConfigTest, TakesEachGoodLineAndNamesTheFaultOfEachBadOne) {
  zt::TempDir dir;
  zt::WriteFile(dir / "secret", "pw\n");
  chmod((dir / "secret").c_str(), 0600);
  zt::WriteFile(dir / "open-secret", "pw\n");
  chmod((dir / "open-secret").c_str(), 0644);
  zt::WriteFile(dir / "empty", "\n");
  chmod((dir / "empty").c_str(), 0600);
  zt::WriteFile(dir / "ca.pem", "x");
  const Case cases[] = {
      {"", ""},
      {"# comment\n  \nhost broker.example.net\nport 8883\n", ""},
      {"port 0\n", "line 1: port: needs one number from 1 to 65535"},
      {"port 1883\nport 1884\n", "line 2: port: given twice (first on line 1)"},
      {"colour blue\n", "line 1: colour: unknown key"},
      {"client_id a/b\n", "line 1: client_id: needs one word without '/', '+' or '#'"},
      {"prefix site/a\n",
       "line 1: prefix: needs a topic prefix that ends with '/' and has no '+', '#' or blank"},
      {"carry queued 9 0x04000001\n",
       "line 1: carry: CLASS must be a class bit number from 0 to 8"},
      {"carry broadcast 2 1\ncarry broadcast 3 2\n",
       "line 2: carry: a Read call does not say its code, so two broadcast lines need different "
       "channels (line 1 takes the same)"},
      {"carry broadcast 2 1 7\ncarry broadcast 3 2\n", ""},
      {"accept 2 0x04000001\naccept 2 0x04000004 7\naccept 0 0 all\naccept 3 5 9 all\n", ""},
      {"accept 2\n", "line 1: accept: needs \"CLASS CODE [CHANNEL] [all]\""},
      {"accept 2 0x01000010\n", "line 1: accept: the codes of the core's own messages"},
      {"accept 6 0x01000002\n", "line 1: accept: the codes of the core's own messages"},
      {"accept 2 0x4 x\n", "line 1: accept: CHANNEL must be a 32-bit number or \"all\""},
      {"username u\npassword_file secret\n", ""},
      {"password_file secret\n", "line 1: password_file needs a username"},
      {"username u\npassword_file empty\n", "line 2: password_file: the first line of"},
      {"username u\npassword_file open-secret\n", "holds a secret and is readable by others"},
      {"username u\npassword_file missing\n", "line 2: password_file: cannot read"},
      {"tls yes\n", ""},
      {"tls_ca_file ca.pem\ntls_version tlsv1.3\ntls_verify_hostname no\n", ""},
      {"tls no\ntls_ca_file ca.pem\n", "line 2: a tls_ file, but line 1 says tls no"},
      {"tls_cert_file ca.pem\n", "line 1: tls_cert_file and tls_key_file go together"},
      {"tls_version sslv3\n", "line 1: tls_version: needs tlsv1.2 or tlsv1.3"},
      {"tls maybe\n", "line 1: tls: needs yes or no"},
      {"id 0x80000000\n", "line 1: id: must not be the core's own identifier 0x80000000"},
      {"max_hops 256\n", "line 1: max_hops: needs one number from 0 to 255"},
      {"queue_limit_bytes 100\n", "line 1: queue_limit_bytes: needs one number from 1024"},
      {"publish_ioctl no\npublish_status no\n", ""},
      {"reconnect_delay 5 2\n", "line 1: reconnect_delay: needs MIN MAX seconds"},
      {"subscribe a/#/b\n", "line 1: subscribe: needs a valid topic filter"},
  };
  for (const Case& c : cases) {
    BridgeConfig config;
    std::string error;
    const bool ok = mqtt_bridge::ParseBridgeConfig(c.text, dir.path(), "box", &config, &error);
    if (std::string(c.error).empty()) {
      EXPECT_TRUE(ok) << c.text << "\n" << error;
    } else {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\n" << error;
    }
  }
}

TEST(BridgeConfigTest, DefaultsFollowTheClientIdAndThePrefix) {
  BridgeConfig config;
  std::string error;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig("", ".", "box-0123456789ab", &config, &error));
  EXPECT_EQ(config.clientId, "box-0123456789ab");
  EXPECT_TRUE(config.clientIdDefaulted);
  EXPECT_EQ(config.prefix, "zent/box-0123456789ab/");
  EXPECT_EQ(config.subscriptions, std::vector<std::string>{"zent/+/msg/#"});
  EXPECT_TRUE(config.accepts.empty());
  EXPECT_EQ(config.queueLimitBytes, 16u << 20);
  EXPECT_EQ(config.maxHops, 4u);

  BridgeConfig custom;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig("client_id cam\nprefix site1/cams/cam-a/\n", ".",
                                             "box", &custom, &error));
  EXPECT_FALSE(custom.clientIdDefaulted);
  EXPECT_EQ(custom.subscriptions, std::vector<std::string>{"site1/cams/+/msg/#"});

  EXPECT_EQ(mqtt_bridge::DefaultClientId("box", "0123456789abcdef0123456789abcdef\n"),
            "box-0123456789ab");
  EXPECT_EQ(mqtt_bridge::DefaultClientId("box", ""), "box");
  EXPECT_EQ(mqtt_bridge::DefaultClientId("", "x"), "zentserver");
}

TEST(BridgeConfigTest, ACarryQueuedLineThatWidensTheBroadcastMaskIsReported) {
  BridgeConfig config;
  std::string error;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig(
      "carry broadcast 2 0x04000004\ncarry queued 2 0x04000004\n", ".", "box", &config, &error));
  ASSERT_EQ(config.warnings.size(), 1u);
  EXPECT_NE(config.warnings[0].find("line 2: carry queued 2 0x04000004 widens the mask"),
            std::string::npos)
      << config.warnings[0];
  BridgeConfig queuedOnly;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig("carry queued 2 0x04000004\n", ".", "box", &queuedOnly,
                                             &error));
  EXPECT_TRUE(queuedOnly.warnings.empty());
}

TEST(BridgeInboundTest, TheCodeIsExactlyEightHexDigitsAfterMsg) {
  const std::pair<const char*, bool> topics[] = {
      {"zent/a/msg/04000001", true},   {"msg/04000001", true},
      {"zent/a/msg/0x400014", false},  {"zent/a/msg/4000001", false},
      {"zent/a/msg/040000011", false}, {"zent/a/xmsg/04000001", false},
      {"zent/a/msg/0400000g", false}};
  mosquitto_property* properties = nullptr;
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "flags", "0x4");
  for (const auto& [topic, good] : topics) {
    mqtt_bridge::Incoming in;
    std::string why;
    EXPECT_EQ(mqtt_bridge::ParseIncoming(topic, properties, &in, &why), good) << topic << why;
  }
  mosquitto_property_free_all(&properties);
}

TEST(BridgeInboundTest, OnlyWhatAnAcceptLineNamesIsTakenIn) {
  BridgeConfig config;
  std::string error;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig(
      "accept 2 0x04000001\naccept 3 0x05000002 7\naccept 2 0x06000000 all\n", ".", "box", &config,
      &error));
  struct Message {
    uint32_t flags, code, channel;
    const char* payload;
    bool taken;
  };
  const Message messages[] = {
      {0x04, 0x04000001, 0, "x", true},
      {0x04, 0x04000001, 9, "x", true},  // no channel on the line: any
      {0x04, 0x04000002, 0, "x", false},
      {0x08, 0x04000001, 0, "x", false},  // another class
      {0x0C, 0x04000001, 0, "x", false},  // one class bit named, one not
      {0x08, 0x05000002, 7, "x", true},
      {0x08, 0x05000002, 8, "x", false},
      {0x04 | MSG_TO_ALL, 0x04000001, 0, "x", false},  // needs "all"
      {0x04 | MSG_TO_OTHERS, 0x06000000, 0, "x", true},
      {MSG_TO_ALL, 0x06000000, 0, "x", true},
      {MSG_TO_OTHERS, 0x06000000, 0, "<?xml version=\"1.0\"?><Zent Delta=\"0\">", false},
      {0x04 | 0x2000, 0x04000001, 0, "x", false},  // a bit that is no class and no routing
  };
  for (const Message& m : messages) {
    mqtt_bridge::Incoming in;
    in.flags = m.flags;
    in.code = m.code;
    in.channel = m.channel;
    in.payload.assign(m.payload, m.payload + strlen(m.payload));
    EXPECT_EQ(mqtt_bridge::Accepted(config, in), m.taken)
        << std::hex << m.flags << " " << m.code << " " << std::dec << m.channel;
  }
  BridgeConfig none;
  ASSERT_TRUE(mqtt_bridge::ParseBridgeConfig("", ".", "box", &none, &error));
  mqtt_bridge::Incoming in;
  in.flags = 0x04;
  in.code = 0x04000001;
  EXPECT_FALSE(mqtt_bridge::Accepted(none, in));
}

// The bridge plugin inside the core, with the configuration file the test writes; what it logs
// (on standard error) is captured.
class BridgePluginTest : public ::testing::Test {
 protected:
  BridgePluginTest() {
    zh_options_init(&options_);
    options_.stderr_mode = ZH_OUTPUT_TEE;
  }
  ~BridgePluginTest() override { zh_free(h_); }

  zh_started Start(const std::string& text, mode_t mode = 0644) {
    const std::string file = dir_ / "mqtt-bridge.conf";
    zt::WriteFile(file, text);
    chmod(file.c_str(), mode);
    const zt::ScopedEnv config("ZENT_BRIDGE_CONF", file);
    zh_started started;
    h_ = zh_start(ZENT_MQTT_BRIDGE, &options_, &started);
    EXPECT_NE(h_, nullptr) << started.reason;
    return started;
  }
  std::string Log() { return zh_output(h_, 2, nullptr); }

  zt::TempDir dir_;
  zh_options options_;
  zh_harness* h_ = nullptr;
};

TEST_F(BridgePluginTest, ABadOrUnsafeConfigurationIsLoggedAndTheBridgeRefusesToLoad) {
  zt::WriteFile(dir_ / "password", "secret\n");
  chmod((dir_ / "password").c_str(), 0644);
  const struct {
    std::string text;
    mode_t mode;
    std::string logged;
  } cases[] = {
      {"# a class bit that does not exist\nport 1883\ncarry queued 9 0x04000001\n", 0644,
       "mqtt-bridge.conf: line 3: carry: CLASS must be a class bit number from 0 to 8; not "
       "loaded"},
      {"port 1883\n", 0646, "mqtt-bridge.conf is writable by others; not loaded"},
      {"username u\npassword_file " + (dir_ / "password") + "\n", 0644,
       "holds a secret and is readable by others"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const zh_started started = Start(c.text, c.mode);
    EXPECT_EQ(started.status, ZH_REJECTED);
    EXPECT_STREQ(started.reason, "Load returned 0 with error 1");
    zh_report report;
    EXPECT_EQ(zh_stop(h_, &report), ZH_OK);
    EXPECT_EQ(report.violation_count, 0u);
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    zh_free(h_);
    h_ = nullptr;
  }
}

// A loopback listener that never accepts, with its backlog full: the kernel drops every new
// SYN, so a connect to it never completes.
class DeafListener {
 public:
  DeafListener() {
    fd_ = zt::ListenOnLoopback(0, &port_);
    // Fill the backlog until a connect no longer completes at once.
    for (int i = 0; i < 8; ++i) {
      const int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      const sockaddr_in target = zt::LoopbackAddress(port_);
      connect(client, reinterpret_cast<const sockaddr*>(&target), sizeof target);
      clients_.push_back(client);
    }
  }
  ~DeafListener() {
    for (const int client : clients_) close(client);
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1, port_ = 0;
  std::vector<int> clients_;
};

TEST_F(BridgePluginTest, StopsPromptlyWhileTheBrokerDoesNotAnswerOrItsNameResolvesSlowly) {
  DeafListener deaf;
  const struct {
    std::string text;
    std::string env;
  } cases[] = {
      {"port " + std::to_string(deaf.port()) + "\n", ""},
      {"host localhost\nport 1883\n", "120000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<zt::ScopedEnv> resolve;
    if (!c.env.empty()) {
      resolve = std::make_unique<zt::ScopedEnv>("ZENT_BRIDGE_TEST_RESOLVE_DELAY_MS", c.env);
    }
    ASSERT_EQ(Start("client_id zt-a\nreconnect_delay 1 2\n" + c.text).status, ZH_ACCEPTED);
    // The bridge tries in the background; the stop must come back whatever it is doing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto stopping = std::chrono::steady_clock::now();
    zh_report report;
    EXPECT_EQ(zh_stop(h_, &report), ZH_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10)) << Log();
    EXPECT_EQ(report.close_called, 1);
    EXPECT_EQ(report.unload_called, 1);
    for (size_t i = 0; i < report.violation_count; ++i) {
      ADD_FAILURE() << report.violations[i].text;
    }
    zh_free(h_);
    h_ = nullptr;
  }
}

}  // namespace
