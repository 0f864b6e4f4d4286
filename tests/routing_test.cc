// Message routing through the real Core with real plugin files: matching, queued delivery,
// retained buffers, channel gates, and the faults of the routing that are mended here.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "core/log_limiter.h"
#include "core/payload.h"
#include "support/core_harness.h"

namespace {

using zt::Event;
using zt::EventsNamed;
using zt::ReadEvents;
using zt::WaitForEvents;

const void* PointerOf(const Event& event, const std::string& key = "data") {
  return reinterpret_cast<const void*>(std::strtoull(event[key].c_str(), nullptr, 16));
}

// A Send on a thread of its own, for senders that are expected to wait.
class PendingSend {
 public:
  explicit PendingSend(Message message) : message_(message) {
    thread_ = std::thread([this] {
      tid_ = zt::ThreadId();
      result_ = zt::Send(message_);
      done_ = true;
    });
  }
  ~PendingSend() {
    if (!thread_.joinable()) return;
    zt::Watchdog watchdog("a pending send");
    thread_.join();
  }
  bool done() const { return done_; }
  // Waits for the Send to return and gives its result (-99 if it did not return in time).
  int Finish(int timeoutMs = zt::kWaitMs) {
    if (!zt::WaitUntil([this] { return done_.load(); }, timeoutMs)) return -99;
    thread_.join();
    return result_;
  }
  // True once the sender sleeps in its wait for the gate of channel (with others, as the
  // count-th waiter) and has not gone through. A sender let through by mistake is awake by the
  // time the one who let it through returns, so it does not pass for one that still waits.
  bool WaitsAtGate(Core& core, uint32_t channel, int count = 1) {
    return zt::WaitUntil([&] {
             return done_ || (zt::AsleepOn(tid_) && core.SendersWaitingOn(channel) >= count);
           }) &&
           !done_;
  }

 private:
  Message message_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<int> result_{0};
  std::atomic<pid_t> tid_{0};
};

class RoutingTest : public ::testing::Test {
 protected:
  std::string Add(const std::string& name, const std::string& config) {
    return install_.AddPlugin(name, config);
  }
  void Start() {
    harness_ = std::make_unique<zt::CoreHarness>(install_);
    harness_->Start();
  }
  void Stop() { harness_->Stop(); }
  Core& core() { return harness_->core(); }

  zt::Installation install_;
  std::unique_ptr<zt::CoreHarness> harness_;
};

uint32_t ExtraSum(const Message& message) {
  uint32_t sum = 0;
  for (uint8_t byte : message.extra) sum = sum * 31u + byte;
  return sum;
}

TEST_F(RoutingTest, BroadcastAndQueuedMatchShiftTheCategoryByteOppositeWays) {
  const std::string down =
      Add("down.so", "id 1\nmask 0 0x00800002\naccepts_read 1\naccepts_write 1\n");
  const std::string up = Add("up.so", "id 2\nmask 0 0x02000002\naccepts_read 1\naccepts_write 1\n");
  const std::string deaf = Add("deaf.so", "id 3\nmask 0 0x02000002\nmask 1 0x00800002\n");
  const std::string any = Add("any.so", "id 4\nmask 2 0\naccepts_write 1\n");
  Start();
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0x01000002, "broadcast"), RESULT_OK);
  Message queued = zt::MakeMessage(9, 0, 0x01, 0x01000002, "queued", 6);
  for (size_t i = 0; i < sizeof queued.extra; ++i)
    queued.extra[i] = static_cast<uint8_t>(3 * i + 1);
  ASSERT_EQ(zt::Send(queued), RESULT_OK);
  // Match value 0: every selected mask holds it, whatever the mask.
  ASSERT_EQ(zt::SendText(9, 0, 0x04, 0x80000000, "zero match"), RESULT_OK);
  // No class bit at all: nobody.
  ASSERT_EQ(zt::SendText(9, 0, 0x1000, 0x01000002, "no class"), RESULT_OK);
  ASSERT_EQ(zt::SendText(9, 0, 0x02, 0x01000002, "flush"), RESULT_OK);
  WaitForEvents(up, "write", 2);
  WaitForEvents(down, "read", 2);  // the start Read and the broadcast
  WaitForEvents(any, "write");
  WaitForEvents(down, "write");
  Stop();

  EXPECT_EQ(zt::Payloads(down, "read"), std::vector<std::string>{"broadcast"});
  EXPECT_TRUE(zt::Payloads(up, "read").empty());
  // The queued match value 0x02000002 is in up's mask only; a match value of 0 (code
  // 0x80000000) passes every mask its class bits select, whatever the mask holds.
  EXPECT_EQ(zt::Payloads(up, "write"), (std::vector<std::string>{"queued", "zero match"}));
  EXPECT_EQ(zt::Payloads(down, "write"), std::vector<std::string>{"zero match"});
  EXPECT_EQ(zt::Payloads(any, "write"), std::vector<std::string>{"zero match"});
  // Matching masks, but neither Read nor Write taken.
  EXPECT_TRUE(zt::Payloads(deaf, "read").empty());
  EXPECT_TRUE(zt::Payloads(deaf, "write").empty());

  const Event write = EventsNamed(ReadEvents(up), "write")[0];
  EXPECT_EQ(write.Number("size"), zt::kWriteRequestSize);
  EXPECT_EQ(write["async"], "0");
  EXPECT_EQ(write["source"], "9");
  EXPECT_EQ(write["flags"], "0x1");
  EXPECT_EQ(write["code"], "0x1000002") << "Write carries the code itself, not the match value";
  EXPECT_EQ(write.Number("extra"), ExtraSum(queued));
  EXPECT_EQ(write.Number("reply_size"), zt::kWriteReplySize);
}

