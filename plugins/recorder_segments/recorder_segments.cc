/*
 * recorder_segments.cc: records the cameras' packets into MP4 segments, and keeps the disk
 * within the limits of retention.
 *
 * Recordings go to $ZENT_RECORDINGS_DIR (the installed service sets it to
 * /var/lib/zentserver/recordings; "recordings" in the server's working directory otherwise) as
 * <camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4, the date and time of the segment's first picture in
 * local time. One CameraRecorder per announced camera writes them (see camera_recorder.h); one
 * Retention for all of them decides what is deleted (see retention.h). The settings come from
 * cameras.conf: segment_seconds, keep_size, keep_days (and each camera's keep_days), min_free.
 *
 * What runs where:
 *   Load    main thread       read cameras.conf, describe the plugin (Read for announcements,
 *                             Write for packets)
 *   Open    main thread       create the recordings directory, find the segments already there
 *   Read    call threads      stream announcements (and the core's start call, ignored)
 *   Write   event handler     packets: keep the buffer and queue it for the camera's writer
 *   IOCTL   event handler     the status document; nothing to do
 *   Close   main thread       every writer writes what it holds, closes its segment and ends
 *   Unload  main thread       the same, should Close not have run; free everything
 * m_mu guards the table of cameras; it is never held while calling into the core.
 */
#include <errno.h>
#include <map>
#include <memory>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zentserver/plugin_api.h>

extern "C" {
#include <libavutil/log.h>
}

#include "camera_recorder.h"
#include "common/entry_guard.h"
#include "media_config.h"
#include "media_protocol.h"
#include "plugin_log.h"
#include "retention.h"

namespace recorder_segments {
namespace {

class Plugin {
 public:
  explicit Plugin(CoreCallbackFn callback) { m_settings.callback = callback; }
  ~Plugin() { Stop(); }

  bool Load() {
    const std::string path = media::MediaConfigPath(media::OwnDirectory());
    media::MediaConfig config;
    std::string error;
    if (!media::LoadMediaConfig(path, &config, &error)) {
      media::Log(LOG_ERR, "%s; not loaded", error.c_str());
      return false;
    }
    const char* dir = getenv("ZENT_RECORDINGS_DIR");
    m_settings.root = dir != nullptr && *dir != 0 ? dir : "recordings";
    while (m_settings.root.size() > 1 && m_settings.root.back() == '/') m_settings.root.pop_back();
    // Absolute, so that "segment closed" names a path that other plugins can open.
    if (m_settings.root[0] != '/') {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) != nullptr)
        m_settings.root = std::string(cwd) + "/" + m_settings.root;
    }
    m_settings.segmentSeconds = config.segmentSeconds;
    RetentionLimits limits;
    limits.keepBytes = config.keepBytes;
    limits.keepDays = config.keepDays;
    limits.minFreeBytes = config.minFreeBytes;
    for (const media::CameraConfig& camera : config.cameras) {
      if (camera.keepDays >= 0) limits.cameraDays[camera.name] = camera.keepDays;
    }
    m_retention = std::make_unique<Retention>(m_settings.root, limits);
    return true;
  }

  bool Open() {
    if (mkdir(m_settings.root.c_str(), 0755) != 0 && errno != EEXIST) {
      media::Log(LOG_ERR, "cannot create %s: %s; nothing is recorded", m_settings.root.c_str(),
                 strerror(errno));
      return false;
    }
    uint64_t bytes = 0;
    const size_t found = m_retention->Scan(&bytes);
    media::Log(LOG_INFO, "recording into %s (%u s segments): %zu segments there, %llu MiB",
               m_settings.root.c_str(), m_settings.segmentSeconds, found,
               static_cast<unsigned long long>(bytes >> 20));
    std::lock_guard<std::mutex> lock(m_mu);
    m_open = true;
    return true;
  }

