/*
 * camera.c: a synthetic camera.
 *
 * On a thread of its own it draws a moving test pattern (scrolling colour bars, a bouncing
 * grey square and the frame number as a bar code at the top) and sends every picture as a
 * queued message on channel DEMO_FRAME_CHANNEL. Only one message may be in flight on a
 * channel, so a send waits while the recorder still holds the previous frame: a slow consumer
 * holds the camera back instead of letting frames pile up in the core. A picture is lost only
 * if the core refuses it, and the camera counts that.
 *
 * What runs where:
 *   Load    main thread          read the settings, describe the plugin
 *   Open    main thread          nothing: the core is not delivering yet
 *   Read    a call thread        the core's start call: start the camera thread
 *   IOCTL   event handler        the status document (command 2); nothing to do
 *   Close   main thread          stop the camera thread and wait for it
 *   Unload  main thread          the same, should Close not have run
 *
 * Settings (environment): ZENT_DEMO_SIZE, ZENT_DEMO_FPS, ZENT_DEMO_FRAMES; see demo_protocol.h.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zentserver/plugin_api.h>

#include "demo_protocol.h"

static CoreCallbackFn g_callback; /* the core's callback, from Load */
static uint32_t g_width = 320, g_height = 240, g_fps = 25, g_frameLimit;

/* Shared by the start call, the camera thread and Close. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_wake; /* on the monotonic clock, made in Load */
static int g_condReady, g_started, g_stopping;
static pthread_t g_thread;

/* Written by the camera thread only; Close reads them after joining it. */
static uint32_t g_sent, g_refused, g_heldBack;
static double g_heldMs, g_busyMs;

static double Ms(const struct timespec* t) { return t->tv_sec * 1000.0 + t->tv_nsec / 1e6; }

static struct timespec Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

/* Reads the settings; 0 when one of them is not usable. */
static int ReadSettings(void) {
  const char* size = getenv("ZENT_DEMO_SIZE");
  const char* fps = getenv("ZENT_DEMO_FPS");
  const char* frames = getenv("ZENT_DEMO_FRAMES");
  if (size != NULL && *size != 0) {
    unsigned w = 0, h = 0;
    char tail = 0;
    if (sscanf(size, "%ux%u%c", &w, &h, &tail) != 2 || w < 64 || h < 64 || w > 4096 || h > 4096 ||
        w % 2 != 0 || h % 2 != 0) {
      fprintf(stderr, "camera: ZENT_DEMO_SIZE=%s: need WxH, even, 64x64 to 4096x4096\n", size);
      return 0;
    }
    g_width = w;
    g_height = h;
  }
  if (fps != NULL && *fps != 0) {
    long n = strtol(fps, NULL, 10);
    if (n < 1 || n > 100) {
      fprintf(stderr, "camera: ZENT_DEMO_FPS=%s: need 1 to 100\n", fps);
      return 0;
    }
    g_fps = (uint32_t)n;
  }
  if (frames != NULL && *frames != 0) g_frameLimit = (uint32_t)strtoul(frames, NULL, 10);
  return 1;
}

/* A triangle wave: 0 up to span and back, one step per unit of t. */
static uint32_t Bounce(uint32_t t, uint32_t span) {
  if (span == 0) return 0;
  uint32_t phase = t % (2 * span);
  return phase < span ? phase : 2 * span - phase;
}

