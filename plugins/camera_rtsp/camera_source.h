// camera_source.h: one camera of camera_rtsp, on a thread of its own.
//
// DESIGN
//
// The thread owns everything of its camera: the FFmpeg input, the stream's description and
// the counters. It connects (libavformat opens the URL: RTSP above all, or anything FFmpeg
// reads, such as a file played in a loop), announces the stream as a broadcast and then sends
// one packet after another as queued messages on the camera's channel, in the order the
// camera delivered them. Each send waits while the channel is held (the recorder still has
// the previous packet), which is how a slow recorder holds the camera back.
//
// What it waits on: the network or file (every blocking FFmpeg call gives up when no data came
// within the camera's timeout, or at once when the plugin stops, through FFmpeg's interrupt
// callback), the core's callback (a send waits for the channel), the pace of a file read at
// real time, and the delay before the next attempt to connect (1 s, doubled after every failed
// attempt, at most 30 s); the last two wake at once when the plugin stops.
//
// Falling behind: the thread notes, for every packet, how much later it read the packet than
// the camera's time stamps say it should have (against the earliest reading seen, which may
// drift by half a millisecond a second, for camera clocks that run slow). When, at a keyframe,
// that lag is larger than max_lag, the whole group of pictures up to the next keyframe is
// dropped (audio with it) and counted; reading without sending catches up. A group that has
// begun is sent whole.
//
// How it stops: RequestStop sets a flag that the interrupt callback, the waits and the loop
// look at; a send that waits for the channel is refused by the core once it stops delivering.
// Join then waits for the thread. An outage is logged once, when it begins, with its reason,
// and once more when the camera is back.
#ifndef ZENT_PLUGINS_CAMERA_RTSP_CAMERA_SOURCE_H_
#define ZENT_PLUGINS_CAMERA_RTSP_CAMERA_SOURCE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdint.h>
#include <string>
#include <thread>
#include <vector>
#include <zentserver/plugin_api.h>

#include "media_config.h"
#include "media_protocol.h"

struct AVFormatContext;
struct AVPacket;

namespace camera_rtsp {

struct Input;

class CameraSource {
 public:
  // openUrl is the URL with the login put in; it is never logged (config.url is).
  CameraSource(const media::CameraConfig& config, const std::string& openUrl,
               CoreCallbackFn callback);
  ~CameraSource();
  CameraSource(const CameraSource&) = delete;
  CameraSource& operator=(const CameraSource&) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start();
  // Asks the thread to end; returns at once.
  void RequestStop();
  // Waits for the thread and logs what it did. Later calls do nothing.
  void Join();

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // Opens the URL and finds the streams; false with the reason in *why.
  bool Connect(Input* input, std::string* why);
  // Reads and sends until the stream ends; the reason ("" when stopping).
  std::string Stream(Input* input);
  // Broadcasts the stream's description with the next generation; false when the core
  // refused it.
  bool Announce(Input* input);
  // The first announcement of a connection: what streams, or that the camera is back.
  void LogConnected(const Input& input);
  // Sends one packet; the core's result.
  int32_t Send(const AVPacket& packet, uint32_t track, int64_t captureUs, uint64_t sequence);
  // Waits until deadline or until the plugin stops; true when it stops.
  bool SleepUntil(Clock::time_point deadline);
  // FFmpeg's error in words; "no answer within N s" when our deadline ended the call.
  std::string Reason(int error) const;
  void ArmDeadline(double seconds);
  static int Interrupt(void* self);

  const media::CameraConfig m_config;
  const std::string m_openUrl;
  const CoreCallbackFn m_callback;
  const bool m_realtime;  // read at the pace of the time stamps

  std::thread m_thread;
  bool m_started = false;

  std::mutex m_mu;
  std::condition_variable m_wake;  // the waits of the thread; RequestStop wakes it
  bool m_stopping = false;         // guarded by m_mu; m_stop mirrors it for FFmpeg's callback
  std::atomic<bool> m_stop{false};
  std::atomic<int64_t> m_deadlineNs{0};  // steady clock; 0 when no call is timed
  std::atomic<bool> m_timedOut{false};

  // The thread's own; Join reads them after joining.
  uint32_t m_generation = 0;
  uint64_t m_sequence = 0;
  uint64_t m_sent = 0, m_refused = 0, m_lost = 0;
  uint64_t m_droppedGroups = 0, m_droppedPackets = 0;
  uint64_t m_connects = 0;
  bool m_outage = false;  // logged, and not over yet
  Clock::time_point m_outageStart;
  double m_maxLag = 0;  // seconds, the largest lag seen at a keyframe
};

}  // namespace camera_rtsp

#endif  // ZENT_PLUGINS_CAMERA_RTSP_CAMERA_SOURCE_H_