TEST_F(RoutingTest, ToOthersAndToAllGoByIoctl) {
  const std::string sender = Add("sender.so", "id 5\nmask 0 0\naccepts_write 1\n");
  const std::string other = Add("other.so", "id 6\n");
  Start();
  WaitForEvents(other, "ioctl");  // the status document
  ASSERT_EQ(zt::SendText(5, 0, MSG_TO_OTHERS, 0, "others"), RESULT_OK);
  ASSERT_EQ(zt::SendText(5, 0, MSG_TO_ALL, 0, "all"), RESULT_OK);
  ASSERT_EQ(zt::SendText(5, 0, MSG_TO_OTHERS | 0x01, 0, "others and class"), RESULT_OK);
  ASSERT_EQ(zt::SendText(5, 0, MSG_TO_OTHERS | MSG_TO_ALL, 0, "both"), RESULT_OK);
  WaitForEvents(other, "ioctl", 5);
  WaitForEvents(sender, "ioctl", 3);
  Stop();
  auto calls = [](const std::string& record) {
    std::vector<std::string> result;
    for (const Event& event : ReadEvents(record)) {
      if (event.name == "ioctl" && event["cmd"] != "2") {
        result.push_back("ioctl" + event["cmd"] + ":" + zt::Unhex(event["hex"]));
      } else if (event.name == "ioctl" && zt::Unhex(event["hex"]).rfind("<?xml", 0) != 0) {
        result.push_back("ioctl2:" + zt::Unhex(event["hex"]));
        EXPECT_EQ(event["argsize"], "16");
      } else if (event.name == "write") {
        result.push_back("write:" + zt::Unhex(event["hex"]));
      }
    }
    return result;
  };
  EXPECT_EQ(calls(other), (std::vector<std::string>{"ioctl2:others", "ioctl3:all",
                                                    "ioctl2:others and class", "ioctl2:both"}));
  // The sender gets no command 2 of its own message, but is still tested for the others.
  EXPECT_EQ(calls(sender),
            (std::vector<std::string>{"ioctl3:all", "write:others and class", "ioctl3:both"}));
}

TEST_F(RoutingTest, MessagesQueuedDuringLoadAndOpenArriveInQueueOrder) {
  const std::string talker = Add("talker.so",
                                 "id 7\nsend load self 0 0x01 0x10 from-load-1\n"
                                 "send load self 0 0x01 0x10 from-load-2\n"
                                 "send open self 0 0x01 0x10 from-open\n");
  const std::string listener = Add("listener.so", "id 8\nmask 0 0x10\naccepts_write 1\n");
  Start();
  WaitForEvents(listener, "write", 3);
  Stop();
  std::vector<std::string> seen;
  for (const Event& event : ReadEvents(listener)) {
    if (event.name == "write") seen.push_back(zt::Unhex(event["hex"]));
    if (event.name == "ioctl" && event["cmd"] == "2") seen.push_back("status document");
  }
  // Load messages, then the open message, then the document posted after the Open pass.
  EXPECT_EQ(seen, (std::vector<std::string>{"from-load-1", "from-load-2", "from-open",
                                            "status document"}));
  for (const Event& sent : EventsNamed(ReadEvents(talker), "sent")) EXPECT_EQ(sent["result"], "0");
}

TEST_F(RoutingTest, ARetainedBufferStaysValidUntilItsRelease) {
  const std::string keeper = Add("keeper.so", "id 11\nmask 0 0\naccepts_write 1\nretain 1\n");
  Start();
  ASSERT_EQ(zt::SendText(9, 0, 0x01, 0, "kept payload"), RESULT_OK);
  const Event write = EventsNamed(WaitForEvents(keeper, "write"), "write")[0];
  const void* buffer = PointerOf(write);
  // The event handler is done with it; the plugin still holds it.
  ASSERT_TRUE(zt::WaitUntil([&] { return core().BufferRefs().PluginHolds(buffer) == 1; }));
  EXPECT_EQ(std::string(static_cast<const char*>(buffer), 12), "kept payload");
  ASSERT_EQ(zt::Send(zt::MakeMessage(11, 0, MSG_RELEASE, 0, buffer)), RESULT_OK);
  EXPECT_FALSE(core().BufferRefs().Owns(buffer));
  Stop();
}

