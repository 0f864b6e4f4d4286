// The example plugins, each inside the real core through the plugin test harness
// (<zentserver/harness.h>), as a plugin author tests a plugin: the camera's announcement and
// frames, its back-pressure and a refused frame; the recorder's file and its buffers; the
// monitor's output. Then the demo as scripts/run starts it: the server with the three plugins,
// the recording checked by a decoder that is not ours (ffprobe).
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <zentserver/harness.h>

#include <gtest/gtest.h>

#include "demo_protocol.h"
#include "support/run_command.h"
#include "support/test_support.h"

namespace {

constexpr unsigned kWidth = 320, kHeight = 240;

std::string DemoPlugin(const std::string& name) {
  return std::string(ZENT_DEMO_DIR) + "/plugins/" + name;
}

// The number a picture shows in its code strip (demo_protocol.h).
uint32_t PictureNumber(const unsigned char* picture, unsigned width) {
  uint32_t number = 0;
  const unsigned block = width / DEMO_CODE_BITS;
  const unsigned char* row = picture + (DEMO_CODE_ROWS / 2) * width;
  for (unsigned bit = 0; bit < DEMO_CODE_BITS; ++bit) {
    number = (number << 1) | (row[bit * block + block / 2] > 128 ? 1u : 0u);
  }
  return number;
}

// A grey picture of kWidth x kHeight that shows number in its code strip, as the camera draws.
std::string Picture(uint32_t number) {
  std::string picture(DEMO_FRAME_BYTES(kWidth, kHeight), static_cast<char>(128));
  const unsigned block = kWidth / DEMO_CODE_BITS;
  for (unsigned y = 0; y < DEMO_CODE_ROWS; ++y) {
    for (unsigned x = 0; x < kWidth; ++x) {
      const bool one = ((number >> (DEMO_CODE_BITS - 1 - x / block)) & 1u) != 0;
      picture[y * kWidth + x] = static_cast<char>(one ? DEMO_Y_WHITE : DEMO_Y_BLACK);
    }
  }
  return picture;
}

struct RecorderReport {
  std::string file;
  unsigned written = 0, kept = 0, givenBack = 0, lost = 0, refused = 0;
  bool found = false;
};

// The recorder's last line.
RecorderReport ParseRecorder(const std::string& out) {
  RecorderReport report;
  const size_t at = out.rfind("recorder: closed ");
  if (at == std::string::npos) return report;
  char file[256] = {};
  report.found =
      std::sscanf(out.c_str() + at,
                  "recorder: closed %255s with %u frames (kept %u, given back %u, lost %u, "
                  "refused %u)",
                  file, &report.written, &report.kept, &report.givenBack, &report.lost,
                  &report.refused) == 6;
  report.file = file;
  return report;
}

// A YUV4MPEG2 file as the recorder writes it, with the number each picture shows.
struct Y4m {
  unsigned width = 0, height = 0;
  std::string rate;
  std::vector<uint32_t> numbers;
  std::string error;
};

Y4m ReadY4m(const std::string& path) {
  Y4m y4m;
  const std::string bytes = zt::ReadFile(path);
  const size_t headerEnd = bytes.find('\n');
  char rate[32] = {};
  if (headerEnd == std::string::npos ||
      std::sscanf(bytes.c_str(), "YUV4MPEG2 W%u H%u F%31s", &y4m.width, &y4m.height, rate) != 3) {
    y4m.error = "no YUV4MPEG2 header";
    return y4m;
  }
  y4m.rate = rate;
  const size_t pictureBytes = DEMO_FRAME_BYTES(y4m.width, y4m.height);
  for (size_t at = headerEnd + 1; at < bytes.size();) {
    const size_t pictureAt = bytes.find('\n', at) + 1;
    if (bytes.compare(at, 5, "FRAME") != 0 || pictureAt == 0 ||
        pictureAt + pictureBytes > bytes.size()) {
      y4m.error = "no whole frame at byte " + std::to_string(at);
      return y4m;
    }
    y4m.numbers.push_back(
        PictureNumber(reinterpret_cast<const unsigned char*>(bytes.data() + pictureAt), y4m.width));
    at = pictureAt + pictureBytes;
  }
  return y4m;
}

// One example plugin inside the core, with what it prints captured (and still shown).
class ExampleTest : public ::testing::Test {
 protected:
  ExampleTest() {
    zh_options_init(&options_);
    options_.stdout_mode = ZH_OUTPUT_TEE;
    options_.stderr_mode = ZH_OUTPUT_TEE;
  }
  ~ExampleTest() override { zh_free(h_); }

