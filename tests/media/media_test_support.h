// What the recording tests share: an installation with the media plugins and their settings, the
// test RTSP server as a process, and segments looked at by ffprobe and decoded by ffmpeg.
#ifndef ZENT_TESTS_MEDIA_MEDIA_TEST_SUPPORT_H_
#define ZENT_TESTS_MEDIA_MEDIA_TEST_SUPPORT_H_

#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zt {

// An installation with camera_rtsp and recorder_segments in its plugins directory, their
// cameras.conf beside them, and, when asked, the test plugin as a listener that records every
// "segment closed" message (and, with more settings, packets).
class MediaInstallation {
 public:
  MediaInstallation();
  void WriteSettings(const std::string& text);
  // The test plugin as "listener.so", taking by Write what mask (of class bit 2) lets through
  // ("segment closed" unless told), with more settings; returns the path of its record.
  std::string AddListener(uint32_t mask = 0, const std::string& settings = "");
  std::string Recordings() const { return install_.dir() + "/recordings"; }
  const Installation& install() const { return install_; }
  // Starts the server in the console.
  std::unique_ptr<ServerProcess> Start(const std::vector<std::string>& env = {}) const;

 private:
  Installation install_;
};

// The "segment closed" messages in the listener's record, as the JSON text they carry.
std::vector<std::string> ClosedSegments(const std::string& record);

// The segments under a recordings directory (of every camera), by path: in the order they were
// begun for one camera.
std::vector<std::string> SegmentFiles(const std::string& recordings);

// A segment as ffprobe sees it, and whether ffmpeg decodes it all without an error.
struct SegmentProbe {
  std::string error;  // empty when ffprobe read it
  std::vector<std::string> codecs;
  int width = 0, height = 0;
  size_t videoPackets = 0;
  bool startsWithKeyframe = false;
  double firstVideoTime = 0, endVideoTime = 0;  // seconds: first pts; last pts + duration
  std::string decodeErrors;  // what ffmpeg printed while decoding every picture and sample
};
SegmentProbe ProbeSegment(const std::string& path);

// The test RTSP server (tests/media/rtsp_test_server.c) serving a clip at /cam.
class RtspServer {
 public:
  // Empty when it can be run; otherwise why not, for GTEST_SKIP.
  static std::string Unavailable();
  // Starts it on port (0: one the kernel picks) with more arguments, serving clip (the test
  // clip, with its audio, unless told); false when it did not report that it listens.
  bool Start(int port = 0, const std::vector<std::string>& args = {}, const std::string& clip = "");
  void Stop();
  int port() const { return port_; }
  std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(port_) + "/cam"; }

 private:
  int port_ = 0;
  std::unique_ptr<ServerProcess> process_;
  TempDir dir_;
};

// Counts the lines of text that contain needle.
size_t LinesWith(const std::string& text, const std::string& needle);

}  // namespace zt

#endif  // ZENT_TESTS_MEDIA_MEDIA_TEST_SUPPORT_H_
