// camera_recorder.h: the recording of one camera, on a writer thread of its own.
//
// DESIGN
//
// Write (the core's event handler thread) keeps each packet's buffer and queues it here; Read
// (a call thread) queues the camera's announcements. The writer thread owns the segment being
// written and everything about the camera's timeline. It takes one packet at a time from the
// queue, writes it into the segment's muxer (which copies it), and gives the buffer back at once
// (MSG_RELEASE): only then does the channel let the camera send its next packet, so the queue
// holds one packet at most, and the camera goes at the pace of the writes. A fragment that the
// packet completed then goes to the file and is synced, while the camera sends the next.
//
// Segments begin at a keyframe: the first one of the camera, then the first one at least
// segment_seconds after the segment's start, and the first one after a new announcement (a
// camera that connected again or changed its stream), which closes the segment before it. The
// times in a segment are those of the camera, counted from its first packet since it
// announced: one segment continues where the one before ended. Packets that arrive before
// their announcement (Read and Write run on different threads) wait for it, 5 s at most.
//
// When the disk is full, the segment is closed with what it holds, retention frees space, and
// the packets are given back unwritten until there is room again; recording resumes at the
// next keyframe. Each closed segment is added to retention and announced to the other plugins
// with a "segment closed" message.
//
// How it stops: Stop lets the thread write what is queued, close the segment and end, and
// waits for it.
#ifndef ZENT_PLUGINS_RECORDER_SEGMENTS_CAMERA_RECORDER_H_
#define ZENT_PLUGINS_RECORDER_SEGMENTS_CAMERA_RECORDER_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>
#include <thread>
#include <vector>
#include <zentserver/plugin_api.h>

#include "media_protocol.h"
#include "retention.h"
#include "segment_file.h"

namespace recorder_segments {

// A camera's announcement, checked.
struct Announcement {
  std::string camera;
  uint32_t source = 0, channel = 0, generation = 0;
  std::vector<AnnouncedTrack> tracks;
};

// Parses a MediaStream payload; false with the reason when it is not a valid one.
bool ParseAnnouncement(const void* data, uint32_t length, Announcement* out, std::string* why);

struct RecorderSettings {
  std::string root;  // the recordings directory
  uint32_t segmentSeconds = 60;
  CoreCallbackFn callback = nullptr;
};

class CameraRecorder {
 public:
  CameraRecorder(const RecorderSettings& settings, Retention* retention, uint32_t channel);
  ~CameraRecorder();
  CameraRecorder(const CameraRecorder&) = delete;
  CameraRecorder& operator=(const CameraRecorder&) = delete;

  bool Start();
  // From Read: the camera announced its stream.
  void Announce(std::shared_ptr<const Announcement> announcement);
  // From Write: queues the packet; true when the buffer is kept (until the writer gives it
  // back), false when it is not (the recorder stops).
  bool Offer(const void* data, uint32_t length, const MediaPacketInfo& info);
  // Asks the thread to finish; returns at once.
  void RequestStop();
  // Waits for the thread and logs what it did. Later calls do nothing.
  void Join();

 private:
  using Clock = std::chrono::steady_clock;
  struct Packet {
    const uint8_t* data;
    uint32_t length;
    MediaPacketInfo info;
  };

  void Run();
  void Handle(const Packet& packet);
  // The announcement of generation, waiting for it briefly; null when it does not come.
  std::shared_ptr<const Announcement> AnnouncementOf(uint32_t generation);
  bool OpenSegment(const Packet& packet, int64_t atUs);
  // Writes the fragments that are complete to the file; on failure closes the segment (a full
  // disk: waits for room).
  void FlushSegment();
  void CloseSegment(bool failed);
  void GiveBack(const void* data);
  void SendClosed(const std::string& path, double duration, uint64_t bytes);

  const RecorderSettings m_settings;
  Retention* const m_retention;
  const uint32_t m_channel;
  std::thread m_thread;
  bool m_started = false;

  std::mutex m_mu;
  std::condition_variable m_wake;  // the writer waits on it for packets and announcements
  std::deque<Packet> m_queue;
  std::shared_ptr<const Announcement> m_announced;  // the latest
  bool m_stopping = false;

  // The writer thread's own.
  std::shared_ptr<const Announcement> m_stream;  // what the timeline belongs to
  int64_t m_baseUs = INT64_MIN;  // the timeline's zero: the first packet written since the
                                 // announcement, in microseconds of the camera's clock
  SegmentFile m_file;
  std::string m_path;
  int64_t m_segmentStartUs = 0, m_segmentEndUs = 0;  // on the timeline
  int64_t m_segmentWallUs = 0;                       // wall clock of its first picture
  bool m_waitingForRoom = false;
  Clock::time_point m_nextRoomCheck;
  std::string m_skippedTracks;  // reported once per announcement

  // Counters, read by Join after the thread ended.
  uint64_t m_written = 0, m_segments = 0, m_notWritten = 0, m_unannounced = 0;
  int64_t m_maxLatencyUs = 0;
  std::string m_camera;
};

}  // namespace recorder_segments

#endif  // ZENT_PLUGINS_RECORDER_SEGMENTS_CAMERA_RECORDER_H_
