/*
 * demo_protocol.h: what the three example plugins (camera, recorder, monitor) agree on.
 *
 * The core assigns nothing: identifiers, codes, class bits, channels and payload formats are
 * chosen by the plugins that talk to each other. This header is the one place where the
 * examples write their choices down. Copy it and change every value when you build your own
 * set of plugins.
 *
 *   who        id    takes          subscribes to
 *   camera     101   Read (start)   nothing; it sends
 *   recorder   102   Write          frames (queued, class bit 2)
 *   monitor    103   Read, Write    frames, stream announcements (broadcast, class bit 2), the
 *                                   core's clock message (queued, class bit 6)
 *
 * Message flow:
 *   1. The camera broadcasts a stream announcement (source 0, channel DEMO_FRAME_CHANNEL,
 *      payload DemoStreamInfo). The broadcast opens the channel.
 *   2. The camera sends every frame as a queued message (source DEMO_CAMERA_ID, same channel,
 *      payload one I420 picture, DemoFrameInfo in the message's extra bytes). The channel lets
 *      only one frame be in flight: the camera's next send waits until the previous frame is
 *      given back by everyone who kept it.
 *   3. The recorder keeps each frame (retained), writes it on its own thread and gives it back
 *      with MSG_RELEASE. The monitor only counts frames and keeps nothing.
 *
 * Environment variables read by the examples (all optional):
 *   ZENT_DEMO_SIZE=WxH           camera picture size, even, 64x64 to 4096x4096 (320x240)
 *   ZENT_DEMO_FPS=N              camera frame rate, 1 to 100 (25)
 *   ZENT_DEMO_FRAMES=N           the camera stops after N frames; 0 = until the server stops (0)
 *   ZENT_DEMO_WRITE_DELAY_MS=N   the recorder waits N ms before writing each frame, to play a
 *                                slow disk: the channel then holds the camera back (0)
 */
#ifndef ZENT_DEMO_PROTOCOL_H_
#define ZENT_DEMO_PROTOCOL_H_

#include <stdint.h>
#include <zentserver/plugin_api.h>

/* Plugin identifiers (PluginInfo.id); unique among the plugins of one server. */
#define DEMO_CAMERA_ID 101u
#define DEMO_RECORDER_ID 102u
#define DEMO_MONITOR_ID 103u

/* The channel the camera's frames travel on. */
#define DEMO_FRAME_CHANNEL 7u

/* Class bit 2 (flags 0x04, subscription mask entry 2) carries everything about video. */
#define DEMO_VIDEO_CLASS 2
#define DEMO_VIDEO_FLAG MSG_CLASS_BIT(DEMO_VIDEO_CLASS)

/* Event codes: high byte category bits, low 24 bits event bits. */
#define DEMO_CODE_FRAME 0x04000001u  /* queued: one picture */
#define DEMO_CODE_STREAM 0x04000004u /* broadcast: a camera starts streaming */

/* Masks hold match values, not codes: the category byte moves one bit up for a queued message
 * (ZENT_QUEUED_MATCH) and one bit down for a broadcast (ZENT_BROADCAST_MATCH). */

/* 0x08000001: what a plugin puts into mask entry 2 to receive frames by Write. */
#define DEMO_FRAME_MATCH ZENT_QUEUED_MATCH(DEMO_CODE_FRAME)
/* 0x02000004: what a plugin puts into mask entry 2 to receive stream announcements by Read. */
#define DEMO_STREAM_MATCH ZENT_BROADCAST_MATCH(DEMO_CODE_STREAM)

/* The plugins camera_rtsp and recorder_segments (docs/cameras.md) use class bit 2 as well: a
 * camera's compressed packets (queued, one per message) and, for every segment the recorder
 * closes, a line of JSON text naming its file (queued). The monitor counts the first and prints
 * the second. */
#define DEMO_CODE_MEDIA_PACKET 0x04000200u
#define DEMO_CODE_SEGMENT_CLOSED 0x04000400u
#define DEMO_MEDIA_MATCH \
  (ZENT_QUEUED_MATCH(DEMO_CODE_MEDIA_PACKET) | ZENT_QUEUED_MATCH(DEMO_CODE_SEGMENT_CLOSED))

/* Sent by the core itself (source CORE_SOURCE) when the wall clock jumps: class bit 6, payload
 * the text "system time changed by %d seconds" without a terminating zero. */
#define DEMO_CLOCK_CLASS 6
#define DEMO_CORE_CLOCK_CODE 0x01000002u
#define DEMO_CLOCK_MATCH ZENT_QUEUED_MATCH(DEMO_CORE_CLOCK_CODE) /* 0x02000002 */

/* Payload of a stream announcement. */
#define DEMO_STREAM_MAGIC 0x5A445331u /* "ZDS1" */
typedef struct DemoStreamInfo {
  uint32_t magic;
  uint32_t camera;  /* the camera's id: the source of its frames */
  uint32_t channel; /* where its frames travel */
  uint32_t width;
  uint32_t height;
  uint32_t fps;
} DemoStreamInfo;

/* Description of a frame, carried in Message.extra (and so in WriteRequest.extra). The payload
 * itself is the bare picture: planar YUV 4:2:0 (I420), the Y plane (width x height bytes), then
 * U and V (width/2 x height/2 bytes each). */
#define DEMO_FRAME_MAGIC 0x5A444631u /* "ZDF1" */
typedef struct DemoFrameInfo {
  uint32_t magic;
  uint32_t camera;
  uint32_t sequence; /* 0, 1, 2, ... per camera, one step per frame the core accepted */
  uint32_t width;
  uint32_t height;
  uint32_t fps;
} DemoFrameInfo;

ZENT_STATIC_ASSERT(sizeof(DemoFrameInfo) <= ZENT_MESSAGE_EXTRA_BYTES, "frame info fits extra");

/* Bytes of one I420 picture. */
#define DEMO_FRAME_BYTES(width, height) (3u * (uint32_t)(width) * (uint32_t)(height) / 2u)

/* The top DEMO_CODE_ROWS rows of every picture show the frame's sequence number as 32 blocks
 * of width/32 pixels, most significant bit on the left: white (Y 235) for 1, black (Y 16) for
 * 0. Anyone can read the number back from a recording. */
#define DEMO_CODE_ROWS 16u
#define DEMO_CODE_BITS 32u
#define DEMO_Y_WHITE 235u
#define DEMO_Y_BLACK 16u

#endif /* ZENT_DEMO_PROTOCOL_H_ */