/* Draws picture number sequence into an I420 buffer of g_width x g_height. */
static void DrawFrame(uint8_t* picture, uint32_t sequence) {
  /* 100% colour bars: white, yellow, cyan, green, magenta, red, blue, black (Y, U, V). */
  static const uint8_t kBars[8][3] = {{235, 128, 128}, {210, 16, 146},  {170, 166, 16},
                                      {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                      {41, 240, 110},  {16, 128, 128}};
  const uint32_t w = g_width, h = g_height, box = 32;
  uint8_t* yPlane = picture;
  uint8_t* uPlane = yPlane + w * h;
  uint8_t* vPlane = uPlane + (w / 2) * (h / 2);
  const uint32_t shift = sequence * 4; /* the bars scroll 4 pixels a frame */
  const uint32_t boxX = Bounce(sequence * 6, w - box);
  const uint32_t boxY = DEMO_CODE_ROWS + Bounce(sequence * 4, h - DEMO_CODE_ROWS - box);
  const uint32_t block = w / DEMO_CODE_BITS;

  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t luma;
      if (y < DEMO_CODE_ROWS) {
        uint32_t bit = x / block;
        luma = bit < DEMO_CODE_BITS && ((sequence >> (DEMO_CODE_BITS - 1 - bit)) & 1u) != 0
                   ? DEMO_Y_WHITE
                   : DEMO_Y_BLACK;
      } else if (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box) {
        luma = 126; /* a grey square, seen on every bar */
      } else {
        luma = kBars[((x + shift) * 8 / w) % 8][0];
      }
      yPlane[y * w + x] = luma;
    }
  }
  /* Chroma, one sample for each 2x2 block: neutral over the code strip and the square. */
  for (uint32_t cy = 0; cy < h / 2; ++cy) {
    for (uint32_t cx = 0; cx < w / 2; ++cx) {
      uint32_t x = cx * 2, y = cy * 2;
      uint8_t u = 128, v = 128;
      int neutral =
          y < DEMO_CODE_ROWS || (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box);
      if (!neutral) {
        const uint8_t* bar = kBars[((x + shift) * 8 / w) % 8];
        u = bar[1];
        v = bar[2];
      }
      uPlane[cy * (w / 2) + cx] = u;
      vPlane[cy * (w / 2) + cx] = v;
    }
  }
}

/* Sends one message through the core; returns the core's answer (RESULT_*). */
static int32_t Send(uint32_t source, uint32_t flags, uint32_t code, const void* data,
                    uint32_t length, const void* extra, size_t extraBytes) {
  Message message;
  memset(&message, 0, sizeof message); /* the sender zero-fills the records it prepares */
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = length;
  message.data = data;
  message.source = source;
  message.channel = DEMO_FRAME_CHANNEL;
  message.flags = flags;
  message.code = code;
  if (extra != NULL) memcpy(message.extra, extra, extraBytes);
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  g_callback(&message, &reply); /* always returns 0; the outcome is in reply.result */
  return reply.result;
}

/* Waits until deadline (monotonic) or until Close asks the thread to stop; 1 when asked. */
static int SleepUntil(const struct timespec* deadline) {
  pthread_mutex_lock(&g_lock);
  while (!g_stopping && pthread_cond_timedwait(&g_wake, &g_lock, deadline) != ETIMEDOUT) {
  }
  int stopping = g_stopping;
  pthread_mutex_unlock(&g_lock);
  return stopping;
}

