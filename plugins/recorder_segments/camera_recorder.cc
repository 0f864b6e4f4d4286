#include "camera_recorder.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "media_config.h"
#include "plugin_log.h"

namespace recorder_segments {
namespace {

constexpr auto kAnnouncementWait = std::chrono::seconds(5);
constexpr auto kRoomCheck = std::chrono::seconds(1);
constexpr size_t kQueueLimit = 64;

int64_t WallClockUs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool MakeDirectory(const std::string& path, std::string* why) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *why = "cannot create " + path + ": " + strerror(errno);
  return false;
}

}  // namespace

bool ParseAnnouncement(const void* data, uint32_t length, Announcement* out, std::string* why) {
  MediaStream stream;
  if (data == nullptr || length < sizeof stream) return *why = "too short", false;
  memcpy(&stream, data, sizeof stream);
  if (stream.magic != MEDIA_STREAM_MAGIC) return *why = "not a stream announcement", false;
  if (stream.trackCount < 1 || stream.trackCount > MEDIA_MAX_TRACKS) {
    return *why = "it announces " + std::to_string(stream.trackCount) + " tracks", false;
  }
  stream.camera[MEDIA_NAME_BYTES - 1] = 0;
  out->camera = stream.camera;
  if (!media::ValidCameraName(out->camera)) {
    return *why = "\"" + out->camera + "\" is not a camera name", false;
  }
  out->source = stream.source;
  out->channel = stream.channel;
  out->generation = stream.generation;
  size_t at = sizeof stream;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t t = 0; t < stream.trackCount; ++t) {
    AnnouncedTrack track;
    track.info = stream.tracks[t];
    track.info.codec[MEDIA_CODEC_BYTES - 1] = 0;
    const uint32_t extra = track.info.extradataBytes;
    if (extra > MEDIA_MAX_EXTRADATA || extra > length - at) {
      return *why = "its extradata runs past its end", false;
    }
    track.extradata.assign(bytes + at, bytes + at + extra);
    at += extra;
    out->tracks.push_back(std::move(track));
  }
  return true;
}

CameraRecorder::CameraRecorder(const RecorderSettings& settings, Retention* retention,
                               uint32_t channel)
    : m_settings(settings), m_retention(retention), m_channel(channel) {}

CameraRecorder::~CameraRecorder() {
  RequestStop();
  Join();
}

bool CameraRecorder::Start() {
  try {
    m_thread = std::thread(&CameraRecorder::Run, this);
  } catch (...) {
    media::Log(LOG_ERR, "channel %u: cannot start a writer thread", m_channel);
    return false;
  }
  m_started = true;
  return true;
}

void CameraRecorder::Announce(std::shared_ptr<const Announcement> announcement) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_announced == nullptr || announcement->generation != m_announced->generation) {
    m_announced = std::move(announcement);
    m_wake.notify_all();
  }
}

bool CameraRecorder::Offer(const void* data, uint32_t length, const MediaPacketInfo& info) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_stopping || !m_started || m_queue.size() >= kQueueLimit) return false;
  m_queue.push_back({static_cast<const uint8_t*>(data), length, info});
  m_wake.notify_all();
  return true;
}

void CameraRecorder::RequestStop() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_stopping = true;
  m_wake.notify_all();
}

void CameraRecorder::Join() {
  if (!m_started) return;
  m_started = false;
  m_thread.join();
  media::Log(LOG_INFO,
             "%s: %llu segments closed, %llu packets written, %llu not written, largest latency "
             "from capture to write %.1f ms",
             m_camera.empty() ? ("channel " + std::to_string(m_channel)).c_str() : m_camera.c_str(),
             static_cast<unsigned long long>(m_segments),
             static_cast<unsigned long long>(m_written),
             static_cast<unsigned long long>(m_notWritten + m_unannounced),
             static_cast<double>(m_maxLatencyUs) / 1000.0);
}

void CameraRecorder::Run() {
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
    if (m_queue.empty()) break;  // stopping, and everything kept is written
    const Packet packet = m_queue.front();
    m_queue.pop_front();
    lock.unlock();
    Handle(packet);
    // Written or not (the muxer has its copy), the buffer goes back now: the camera's next
    // packet waits for it. A fragment the packet completed then goes to the disk.
    GiveBack(packet.data);
    FlushSegment();
    lock.lock();
  }
  lock.unlock();
  CloseSegment(false);
}