TEST_F(RoutingTest, EdgeMessagesAndRefusals) {
  const std::string watcher = Add("watcher.so", "id 61\nmask 0 0\nmask 6 0\naccepts_write 1\n");
  Start();
  // A release of nothing, and of a pointer never handed out: nothing happens.
  char stack[16] = "not the core's";
  EXPECT_EQ(zt::Send(zt::MakeMessage(3, 0, MSG_RELEASE, 0, nullptr)), RESULT_OK);
  EXPECT_EQ(zt::Send(zt::MakeMessage(3, 0, MSG_RELEASE, 0, stack)), RESULT_OK);
  // Data without length is queued without payload; 0x240 and 0x1000 from a sender are ordinary
  // messages (class bit 6; no class bit at all).
  EXPECT_EQ(zt::Send(zt::MakeMessage(3, 0, 0x01, 0, stack, 0)), RESULT_OK);
  EXPECT_EQ(zt::SendText(3, 0, 0x240, 0, "class bit 6"), RESULT_OK);
  EXPECT_EQ(zt::SendText(3, 0, MSG_CLOSE_CHANNEL, 0, "no class"), RESULT_OK);
  // A queued message on a channel that was never opened; one on channel 0 never waits.
  EXPECT_EQ(zt::SendText(3, 5, 0x01, 0, "refused"), RESULT_CHANNEL_REFUSED);
  EXPECT_EQ(zt::SendText(3, 0, 0x01, 0, "channel 0"), RESULT_OK);
  // Null pointers from a plugin: no message is refused; without a reply the message still goes.
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 99};
  EXPECT_EQ(CoreCallback(nullptr, &reply), 0);
  EXPECT_EQ(reply.result, RESULT_CHANNEL_REFUSED);
  const Message unanswered = zt::MakeMessage(3, 0, 0x01, 0, "no reply", 8);
  EXPECT_EQ(CoreCallback(&unanswered, nullptr), 0);
  EXPECT_EQ(CoreCallback(nullptr, nullptr), 0);
  const auto writes = EventsNamed(WaitForEvents(watcher, "write", 4), "write");
  Stop();
  ASSERT_EQ(writes.size(), 4u) << "only the four deliverable messages arrive";
  EXPECT_EQ(writes[0]["len"], "0");
  EXPECT_EQ(writes[0]["data"], "(nil)");
  EXPECT_EQ(zt::Unhex(writes[1]["hex"]), "class bit 6");
  EXPECT_EQ(writes[1]["flags"], "0x240");
  EXPECT_EQ(zt::Unhex(writes[2]["hex"]), "channel 0");
  EXPECT_EQ(zt::Unhex(writes[3]["hex"]), "no reply");
  EXPECT_TRUE(zt::LogCapture::Get().Contains("a plugin sent a null message"));
}

// For a scope: the log limiter counts its second on a millisecond clock that the test sets.
class LimiterClockScope {
 public:
  explicit LimiterClockScope(int64_t now) {
    now_ = now;
    previous_ = LogLimiter::SetClock([] { return now_.load(); });
  }
  ~LimiterClockScope() { LogLimiter::SetClock(previous_); }
  LimiterClockScope(const LimiterClockScope&) = delete;
  LimiterClockScope& operator=(const LimiterClockScope&) = delete;
  static void Set(int64_t now) { now_ = now; }

 private:
  static inline std::atomic<int64_t> now_{0};
  LogLimiter::Clock previous_;
};

TEST_F(RoutingTest, ReleasesOfForeignBuffersAreReportedOnceASecond) {
  constexpr int64_t kStart = 5000000;
  LimiterClockScope clock(kStart);
  Start();
  zt::LogCapture::Get().Clear();
  const auto warnings = [] {
    std::vector<std::string> found;
    for (const std::string& line : zt::LogCapture::Get().Lines()) {
      if (line.find("gave back a buffer it does not hold") != std::string::npos) {
        found.push_back(line);
      }
    }
    return found;
  };
  char stack[4];
  const auto release = [&](int i) {
    EXPECT_EQ(zt::Send(zt::MakeMessage(3, 0, MSG_RELEASE, 0, stack + i % 4)), RESULT_OK);
  };
  // Three simulated seconds of 50 releases each, the last one 1 ms before the second is over:
  // exactly one warning a second, each after the first naming the 49 held back before it.
  for (int second = 0; second < 3; ++second) {
    for (int i = 0; i < 50; ++i) {
      clock.Set(kStart + second * 1000 + (i == 49 ? 999 : i * 20));
      release(i);
    }
    const auto lines = warnings();
    ASSERT_EQ(lines.size(), static_cast<size_t>(second + 1)) << "in second " << second;
    EXPECT_EQ(lines.back().find("more like it") == std::string::npos, second == 0) << lines.back();
    if (second > 0) {
      EXPECT_NE(lines.back().find("(and 49 more like it)"), std::string::npos) << lines.back();
    }
  }
  Stop();
}

TEST_F(RoutingTest, PluginsThatWaitForAGateWhileTheCoreStartsAreRefusedNotHung) {
  // During Load and Open the event handler does not run yet: a message that waits there for a
  // gate would wait for a delivery that cannot begin before the start ends.
  const std::string opener = Add("opener.so",
                                 "id 71\nsend load 0 5 0x01 0x1 open-five\n"
                                 "send open self 5 0x01 0x2 first\n"
                                 "send open self 5 0x01 0x2 second\n"
                                 "send open 0 5 0x01 0x3 broadcast-on-held\n"
                                 "send open self 6 0x01 0x2 unopened\n");
  const std::string listener =
      Add("listener.so", "id 72\nmask 0 0x4000002\naccepts_write 1\naccepts_read 1\n");
  Start();  // fails through its watchdog if it hangs
  const auto writes = EventsNamed(WaitForEvents(listener, "write"), "write");
  Stop();
  std::vector<std::string> results;
  for (const Event& sent : EventsNamed(ReadEvents(opener), "sent")) {
    results.push_back(sent["result"]);
  }
  EXPECT_EQ(results, (std::vector<std::string>{"0", "0", "1", "0", "1"}));
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(zt::Unhex(writes[0]["hex"]), "first");
}

