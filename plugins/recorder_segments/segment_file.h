// segment_file.h: one recorded segment, a fragmented MP4 file written as the packets come.
//
// The packets are put into the file as they are (no decoding). The file is fragmented: a
// header that describes the tracks, then a fragment (its index and its samples) at each
// keyframe and at least every second. A fragment is collected in memory and goes to the file
// in one write only once it is complete, followed by fdatasync: whatever ends the process (a
// kill, a power loss), the file holds its header and whole fragments, and plays up to its
// last second. A write that fails (the disk is full) is cut back to the last whole fragment.
//
// Thread safety: none; one thread uses a SegmentFile.
#ifndef ZENT_PLUGINS_RECORDER_SEGMENTS_SEGMENT_FILE_H_
#define ZENT_PLUGINS_RECORDER_SEGMENTS_SEGMENT_FILE_H_

#include <stdint.h>
#include <string>
#include <vector>

#include "media_protocol.h"

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace recorder_segments {

// A track as the camera announced it.
struct AnnouncedTrack {
  MediaTrack info;
  std::vector<uint8_t> extradata;
};

class SegmentFile {
 public:
  SegmentFile() = default;
  ~SegmentFile();
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;

  // Creates path (which must not exist) and writes the header for the tracks that MP4 can hold;
  // *skipped names those it cannot. False with the reason in *why (and errnoValue() set when a
  // system call failed); nothing is left open then.
  bool Open(const std::string& path, const std::vector<AnnouncedTrack>& tracks,
            std::string* skipped, std::string* why);
  bool IsOpen() const { return m_format != nullptr; }
  // Whether the packets of track go into the file.
  bool Records(uint32_t track) const;

  // Adds one packet of track (times in the track's time base, from the start of the
  // recording's timeline) to the muxer, which copies it. Returns 1 when taken, 0 when the
  // packet was refused (times out of order; nothing else is lost).
  int Write(uint32_t track, const uint8_t* data, uint32_t size, int64_t pts, int64_t dts,
            int64_t duration, bool key, std::string* why);
  // Writes the fragments the muxer has completed to the file and syncs them. False when that
  // failed (*why; errnoValue()): the file then ends with its last whole fragment.
  bool Flush(std::string* why);

  // Writes the last fragment and the index, syncs and closes. False when that failed; the file
  // then holds its whole fragments.
  bool Finish(std::string* why);
  // Closes at once, as the file is: its whole fragments.
  void Abandon();

  uint64_t bytes() const { return m_bytes; }
  // Whether a fragment (some samples) has reached the file, besides the header.
  bool HasSamples() const { return m_bytes > m_headerBytes; }
  int errnoValue() const { return m_errno; }

 private:
  static int Collect(void* self, uint8_t* data, int size);
  // Writes what the muxer has produced so far (whole fragments) and syncs; false on failure.
  bool WriteOut(std::string* why);
  void Free();

  std::string m_path;
  int m_fd = -1;
  AVFormatContext* m_format = nullptr;
  AVIOContext* m_io = nullptr;
  AVPacket* m_packet = nullptr;
  std::vector<int> m_streamOf;         // by track: the muxer's stream, -1 when not recorded
  std::vector<AVRational> m_timeBase;  // by track, as announced
  std::vector<int64_t> m_lastDts;      // by track, in the muxer's time base
  std::vector<uint8_t> m_pending;      // produced by the muxer, not yet in the file
  uint64_t m_bytes = 0;                // in the file
  uint64_t m_headerBytes = 0;          // of which the header
  int m_errno = 0;
};

}  // namespace recorder_segments

#endif  // ZENT_PLUGINS_RECORDER_SEGMENTS_SEGMENT_FILE_H_