std::shared_ptr<const Announcement> CameraRecorder::AnnouncementOf(uint32_t generation) {
  std::unique_lock<std::mutex> lock(m_mu);
  m_wake.wait_for(lock, kAnnouncementWait, [&] {
    return m_stopping || (m_announced != nullptr && m_announced->generation >= generation);
  });
  if (m_announced == nullptr || m_announced->generation != generation) return nullptr;
  return m_announced;
}

void CameraRecorder::Handle(const Packet& packet) {
  const MediaPacketInfo& info = packet.info;
  if (m_stream == nullptr || m_stream->generation != info.generation) {
    std::shared_ptr<const Announcement> stream = AnnouncementOf(info.generation);
    if (stream == nullptr) {
      ++m_unannounced;
      return;
    }
    // A new announcement: a new timeline, from a new segment.
    CloseSegment(false);
    m_stream = std::move(stream);
    m_camera = m_stream->camera;
    m_baseUs = INT64_MIN;
    m_skippedTracks.clear();
  }
  if (info.track >= m_stream->tracks.size() || info.dts == MEDIA_NO_TIME) {
    ++m_notWritten;
    return;
  }
  const MediaTrack& track = m_stream->tracks[info.track].info;
  const AVRational timeBase = {static_cast<int>(track.timeBaseNum),
                               static_cast<int>(track.timeBaseDen)};
  const int64_t dtsUs = av_rescale_q(info.dts, timeBase, AVRational{1, 1000000});
  const bool key = (info.flags & MEDIA_PACKET_KEY) != 0;
  bool hasVideo = false;
  for (const AnnouncedTrack& announced : m_stream->tracks)
    hasVideo |= announced.info.kind == MEDIA_VIDEO;
  const bool groupStart = key && (!hasVideo || track.kind == MEDIA_VIDEO);

  if (m_waitingForRoom) {
    if (!groupStart || Clock::now() < m_nextRoomCheck) {
      ++m_notWritten;
      return;
    }
    m_nextRoomCheck = Clock::now() + kRoomCheck;
    if (!m_retention->RoomAgain() && !m_retention->DiskFull("still full")) {
      ++m_notWritten;
      return;
    }
    m_waitingForRoom = false;
  }
  if (m_baseUs == INT64_MIN) {
    if (!groupStart) {
      ++m_notWritten;
      return;
    }
    m_baseUs = dtsUs;
  }
  const int64_t atUs = dtsUs - m_baseUs;
  if (atUs < 0) {  // before the timeline's zero: it would need negative times
    ++m_notWritten;
    return;
  }
  if (groupStart && (!m_file.IsOpen() ||
                     atUs - m_segmentStartUs >= int64_t{m_settings.segmentSeconds} * 1000000)) {
    CloseSegment(false);
    if (!OpenSegment(packet, atUs)) {
      ++m_notWritten;
      return;
    }
  }
  if (!m_file.IsOpen() || !m_file.Records(info.track)) {
    ++m_notWritten;
    return;
  }
  const int64_t shift = av_rescale_q(m_baseUs, AVRational{1, 1000000}, timeBase);
  std::string why;
  const int result = m_file.Write(info.track, packet.data, packet.length, info.pts - shift,
                                  info.dts - shift, info.duration, key, &why);
  if (result > 0) {
    ++m_written;
    const int64_t durationUs =
        info.duration > 0 ? av_rescale_q(info.duration, timeBase, AVRational{1, 1000000}) : 0;
    // The segment's length is that of its pictures (of its sound when it has none).
    if (track.kind == MEDIA_VIDEO || !hasVideo) {
      m_segmentEndUs = std::max(m_segmentEndUs, atUs + durationUs);
    }
    m_maxLatencyUs = std::max(m_maxLatencyUs, WallClockUs() - info.captureUs);
    return;
  }
  ++m_notWritten;
}

void CameraRecorder::FlushSegment() {
  std::string why;
  if (m_file.Flush(&why)) return;
  const bool full = m_file.errnoValue() == ENOSPC || m_file.errnoValue() == EDQUOT;
  CloseSegment(true);
  if (full) {
    m_waitingForRoom = !m_retention->DiskFull(why);
    m_nextRoomCheck = Clock::now() + kRoomCheck;
    if (!m_waitingForRoom) m_retention->RoomAgain();
  } else {
    media::Log(LOG_ERR, "%s: %s; a new segment begins at the next keyframe", m_camera.c_str(),
               why.c_str());
  }
}

