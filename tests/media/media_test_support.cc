#include "media/media_test_support.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "media_protocol.h"
#include "support/run_command.h"

namespace zt {

namespace fs = std::filesystem;

MediaInstallation::MediaInstallation() {
  for (const char* plugin : {"camera_rtsp.so", "recorder_segments.so"}) {
    CopyFile(std::string(ZENT_MEDIA_PLUGIN_DIR) + "/" + plugin, install_.plugins() + "/" + plugin);
  }
}

void MediaInstallation::WriteSettings(const std::string& text) {
  WriteFile(install_.plugins() + "/cameras.conf", text);
  chmod((install_.plugins() + "/cameras.conf").c_str(), 0644);
}

std::string MediaInstallation::AddListener(uint32_t mask, const std::string& settings) {
  char line[64];
  std::snprintf(line, sizeof line, "mask %d 0x%08x\n", MEDIA_CLASS,
                mask != 0 ? mask : MEDIA_SEGMENT_CLOSED_MATCH);
  return install_.AddPlugin("listener.so",
                            std::string("id 77\naccepts_write 1\n") + line + settings);
}

std::unique_ptr<ServerProcess> MediaInstallation::Start(const std::vector<std::string>& env) const {
  return std::make_unique<ServerProcess>(install_.exe(), std::vector<std::string>{"-d"},
                                         install_.dir(), env);
}

std::vector<std::string> ClosedSegments(const std::string& record) {
  std::vector<std::string> closed;
  for (const Event& event : EventsNamed(ReadEvents(record), "write")) {
    if (event.Number("code") == MEDIA_CODE_SEGMENT_CLOSED) closed.push_back(Unhex(event["hex"]));
  }
  return closed;
}

std::vector<std::string> SegmentFiles(const std::string& recordings) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(recordings, error)) {
    if (entry.is_regular_file() && entry.path().extension() == ".mp4") {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

SegmentProbe ProbeSegment(const std::string& path) {
  SegmentProbe probe;
  const CommandResult result =
      RunCommand(ZENT_FFPROBE,
                 {"-v", "error", "-of", "json", "-show_streams", "-show_packets", "-show_entries",
                  "stream=codec_name,codec_type,width,height:packet=codec_type,"
                  "pts_time,duration_time,flags",
                  path});
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(result.out);
  } catch (...) {
    probe.error = "ffprobe: " + result.Describe();
    return probe;
  }
  if (result.exitCode != 0 || !result.err.empty()) probe.error = "ffprobe: " + result.Describe();
  for (const auto& stream : json.value("streams", nlohmann::json::array())) {
    probe.codecs.push_back(stream.value("codec_name", "?"));
    if (stream.value("codec_type", "") == "video") {
      probe.width = stream.value("width", 0);
      probe.height = stream.value("height", 0);
    }
  }
  for (const auto& packet : json.value("packets", nlohmann::json::array())) {
    if (packet.value("codec_type", "") != "video") continue;
    const double pts = std::stod(packet.value("pts_time", "0"));
    const double duration = std::stod(packet.value("duration_time", "0"));
    if (probe.videoPackets == 0) {
      probe.firstVideoTime = pts;
      probe.startsWithKeyframe = packet.value("flags", "").find('K') != std::string::npos;
    }
    probe.endVideoTime = std::max(probe.endVideoTime, pts + duration);
    ++probe.videoPackets;
  }
  const CommandResult decode =
      RunCommand(ZENT_FFMPEG, {"-v", "error", "-nostdin", "-i", path, "-f", "null", "-"});
  probe.decodeErrors = decode.exitCode == 0 ? decode.err : decode.Describe();
  return probe;
}

std::string RtspServer::Unavailable() {
  if (std::string(ZENT_RTSP_SERVER).empty()) {
    return "GStreamer's RTSP server library is not installed for this build's architecture";
  }
  return "";
}

bool RtspServer::Start(int port, const std::vector<std::string>& args, const std::string& clip) {
  std::vector<std::string> all = {"--port", std::to_string(port)};
  if (clip.empty()) all.push_back("--audio");
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("/cam=" + (clip.empty() ? std::string(ZENT_MEDIA_CLIP) : clip));
  // A server that is just gone may still hold its port for a moment.
  for (int attempt = 0; attempt < 50; ++attempt) {
    process_ = std::make_unique<ServerProcess>(ZENT_RTSP_SERVER, all, dir_.path());
    std::string out;
    WaitUntil([&] {
      out = process_->Stdout();
      return out.find('\n') != std::string::npos || process_->Ended();
    });
    if (out.compare(0, 6, "ready ") == 0) {
      port_ = std::stoi(out.substr(6));
      return true;
    }
    process_->Wait();
    usleep(100000);
  }
  return false;
}

void RtspServer::Stop() {
  if (process_ == nullptr) return;
  process_->Signal(SIGTERM);
  process_->Wait();
  process_.reset();
}

size_t LinesWith(const std::string& text, const std::string& needle) {
  std::istringstream in(text);
  size_t count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(needle) != std::string::npos;
  return count;
}

}  // namespace zt
