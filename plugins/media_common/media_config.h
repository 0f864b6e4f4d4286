// media_config.h: cameras.conf, the one settings file of camera_rtsp and recorder_segments.
//
// Both plugins read the whole file with this parser, so that a line either plugin would not
// understand stops both of them instead of being skipped by one: one "key value..." per line,
// '#' starts a comment line, a line that cannot be understood makes the file invalid.
// docs/cameras.md lists every key; the installed file explains them too.
//
//   camera NAME URL [OPTION=VALUE ...]   transport=tcp|udp, timeout=S, max_lag=S, loop=yes|no,
//                                        realtime=yes|no, audio=yes|no, channel=N, keep_days=D
//   credentials FILE                     "NAME USER PASSWORD" lines (see credentials.h)
//   segment_seconds N                    length of a recorded segment (60)
//   keep_size SIZE                       all recordings together at most SIZE (none); 500M, 2G
//   keep_days D                          each camera's recordings at most D days old (none)
//   min_free SIZE                        free space the recorder keeps on the disk
//   timeout S, max_lag S                 defaults of the camera options of the same names
#ifndef ZENT_PLUGINS_MEDIA_COMMON_MEDIA_CONFIG_H_
#define ZENT_PLUGINS_MEDIA_COMMON_MEDIA_CONFIG_H_

#include <stdint.h>
#include <string>
#include <vector>

namespace media {

struct CameraConfig {
  std::string name;
  std::string url;
  int line = 0;        // where it stands in the file, for messages
  bool udp = false;    // RTSP over UDP instead of interleaved in the TCP connection
  double timeout = 0;  // seconds for connecting and between two packets
  double maxLag = 0;   // seconds behind before whole groups of pictures are dropped
  bool loop = false;   // a file starts again at its end
  int realtime = -1;   // read at the pace of the time stamps: 1, 0, or -1 for "files only"
  bool audio = true;   // record the camera's audio track, if it has one
  uint32_t channel = 0;
  int keepDays = -1;  // -1: the file's keep_days
};

struct MediaConfig {
  std::vector<CameraConfig> cameras;
  std::string credentialsFile;  // empty: none; a relative path is taken from the file's dir
  uint32_t segmentSeconds = 60;
  uint64_t keepBytes = 0;     // 0: no limit
  uint32_t keepDays = 0;      // 0: no limit
  int64_t minFreeBytes = -1;  // -1: the default (1 GiB, at most 5 % of the file system)
  double timeout = 10;
  double maxLag = 5;
};

// Parses the text of cameras.conf into *config (which starts from the defaults); dir is the
// directory of the file. On a bad line returns false with "line N: what is wrong" in *error.
bool ParseMediaConfig(const std::string& text, const std::string& dir, MediaConfig* config,
                      std::string* error);

// Where the settings are: $ZENT_CAMERAS_CONF when set, else cameras.conf beside the plugin
// (pluginDir) when it is there (a build tree, a demo), else where the install put it:
// /etc/zentserver/cameras.conf (<prefix>/etc/zentserver for a plugin installed under another
// prefix than /usr).
std::string MediaConfigPath(const std::string& pluginDir);

// Reads and parses the file at path. A missing file gives the defaults (no camera); a file that
// the trust check refuses (see plugin_trust.h) or that holds a bad line gives false and the
// reason in *error.
bool LoadMediaConfig(const std::string& path, MediaConfig* config, std::string* error);

// Whether name may name a camera: it is also the name of its directory of recordings.
bool ValidCameraName(const std::string& name);

}  // namespace media

#endif  // ZENT_PLUGINS_MEDIA_COMMON_MEDIA_CONFIG_H_