bool CameraRecorder::OpenSegment(const Packet& packet, int64_t atUs) {
  m_retention->Enforce();
  const int64_t wallUs = packet.info.captureUs;
  const time_t seconds = static_cast<time_t>(wallUs / 1000000);
  struct tm local;
  localtime_r(&seconds, &local);
  char day[16], clock[16];
  strftime(day, sizeof day, "%Y-%m-%d", &local);
  strftime(clock, sizeof clock, "%H-%M-%S", &local);
  const std::string cameraDir = m_settings.root + "/" + m_camera;
  const std::string dayDir = cameraDir + "/" + day;
  std::string why;
  if (!MakeDirectory(cameraDir, &why) || !MakeDirectory(dayDir, &why)) {
    media::Log(LOG_ERR, "%s: %s", m_camera.c_str(), why.c_str());
    return false;
  }
  for (int attempt = 1; attempt < 100; ++attempt) {
    // Built step by step: GCC 12 warns falsely (-Wrestrict) on a chain of
    // operator+ over a conditional temporary in an optimised build.
    m_path = dayDir;
    m_path += '/';
    m_path += clock;
    if (attempt > 1) {
      m_path += '-';
      m_path += std::to_string(attempt);
    }
    m_path += ".mp4";
    std::string skipped;
    why.clear();
    if (m_file.Open(m_path, m_stream->tracks, &skipped, &why)) {
      if (!skipped.empty() && m_skippedTracks != skipped) {
        m_skippedTracks = skipped;
        media::Log(LOG_WARNING, "%s: MP4 cannot hold %s; recording the other tracks",
                   m_camera.c_str(), skipped.c_str());
      }
      m_segmentStartUs = atUs;
      m_segmentEndUs = atUs;
      m_segmentWallUs = wallUs;
      return true;
    }
    if (m_file.errnoValue() != EEXIST) break;
  }
  if (m_file.errnoValue() == ENOSPC || m_file.errnoValue() == EDQUOT) {
    m_waitingForRoom = !m_retention->DiskFull(why);
    m_nextRoomCheck = Clock::now() + kRoomCheck;
  } else {
    media::Log(LOG_ERR, "%s: %s", m_camera.c_str(), why.c_str());
  }
  return false;
}

void CameraRecorder::CloseSegment(bool failed) {
  if (!m_file.IsOpen()) return;
  std::string why;
  const bool empty = !m_file.HasSamples();
  if (failed) {
    m_file.Abandon();
  } else if (!m_file.Finish(&why)) {
    media::Log(LOG_ERR, "%s: %s", m_camera.c_str(), why.c_str());
  }
  // A segment whose first fragment never reached the disk holds nothing to play.
  if (empty && failed) {
    unlink(m_path.c_str());
    return;
  }
  const uint64_t bytes = m_file.bytes();
  ++m_segments;
  m_retention->Add(m_camera, m_path, bytes);
  SendClosed(m_path, static_cast<double>(m_segmentEndUs - m_segmentStartUs) / 1e6, bytes);
}

void CameraRecorder::SendClosed(const std::string& path, double duration, uint64_t bytes) {
  char numbers[128];
  snprintf(numbers, sizeof numbers, ",\"start\":%.3f,\"duration\":%.3f,\"bytes\":%llu}",
           static_cast<double>(m_segmentWallUs) / 1e6, duration,
           static_cast<unsigned long long>(bytes));
  const std::string text =
      "{\"camera\":" + JsonString(m_camera) + ",\"path\":" + JsonString(path) + numbers;
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(text.size());
  message.data = text.data();
  message.source = MEDIA_RECORDER_ID;
  message.flags = MEDIA_FLAG;
  message.code = MEDIA_CODE_SEGMENT_CLOSED;
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  m_settings.callback(&message, &reply);  // refused once the core stops; nothing to do then
}

void CameraRecorder::GiveBack(const void* data) {
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.data = data;
  message.source = MEDIA_RECORDER_ID;
  message.flags = MSG_RELEASE;  // the whole flags word
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  m_settings.callback(&message, &reply);
}

}  // namespace recorder_segments
