/*
 * camera_rtsp.cc: networked cameras as sources of compressed packets.
 *
 * One CameraSource per "camera" line of cameras.conf (see camera_source.h for its thread).
 * Logins come from the credentials file named there, which must pass the server's check of
 * secret files; they go into the URL that FFmpeg opens and nowhere else: the log names the URL
 * as cameras.conf has it, and the lines of FFmpeg's own log that this plugin passes on have
 * every form of a password blanked out.
 *
 * What runs where:
 *   Load    main thread       read cameras.conf and the credentials, describe the plugin (a
 *                             bad line or a file that fails the check: log it, refuse to load)
 *   Open    main thread       route FFmpeg's log lines into this plugin's log
 *   Read    a call thread     the core's start call: start one thread per camera
 *   IOCTL   event handler     the status document; nothing to do
 *   Close   main thread       ask every camera thread to stop, then wait for them all; give
 *                             FFmpeg's log back to FFmpeg
 *   Unload  main thread       the same, should Close not have run; free everything
 */
#include <map>
#include <memory>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <vector>
#include <zentserver/plugin_api.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "camera_source.h"
#include "common/entry_guard.h"
#include "credentials.h"
#include "media_config.h"
#include "media_protocol.h"
#include "plugin_log.h"

namespace camera_rtsp {
namespace {

// Forms of the passwords to blank out of FFmpeg's lines; written in Load, read-only after.
std::vector<std::string> g_secrets;
media::RateLimit g_ffmpegLog(std::chrono::seconds(60));

// FFmpeg's errors, once a minute at most, each line without any password in it. Runs on any
// thread that calls into FFmpeg.
void FfmpegLog(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int printPrefix = 1;
  if (av_log_format_line2(object, level, format, args, line, sizeof line, &printPrefix) < 0) return;
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (const std::string& secret : g_secrets) {
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), "***");
    }
  }
  unsigned long held = 0;
  if (text.empty() || !g_ffmpegLog.Allow(&held)) return;
  media::Log(LOG_WARNING, "ffmpeg: %s%s", text.c_str(),
             held > 0 ? (" (" + std::to_string(held) + " lines left out before)").c_str() : "");
}

class Plugin {
 public:
  explicit Plugin(CoreCallbackFn callback) : m_callback(callback) {}
  ~Plugin() { Stop(); }

  bool Load() {
    const std::string path = media::MediaConfigPath(media::OwnDirectory());
    media::MediaConfig config;
    std::string error;
    if (!media::LoadMediaConfig(path, &config, &error)) {
      media::Log(LOG_ERR, "%s; not loaded", error.c_str());
      return false;
    }
    std::map<std::string, Credential> logins;
    if (!config.credentialsFile.empty() &&
        !LoadCredentials(config.credentialsFile, &logins, &error)) {
      media::Log(LOG_ERR, "%s; not loaded", error.c_str());
      return false;
    }
    for (const auto& [name, login] : logins) {
      bool known = false;
      for (const media::CameraConfig& camera : config.cameras) known |= camera.name == name;
      if (!known) {
        media::Log(LOG_WARNING, "%s: no camera %s in %s", config.credentialsFile.c_str(),
                   name.c_str(), path.c_str());
      }
    }
    for (const media::CameraConfig& camera : config.cameras) {
      std::string openUrl = camera.url;
      const auto login = logins.find(camera.name);
      if (login != logins.end()) {
        openUrl = UrlWithLogin(camera.url, login->second);
        for (const std::string& form : SecretForms(login->second)) g_secrets.push_back(form);
      }
      m_cameras.push_back(std::make_unique<CameraSource>(camera, openUrl, m_callback));
    }
    if (m_cameras.empty()) media::Log(LOG_INFO, "no camera in %s", path.c_str());
    return true;
  }

  void Open() {
    std::lock_guard<std::mutex> lock(m_mu);
    av_log_set_callback(&FfmpegLog);
    m_logRouted = true;
  }

  void StartCameras() {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_started || m_stopped) return;
    m_started = true;
    for (auto& camera : m_cameras) camera->Start();
  }

  // Every camera is asked first, so that they all stop together.
  void Stop() {
    std::lock_guard<std::mutex> lock(m_mu);
    m_stopped = true;
    for (auto& camera : m_cameras) camera->RequestStop();
    for (auto& camera : m_cameras) camera->Join();
    // No camera thread calls into FFmpeg now; the callback must not outlive this object.
    if (m_logRouted) av_log_set_callback(&av_log_default_callback);
    m_logRouted = false;
  }

 private:
  const CoreCallbackFn m_callback;
  std::mutex m_mu;  // serialises the start call (a call thread) with Close and Unload
  std::vector<std::unique_ptr<CameraSource>> m_cameras;
  bool m_started = false, m_stopped = false, m_logRouted = false;
};

Plugin* g_plugin;  // from Load to Unload

}  // namespace
}  // namespace camera_rtsp

using camera_rtsp::g_plugin;
using plugin_common::Guarded;

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  media::StartLog("camera_rtsp");
  avformat_network_init();  // for rtsps: the TLS library; undone in Unload
  const int result = Guarded(-1, [&] {
    auto plugin = std::make_unique<camera_rtsp::Plugin>(context->callback);
    if (!plugin->Load()) return -1;
    g_plugin = plugin.release();
    return 0;
  });
  if (result != 0) {
    avformat_network_deinit();
    info->error = 1;  // rejected: the core logs it and unloads this file
    return 0;
  }
  info->id = MEDIA_CAMERA_ID;
  info->acceptsRead = 1;  // the core's start call; no subscription
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest*, OpenReply*) {
  return Guarded(-1, [] { return g_plugin->Open(), 0; });
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply*) {
  // The start call carries nothing; it comes once the core delivers.
  if (request->length != 0 || request->data != nullptr) return 0;
  return Guarded(0, [] { return g_plugin->StartCameras(), 0; });
}

/* Exported although acceptsWrite is 0, so the core logs no missing entry point. */
ZENT_PLUGIN_EXPORT int Write(WriteRequest*, WriteReply*) { return 0; }

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
  avformat_network_deinit();
  return 0;
}