  zh_started Start(const std::string& plugin) {
    zh_started started;
    h_ = zh_start(DemoPlugin(plugin).c_str(), &options_, &started);
    EXPECT_NE(h_, nullptr) << started.reason;
    return started;
  }
  // Stops it; what it printed meanwhile. A violation fails the test.
  std::string Stop() {
    zh_report report;
    EXPECT_EQ(zh_stop(h_, &report), ZH_OK);
    for (size_t i = 0; i < report.violation_count; ++i) {
      ADD_FAILURE() << zh_violation_name(report.violations[i].kind) << ": "
                    << report.violations[i].text;
    }
    return zh_output(h_, 1, nullptr);
  }
  bool WaitOutput(const std::string& text) {
    return zh_wait_output(h_, 1, text.c_str(), zt::kWaitMs) == ZH_OK;
  }
  int32_t Send(uint32_t source, uint32_t flags, uint32_t code, const void* data, size_t length,
               uint32_t channel = DEMO_FRAME_CHANNEL) {
    const Message message =
        zh_message(source, channel, flags, code, data, static_cast<uint32_t>(length));
    return zh_send(h_, &message);
  }
  // A frame as the camera sends it, from the probe.
  int32_t SendFrame(uint32_t sequence, uint32_t channel = DEMO_FRAME_CHANNEL) {
    const std::string picture = Picture(sequence);
    Message message = zh_message(options_.probe_id, channel, DEMO_VIDEO_FLAG, DEMO_CODE_FRAME,
                                 picture.data(), static_cast<uint32_t>(picture.size()));
    const DemoFrameInfo info = {DEMO_FRAME_MAGIC, DEMO_CAMERA_ID, sequence, kWidth, kHeight, 25};
    std::memcpy(message.extra, &info, sizeof info);
    return zh_send(h_, &message);
  }
  int32_t SendAnnouncement() {
    const DemoStreamInfo stream = {
        DEMO_STREAM_MAGIC, DEMO_CAMERA_ID, DEMO_FRAME_CHANNEL, kWidth, kHeight, 25};
    return Send(0, DEMO_VIDEO_FLAG, DEMO_CODE_STREAM, &stream, sizeof stream);
  }
  // The next message the plugin sends that is not a release (or is, with releases).
  bool Next(zh_sent* sent, bool releases = false) {
    const auto pick = [](const zh_sent* s, void* all) {
      return *static_cast<bool*>(all) || s->message.flags != MSG_RELEASE ? 1 : 0;
    };
    return zh_wait_for(h_, pick, &releases, sent, zt::kWaitMs) == ZH_OK;
  }