TEST_F(RoutingTest, APayloadThatCannotBeCopiedIsRefusedBeforeItsChannelIsTaken) {
  Start();
  ASSERT_EQ(zt::SendText(0, 5, 0x01, 0, "open"), RESULT_OK);
  {
    zt::PayloadScope noMemory(zt::PayloadScope::kFail);
    EXPECT_EQ(zt::SendText(3, 5, 0x01, 0, "no memory"), RESULT_NO_MEMORY);
  }
  // The gate was not taken: the next sender on the channel is not held up.
  PendingSend next(zt::MakeMessage(3, 5, 0x01, 0, "after", 5));
  EXPECT_EQ(next.Finish(), RESULT_OK);
  Stop();
}

// ---------------------------------------------------------------------------------------------
// Channel gates

class ChannelTest : public RoutingTest {
 protected:
  void SetUp() override {
    keeper_ = Add("keeper.so", "id 11\nmask 0 0\naccepts_write 1\nretain 1\n");
    reader_ = Add("reader.so", "id 12\nmask 0 0\naccepts_read 1\n");
    Start();
  }
  // The buffer that the keeper holds for its nth Write (counting from 1).
  const void* Kept(size_t n) {
    const auto writes = EventsNamed(WaitForEvents(keeper_, "write", n), "write");
    if (writes.size() < n) return nullptr;
    const void* buffer = PointerOf(writes[n - 1]);
    zt::WaitUntil([&] { return core().BufferRefs().PluginHolds(buffer) == 1; });
    return buffer;
  }
  int Release(const void* buffer) {
    return zt::Send(zt::MakeMessage(11, 0, MSG_RELEASE, 0, buffer));
  }
  size_t ReadsOf(const std::string& text) {
    size_t count = 0;
    for (const Event& read : EventsNamed(ReadEvents(reader_), "read")) {
      count += zt::Unhex(read["hex"]) == text;
    }
    return count;
  }

  std::string keeper_, reader_;
};

TEST_F(ChannelTest, ASecondSenderWaitsUntilTheFirstBufferIsGivenBack) {
  ASSERT_EQ(zt::SendText(0, 5, 0x01, 0, "open 5"), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 5, 0x01, 0, "first"), RESULT_OK);
  const void* first = Kept(1);
  ASSERT_NE(first, nullptr);
  // A broadcast on the held channel waits until it is free, without taking it.
  PendingSend broadcast(zt::MakeMessage(0, 5, 0x01, 0, "broadcast on held", 17));
  EXPECT_TRUE(broadcast.WaitsAtGate(core(), 5));
  ASSERT_EQ(Release(first), RESULT_OK);
  EXPECT_EQ(broadcast.Finish(), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 5, 0x01, 0, "again"), RESULT_OK);
  const void* again = Kept(2);
  PendingSend second(zt::MakeMessage(4, 5, 0x01, 0, "second", 6));
  EXPECT_TRUE(second.WaitsAtGate(core(), 5)) << "the keeper still holds the earlier buffer";
  ASSERT_EQ(Release(again), RESULT_OK);
  EXPECT_EQ(second.Finish(), RESULT_OK);
  ASSERT_NE(Kept(3), nullptr);
  Release(Kept(3));
  // Without a keeper holding it, a message gives its channel back when its delivery ends.
  ASSERT_EQ(zt::SendText(0, 6, 0x02, 0, "open 6"), RESULT_OK);
  for (int i = 0; i < 3; ++i) {
    PendingSend quick(zt::MakeMessage(3, 6, 0x02, 0, nullptr, 0));
    EXPECT_EQ(quick.Finish(), RESULT_OK);
  }
  Stop();
}

TEST_F(ChannelTest, CloseRefusesTheWaiterAndEveryLaterSenderButNotBroadcasts) {
  ASSERT_EQ(zt::SendText(0, 5, 0x01, 0, "open 5"), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 5, 0x01, 0, "first"), RESULT_OK);
  const void* first = Kept(1);
  PendingSend waiter(zt::MakeMessage(4, 5, 0x01, 0, "waiter", 6));
  ASSERT_TRUE(waiter.WaitsAtGate(core(), 5));
  ASSERT_EQ(zt::Send(zt::MakeMessage(0, 5, MSG_CLOSE_CHANNEL, 0)), RESULT_OK);
  EXPECT_EQ(waiter.Finish(), RESULT_CHANNEL_REFUSED);
  // Every later sender is refused at once, and a broadcast on the closed channel is delivered
  // without waiting for anything.
  for (int i = 0; i < 3; ++i) {
    PendingSend later(zt::MakeMessage(4, 5, 0x01, 0, "later", 5));
    EXPECT_EQ(later.Finish(), RESULT_CHANNEL_REFUSED);
  }
  PendingSend broadcast(zt::MakeMessage(0, 5, 0x01, 0, "closed but heard", 16));
  EXPECT_EQ(broadcast.Finish(), RESULT_OK);
  EXPECT_TRUE(zt::WaitUntil([&] { return ReadsOf("closed but heard") == 1; }));
  ASSERT_EQ(Release(first), RESULT_OK);
  EXPECT_EQ(zt::SendText(4, 5, 0x01, 0, "still closed"), RESULT_CHANNEL_REFUSED);
  // Closing a channel that was never opened creates nothing: still refused, until a broadcast.
  ASSERT_EQ(zt::Send(zt::MakeMessage(0, 8, MSG_CLOSE_CHANNEL, 0)), RESULT_OK);
  EXPECT_EQ(zt::SendText(4, 8, 0x01, 0, "refused"), RESULT_CHANNEL_REFUSED);
  ASSERT_EQ(zt::SendText(0, 8, 0x01, 0, "open 8"), RESULT_OK);
  EXPECT_EQ(zt::SendText(4, 8, 0x01, 0, "accepted"), RESULT_OK);
  Release(Kept(2));
  Stop();
}

