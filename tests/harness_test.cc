// The plugin test harness (<zentserver/harness.h>) on the configurable test plugin: what it
// lets a test do, and each contract violation planted in the plugin and seen in the report.
#include <algorithm>
#include <sys/stat.h>
#include <zentserver/harness.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// The test plugin's match value for queued messages of code 0x01000001 (class bit 0).
constexpr uint32_t kCode = 0x01000001;
const std::string kMask = "mask 0 0x02000001\n";

class HarnessTest : public ::testing::Test {
 protected:
  HarnessTest() { zh_options_init(&options_); }
  ~HarnessTest() override { zh_free(h_); }

  // The test plugin (or another of the tests' plugins) in the test's directory, with settings.
  std::string Plugin(const std::string& settings, const std::string& variant = "testplugin") {
    const std::string path = dir_ / (variant + ".so");
    zt::CopyFile(zt::TestPluginFile(variant), path);
    zt::WriteFile(path + ".conf", settings);
    return path;
  }
  // Starts the plugin at path; the harness is freed with the test.
  zh_started Start(const std::string& path) {
    zh_started started;
    h_ = zh_start(path.c_str(), &options_, &started);
    EXPECT_NE(h_, nullptr) << started.reason;
    return started;
  }
  zh_report Stop() {
    zh_report report;
    EXPECT_EQ(zh_stop(h_, &report), ZH_OK);
    return report;
  }
  // The texts of the report's violations of kind.
  static std::vector<std::string> Of(const zh_report& report, int kind) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < report.violation_count; ++i) {
      if (report.violations[i].kind == kind) texts.push_back(report.violations[i].text);
    }
    return texts;
  }
  static std::string All(const zh_report& report) {
    std::string all;
    for (size_t i = 0; i < report.violation_count; ++i) {
      all += std::string(zh_violation_name(report.violations[i].kind)) + ": " +
             report.violations[i].text + "\n";
    }
    return all;
  }
  // Sends a queued message of kCode from the probe.
  int32_t SendQueued(const std::string& payload, uint32_t channel = 0) {
    const Message message = zh_message(options_.probe_id, channel, 0x01, kCode, payload.data(),
                                       static_cast<uint32_t>(payload.size()));
    return zh_send(h_, &message);
  }
  // Takes what the plugin sends until one with flags; false when none comes.
  bool WaitSent(uint32_t flags, zh_sent* sent) {
    return zh_wait_for(
               h_,
               [](const zh_sent* s, void* want) {
                 return s->message.flags == *static_cast<uint32_t*>(want) ? 1 : 0;
               },
               &flags, sent, zt::kWaitMs) == ZH_OK;
  }

  zt::TempDir dir_;
  zh_options options_;
  zh_harness* h_ = nullptr;
};

TEST_F(HarnessTest, SeesWhatThePluginSendsWithTheCoresAnswerItsPhaseAndItsThread) {
  const zh_started started =
      Start(Plugin("id 7\naccepts_write 1\n" + kMask +
                   // A broadcast opens channel 5, so the first queued message on it is taken;
                   // channel 9 was never opened. Its masks do not select what it sends itself.
                   "send load 0 5 0x01 0x01000004 hello\nsend load self 5 0x01 0x01000004 #4\n"
                   "send load self 9 0x01 0x01000004 -\nsend write self 0 0x01 0x01000002 answer\n"
                   "send close 0 0 0x01 0x01000009 bye\n"));
  ASSERT_EQ(started.status, ZH_ACCEPTED) << started.reason;
  EXPECT_EQ(started.info.id, 7u);
  EXPECT_EQ(started.load_called, 1);
  EXPECT_EQ(started.open_called, 1);
  EXPECT_EQ(std::count(started.exports, started.exports + 8, 1), 8);

  zh_sent sent;
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.sequence, 1u);
  EXPECT_EQ(sent.message.source, 0u);
  EXPECT_EQ(std::string(static_cast<const char*>(sent.message.data), sent.message.length), "hello");
  EXPECT_EQ(sent.phase, ZH_PHASE_LOAD);
  EXPECT_EQ(sent.entry, ZH_ENTRY_LOAD);
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.result, RESULT_OK);
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.message.channel, 9u);
  EXPECT_EQ(sent.result, RESULT_CHANNEL_REFUSED);

  // The probe's message reaches the plugin's Write, which answers from inside it.
  EXPECT_EQ(SendQueued("ping"), RESULT_OK);
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.message.code, 0x01000002u);
  EXPECT_EQ(sent.entry, ZH_ENTRY_WRITE);
  EXPECT_EQ(sent.phase, ZH_PHASE_RUNNING);
  EXPECT_EQ(zh_next(h_, &sent, 50), ZH_TIMEOUT);

  const zh_report report = Stop();
  EXPECT_EQ(report.violation_count, 0u) << All(report);
  EXPECT_EQ(report.close_called, 1);
  EXPECT_EQ(report.unload_called, 1);
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.phase, ZH_PHASE_CLOSE);
  EXPECT_EQ(sent.entry, ZH_ENTRY_CLOSE);
}