  zt::TempDir dir_;
  zh_options options_;
  zh_harness* h_ = nullptr;
};

using CameraTest = ExampleTest;

TEST_F(CameraTest, AnnouncesItsStreamThenSendsEveryFrameNumberedOnItsChannel) {
  const zt::ScopedEnv frames("ZENT_DEMO_FRAMES", "5");
  const zh_started started = Start("camera.so");
  ASSERT_EQ(started.status, ZH_ACCEPTED) << started.reason;
  EXPECT_EQ(started.info.id, DEMO_CAMERA_ID);
  EXPECT_NE(started.info.acceptsRead, 0) << "for the start Read";

  zh_sent sent;
  ASSERT_TRUE(Next(&sent));
  EXPECT_EQ(sent.message.source, 0u) << "a broadcast";
  EXPECT_EQ(sent.message.code, DEMO_CODE_STREAM);
  ASSERT_EQ(sent.message.length, sizeof(DemoStreamInfo));
  DemoStreamInfo stream;
  std::memcpy(&stream, sent.message.data, sizeof stream);
  EXPECT_EQ(stream.magic, DEMO_STREAM_MAGIC);
  EXPECT_EQ(stream.channel, DEMO_FRAME_CHANNEL);
  EXPECT_EQ(stream.width, kWidth);
  EXPECT_EQ(sent.entry, ZH_ENTRY_NONE) << "from the camera's own thread";
  for (uint32_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(Next(&sent));
    EXPECT_EQ(sent.message.source, DEMO_CAMERA_ID);
    EXPECT_EQ(sent.message.channel, DEMO_FRAME_CHANNEL);
    EXPECT_EQ(sent.message.code, DEMO_CODE_FRAME);
    EXPECT_EQ(sent.result, RESULT_OK);
    DemoFrameInfo info;
    std::memcpy(&info, sent.message.extra, sizeof info);
    EXPECT_EQ(info.sequence, i);
    ASSERT_EQ(sent.message.length, DEMO_FRAME_BYTES(kWidth, kHeight));
    EXPECT_EQ(PictureNumber(static_cast<const unsigned char*>(sent.message.data), kWidth), i);
  }
  EXPECT_TRUE(WaitOutput("camera: sent all 5 frames"));
  EXPECT_NE(Stop().find("camera: stopped after 5 frames sent, 0 refused"), std::string::npos);
}

TEST_F(CameraTest, WaitsWhileItsChannelIsHeldAndLosesNoFrame) {
  // The probe keeps the frames it receives, as a slow recorder keeps them.
  options_.probe_accepts_write = 1;
  options_.probe_masks[DEMO_VIDEO_CLASS] = DEMO_FRAME_MATCH;
  options_.probe_keeps = 1;
  const zt::ScopedEnv frames("ZENT_DEMO_FRAMES", "3");
  ASSERT_EQ(Start("camera.so").status, ZH_ACCEPTED);
  zh_sent sent;
  ASSERT_TRUE(Next(&sent));  // the announcement
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(Next(&sent));
    DemoFrameInfo info;
    std::memcpy(&info, sent.message.extra, sizeof info);
    EXPECT_EQ(info.sequence, i);
    EXPECT_EQ(sent.result, RESULT_OK);
    if (i < 2) {
      // The next frame waits for the channel; once the probe gives the frame back, it passes.
      EXPECT_EQ(zh_next(h_, &sent, 300), ZH_TIMEOUT);
      EXPECT_TRUE(zt::WaitUntil([&] { return zh_release_kept(h_) == 1; }));
    }
  }
  ASSERT_TRUE(WaitOutput("camera: sent all 3 frames"));
  unsigned sentFrames = 0, refused = 0, heldBack = 0;
  const std::string out = Stop();
  ASSERT_EQ(std::sscanf(out.c_str() + out.find("camera: stopped"),
                        "camera: stopped after %u frames sent, %u refused, held back %u times",
                        &sentFrames, &refused, &heldBack),
            3)
      << out;
  EXPECT_EQ(sentFrames, 3u);
  EXPECT_EQ(refused, 0u);
  // The camera counts a send held back when it took longer than a frame's period: one that
  // reached the held channel only just before the release is not counted, and one the machine
  // was slow to schedule is.
  EXPECT_GE(heldBack, 1u);
}

TEST_F(CameraTest, AFrameTheCoreCannotTakeIsLostButNotItsNumber) {
  const zt::ScopedEnv frames("ZENT_DEMO_FRAMES", "2");
  // The start Read is made by the test, once the first frame's copy is to fail.
  options_.start_read = 0;
  ASSERT_EQ(Start("camera.so").status, ZH_ACCEPTED);
  ASSERT_EQ(zh_fail_allocations(h_, 1), ZH_OK);
  ASSERT_EQ(zh_read(h_, nullptr, 0, 0, nullptr, nullptr), ZH_OK);
  zh_sent sent;
  ASSERT_TRUE(Next(&sent));  // the announcement
  const int32_t results[] = {RESULT_NO_MEMORY, RESULT_OK, RESULT_OK};
  const uint32_t sequences[] = {0, 0, 1};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Next(&sent));
    DemoFrameInfo info;
    std::memcpy(&info, sent.message.extra, sizeof info);
    EXPECT_EQ(sent.result, results[i]) << i;
    EXPECT_EQ(info.sequence, sequences[i]) << i;
  }
  ASSERT_TRUE(WaitOutput("camera: sent all 2 frames"));
  EXPECT_NE(Stop().find("camera: stopped after 2 frames sent, 1 refused"), std::string::npos);
}

