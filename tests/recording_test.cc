// camera_rtsp and recorder_segments in the real server: a stream over RTSP from a real RTSP
// server, or the test clip read as a file, into segments that ffprobe reads and ffmpeg decodes;
// a camera that goes away and comes back, one that never answers, a kill in the middle of a
// segment, a full disk, retention, the login of a camera, and a camera held back by a slow
// consumer.
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "media/media_test_support.h"
#include "media_protocol.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Stops the server with a key and checks that it ended well.
void StopServer(zt::ServerProcess* server) {
  server->WriteStdin("\n");
  ASSERT_TRUE(server->Wait()) << server->Stderr();
  EXPECT_EQ(server->ExitCode(), 0) << server->Stderr();
}

// Every segment plays: ffprobe reads it, it starts with a keyframe and ffmpeg decodes it all.
void ExpectPlayable(const std::string& path, const zt::SegmentProbe& probe) {
  EXPECT_EQ(probe.error, "") << path;
  EXPECT_TRUE(probe.startsWithKeyframe) << path;
  EXPECT_GT(probe.videoPackets, 0u) << path;
  EXPECT_EQ(probe.decodeErrors, "") << path;
}

std::string FileCamera(const std::string& name, const std::string& options = "") {
  return "camera " + name + " " + ZENT_MEDIA_CLIP + " loop=yes " + options + "\n";
}

off_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

TEST(RecordingTest, RecordsAnRtspStreamIntoContinuousPlayableSegments) {
  if (!zt::RtspServer::Unavailable().empty()) GTEST_SKIP() << zt::RtspServer::Unavailable();
  zt::RtspServer rtsp;
  ASSERT_TRUE(rtsp.Start());
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 2\ncamera front " + rtsp.Url() + "\n");
  const std::string record = media.AddListener();
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] { return zt::ClosedSegments(record).size() >= 3; }))
      << server->Stderr();
  StopServer(server.get());

  // Each closed segment was announced with its file, size and length.
  const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
  const std::vector<std::string> closed = zt::ClosedSegments(record);
  ASSERT_GE(files.size(), 3u);
  ASSERT_GE(closed.size(), 3u);
  for (const std::string& text : closed) {
    const nlohmann::json segment = nlohmann::json::parse(text);
    EXPECT_EQ(segment["camera"], "front");
    const std::string path = segment["path"];
    EXPECT_NE(std::find(files.begin(), files.end(), path), files.end()) << text;
    EXPECT_EQ(segment["bytes"].get<off_t>(), SizeOf(path)) << text;
    EXPECT_GT(segment["start"].get<double>(), 1.6e9) << text;
  }
  // A segment ends at the first keyframe at least 2 s after its start: with the clip's keyframe
  // every 2 s that is 2 s, or a whole number of groups more when the test's RTSP server, short
  // of CPU, dropped a late keyframe (seen on a loaded machine).
  const double duration = nlohmann::json::parse(closed[0])["duration"].get<double>();
  EXPECT_GE(duration, 1.95);
  EXPECT_NEAR(std::remainder(duration, 2.0), 0.0, 0.05) << duration;

  // recordings/<camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4, each playable, each starting where the one
  // before ended.
  double end = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string relative = files[i].substr(media.Recordings().size());
    EXPECT_EQ(relative.size(), std::strlen("/front/2025-01-01/12-00-00.mp4")) << relative;
    EXPECT_EQ(relative.compare(0, 7, "/front/"), 0) << relative;
    const zt::SegmentProbe probe = zt::ProbeSegment(files[i]);
    ExpectPlayable(files[i], probe);
    EXPECT_EQ(probe.codecs, (std::vector<std::string>{"h264", "aac"})) << files[i];
    EXPECT_EQ(probe.width, 640);
    if (i > 0) {
      EXPECT_NEAR(probe.firstVideoTime, end, 0.001) << files[i];
    }
    end = probe.endVideoTime;
  }
  EXPECT_EQ(zt::LinesWith(server->Stderr(), "camera front: " + rtsp.Url() + ": h264 640x360"), 1u)
      << server->Stderr();
  rtsp.Stop();
}