TEST_F(HarnessTest, CallsOneEntryPointDirectlyWithACopyThePluginMayKeep) {
  const std::string path = Plugin("id 7\nretain 1\nrelease thread\n");
  ASSERT_EQ(Start(path).status, ZH_ACCEPTED);
  zh_sent sent;
  // It keeps the status document too, and gives its buffers back in the order it got them.
  ASSERT_TRUE(WaitSent(MSG_RELEASE, &sent));
  const std::string payload = "direct";
  Message message = zh_message(3, 0, 0x01, kCode, payload.data(), 6);
  WriteReply writeReply;
  int result = -1;
  ASSERT_EQ(zh_write(h_, &message, &writeReply, &result), ZH_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(writeReply.retained, 1u);
  ASSERT_TRUE(WaitSent(MSG_RELEASE, &sent));
  EXPECT_EQ(sent.result, RESULT_OK) << "the harness's own copy is given back to it";

  IoctlReply ioctlReply;
  ASSERT_EQ(zh_ioctl(h_, IOCTL_TO_ALL, "x", 1, &ioctlReply, &result), ZH_OK);
  EXPECT_EQ(ioctlReply.command, IOCTL_TO_ALL);
  ASSERT_TRUE(WaitSent(MSG_RELEASE, &sent));
  EXPECT_EQ(sent.result, RESULT_OK);
  ASSERT_EQ(zh_read(h_, "r", 1, 4, nullptr, &result), ZH_OK);
  const std::vector<zt::Event> reads = zt::EventsNamed(zt::ReadEvents(path + ".log"), "read");
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back()["channel"], "4");
  EXPECT_EQ(reads.back()["hex"], "72");

  const zh_report report = Stop();
  EXPECT_EQ(report.violation_count, 0u) << All(report);
  EXPECT_EQ(zh_write(h_, &message, nullptr, nullptr), ZH_ERROR) << "the plugin is unloaded";
}

TEST_F(HarnessTest, MovesTheCoresClockAndFailsItsAllocations) {
  options_.wall_clock = 1000000;
  const std::string path = Plugin("id 7\naccepts_write 1\nmask 6 0x02000002\n");
  ASSERT_EQ(Start(path).status, ZH_ACCEPTED);
  ASSERT_EQ(zh_jump_clock(h_, 3600), ZH_OK);
  EXPECT_TRUE(zt::WaitUntil([&] {
    const std::vector<std::string> writes = zt::Payloads(path + ".log", "write");
    return std::count(writes.begin(), writes.end(), "system time changed by 3600 seconds") == 1;
  }));

  ASSERT_EQ(zh_fail_allocations(h_, 1), ZH_OK);
  EXPECT_EQ(SendQueued("lost"), RESULT_NO_MEMORY);
  EXPECT_EQ(SendQueued("taken"), RESULT_OK);
  EXPECT_EQ(Stop().violation_count, 0u);
}