TEST_F(CameraTest, RefusesSettingsItCannotUse) {
  const zt::ScopedEnv size("ZENT_DEMO_SIZE", "7x7");
  const zh_started started = Start("camera.so");
  EXPECT_EQ(started.status, ZH_REJECTED);
  EXPECT_STREQ(started.reason, "Load returned 0 with error 1");
  EXPECT_EQ(started.info.error, 1);
  Stop();
  EXPECT_NE(std::string(zh_output(h_, 2, nullptr)).find("camera: ZENT_DEMO_SIZE=7x7: need WxH"),
            std::string::npos);
}

using RecorderTest = ExampleTest;

TEST_F(RecorderTest, KeepsEachFrameWritesItInOrderAndGivesItBack) {
  const zt::ScopedEnv recordings("ZENT_RECORDINGS_DIR", dir_ / "rec");
  const zh_started started = Start("recorder.so");
  ASSERT_EQ(started.status, ZH_ACCEPTED) << started.reason;
  EXPECT_EQ(started.info.classMasks[DEMO_VIDEO_CLASS], DEMO_FRAME_MATCH);
  ASSERT_EQ(SendAnnouncement(), RESULT_OK);  // opens the channel
  for (uint32_t i = 0; i < 5; ++i) {
    // Each send waits until the recorder gave the frame before it back.
    ASSERT_EQ(SendFrame(i), RESULT_OK);
    zh_sent sent;
    ASSERT_TRUE(Next(&sent, true));
    EXPECT_EQ(sent.message.flags, MSG_RELEASE);
    EXPECT_EQ(sent.message.source, DEMO_RECORDER_ID);
    EXPECT_EQ(sent.result, RESULT_OK);
  }
  // What is not a frame it understands, it does not keep; its Write called directly.
  Message other = zh_message(options_.probe_id, 0, DEMO_VIDEO_FLAG, DEMO_CODE_STREAM, "x", 1);
  WriteReply reply;
  ASSERT_EQ(zh_write(h_, &other, &reply, nullptr), ZH_OK);
  EXPECT_EQ(reply.retained, 0u);

  const RecorderReport recorder = ParseRecorder(Stop());
  ASSERT_TRUE(recorder.found);
  EXPECT_EQ(recorder.written, 5u);
  EXPECT_EQ(recorder.givenBack, 5u);
  EXPECT_EQ(recorder.lost, 0u);
  EXPECT_EQ(recorder.file.rfind(dir_ / "rec/demo-", 0), 0u) << recorder.file;
  const Y4m y4m = ReadY4m(recorder.file);
  ASSERT_EQ(y4m.error, "");
  EXPECT_EQ(y4m.width, kWidth);
  EXPECT_EQ(y4m.rate, "25:1");
  EXPECT_EQ(y4m.numbers, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST_F(RecorderTest, StoppedWhileFramesWaitForTheDiskLeavesACompleteFileAndNoBufferKept) {
  const zt::ScopedEnv recordings("ZENT_RECORDINGS_DIR", dir_ / "rec");
  const zt::ScopedEnv slow("ZENT_DEMO_WRITE_DELAY_MS", "100");
  ASSERT_EQ(Start("recorder.so").status, ZH_ACCEPTED);
  // On no channel: all three are queued at once and wait in the recorder for the slow disk.
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(SendFrame(i, 0), RESULT_OK);
  const RecorderReport recorder = ParseRecorder(Stop());
  ASSERT_TRUE(recorder.found);
  EXPECT_EQ(recorder.written, 3u);
  EXPECT_EQ(recorder.givenBack, 3u);
  EXPECT_EQ(ReadY4m(recorder.file).numbers, (std::vector<uint32_t>{0, 1, 2}));
}

using MonitorTest = ExampleTest;

TEST_F(MonitorTest, PrintsTheStatusDocumentStreamsClockJumpsAndTheFramesItCounts) {
  options_.wall_clock = 2000000;
  ASSERT_EQ(Start("monitor.so").status, ZH_ACCEPTED);
  EXPECT_TRUE(WaitOutput("monitor: the status document lists 3 plugins"));
  EXPECT_TRUE(WaitOutput("103         0x00000067         0"));
  EXPECT_EQ(SendAnnouncement(), RESULT_OK);
  EXPECT_TRUE(WaitOutput("monitor: camera 101 streams 320x240 at 25 fps on channel 7"));
  ASSERT_EQ(zh_jump_clock(h_, 3600), ZH_OK);
  EXPECT_TRUE(WaitOutput("monitor: clock: system time changed by 3600 seconds"));
  EXPECT_EQ(Send(options_.probe_id, DEMO_VIDEO_FLAG, DEMO_CODE_FRAME, "12345678", 8, 0), RESULT_OK);
  EXPECT_TRUE(WaitOutput("in all 1 frames, 8 bytes"));
  Stop();
}

// A copy of the demo directory that scripts/run starts: the server and plugins/ beside it.
class DemoDir {
 public:
  DemoDir() {
    zt::CopyFile(std::string(ZENT_DEMO_DIR) + "/zentserver", exe());
    zt::MakeDirectory(dir_ / "plugins");
    for (const char* plugin : {"camera.so", "recorder.so", "monitor.so"}) {
      zt::CopyFile(DemoPlugin(plugin), dir_ / "plugins" + "/" + plugin);
    }
  }
  std::string path() const { return dir_.path(); }
  std::string exe() const { return dir_ / "zentserver"; }

 private:
  zt::TempDir dir_;
};

// What ffprobe decodes from the file: the first video stream.
nlohmann::json Probe(const std::string& path) {
  const zt::CommandResult probe = zt::RunCommand(
      ZENT_FFPROBE, {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                     "stream=width,height,pix_fmt,nb_read_frames", "-of", "json", path});
  EXPECT_EQ(probe.exitCode, 0) << probe.Describe();
  const nlohmann::json json = nlohmann::json::parse(probe.out, nullptr, false);
  if (json.is_discarded() || !json.contains("streams") || json["streams"].empty()) {
    ADD_FAILURE() << "ffprobe gave no stream:\n" << probe.Describe();
    return nlohmann::json::object();
  }
  return json["streams"][0];
}

TEST(DemoTest, RecordsEveryFrameTheCameraSentIntoAFileThatDecodes) {
  DemoDir demo;
  zt::ServerProcess server(demo.exe(), {"-d"}, demo.path(), {"ZENT_DEMO_FRAMES=50"});
  ASSERT_TRUE(server.WaitForStdout("camera: sent all 50 frames"))
      << server.Stdout() << server.Stderr();
  // The monitor saw the frames pass (it prints once a second) before the stop.
  ASSERT_TRUE(server.WaitForStdout("; in all 50 frames, 5760000 bytes")) << server.Stdout();
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  const std::string out = server.Stdout();
  EXPECT_NE(out.find("camera: stopped after 50 frames sent, 0 refused"), std::string::npos) << out;

  const RecorderReport recorder = ParseRecorder(out);
  ASSERT_TRUE(recorder.found) << out;
  EXPECT_EQ(recorder.written, 50u);
  EXPECT_EQ(recorder.givenBack, recorder.kept) << "a kept buffer was never given back";
  EXPECT_EQ(recorder.lost, 0u);
  const std::string file = demo.path() + "/" + recorder.file;
  const nlohmann::json stream = Probe(file);
  EXPECT_EQ(stream.value("width", 0), 320);
  EXPECT_EQ(stream.value("height", 0), 240);
  EXPECT_EQ(stream.value("pix_fmt", ""), "yuv420p");
  EXPECT_EQ(stream.value("nb_read_frames", ""), "50");
  const Y4m y4m = ReadY4m(file);
  ASSERT_EQ(y4m.error, "");
  ASSERT_EQ(y4m.numbers.size(), 50u);
  for (uint32_t i = 0; i < y4m.numbers.size(); ++i) {
    ASSERT_EQ(y4m.numbers[i], i) << "frame " << i << " of the file shows another number";
  }

  // The monitor's table lists the core and the three plugins with their identifiers.
  for (const char* row : {"2147483648  0x80000000", "101         0x00000065",
                          "102         0x00000066", "103         0x00000067"}) {
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
  }
  const std::string err = server.Stderr();
  EXPECT_EQ(err.find("does not hold"), std::string::npos) << err;
  EXPECT_EQ(err.find("load returned"), std::string::npos) << err;
}

}  // namespace
