/*
 * media_protocol.h: what camera_rtsp, recorder_segments and any plugin that listens to them
 * agree on. docs/cameras.md describes the same for operators and plugin authors.
 *
 *   who                 id    sends                                   takes
 *   camera_rtsp         301   stream announcements (broadcast), one   the core's start call
 *                             packet after another (queued), each
 *                             camera on its own channel
 *   recorder_segments   302   "segment closed" (queued, channel 0)    announcements (Read),
 *                                                                     packets (Write)
 *
 * Everything travels with class bit 2 (flags 0x04), the class of video.
 *
 * 1. On connecting to a camera, camera_rtsp broadcasts a MediaStream (source 0, the camera's
 *    channel): the camera's name, and per track (video first, then audio if the camera has
 *    it) the codec, picture size, frame rate, sample rate, time base and the codec's
 *    extradata, enough to start a file without having seen a packet. The broadcast opens the
 *    channel. It is sent again, with the next generation number, whenever the stream's
 *    parameters change or the camera connects again; a receiver then starts a new file.
 * 2. Every compressed packet goes out as a queued message on the camera's channel (source
 *    MEDIA_CAMERA_ID): the payload is the packet's bytes as the camera sent them (H.264 and
 *    H.265 in Annex B or as the demuxer delivers them), and Message.extra holds a
 *    MediaPacketInfo. The channel holds the next packet back until every plugin that kept this
 *    one has given it back, so a slow recorder sets the camera's pace.
 * 3. For every segment it closes, recorder_segments sends a queued message on channel 0
 *    (source MEDIA_RECORDER_ID) whose payload is one line of JSON text without a terminating
 *    zero: {"camera":"front","path":"/var/lib/zentserver/recordings/front/2025-01-01/
 *    12-00-00.mp4","start":1735732800.040,"duration":60.000,"bytes":31457280} (start: the
 *    wall-clock time of the segment's first picture in seconds since 1970, UTC; duration in
 *    seconds).
 *
 * All numbers are in the byte order of the machine; every 64-bit field sits at a multiple of
 * 8 bytes, so that the layouts are the same in 32-bit and 64-bit builds.
 */
#ifndef ZENT_PLUGINS_MEDIA_PROTOCOL_H_
#define ZENT_PLUGINS_MEDIA_PROTOCOL_H_

#include <stdint.h>
#include <zentserver/plugin_api.h>

#define MEDIA_CAMERA_ID 301u
#define MEDIA_RECORDER_ID 302u

/* Camera N of cameras.conf (N = 0, 1, ...) sends on channel MEDIA_FIRST_CHANNEL + N unless its
 * line says otherwise. */
#define MEDIA_FIRST_CHANNEL 3001u

#define MEDIA_CLASS 2
#define MEDIA_FLAG MSG_CLASS_BIT(MEDIA_CLASS)

#define MEDIA_CODE_STREAM 0x04000100u         /* broadcast: MediaStream */
#define MEDIA_CODE_PACKET 0x04000200u         /* queued: one compressed packet */
#define MEDIA_CODE_SEGMENT_CLOSED 0x04000400u /* queued: a JSON line */

/* What a plugin puts into mask entry MEDIA_CLASS to receive each of them. */
#define MEDIA_STREAM_MATCH ZENT_BROADCAST_MATCH(MEDIA_CODE_STREAM)              /* 0x02000100 */
#define MEDIA_PACKET_MATCH ZENT_QUEUED_MATCH(MEDIA_CODE_PACKET)                 /* 0x08000200 */
#define MEDIA_SEGMENT_CLOSED_MATCH ZENT_QUEUED_MATCH(MEDIA_CODE_SEGMENT_CLOSED) /* 0x08000400 */

#define MEDIA_NAME_BYTES 64 /* a camera's name with its terminating zero */
#define MEDIA_CODEC_BYTES 32
#define MEDIA_MAX_TRACKS 2
#define MEDIA_MAX_EXTRADATA (1u << 20)

#define MEDIA_VIDEO 0u
#define MEDIA_AUDIO 1u

/* One track of a stream announcement. */
typedef struct MediaTrack {
  uint32_t kind;                 /* MEDIA_VIDEO or MEDIA_AUDIO */
  char codec[MEDIA_CODEC_BYTES]; /* FFmpeg's name of the codec: "h264", "hevc", "aac", ... */
  uint32_t timeBaseNum;          /* the unit of the packets' times: num/den seconds */
  uint32_t timeBaseDen;
  uint32_t width; /* video: pictures; 0 when unknown */
  uint32_t height;
  uint32_t frameRateNum; /* video: frames per second as num/den; 0/0 when unknown */
  uint32_t frameRateDen;
  uint32_t sampleRate; /* audio */
  uint32_t channels;
  uint32_t bitsPerCodedSample; /* as FFmpeg's codec parameters have them; 0 when unused */
  uint32_t blockAlign;
  uint32_t frameSize;
  uint32_t extradataBytes; /* the codec's extradata, after the MediaStream (see there) */
} MediaTrack;

/* Payload of a stream announcement: this record, then the extradata of track 0, then that of
 * track 1. */
#define MEDIA_STREAM_MAGIC 0x5A4D5331u /* "ZMS1" */
typedef struct MediaStream {
  uint32_t magic;
  uint32_t source;     /* the id the packets come from */
  uint32_t channel;    /* the channel they travel on */
  uint32_t generation; /* 1 at the first announcement of a camera, one more at each one after */
  uint32_t trackCount; /* 1 to MEDIA_MAX_TRACKS */
  uint32_t reserved;
  char camera[MEDIA_NAME_BYTES];
  MediaTrack tracks[MEDIA_MAX_TRACKS];
} MediaStream;

/* Times of a packet are in its track's time base; this value means "unknown". */
#define MEDIA_NO_TIME INT64_MIN

#define MEDIA_PACKET_KEY 1u /* a keyframe: a decoder may start here */

/* Message.extra of a packet. */
#define MEDIA_PACKET_MAGIC 0x5A4D5031u /* "ZMP1" */
typedef struct MediaPacketInfo {
  uint32_t magic;
  uint32_t generation; /* of the announcement that describes the packet's track */
  uint32_t track;      /* index into MediaStream.tracks */
  uint32_t flags;      /* MEDIA_PACKET_* */
  int64_t pts;         /* presentation time */
  int64_t dts;         /* decoding time */
  int64_t duration;    /* 0 when unknown */
  int64_t captureUs;   /* wall clock when camera_rtsp received it: microseconds since 1970 */
  uint64_t sequence;   /* per camera, one step per packet read: a gap counts dropped packets */
  char camera[MEDIA_NAME_BYTES];
} MediaPacketInfo;

ZENT_STATIC_ASSERT(sizeof(MediaTrack) == 84, "MediaTrack layout");
ZENT_STATIC_ASSERT(sizeof(MediaStream) == 24 + MEDIA_NAME_BYTES + 2 * 84, "MediaStream layout");
ZENT_STATIC_ASSERT(sizeof(MediaPacketInfo) == 56 + MEDIA_NAME_BYTES, "MediaPacketInfo layout");
ZENT_STATIC_ASSERT(sizeof(MediaPacketInfo) <= ZENT_MESSAGE_EXTRA_BYTES, "packet info fits extra");

#endif /* ZENT_PLUGINS_MEDIA_PROTOCOL_H_ */