  void OnAnnouncement(const ReadRequest& request) {
    if (request.data == nullptr || request.length == 0) return;  // the start call
    auto announcement = std::make_shared<Announcement>();
    std::string why;
    if (!ParseAnnouncement(request.data, request.length, announcement.get(), &why)) {
      unsigned long held = 0;
      if (m_badInput.Allow(&held)) {
        media::Log(LOG_WARNING, "ignored a stream announcement on channel %u: %s", request.channel,
                   why.c_str());
      }
      return;
    }
    const std::shared_ptr<CameraRecorder> recorder = RecorderOf(announcement->channel);
    if (recorder != nullptr) recorder->Announce(std::move(announcement));
  }

  // Whether the buffer is kept.
  bool OnPacket(const WriteRequest& request) {
    MediaPacketInfo info;
    memcpy(&info, request.extra, sizeof info);
    if (request.code != MEDIA_CODE_PACKET || info.magic != MEDIA_PACKET_MAGIC ||
        request.data == nullptr || request.channel == 0) {
      return false;
    }
    const std::shared_ptr<CameraRecorder> recorder = RecorderOf(request.channel);
    return recorder != nullptr && recorder->Offer(request.data, request.length, info);
  }

  void Stop() {
    std::map<uint32_t, std::shared_ptr<CameraRecorder>> recorders;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_open = false;
      recorders.swap(m_recorders);
    }
    for (auto& [channel, recorder] : recorders) recorder->RequestStop();
    for (auto& [channel, recorder] : recorders) recorder->Join();
  }

 private:
  // The recorder of a channel, made on first sight; null when the plugin is not open. A Read
  // that overlaps Close may hold one after Stop: it then only takes an announcement that no
  // one reads.
  std::shared_ptr<CameraRecorder> RecorderOf(uint32_t channel) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (!m_open) return nullptr;
    auto& recorder = m_recorders[channel];
    if (recorder == nullptr) {
      recorder = std::make_shared<CameraRecorder>(m_settings, m_retention.get(), channel);
      if (!recorder->Start()) {
        m_recorders.erase(channel);
        return nullptr;
      }
    }
    return recorder;
  }

  RecorderSettings m_settings;
  std::unique_ptr<Retention> m_retention;
  media::RateLimit m_badInput{std::chrono::seconds(10)};
  std::mutex m_mu;
  bool m_open = false;
  std::map<uint32_t, std::shared_ptr<CameraRecorder>> m_recorders;  // by channel
};

Plugin* g_plugin;  // from Load to Unload

}  // namespace
}  // namespace recorder_segments

using plugin_common::Guarded;
using recorder_segments::g_plugin;

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  media::StartLog("recorder_segments");
  // The muxer's warnings are not the operator's business; its errors come back as results.
  av_log_set_level(AV_LOG_ERROR);
  const int result = Guarded(-1, [&] {
    auto plugin = std::make_unique<recorder_segments::Plugin>(context->callback);
    if (!plugin->Load()) return -1;
    g_plugin = plugin.release();
    return 0;
  });
  if (result != 0) {
    info->error = 1;  // rejected: the core logs it and unloads this file
    return 0;
  }
  info->id = MEDIA_RECORDER_ID;
  info->classMasks[MEDIA_CLASS] = MEDIA_STREAM_MATCH | MEDIA_PACKET_MATCH;
  info->acceptsRead = 1;
  info->acceptsWrite = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest*, OpenReply*) {
  return Guarded(-1, [] { return g_plugin->Open() ? 0 : -1; });
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply*) {
  return Guarded(0, [&] { return g_plugin->OnAnnouncement(*request), 0; });
}

ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  // Kept until the writer has written it and gives it back.
  if (Guarded(0, [&] { return g_plugin->OnPacket(*request) ? 1 : 0; }) != 0) reply->retained = 1;
  return 0;
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void*, void*) { return 0; }

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest*, IoctlReply*) { return 0; }

ZENT_PLUGIN_EXPORT int Close(CloseRequest*, StatusReply*) {
  return Guarded(0, [] { return g_plugin->Stop(), 0; });
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest*, StatusReply*) {
  Guarded(0, [] { return g_plugin->Stop(), 0; });
  delete g_plugin;
  g_plugin = nullptr;
  return 0;
}
