// retention.h: which recorded segments are kept, and deleting the others.
//
// The recordings directory holds <camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4 (a second segment that
// starts in the same second gets "-2", "-3", ...). Retention knows every closed segment of that
// layout: those found at start, and those closed since. Nothing else in the directory is
// counted or touched, nor is a segment still being written. A segment's age is the time its
// file was last written.
//
// At each new segment, the limits are applied in this order: segments older than their
// camera's keep_days go; then the oldest of all cameras go while all of them together exceed
// keep_size, or while the disk has less free space than min_free. When a write fails because
// the disk is full, the oldest go until the disk has room for two average segments (and
// min_free); the recorders wait until then, and the log says once that the disk is full and
// once that recording resumes (a disk that keeps filling up: once every ten minutes, with the
// count).
//
// Thread safety: every method may be called from any thread; one mutex guards the index, and is
// held while files are deleted.
#ifndef ZENT_PLUGINS_RECORDER_SEGMENTS_RETENTION_H_
#define ZENT_PLUGINS_RECORDER_SEGMENTS_RETENTION_H_

#include <map>
#include <mutex>
#include <stdint.h>
#include <string>
#include <time.h>

#include "plugin_log.h"

namespace recorder_segments {

struct RetentionLimits {
  uint64_t keepBytes = 0;                 // 0: none
  uint32_t keepDays = 0;                  // 0: none; for cameras without a day count of their own
  std::map<std::string, int> cameraDays;  // the cameras' own keep_days
  int64_t minFreeBytes = -1;              // -1: 1 GiB, at most 5 % of the file system
};

class Retention {
 public:
  Retention(const std::string& root, const RetentionLimits& limits);

  // Finds the segments already there. Returns how many; *bytes is their total.
  size_t Scan(uint64_t* bytes);
  // A segment closed now.
  void Add(const std::string& camera, const std::string& path, uint64_t bytes);
  // Applies the limits (see above); called before each new segment.
  void Enforce();
  // After a write failed with ENOSPC: deletes the oldest until the disk has room, and logs the
  // full disk once for all cameras. Returns whether there is room now.
  bool DiskFull(const std::string& why);
  // Whether a recorder that waits for room may write again; the first to see it logs that
  // recording resumes.
  bool RoomAgain();

  uint64_t totalBytes();
  size_t segments();

 private:
  struct Segment {
    std::string camera;
    std::string path;
    uint64_t bytes;
  };
  using Index = std::multimap<time_t, Segment>;  // by the time of the last write, oldest first

  // REQUIRES: m_mu is held.
  void Remove(Index::iterator at, const char* why);
  int64_t FreeBytes() const;
  uint64_t MinFree() const;
  uint64_t Room() const;  // REQUIRES: m_mu is held.

  const std::string m_root;
  const RetentionLimits m_limits;
  std::mutex m_mu;
  Index m_index;
  uint64_t m_total = 0;
  bool m_full = false;        // the disk was found full and recording has not resumed yet
  bool m_fullLogged = false;  // that time was reported
  media::RateLimit m_fullLog{std::chrono::seconds(600)};
  uint64_t m_deletedWhileFull = 0, m_freedWhileFull = 0;
};

}  // namespace recorder_segments

#endif  // ZENT_PLUGINS_RECORDER_SEGMENTS_RETENTION_H_