static void* CameraThread(void* arg) {
  (void)arg;
  const uint32_t length = DEMO_FRAME_BYTES(g_width, g_height);
  uint8_t* picture = malloc(length);
  if (picture == NULL) {
    fprintf(stderr, "camera: no memory for a %u-byte picture\n", length);
    return NULL;
  }

  /* A broadcast (source 0) opens the channel; it reaches every plugin that subscribed to
   * stream announcements, each on a call thread of its own with a copy of the payload. */
  DemoStreamInfo stream = {DEMO_STREAM_MAGIC, DEMO_CAMERA_ID, DEMO_FRAME_CHANNEL,
                           g_width,           g_height,       g_fps};
  Send(0, DEMO_VIDEO_FLAG, DEMO_CODE_STREAM, &stream, sizeof stream, NULL, 0);
  printf("camera: streaming %ux%u at %u fps on channel %u\n", g_width, g_height, g_fps,
         DEMO_FRAME_CHANNEL);
  fflush(stdout);

  const long periodNs = 1000000000L / (long)g_fps;
  struct timespec next = Now(), first = next, last = next;
  uint32_t sequence = 0;
  while (g_frameLimit == 0 || sequence < g_frameLimit) {
    if (SleepUntil(&next)) break;
    DrawFrame(picture, sequence);
    DemoFrameInfo info = {DEMO_FRAME_MAGIC, DEMO_CAMERA_ID, sequence, g_width, g_height, g_fps};
    struct timespec before = Now();
    if (sequence == 0) first = before;
    /* Queued (source = our id): the core copies the picture before it returns, so the buffer
     * is ours again at once. The call waits here while the previous frame holds the channel. */
    int32_t result =
        Send(DEMO_CAMERA_ID, DEMO_VIDEO_FLAG, DEMO_CODE_FRAME, picture, length, &info, sizeof info);
    struct timespec after = Now();
    double took = Ms(&after) - Ms(&before);
    if (took * 1e6 > (double)periodNs) {
      ++g_heldBack;
      g_heldMs += took;
    }
    if (result == RESULT_OK) {
      ++sequence;
      ++g_sent;
      last = after;
    } else {
      ++g_refused;
      /* The channel is closed, or the core has stopped delivering: nothing more will pass. */
      if (result == RESULT_CHANNEL_REFUSED) break;
      /* RESULT_NO_MEMORY: this picture is lost; the same number goes with the next one. */
    }
    /* The next frame is due one period later; after being held back, start afresh from now
     * rather than sending a burst to catch up. */
    next.tv_nsec += periodNs;
    if (next.tv_nsec >= 1000000000L) {
      next.tv_nsec -= 1000000000L;
      ++next.tv_sec;
    }
    if (Ms(&next) < Ms(&after)) next = after;
  }
  g_busyMs = g_sent > 0 ? Ms(&last) - Ms(&first) : 0.0;
  if (g_frameLimit != 0 && sequence == g_frameLimit) {
    printf("camera: sent all %u frames\n", g_frameLimit);
    fflush(stdout);
  }
  free(picture);
  return NULL;
}

/* Stops the camera thread (if it runs) and waits for it; later calls do nothing. */
static void StopCamera(void) {
  pthread_mutex_lock(&g_lock);
  g_stopping = 1;
  if (g_condReady) pthread_cond_broadcast(&g_wake);
  int started = g_started;
  g_started = 0;
  pthread_mutex_unlock(&g_lock);
  if (!started) return;
  /* At Close the core no longer delivers, so a send that waits for the channel is refused
   * at once: the thread cannot be stuck in the core. */
  pthread_join(g_thread, NULL);
  printf(
      "camera: stopped after %u frames sent, %u refused, held back %u times for %.0f ms, "
      "took %.0f ms\n",
      g_sent, g_refused, g_heldBack, g_heldMs, g_busyMs);
  fflush(stdout);
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  if (!ReadSettings()) {
    info->error = 1; /* rejected: the core logs it and unloads this file */
    return 0;
  }
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  g_condReady = pthread_cond_init(&g_wake, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!g_condReady) return -1;

  g_callback = context->callback;
  info->id = DEMO_CAMERA_ID;
  /* No subscription: every mask stays 0. acceptsRead brings the core's start call. */
  info->acceptsRead = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply) {
  (void)reply;
  /* The start call carries nothing. It comes once the core delivers queued messages, which is
   * the moment to start: every plugin is loaded and opened by then. */
  if (request->length != 0 || request->data != NULL) return 0;
  pthread_mutex_lock(&g_lock);
  if (!g_started && !g_stopping) {
    g_started = pthread_create(&g_thread, NULL, CameraThread, NULL) == 0;
  }
  pthread_mutex_unlock(&g_lock);
  return 0;
}

/* Exported although acceptsWrite is 0, so the core logs no missing entry point: it never
 * calls it. */
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  (void)request;
  (void)reply; /* retained stays 0: nothing is kept */
  return 0;
}

ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopCamera();
  return 0;
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopCamera();
  if (g_condReady) pthread_cond_destroy(&g_wake);
  g_condReady = 0;
  return 0;
}