TEST_F(ChannelTest, AReleaseWithoutBufferGivesNoGateBack) {
  ASSERT_EQ(zt::SendText(0, 7, 0x01, 0, "open 7"), RESULT_OK);
  // Nobody holds channel 7; a release naming no buffer must not open it a second time.
  ASSERT_EQ(zt::Send(zt::MakeMessage(11, 0, MSG_RELEASE, 0, nullptr)), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 7, 0x01, 0, "first"), RESULT_OK);
  const void* first = Kept(1);
  PendingSend second(zt::MakeMessage(4, 7, 0x01, 0, "second", 6));
  EXPECT_TRUE(second.WaitsAtGate(core(), 7)) << "two senders got through one channel";
  // Nor does it give back a gate that a buffer holds.
  ASSERT_EQ(zt::Send(zt::MakeMessage(11, 0, MSG_RELEASE, 0, nullptr)), RESULT_OK);
  EXPECT_TRUE(second.WaitsAtGate(core(), 7));
  Release(first);
  EXPECT_EQ(second.Finish(), RESULT_OK);
  Release(Kept(2));
  Stop();
}

TEST_F(ChannelTest, ReleasesOfBuffersTheCoreDoesNotHoldFreeNothing) {
  ASSERT_EQ(zt::SendText(3, 0, 0x01, 0, "kept"), RESULT_OK);
  const void* kept = Kept(1);
  const char* inside = static_cast<const char*>(kept) + 1;
  zt::LogCapture::Get().Clear();
  EXPECT_EQ(zt::Send(zt::MakeMessage(11, 0, MSG_RELEASE, 0, inside)), RESULT_OK);
  EXPECT_EQ(zt::Send(zt::MakeMessage(12, 0, MSG_RELEASE, 0, kept)), RESULT_OK);  // not a holder
  EXPECT_EQ(zt::Send(zt::MakeMessage(CORE_SOURCE, 0, MSG_RELEASE, 0, kept)), RESULT_OK);
  EXPECT_TRUE(core().BufferRefs().Owns(kept));
  EXPECT_EQ(std::string(static_cast<const char*>(kept), 4), "kept");
  EXPECT_TRUE(zt::LogCapture::Get().Contains("gave back a buffer it does not hold"));
  EXPECT_EQ(Release(kept), RESULT_OK);
  EXPECT_FALSE(core().BufferRefs().Owns(kept));
  EXPECT_EQ(Release(kept), RESULT_OK);  // a second release frees nothing
  Stop();
}

// A plugin that calls back from inside its Write runs on the event handler thread, the only
// thread that gives gates back after deliveries: it must never wait for a gate there.
TEST(EventHandlerGateTest, ACallbackFromInsideADeliveryNeverWaitsForAGate) {
  zt::Installation install;
  const std::string echo = install.AddPlugin("echo.so",
                                             "id 21\nmask 0 0x100\naccepts_write 1\n"
                                             "send write self 5 0x02 0x200 queued-on-held\n"
                                             "send write 0 5 0x04 0x300 broadcast-on-held\n"
                                             "send write self 6 0x02 0x200 queued-on-free\n");
  const std::string reader =
      install.AddPlugin("reader.so", "id 22\nmask 2 0x300\naccepts_read 1\n");
  const std::string second =
      install.AddPlugin("second.so", "id 23\nmask 1 0x200\naccepts_write 1\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 5, 0x08, 0, "open 5"), RESULT_OK);
  ASSERT_EQ(zt::SendText(0, 6, 0x08, 0, "open 6"), RESULT_OK);
  // Holds channel 5 while it is delivered to echo.so.
  ASSERT_EQ(zt::SendText(9, 5, 0x01, 0x100, "trigger"), RESULT_OK);
  const auto sent = EventsNamed(WaitForEvents(echo, "sent", 3), "sent");
  ASSERT_EQ(sent.size(), 3u) << "the event handler waited for a gate";
  EXPECT_EQ(sent[0]["result"], "1");  // refused at once: channel 5 is held by the trigger
  EXPECT_EQ(sent[1]["result"], "0");  // broadcast delivered without waiting
  EXPECT_EQ(sent[2]["result"], "0");  // a free channel is taken as usual
  // The reader hears the start Read and the two channel openings too, each on a thread of its
  // own and in no fixed order: wait for the broadcast itself, not for a number of reads.
  EXPECT_TRUE(zt::WaitUntil([&] {
    for (const Event& read : EventsNamed(ReadEvents(reader), "read")) {
      if (zt::Unhex(read["hex"]) == "broadcast-on-held") return true;
    }
    return false;
  }));
  // The message queued on channel 6 is delivered later in the same drain.
  const auto writes = EventsNamed(WaitForEvents(second, "write"), "write");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(zt::Unhex(writes[0]["hex"]), "queued-on-free");
  harness.Stop();
}

// Once the event handler has ended nobody gives a held gate back: nobody may wait for one.
TEST(EventHandlerGateTest, NobodyWaitsForAGateAfterDeliveryHasEnded) {
  zt::Installation install;
  install.AddPlugin("keeper.so", "id 11\nmask 0 0\naccepts_write 1\nretain 1\n");
  const std::string closer =
      install.AddPlugin("closer.so",
                        "id 31\nsend close self 5 0x02 0 queued-at-close\nsend close 0 5 0x02 0 "
                        "broadcast-at-close\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 5, 0x01, 0, "open 5"), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 5, 0x01, 0, "held for ever"), RESULT_OK);  // kept, never released
  ASSERT_FALSE(WaitForEvents(install.RecordOf("keeper.so"), "write").empty());
  PendingSend waiter(zt::MakeMessage(4, 5, 0x01, 0, "waiter", 6));
  ASSERT_TRUE(waiter.WaitsAtGate(harness.core(), 5));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    harness.Stop();
    stopped = true;
  });
  EXPECT_EQ(waiter.Finish(), RESULT_CHANNEL_REFUSED);
  EXPECT_TRUE(zt::WaitUntil([&] { return stopped.load(); })) << "the stop hangs";
  stopper.join();
  const auto sent = EventsNamed(ReadEvents(closer), "sent");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["result"], "1");
  EXPECT_EQ(sent[1]["result"], "0");
}

