// The example plugins as the demo runs them: the server with camera, recorder and monitor in
// a copy of the staged demo directory, the recording checked by a decoder that is not ours
// (ffprobe) and by reading every frame's number back from its picture.
#include <cstdio>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <gtest/gtest.h>

#include "demo_protocol.h"
#include "support/core_harness.h"
#include "support/run_command.h"
#include "support/test_support.h"

namespace {

const char* const kPlugins[] = {"camera.so", "recorder.so", "monitor.so"};

// A copy of the demo directory that scripts/run starts: the server and plugins/ beside it.
class DemoDir {
 public:
  DemoDir() {
    zt::CopyFile(std::string(ZENT_DEMO_DIR) + "/zentserver", exe());
    zt::MakeDirectory(dir_ / "plugins");
    for (const char* plugin : kPlugins) {
      zt::CopyFile(std::string(ZENT_DEMO_DIR) + "/plugins/" + plugin,
                   dir_ / "plugins" + "/" + plugin);
    }
  }
  std::string path() const { return dir_.path(); }
  std::string exe() const { return dir_ / "zentserver"; }

 private:
  zt::TempDir dir_;
};

// The line of out that starts with prefix, or "".
std::string LineStarting(const std::string& out, const std::string& prefix) {
  size_t at = out.rfind("\n" + prefix);
  if (at == std::string::npos) return out.compare(0, prefix.size(), prefix) == 0 ? out : "";
  size_t end = out.find('\n', at + 1);
  return out.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// The number of frames the monitor has counted so far, from its last report.
unsigned FramesCounted(const std::string& out) {
  const size_t at = out.rfind("; in all ");
  return at == std::string::npos ? 0 : std::stoul(out.substr(at + 9));
}

struct CameraReport {
  unsigned sent = 0, refused = 0, heldBack = 0;
  double heldMs = 0, tookMs = 0;
  bool found = false;
};

CameraReport ParseCamera(const std::string& out) {
  CameraReport report;
  const std::string line = LineStarting(out, "camera: stopped after");
  report.found =
      std::sscanf(line.c_str(),
                  "camera: stopped after %u frames sent, %u refused, held back %u times for %lf "
                  "ms, took %lf ms",
                  &report.sent, &report.refused, &report.heldBack, &report.heldMs,
                  &report.tookMs) == 5;
  return report;
}

struct RecorderReport {
  std::string file;
  unsigned written = 0, kept = 0, givenBack = 0, lost = 0, refused = 0;
  bool found = false;
};

RecorderReport ParseRecorder(const std::string& out) {
  RecorderReport report;
  const std::string line = LineStarting(out, "recorder: closed ");
  char file[256] = {};
  report.found =
      std::sscanf(line.c_str(),
                  "recorder: closed %255s with %u frames (kept %u, given back %u, lost %u, "
                  "refused %u)",
                  file, &report.written, &report.kept, &report.givenBack, &report.lost,
                  &report.refused) == 6;
  report.file = file;
  return report;
}

// A YUV4MPEG2 file as the recorder writes it, with the number each picture shows in its code
// strip.
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
  const unsigned block = y4m.width / DEMO_CODE_BITS;
  for (size_t at = headerEnd + 1; at < bytes.size();) {
    if (bytes.compare(at, 5, "FRAME") != 0) {
      y4m.error = "no FRAME marker at byte " + std::to_string(at);
      return y4m;
    }
    const size_t pictureAt = bytes.find('\n', at) + 1;
    if (pictureAt == 0 || pictureAt + pictureBytes > bytes.size()) {
      y4m.error = "truncated frame at byte " + std::to_string(at);
      return y4m;
    }
    uint32_t number = 0;
    const size_t row = pictureAt + (DEMO_CODE_ROWS / 2) * y4m.width;
    for (unsigned bit = 0; bit < DEMO_CODE_BITS; ++bit) {
      const auto luma = static_cast<unsigned char>(bytes[row + bit * block + block / 2]);
      number = (number << 1) | (luma > 128 ? 1u : 0u);
    }
    y4m.numbers.push_back(number);
    at = pictureAt + pictureBytes;
  }
  return y4m;
}

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

// Checks that the recording is what the recorder says it wrote, frame by frame in sending
// order, and that no kept buffer was left with the recorder.
void ExpectCompleteRecording(const DemoDir& demo, const RecorderReport& recorder,
                             unsigned expectedFrames) {
  ASSERT_TRUE(recorder.found);
  EXPECT_EQ(recorder.written, expectedFrames);
  EXPECT_EQ(recorder.kept, recorder.written);
  EXPECT_EQ(recorder.givenBack, recorder.kept) << "a kept buffer was never given back";
  EXPECT_EQ(recorder.lost, 0u);
  const std::string file =
      recorder.file[0] == '/' ? recorder.file : demo.path() + "/" + recorder.file;

  const nlohmann::json stream = Probe(file);
  EXPECT_EQ(stream.value("width", 0), 320);
  EXPECT_EQ(stream.value("height", 0), 240);
  EXPECT_EQ(stream.value("pix_fmt", ""), "yuv420p");
  EXPECT_EQ(stream.value("nb_read_frames", ""), std::to_string(expectedFrames));

  const Y4m y4m = ReadY4m(file);
  ASSERT_EQ(y4m.error, "");
  EXPECT_EQ(y4m.rate, "25:1");
  ASSERT_EQ(y4m.numbers.size(), expectedFrames);
  for (uint32_t i = 0; i < y4m.numbers.size(); ++i) {
    ASSERT_EQ(y4m.numbers[i], i) << "frame " << i << " of the file shows another number";
  }
}

void ExpectNoCoreComplaints(const zt::ServerProcess& server) {
  const std::string err = server.Stderr();
  EXPECT_EQ(err.find("does not hold"), std::string::npos) << err;
  EXPECT_EQ(err.find("Couldn't find symbol"), std::string::npos) << err;
  EXPECT_EQ(err.find("load returned"), std::string::npos) << err;
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

  const CameraReport camera = ParseCamera(out);
  ASSERT_TRUE(camera.found) << out;
  EXPECT_EQ(camera.sent, 50u);
  EXPECT_EQ(camera.refused, 0u);
  ExpectCompleteRecording(demo, ParseRecorder(out), 50);

  // The monitor's table lists the core and the three plugins with their identifiers.
  EXPECT_NE(out.find("2147483648  0x80000000"), std::string::npos) << out;
  for (const char* row :
       {"101         0x00000065", "102         0x00000066", "103         0x00000067"}) {
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
  }
  EXPECT_NE(out.find("monitor: camera 101 streams 320x240 at 25 fps on channel 7"),
            std::string::npos)
      << out;
  ExpectNoCoreComplaints(server);
}

TEST(DemoTest, TheChannelHoldsTheCameraBackWhileTheRecorderIsSlow) {
  // The recorder needs 150 ms a frame; the camera would send one every 40 ms.
  constexpr unsigned kFrames = 15;
  constexpr double kWriteMs = 150;
  DemoDir demo;
  // And the recordings go where the environment says, as for the installed service.
  zt::TempDir state;
  zt::ServerProcess server(demo.exe(), {"-d"}, demo.path(),
                           {"ZENT_DEMO_FRAMES=15", "ZENT_DEMO_WRITE_DELAY_MS=150",
                            "ZENT_RECORDINGS_DIR=" + state / "rec"});
  ASSERT_TRUE(server.WaitForStdout("camera: sent all 15 frames")) << server.Stdout();
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  const std::string out = server.Stdout();

  const CameraReport camera = ParseCamera(out);
  ASSERT_TRUE(camera.found) << out;
  EXPECT_EQ(camera.sent, kFrames);
  EXPECT_EQ(camera.refused, 0u);
  // Each send after the first waited until the recorder gave the previous frame back.
  EXPECT_GE(camera.heldBack, 10u) << out;
  EXPECT_GE(camera.tookMs, (kFrames - 1) * kWriteMs) << out;
  // Held back, not dropped: every frame is in the file, in order.
  const RecorderReport recorder = ParseRecorder(out);
  EXPECT_EQ(recorder.file.rfind(state / "rec/demo-", 0), 0u) << out;
  ExpectCompleteRecording(demo, recorder, kFrames);
  ExpectNoCoreComplaints(server);
}

TEST(DemoTest, StoppingWhileAFrameIsInFlightLeavesACompleteFileAndNoKeptBuffer) {
  // As scripts/run ends: a key press at any moment, here while the slow recorder holds a frame.
  DemoDir demo;
  zt::ServerProcess server(demo.exe(), {"-d"}, demo.path(), {"ZENT_DEMO_WRITE_DELAY_MS=60"});
  ASSERT_TRUE(zt::WaitUntil([&] { return FramesCounted(server.Stdout()) >= 8; }))
      << server.Stdout();
  server.WriteStdin("\n");
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
  const std::string out = server.Stdout();

  const CameraReport camera = ParseCamera(out);
  const RecorderReport recorder = ParseRecorder(out);
  ASSERT_TRUE(camera.found) << out;
  ASSERT_TRUE(recorder.found) << out;
  EXPECT_GE(recorder.written, 8u);
  // Every frame the core accepted reached the recorder; one sent after the core's last
  // delivery round is refused, not accepted and dropped.
  EXPECT_EQ(camera.sent, recorder.written) << out;
  ExpectCompleteRecording(demo, recorder, recorder.written);
  ExpectNoCoreComplaints(server);
}

// Sends this process's standard output into a file while it lives.
class StdoutToFile {
 public:
  explicit StdoutToFile(const std::string& path) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  ~StdoutToFile() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutToFile(const StdoutToFile&) = delete;
  StdoutToFile& operator=(const StdoutToFile&) = delete;

 private:
  int saved_;
};

// In the process, with a calendar clock that jumps: the clock message reaches the monitor.
TEST(DemoMonitorTest, PrintsTheStatusDocumentAndReportsClockJumps) {
  zt::Installation install;
  zt::CopyFile(std::string(ZENT_DEMO_DIR) + "/plugins/monitor.so",
               install.plugins() + "/monitor.so");
  zt::TempDir io;
  const std::string printed = io / "stdout";
  zt::CalendarScope clock(2000000, 3600);  // an hour on at every look
  bool reported;
  {
    StdoutToFile redirect(printed);
    zt::CoreHarness harness(install);
    harness.Start();
    reported = zt::WaitUntil([&] {
      return zt::ReadFile(printed).find("monitor: clock: system time changed by 3600 seconds") !=
             std::string::npos;
    });
    harness.Stop();
  }
  const std::string out = zt::ReadFile(printed);
  EXPECT_TRUE(reported) << out;
  EXPECT_NE(out.find("the status document lists 2 plugins"), std::string::npos) << out;
  EXPECT_NE(out.find("103         0x00000067         0"), std::string::npos) << out;
}

}  // namespace