TEST(RecordingTest, ReconnectsAfterTheStreamGoesAwayAndKeepsTheSegmentBeforeTheGapWhole) {
  if (!zt::RtspServer::Unavailable().empty()) GTEST_SKIP() << zt::RtspServer::Unavailable();
  zt::RtspServer rtsp;
  ASSERT_TRUE(rtsp.Start());
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 60\ncamera gate " + rtsp.Url() + "\n");
  const std::string record = media.AddListener();
  auto server = media.Start();
  // Two seconds and more into the first segment, the RTSP server goes.
  std::string first;
  ASSERT_TRUE(zt::WaitUntil([&] {
    const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
    if (!files.empty()) first = files[0];
    return !first.empty() && SizeOf(first) > 300000;
  })) << server->Stderr();
  const int port = rtsp.port();
  rtsp.Stop();
  ASSERT_TRUE(zt::WaitUntil([&] { return zt::LinesWith(server->Stderr(), "trying again") > 0; }))
      << server->Stderr();
  ASSERT_TRUE(rtsp.Start(port));
  ASSERT_TRUE(zt::WaitUntil([&] { return zt::LinesWith(server->Stderr(), "back after") > 0; }))
      << server->Stderr();
  // The new connection closes the segment before the gap and begins another.
  ASSERT_TRUE(zt::WaitUntil([&] {
    const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
    return zt::ClosedSegments(record).size() == 1 && files.size() == 2 && SizeOf(files[1]) > 100000;
  })) << server->Stderr();
  StopServer(server.get());
  rtsp.Stop();

  const std::string log = server->Stderr();
  EXPECT_EQ(zt::LinesWith(log, "trying again"), 1u) << log;  // once per outage
  EXPECT_EQ(zt::LinesWith(log, "camera gate: back after"), 1u) << log;
  EXPECT_EQ(nlohmann::json::parse(zt::ClosedSegments(record)[0])["path"], first);
  const zt::SegmentProbe before = zt::ProbeSegment(first);
  ExpectPlayable(first, before);
  EXPECT_GT(before.endVideoTime, 2.0);
  const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
  ASSERT_EQ(files.size(), 2u);
  const zt::SegmentProbe after = zt::ProbeSegment(files[1]);
  ExpectPlayable(files[1], after);
  EXPECT_EQ(after.firstVideoTime, 0.0);  // a new connection, a new timeline
}

TEST(RecordingTest, AStreamWhoseParametersChangeIsAnnouncedAgainAndRecordedAfresh) {
  if (!zt::RtspServer::Unavailable().empty()) GTEST_SKIP() << zt::RtspServer::Unavailable();
  zt::RtspServer rtsp;
  ASSERT_TRUE(rtsp.Start(0, {"--in-band"}, ZENT_MEDIA_CHANGE_CLIP));
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 60\ncamera booth " + rtsp.Url() + "\n");
  const std::string record = media.AddListener();
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] {
    return zt::LinesWith(server->Stderr(), "camera booth: the stream changed: h264 320x180") == 1 &&
           zt::ClosedSegments(record).size() == 1;
  })) << server->Stderr();
  // The clip ends after 8 s; the second segment is closed by the stop.
  StopServer(server.get());
  rtsp.Stop();
  const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
  ASSERT_GE(files.size(), 2u);
  const zt::SegmentProbe before = zt::ProbeSegment(files[0]), after = zt::ProbeSegment(files[1]);
  ExpectPlayable(files[0], before);
  ExpectPlayable(files[1], after);
  EXPECT_EQ(before.width, 640);
  EXPECT_EQ(after.width, 320);
  EXPECT_EQ(after.height, 180);
}

TEST(RecordingTest, ACameraThatNeverAnswersDelaysNeitherTheStartNorTheStop) {
  // Takes connections (the kernel answers for it) and never says a word.
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 16), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";

  constexpr double kTimeout = 4;
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 2\ncamera mute " + url + " timeout=4\n" +
                      FileCamera("clip"));
  const std::string record = media.AddListener();
  const Clock::time_point start = Clock::now();
  auto server = media.Start();
  ASSERT_TRUE(server->WaitForStdout("press any key"));
  EXPECT_LT(Seconds(Clock::now() - start), kTimeout);
  // The camera that answers records; the other is given up once per outage, in words.
  ASSERT_TRUE(zt::WaitUntil([&] { return zt::ClosedSegments(record).size() >= 2; }));
  ASSERT_TRUE(zt::WaitUntil([&] {
    return zt::LinesWith(server->Stderr(), "no answer within 4 s; trying again") == 1;
  })) << server->Stderr();
  const Clock::time_point stop = Clock::now();
  StopServer(server.get());
  EXPECT_LT(Seconds(Clock::now() - stop), kTimeout) << server->Stderr();
  EXPECT_EQ(zt::LinesWith(server->Stderr(), "camera mute:"), 2u) << server->Stderr();  // + stopped
  close(silent);
}