TEST_F(HarnessTest, SaysWhyAFileIsNotLoadedAndRunsOneAtATime) {
  const std::string shared = Plugin("id 7\n");
  chmod(shared.c_str(), 0775);
  zt::WriteFile(dir_ / "text.so", "not a shared object\n");
  const struct {
    std::string path;
    int status;
    std::string reason;
  } cases[] = {
      {shared, ZH_UNTRUSTED, "writable by group"},
      {Plugin("", "noload"), ZH_NOT_LOADABLE, "exports no Load"},
      {dir_ / "text.so", ZH_NOT_LOADABLE, "text.so"},
      {Plugin("id 7\nload_result 7\n", "testplugin_partial"), ZH_REJECTED,
       "Load returned 7 with error 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const zh_started started = Start(c.path);
    EXPECT_EQ(started.status, c.status);
    EXPECT_NE(std::string(started.reason).find(c.reason), std::string::npos) << started.reason;
    EXPECT_EQ(Stop().violation_count, 0u);
    zh_free(h_);
    h_ = nullptr;
  }

  ASSERT_EQ(Start(Plugin("id 7\n")).status, ZH_ACCEPTED);
  zh_started second;
  EXPECT_EQ(zh_start((dir_ / "other.so").c_str(), nullptr, &second), nullptr);
  EXPECT_EQ(second.status, ZH_FAILED);
  EXPECT_NE(std::string(second.reason).find("another harness runs"), std::string::npos);
}

// One test per violation: planted in the test plugin, seen in the report with its sentence.
using HarnessViolationTest = HarnessTest;

TEST_F(HarnessViolationTest, BuffersStillHeldAfterClose) {
  ASSERT_EQ(Start(Plugin("id 7\naccepts_write 1\nretain 1\n" + kMask)).status, ZH_ACCEPTED);
  ASSERT_EQ(SendQueued("kept"), RESULT_OK);
  const zh_report report = Stop();
  const std::vector<std::string> kept = Of(report, ZH_KEPT_AFTER_CLOSE);
  ASSERT_EQ(kept.size(), 1u) << All(report);
  // The status document as well, which it kept from its IOCTL.
  EXPECT_NE(kept[0].find("testplugin.so (id 7) still holds 2 buffer(s) after Close (channels 0; "
                         "codes 0x01000001 0x01000010)"),
            std::string::npos)
      << kept[0];
  EXPECT_NE(std::string(zh_log(h_)).find(kept[0]), std::string::npos) << "the core's own words";
}

TEST_F(HarnessViolationTest, AReleaseOfABufferNotHeld) {
  ASSERT_EQ(Start(Plugin("id 7\nsend open self 0 0x200 0 never-delivered\n")).status, ZH_ACCEPTED);
  const zh_report report = Stop();
  ASSERT_EQ(Of(report, ZH_BAD_RELEASE).size(), 1u) << All(report);
  EXPECT_NE(Of(report, ZH_BAD_RELEASE)[0].find("gave back a buffer it does not hold"),
            std::string::npos);
}

TEST_F(HarnessViolationTest, BytesOfADeliveredOrKeptBufferChanged) {
  // In its Write; then before giving back what it kept (the frame and the status document). It
  // gives them back in its Close, so that each is judged at its release, not at Unload.
  const struct {
    std::string settings;
    std::vector<std::string> texts;
  } cases[] = {
      {"scribble write\n",
       {"changed the bytes of the buffer of a message it received by Write (code 0x01000001)"}},
      {"retain 1\nrelease close\nscribble release\n",
       {"changed the bytes of a buffer it received by IOCTL command 2 before it gave it back",
        "changed the bytes of a buffer it received by Write (code 0x01000001) before it gave it "
        "back"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    ASSERT_EQ(Start(Plugin("id 7\naccepts_write 1\n" + kMask + c.settings)).status, ZH_ACCEPTED);
    ASSERT_EQ(SendQueued("frame"), RESULT_OK);
    zh_report report = Stop();
    std::vector<std::string> changed = Of(report, ZH_BUFFER_CHANGED);
    std::sort(changed.begin(), changed.end());
    ASSERT_EQ(changed.size(), c.texts.size()) << All(report);
    for (size_t i = 0; i < changed.size(); ++i) EXPECT_EQ(changed[i].rfind(c.texts[i], 0), 0u);
    zh_free(h_);
    h_ = nullptr;
  }
}

TEST_F(HarnessViolationTest, CallsStillRunningAfterUnload) {
  const std::string path = Plugin("id 7\naccepts_read 1\nsleep read 3000\n");
  ASSERT_EQ(Start(path).status, ZH_ACCEPTED);
  // The start Read has begun, and sleeps through Close and Unload.
  ASSERT_EQ(zt::EventsNamed(zt::WaitForEvents(path + ".log", "read"), "read").size(), 1u);
  const zh_report report = Stop();
  const std::vector<std::string> calls = Of(report, ZH_CALLS_AFTER_UNLOAD);
  ASSERT_EQ(calls.size(), 1u) << All(report);
  EXPECT_NE(calls[0].find("1 call(s) still ran inside the plugin when its Unload returned (Read"),
            std::string::npos)
      << calls[0];
}

TEST_F(HarnessViolationTest, ThreadsThePluginLeftRunning) {
  ASSERT_EQ(Start(Plugin("", "straythread")).status, ZH_ACCEPTED);
  const zh_report report = Stop();
  EXPECT_EQ(report.threads_left, 1u);
  ASSERT_EQ(Of(report, ZH_THREADS_LEFT).size(), 1u) << All(report);
  EXPECT_NE(Of(report, ZH_THREADS_LEFT)[0].find("1 thread(s) the plugin started still run after "
                                                "Unload"),
            std::string::npos);
}

TEST_F(HarnessViolationTest, ACallbackAfterUnload) {
  // Late enough to come after Unload has returned, early enough for the report's wait for the
  // plugin's threads (2 s), on a busy machine too.
  ASSERT_EQ(Start(Plugin("id 7\nlinger 500\n")).status, ZH_ACCEPTED);
  const zh_report report = Stop();
  EXPECT_EQ(report.late_callbacks, 1u);
  EXPECT_EQ(Of(report, ZH_CALLBACK_AFTER_UNLOAD).size(), 1u) << All(report);
  zh_sent sent;
  ASSERT_EQ(zh_next(h_, &sent, zt::kWaitMs), ZH_OK);
  EXPECT_EQ(sent.phase, ZH_PHASE_AFTER);
  EXPECT_EQ(sent.entry, ZH_ENTRY_NONE);
}

TEST_F(HarnessViolationTest, ALoadOrOpenSlowerThanTheBound) {
  options_.call_bound_ms = 100;
  ASSERT_EQ(Start(Plugin("id 7\nsleep load 300\nsleep open 300\n")).status, ZH_ACCEPTED);
  const zh_report report = Stop();
  const std::vector<std::string> slow = Of(report, ZH_SLOW_CALL);
  ASSERT_EQ(slow.size(), 2u) << All(report);
  EXPECT_EQ(slow[0].rfind("Load took ", 0), 0u) << slow[0];
  EXPECT_EQ(slow[1].rfind("Open took ", 0), 0u) << slow[1];
}

TEST_F(HarnessViolationTest, RecordFieldsOutOfRange) {
  // Flags with a bit that means nothing, and an id that the server takes for the core's.
  ASSERT_EQ(Start(Plugin("id 0x80000000\nsend open self 0 0x2001 0x7 x\n")).status, ZH_ACCEPTED);
  const zh_report report = Stop();
  const std::vector<std::string> records = Of(report, ZH_BAD_RECORD);
  ASSERT_EQ(records.size(), 3u) << All(report);
  EXPECT_NE(records[0].find("id is CORE_SOURCE"), std::string::npos);
  EXPECT_NE(records[1].find("whose bits 0x2000 mean nothing"), std::string::npos);
  EXPECT_NE(records[2].find("as CORE_SOURCE"), std::string::npos);
}

TEST_F(HarnessViolationTest, AChannelHeldLongerThanTheBound) {
  options_.gate_held_ms = 1000;
  ASSERT_EQ(Start(Plugin("id 7\naccepts_write 1\nretain 1\n" + kMask)).status, ZH_ACCEPTED);
  const Message open = zh_message(0, 3, 0x01, 0x01000005, nullptr, 0);
  ASSERT_EQ(zh_send(h_, &open), RESULT_OK);
  ASSERT_EQ(SendQueued("held", 3), RESULT_OK);
  ASSERT_TRUE(zt::WaitUntil([&] {
    return std::string(zh_log(h_)).find("channel 3 has been held") != std::string::npos;
  }));
  const zh_report report = Stop();
  const std::vector<std::string> held = Of(report, ZH_CHANNEL_HELD);
  ASSERT_EQ(held.size(), 1u) << All(report);
  EXPECT_NE(held[0].find("that testplugin.so (id 7) has not given back"), std::string::npos)
      << held[0];
}

TEST_F(HarnessViolationTest, AStopThatDoesNotEndInTime) {
  // Long enough for a start and the stop's way to Close on a busy machine; Close waits for the
  // test's go, which comes after the first stop has timed out.
  options_.call_timeout_ms = 3000;
  const std::string go = dir_ / "go";
  ASSERT_EQ(Start(Plugin("id 7\nawait close " + go + "\n")).status, ZH_ACCEPTED);
  zh_report report;
  ASSERT_EQ(zh_stop(h_, &report), ZH_TIMEOUT);
  const std::vector<std::string> stuck = Of(report, ZH_STOP_STUCK);
  ASSERT_EQ(stuck.size(), 1u) << All(report);
  EXPECT_NE(stuck[0].find("the plugin's Close (running for"), std::string::npos) << stuck[0];
  zt::WriteFile(go, "");
  // Asked again, it waits again: the stop ends once Close has returned.
  int status = ZH_TIMEOUT;
  for (int i = 0; i < 20 && status == ZH_TIMEOUT; ++i) status = zh_stop(h_, &report);
  EXPECT_EQ(status, ZH_OK);
  EXPECT_EQ(report.violation_count, 0u) << All(report);
}

}  // namespace
