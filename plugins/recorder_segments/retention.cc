#include "retention.h"

#include <algorithm>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "media_config.h"
#include "plugin_log.h"

namespace recorder_segments {
namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(listing);
  return names;
}

// "dddd-dd-dd"
bool DateName(const std::string& name) {
  if (name.size() != 10) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i == 4 || i == 7 ? name[i] != '-' : !isdigit(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

// "dd-dd-dd.mp4" or "dd-dd-dd-N.mp4"
bool SegmentName(const std::string& name) {
  if (name.size() < 12 || name.compare(name.size() - 4, 4, ".mp4") != 0) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (i == 2 || i == 5 ? name[i] != '-' : !isdigit(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  const std::string rest = name.substr(8, name.size() - 12);
  if (rest.empty()) return true;
  return rest.size() >= 2 && rest[0] == '-' &&
         rest.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

Retention::Retention(const std::string& root, const RetentionLimits& limits)
    : m_root(root), m_limits(limits) {}

size_t Retention::Scan(uint64_t* bytes) {
  std::lock_guard<std::mutex> lock(m_mu);
  for (const std::string& camera : Entries(m_root)) {
    if (!media::ValidCameraName(camera)) continue;
    for (const std::string& day : Entries(m_root + "/" + camera)) {
      if (!DateName(day)) continue;
      const std::string dir = m_root + "/" + camera + "/" + day;
      for (const std::string& name : Entries(dir)) {
        struct stat st;
        const std::string path = dir + "/" + name;
        if (!SegmentName(name) || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        m_index.emplace(st.st_mtime, Segment{camera, path, static_cast<uint64_t>(st.st_size)});
        m_total += static_cast<uint64_t>(st.st_size);
      }
    }
  }
  *bytes = m_total;
  return m_index.size();
}

void Retention::Add(const std::string& camera, const std::string& path, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(m_mu);
  struct stat st;
  const time_t written = stat(path.c_str(), &st) == 0 ? st.st_mtime : time(nullptr);
  m_index.emplace(written, Segment{camera, path, bytes});
  m_total += bytes;
}

void Retention::Remove(Index::iterator at, const char* why) {
  if (unlink(at->second.path.c_str()) != 0 && errno != ENOENT) {
    media::Log(LOG_WARNING, "cannot delete %s (%s): %s", at->second.path.c_str(), why,
               strerror(errno));
  }
  // The day's directory goes with its last segment.
  rmdir(ParentOf(at->second.path).c_str());
  m_total -= std::min(m_total, at->second.bytes);
  if (m_full) {
    ++m_deletedWhileFull;
    m_freedWhileFull += at->second.bytes;
  }
  m_index.erase(at);
}

int64_t Retention::FreeBytes() const {
  struct statvfs fs;
  if (statvfs(m_root.c_str(), &fs) != 0) return -1;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

uint64_t Retention::MinFree() const {
  if (m_limits.minFreeBytes >= 0) return static_cast<uint64_t>(m_limits.minFreeBytes);
  struct statvfs fs;
  if (statvfs(m_root.c_str(), &fs) != 0) return 0;
  const uint64_t size = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
  return std::min<uint64_t>(1ull << 30, size / 20);
}

uint64_t Retention::Room() const {
  const uint64_t average = m_index.empty() ? 0 : m_total / m_index.size();
  return std::max(MinFree(), 2 * average);
}

void Retention::Enforce() {
  std::lock_guard<std::mutex> lock(m_mu);
  const time_t now = time(nullptr);
  // By age: each camera by its own count of days.
  for (auto at = m_index.begin(); at != m_index.end();) {
    const auto own = m_limits.cameraDays.find(at->second.camera);
    const int days =
        own != m_limits.cameraDays.end() ? own->second : static_cast<int>(m_limits.keepDays);
    if (days > 0 && at->first < now - static_cast<time_t>(days) * 86400) {
      Remove(at++, "older than keep_days");
    } else {
      ++at;
    }
  }
  while (!m_index.empty() && m_limits.keepBytes > 0 && m_total > m_limits.keepBytes) {
    Remove(m_index.begin(), "beyond keep_size");
  }
  const uint64_t minFree = MinFree();
  while (!m_index.empty() && minFree > 0) {
    const int64_t free = FreeBytes();
    if (free < 0 || static_cast<uint64_t>(free) >= minFree) break;
    Remove(m_index.begin(), "to keep min_free");
  }
}

bool Retention::DiskFull(const std::string& why) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (!m_full) {
    m_full = true;
    m_deletedWhileFull = m_freedWhileFull = 0;
    // A disk that keeps filling up is reported once every ten minutes, with the count.
    unsigned long again = 0;
    m_fullLogged = m_fullLog.Allow(&again);
    if (m_fullLogged) {
      media::Log(LOG_ERR,
                 "the disk of %s is full (%s): recording stops until the oldest segments are "
                 "deleted%s",
                 m_root.c_str(), why.c_str(),
                 again > 0 ? (" (full " + std::to_string(again) +
                              " times more since the last "
                              "report)")
                                 .c_str()
                           : "");
    }
  }
  const uint64_t room = Room();
  for (;;) {
    const int64_t free = FreeBytes();
    if (free >= 0 && static_cast<uint64_t>(free) >= room) return true;
    if (m_index.empty()) return false;
    Remove(m_index.begin(), "the disk is full");
  }
}

bool Retention::RoomAgain() {
  std::lock_guard<std::mutex> lock(m_mu);
  const int64_t free = FreeBytes();
  if (free < 0 || static_cast<uint64_t>(free) < Room()) return false;
  if (m_full) {
    m_full = false;
    if (m_fullLogged) {
      media::Log(
          LOG_INFO, "recording resumes in %s: %llu segments (%.1f MiB) deleted, %.1f MiB free",
          m_root.c_str(), static_cast<unsigned long long>(m_deletedWhileFull),
          static_cast<double>(m_freedWhileFull) / 1048576.0, static_cast<double>(free) / 1048576.0);
    }
  }
  return true;
}

uint64_t Retention::totalBytes() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_total;
}

size_t Retention::segments() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_index.size();
}

}  // namespace recorder_segments