TEST(RecordingTest, AKillInTheMiddleOfASegmentLeavesItPlayable) {
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 60\n" + FileCamera("hall"));
  auto server = media.Start();
  std::string file;
  ASSERT_TRUE(zt::WaitUntil([&] {
    const std::vector<std::string> files = zt::SegmentFiles(media.Recordings());
    if (!files.empty()) file = files[0];
    return !file.empty() && SizeOf(file) > 400000;
  })) << server->Stderr();
  server->Signal(SIGKILL);
  ASSERT_TRUE(server->Wait());
  const zt::SegmentProbe probe = zt::ProbeSegment(file);
  ExpectPlayable(file, probe);
  EXPECT_GE(probe.endVideoTime, 2.0);
}

TEST(RecordingTest, RetentionDeletesByAgeThenTheOldestBySize) {
  zt::MediaInstallation media;
  const std::string root = media.Recordings();
  const time_t now = time(nullptr);
  // Segments left by earlier runs: "desk" is recorded now and keeps 2 days, "attic" (no longer
  // configured) the 5 days of the file.
  struct Old {
    std::string path;
    size_t bytes;
    double ageDays;
  };
  const std::vector<Old> old = {
      {"/desk/2020-01-01/10-00-00.mp4", 100000, 3},  // older than desk's 2 days
      {"/desk/2020-01-02/10-00-00.mp4", 300000, 0.1},
      {"/attic/2020-01-01/09-00-00.mp4", 100000, 10},  // older than the 5 days of the file
      {"/attic/2020-01-01/10-00-00.mp4", 1500000, 3},  // the oldest left: beyond keep_size
      {"/attic/2020-01-02/10-00-00.mp4", 400000, 0.05},
  };
  const std::vector<std::string> strangers = {"/notes.txt", "/attic/2020-01-01/readme",
                                              "/attic/2020-01-01/10-00-00.mp4.part"};
  zt::MakeDirectory(root);
  for (const char* dir : {"/desk", "/desk/2020-01-01", "/desk/2020-01-02", "/attic",
                          "/attic/2020-01-01", "/attic/2020-01-02"}) {
    zt::MakeDirectory(root + dir);
  }
  for (const Old& segment : old) {
    zt::WriteFile(root + segment.path, std::string(segment.bytes, 'x'));
    const timeval times[2] = {{now, 0}, {now - static_cast<time_t>(segment.ageDays * 86400), 0}};
    ASSERT_EQ(utimes((root + segment.path).c_str(), times), 0);
  }
  for (const std::string& path : strangers) zt::WriteFile(root + path, "not a segment");

  media.WriteSettings("segment_seconds 2\nkeep_days 5\nkeep_size 2M\n" +
                      FileCamera("desk", "keep_days=2"));
  const std::string record = media.AddListener();
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] { return !zt::ClosedSegments(record).empty(); }));
  StopServer(server.get());
  EXPECT_FALSE(zt::FileExists(root + old[0].path));
  EXPECT_TRUE(zt::FileExists(root + old[1].path));
  EXPECT_FALSE(zt::FileExists(root + old[2].path));
  EXPECT_FALSE(zt::FileExists(root + old[3].path));
  EXPECT_TRUE(zt::FileExists(root + old[4].path));
  for (const std::string& path : strangers) EXPECT_TRUE(zt::FileExists(root + path)) << path;
  EXPECT_FALSE(zt::FileExists(root + "/desk/2020-01-01"));  // emptied, so removed
  EXPECT_NE(server->Stderr().find("5 segments there"), std::string::npos) << server->Stderr();
}

TEST(RecordingTest, AFullDiskStopsWritingFreesByRetentionAndResumes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  zt::MediaInstallation media;
  const std::string root = media.Recordings();
  zt::MakeDirectory(root);
  if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{root};
  // As fast as the recorder writes: the 4 MiB are full within a second, again and again.
  media.WriteSettings("segment_seconds 2\nmin_free 0\n" + FileCamera("roof", "realtime=no"));
  const std::string record = media.AddListener();
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] {
    const std::string log = server->Stderr();
    const size_t resumed = log.find("recording resumes");
    return resumed != std::string::npos && zt::ClosedSegments(record).size() > 12;
  })) << server->Stderr();
  StopServer(server.get());
  const std::string log = server->Stderr();
  EXPECT_GE(zt::LinesWith(log, "is full (writing"), 1u) << log;
  EXPECT_GE(zt::LinesWith(log, "No space left on device"), 1u) << log;
  // What is left on the disk plays, the segment that the full disk cut short included.
  const std::vector<std::string> files = zt::SegmentFiles(root);
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) ExpectPlayable(file, zt::ProbeSegment(file));
}