// ---------------------------------------------------------------------------------------------
// Buffers: freed exactly once, by whoever drops the last hold.

using CountedBuffers = zt::PayloadScope;

TEST(BufferLifetimeTest, ReleasesRacingTheEventHandlersOwnDropFreeEachBufferOnce) {
  zt::Installation install;
  // One gives every buffer back from inside its Write, the other from its own thread at once:
  // both race the event handler's own drop of each buffer.
  const std::string inlined = install.AddPlugin(
      "inline.so", "id 41\nmask 0 0\naccepts_write 1\nretain 1\nrelease inline\n");
  const std::string threaded = install.AddPlugin(
      "threaded.so", "id 42\nmask 0 0\naccepts_write 1\nretain 1\nrelease thread\n");
  const std::string last = install.AddPlugin("last.so", "id 43\nmask 0 0\naccepts_write 1\n");
  CountedBuffers counted;
  constexpr int kMessages = 400;
  {
    zt::CoreHarness harness(install);
    harness.Start();
    for (int i = 0; i < kMessages; ++i) {
      const std::string text = "message " + std::to_string(i);
      ASSERT_EQ(zt::SendText(9, 0, 0x01, 0, text), RESULT_OK);
    }
    WaitForEvents(last, "write", kMessages);
    harness.Stop();
    EXPECT_EQ(harness.core().BufferRefs().size(), 0u);
  }
  // Every payload reached the last plugin intact although others gave it back before it.
  const auto writes = EventsNamed(ReadEvents(last), "write");
  ASSERT_EQ(writes.size(), static_cast<size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    EXPECT_EQ(zt::Unhex(writes[i]["hex"]), "message " + std::to_string(i));
  }
  EXPECT_EQ(CountedBuffers::released(), CountedBuffers::allocated());
}

TEST(BufferLifetimeTest, APluginWithTheCoresIdCannotEndTheCoresHold) {
  zt::Installation install;
  // Loaded first, it answers every Write by giving the buffer back in the core's name.
  install.AddPlugin("streampi-core.so",
                    "id 0x80000000\nmask 0 0\naccepts_write 1\nretain 1\nrelease inline\n");
  const std::string after = install.AddPlugin("after.so", "id 44\nmask 0 0\naccepts_write 1\n");
  CountedBuffers counted;
  {
    zt::CoreHarness harness(install);
    harness.Start();
    ASSERT_EQ(zt::SendText(9, 0, 0x01, 0, "still here"), RESULT_OK);
    const auto writes = EventsNamed(WaitForEvents(after, "write"), "write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(zt::Unhex(writes[0]["hex"]), "still here");
    harness.Stop();
  }
  EXPECT_EQ(CountedBuffers::released(), CountedBuffers::allocated());
}

TEST(BufferLifetimeTest, BuffersStillHeldAtTheEndAreFreedWithTheCore) {
  zt::Installation install;
  const std::string keeper =
      install.AddPlugin("keeper.so", "id 11\nmask 0 0\naccepts_write 1\nretain 1\n");
  CountedBuffers counted;
  {
    zt::CoreHarness harness(install);
    harness.Start();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(zt::SendText(9, 0, 0x01, 0, "never given back"), 0);
    WaitForEvents(keeper, "write", 5);
    harness.Stop();
    // The keeper holds the five messages and the status document it got by IOCTL.
    EXPECT_EQ(harness.core().BufferRefs().size(), 6u);
    EXPECT_EQ(CountedBuffers::released(), 0);
    harness.Destroy();
  }
  EXPECT_EQ(CountedBuffers::allocated(), 6);
  EXPECT_EQ(CountedBuffers::released(), 6);
}

TEST(BufferLifetimeTest, MessagesQueuedBeforeTheStopAreDeliveredAndLaterOnesRefused) {
  zt::Installation install;
  const std::string slow = install.AddPlugin(
      "slow.so",
      "id 51\nmask 0 0\naccepts_write 1\nsleep write 300\nsend close self 0 0x01 0 late\n");
  CountedBuffers counted;
  {
    zt::CoreHarness harness(install);
    harness.Start();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(zt::SendText(9, 0, 0x01, 0, "queued"), RESULT_OK);
    harness.Stop();
  }
  // Every message queued before the stop was delivered in the last drain. The one sent during
  // Close, after delivery had ended, was refused rather than accepted and dropped; every
  // buffer was freed.
  const auto events = ReadEvents(slow);
  EXPECT_EQ(EventsNamed(events, "write").size(), 3u);
  const auto sent = EventsNamed(events, "sent");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["result"], "1");
  EXPECT_EQ(CountedBuffers::allocated(), 5);  // with the status document
  EXPECT_EQ(CountedBuffers::released(), 5);
}