TEST(RecordingTest, CredentialsComeFromASecretFileAndStayOutOfTheLog) {
  if (!zt::RtspServer::Unavailable().empty()) GTEST_SKIP() << zt::RtspServer::Unavailable();
  const std::string password = "Op3n Sesame:@/%";
  zt::RtspServer rtsp;
  ASSERT_TRUE(rtsp.Start(0, {"--user", "alice:" + password}));
  zt::MediaInstallation media;
  media.WriteSettings("segment_seconds 2\ncredentials cameras.secret\ncamera door " + rtsp.Url() +
                      "\n");
  const std::string secret = media.install().plugins() + "/cameras.secret";
  zt::WriteFile(secret, "# the door's login\ndoor alice " + password + "\n");

  // Readable by others: refused, and so is the camera plugin.
  ASSERT_EQ(chmod(secret.c_str(), 0644), 0);
  auto refused = media.Start();
  ASSERT_TRUE(refused->WaitForStdout("press any key"));
  StopServer(refused.get());
  EXPECT_EQ(zt::LinesWith(refused->Stderr(), "cameras.secret: readable by others; not loaded"), 1u)
      << refused->Stderr();

  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const std::string record = media.AddListener();
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] { return !zt::ClosedSegments(record).empty(); }))
      << server->Stderr();
  StopServer(server.get());
  rtsp.Stop();
  for (const zt::ServerProcess* run : {refused.get(), server.get()}) {
    EXPECT_EQ(run->Stderr().find("Sesame"), std::string::npos) << run->Stderr();
    EXPECT_EQ(run->Stdout().find("Sesame"), std::string::npos) << run->Stdout();
  }
}

TEST(RecordingTest, ACameraHeldBackDropsWholeGroupsOfPicturesOnly) {
  zt::MediaInstallation media;
  media.WriteSettings(FileCamera("lane", "max_lag=0.5"));
  // A consumer that keeps every packet for 20 ms: slower than the stream's 72 packets a second.
  const std::string record = media.AddListener(
      MEDIA_PACKET_MATCH, "retain 1\nrelease thread\nrelease_delay_ms 20\nrecord_extra 1\n");
  auto server = media.Start();
  ASSERT_TRUE(zt::WaitUntil([&] {
    return zt::LinesWith(server->Stderr(), "dropping whole groups of pictures") > 0;
  })) << server->Stderr();
  ASSERT_TRUE(
      zt::WaitUntil([&] { return zt::EventsNamed(zt::ReadEvents(record), "write").size() > 400; }));
  StopServer(server.get());

  std::vector<MediaPacketInfo> packets;
  for (const zt::Event& event : zt::EventsNamed(zt::ReadEvents(record), "write")) {
    const std::string extra = zt::Unhex(event["xhex"]);
    MediaPacketInfo info;
    ASSERT_GE(extra.size(), sizeof info);
    std::memcpy(&info, extra.data(), sizeof info);
    packets.push_back(info);
  }
  // Every gap in the numbers ends at a keyframe, and what was sent between two gaps is whole
  // groups: the clip has 50 pictures to a group.
  uint64_t gaps = 0, missing = 0, pictures = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const bool video = packets[i].track == 0;
    if (i > 0 && packets[i].sequence != packets[i - 1].sequence + 1) {
      EXPECT_TRUE(video && (packets[i].flags & MEDIA_PACKET_KEY) != 0) << "packet " << i;
      EXPECT_EQ(pictures % 50, 0u) << "a group cut short before packet " << i;
      ++gaps;
      missing += packets[i].sequence - packets[i - 1].sequence - 1;
      pictures = 0;
    }
    pictures += video;
  }
  EXPECT_GT(gaps, 0u);
  // The camera's own count covers them (and whatever it dropped after the last one sent).
  const std::string log = server->Stderr();
  unsigned long long groups = 0, dropped = 0;
  const size_t at = log.find("groups of pictures dropped");
  ASSERT_NE(at, std::string::npos) << log;
  ASSERT_EQ(std::sscanf(log.c_str() + log.rfind(", ", at) + 2,
                        "%llu groups of pictures dropped (%llu", &groups, &dropped),
            2)
      << log;
  EXPECT_GE(groups, gaps);
  EXPECT_GE(dropped, missing);
}

}  // namespace