TEST(BufferLifetimeTest, PluginsThatAnswerEachOtherDoNotHoldTheStopAndLoseNothing) {
  // Each answers every Write with a queued message to the other, for ever: the last drain
  // delivers what was accepted before the stop and refuses the answers sent after it.
  zt::Installation install;
  const std::string ping =
      install.AddPlugin("ping.so",
                        "id 61\nmask 0 0x1\naccepts_write 1\nsend open self 0 0x02 0x2 ball\n"
                        "send write self 0 0x02 0x2 ball\n");
  const std::string pong = install.AddPlugin(
      "pong.so", "id 62\nmask 1 0x2\naccepts_write 1\nsend write self 0 0x01 0x1 ball\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_GE(EventsNamed(WaitForEvents(ping, "write", 50), "write").size(), 50u);
  harness.Stop();  // fails through its watchdog if the last drain never ends
  const auto accepted = [](const std::string& record) {
    size_t count = 0;
    for (const Event& sent : EventsNamed(ReadEvents(record), "sent"))
      count += sent["result"] == "0";
    return count;
  };
  EXPECT_EQ(EventsNamed(ReadEvents(pong), "write").size(), accepted(ping));
  EXPECT_EQ(EventsNamed(ReadEvents(ping), "write").size(), accepted(pong));
}

// Stands in for malloc and free while one buffer is given back: its release stops until a new
// payload has been made at the very same address (as malloc may hand a freed address out
// again) and that payload's message has taken its channel.
struct AddressReuse {
  static std::atomic<void*> watched;
  static std::atomic<bool> inRelease, reused, newHolderQueued;
  static void* Allocate(size_t size) {
    if (inRelease && !reused.exchange(true)) return watched.load();
    return std::malloc(size);
  }
  static void Release(void* buffer) {
    if (buffer != watched.load()) {
      std::free(buffer);
      return;
    }
    inRelease = true;
    zt::WaitUntil([] { return newHolderQueued.load(); }, 5000);
    // Not freed: the address now belongs to the new message's payload.
  }
};
std::atomic<void*> AddressReuse::watched{nullptr};
std::atomic<bool> AddressReuse::inRelease{false};
std::atomic<bool> AddressReuse::reused{false};
std::atomic<bool> AddressReuse::newHolderQueued{false};

TEST_F(ChannelTest, GatesAreGivenBackBeforeTheirBufferIsFreed) {
  ASSERT_EQ(zt::SendText(0, 5, 0x01, 0, "open 5"), RESULT_OK);
  ASSERT_EQ(zt::SendText(0, 6, 0x01, 0, "open 6"), RESULT_OK);
  ASSERT_EQ(zt::SendText(3, 5, 0x01, 0, "on five"), RESULT_OK);
  void* first = const_cast<void*>(Kept(1));
  ASSERT_NE(first, nullptr);
  AddressReuse::watched = first;
  const PayloadFunctions previous =
      SetPayloadFunctions({AddressReuse::Allocate, AddressReuse::Release});
  // The keeper gives the first buffer back. Were the buffer freed before its gate is given
  // back, a message on channel 6 could get the same address and take channel 6 in between,
  // and the late "give back every gate of this buffer" would then open channel 6 under it.
  std::thread releaser([&] { Release(first); });
  ASSERT_TRUE(zt::WaitUntil([] { return AddressReuse::inRelease.load(); }));
  PendingSend onSix(zt::MakeMessage(4, 6, 0x01, 0, "on six", 6));
  EXPECT_EQ(onSix.Finish(), RESULT_OK);
  EXPECT_TRUE(AddressReuse::reused.load());
  AddressReuse::newHolderQueued = true;
  releaser.join();
  SetPayloadFunctions(previous);
  // Channel 6 is held by the kept message "on six": the next sender on it waits.
  PendingSend nextOnSix(zt::MakeMessage(4, 6, 0x01, 0, "next on six", 11));
  EXPECT_TRUE(nextOnSix.WaitsAtGate(core(), 6)) << "channel 6 was given back under its holder";
  Release(Kept(2));
  EXPECT_EQ(nextOnSix.Finish(), RESULT_OK);
  Release(Kept(3));
  Stop();
}

TEST(QueueBoundTest, AProducerFasterThanItsConsumerMeetsTheBoundAndLosesNothingAccepted) {
  // The consumer's Write waits until the test lets it go; the producer sends 64 KiB messages
  // until the queue's bound of 1 MiB answers RESULT_NO_MEMORY.
  zt::Installation install;
  const std::string go = install.dir() + "/go";
  const std::string record =
      install.AddPlugin("slow.so", "id 1\naccepts_write 1\nmask 0 0\nawait write " + go + "\n");
  zt::CoreHarness harness(install);
  CoreLimits limits;
  limits.maxQueuedBytes = 1 << 20;
  harness.core().SetLimits(limits);
  harness.Start();
  zt::LogCapture::Get().Clear();
  std::string payload(64 << 10, '.');
  const auto send = [&payload](int n) {
    const std::string head = "message " + std::to_string(n) + " ";
    payload.replace(0, head.size(), head);
    return zt::Send(
        zt::MakeMessage(9, 0, 0x01, 0, payload.data(), static_cast<uint32_t>(payload.size())));
  };
  int accepted = 0;
  int result = RESULT_OK;
  while (accepted < 200 && (result = send(accepted)) == RESULT_OK) ++accepted;
  ASSERT_EQ(result, RESULT_NO_MEMORY) << accepted << " accepted and never a refusal";
  EXPECT_GE(accepted, 15);
  EXPECT_LE(harness.core().QueuedBytes(), limits.maxQueuedBytes);
  EXPECT_EQ(send(999), RESULT_NO_MEMORY) << "the queue is still full";
  EXPECT_TRUE(zt::LogCapture::Get().Contains("from plugin 9 is refused (no memory)"));

  // Let the consumer go: everything accepted arrives, in order, and the queue takes messages
  // again.
  zt::WriteFile(go, "");
  const auto writes = EventsNamed(WaitForEvents(record, "write", accepted), "write");
  ASSERT_EQ(writes.size(), static_cast<size_t>(accepted));
  EXPECT_TRUE(zt::WaitUntil([&] { return harness.core().QueuedBytes() == 0; }));
  EXPECT_EQ(send(accepted), RESULT_OK);
  WaitForEvents(record, "write", accepted + 1);
  harness.Stop();
  const std::vector<std::string> payloads = zt::Payloads(record, "write");
  ASSERT_EQ(payloads.size(), static_cast<size_t>(accepted + 1));
  for (int n = 0; n <= accepted; ++n) {
    const std::string head = "message " + std::to_string(n) + " ";
    EXPECT_EQ(payloads[n].compare(0, head.size(), head), 0) << n;
  }
}

TEST(ForkedChildTest, TheCallbackInAForkedChildIsRefusedWithoutTouchingTheCore) {
  // The child of a fork without exec holds a copy of the Core with no thread to deliver and,
  // perhaps, copies of locks that other threads held: its sends are refused at once. The
  // receiver never sees them.
  zt::Installation install;
  const std::string forker =
      install.AddPlugin("forker.so", "id 1\naccepts_read 1\nmask 0 0\nfork_send read\n");
  const std::string receiver =
      install.AddPlugin("receiver.so", "id 2\naccepts_write 1\nmask 0 0\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_EQ(zt::SendText(0, 0, 0x01, 0, "fork now"), RESULT_OK);
  const auto forks = EventsNamed(WaitForEvents(forker, "fork_send"), "fork_send");
  ASSERT_EQ(forks.size(), 1u);
  EXPECT_EQ(forks[0]["result"], std::to_string(RESULT_CHANNEL_REFUSED));
  // The server itself is untouched: a message of the parent's still arrives.
  ASSERT_EQ(zt::SendText(1, 0, 0x01, 0, "from parent"), RESULT_OK);
  WaitForEvents(receiver, "write");
  harness.Stop();
  EXPECT_EQ(zt::Payloads(receiver, "write"), std::vector<std::string>{"from parent"});
}

TEST(HeldGateTest, AKeptBufferThatHoldsItsChannelIsNamedWhileItDoesAndAtStop) {
  zt::CalendarScope clock(1000000, 0);  // counts the scheduler's passes
  zt::Installation install;
  install.AddPlugin("keeper.so", "id 12\naccepts_write 1\nmask 2 0x08000001\nretain 1\n");
  zt::CoreHarness harness(install);
  CoreLimits limits;
  limits.gateHeldWarningMs = 300;
  harness.core().SetLimits(limits);
  harness.Start();
  zt::LogCapture::Get().Clear();
  ASSERT_EQ(zt::SendText(0, 5, 0x04, 0x04000004, "open"), RESULT_OK);
  ASSERT_EQ(zt::SendText(9, 5, 0x04, 0x04000001, "frame"), RESULT_OK);
  // How long it has been held depends on when the scheduler's pass looked.
  const std::string holder =
      " s by a message of code 0x04000001 that keeper.so (id 12) has not given back; its next "
      "sender waits until then";
  const auto count = [](const std::string& text, const std::string& also = "") {
    size_t n = 0;
    for (const std::string& line : zt::LogCapture::Get().Lines()) {
      n += line.find(text) == 0 && line.find(also) != std::string::npos;
    }
    return n;
  };
  ASSERT_TRUE(zt::WaitUntil([&] { return count("channel 5 has been held for") > 0; }));
  EXPECT_EQ(count("channel 5 has been held for ", holder), 1u)
      << zt::LogCapture::Get().Lines().back();
  ASSERT_TRUE(clock.WaitForLooks(25));  // two and a half seconds more of the same message
  EXPECT_EQ(count("channel 5 has been held for"), 1u) << "once per held message";
  harness.Stop();
  EXPECT_EQ(count("plugin keeper.so (id 12) still holds 2 buffer(s) after Close (channels 0 5; "
                  "codes 0x01000010 0x04000001)"),
            1u)
      << "the status document is kept too";
}

}  // namespace
