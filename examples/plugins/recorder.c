/*
 * recorder.c: writes the camera's frames into a YUV4MPEG2 file (.y4m), which common video
 * players and converters open.
 *
 * Write runs on the core's one event handler thread, and every queued delivery of the server
 * waits while it runs; so it does not write anything itself. It keeps the frame's buffer
 * (retained = 1) and queues it for the writer thread, which appends the frame to
 * <directory>/demo-YYYYmmdd-HHMMSS.y4m and then gives the buffer back with MSG_RELEASE. Until then
 * the frame's channel stays held and the camera's next frame waits: when the disk is slow, the
 * recorder sets the pace and no frame is lost.
 *
 * What runs where:
 *   Load    main thread          describe the plugin: Write calls for frames
 *   Open    main thread          start the writer thread
 *   Write   event handler        keep the frame, queue it for the writer
 *   IOCTL   event handler        the status document (command 2); nothing to do
 *   Close   main thread          the writer finishes every queued frame and ends; close the file
 *   Unload  main thread          the same, should Close not have run
 *
 * Settings (environment): ZENT_DEMO_WRITE_DELAY_MS, see demo_protocol.h; ZENT_RECORDINGS_DIR,
 * the directory of the recordings, created (one level) if it is missing: by default
 * "recordings" in the server's working directory, which is the executable's directory. The
 * installed service sets it to a directory under its state directory.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <zentserver/plugin_api.h>

#include "demo_protocol.h"

#define QUEUE_SLOTS 64
#define DEFAULT_RECORDINGS_DIR "recordings"

typedef struct Frame {
  const void* data; /* the core's buffer, ours until given back */
  uint32_t length;
  DemoFrameInfo info;
} Frame;

static CoreCallbackFn g_callback;
static long g_writeDelayMs;
static char g_dir[PATH_MAX - 64]; /* room for the file name in g_path */

/* The frames waiting for the writer, guarded by g_lock. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_wake = PTHREAD_COND_INITIALIZER;
static Frame g_queue[QUEUE_SLOTS];
static int g_head, g_count;
static int g_writerRunning, g_stopping;
static pthread_t g_writer;
static uint32_t g_kept, g_refused; /* by Write */

/* The writer thread's own state; Close reads it after joining the thread. */
static FILE* g_file;
static char g_path[PATH_MAX];
static int g_failed; /* the file could not be opened or written: frames are given back only */
static uint32_t g_width, g_height, g_written, g_givenBack, g_lost, g_nextSequence;

/* Gives a kept buffer back. The source must be our own id: the core holds the buffer for us
 * under that id. Once every holder gave it back, the core frees it and frees the channel. */
static void GiveBack(const void* data) {
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.data = data;
  message.source = DEMO_RECORDER_ID;
  message.flags = MSG_RELEASE; /* the whole flags word */
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  g_callback(&message, &reply);
  ++g_givenBack;
}

/* Creates a new file in the recordings directory and writes the stream header; 0 on
 * failure. */
static int OpenRecording(const DemoFrameInfo* info) {
  if (mkdir(g_dir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "recorder: cannot create %s/: %s\n", g_dir, strerror(errno));
    return 0;
  }
  char stamp[32];
  time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  /* "x": never overwrite an earlier recording; a second one in the same second gets a suffix. */
  for (int attempt = 0; attempt < 100 && g_file == NULL; ++attempt) {
    if (attempt == 0) {
      snprintf(g_path, sizeof g_path, "%s/demo-%s.y4m", g_dir, stamp);
    } else {
      snprintf(g_path, sizeof g_path, "%s/demo-%s-%d.y4m", g_dir, stamp, attempt);
    }
    g_file = fopen(g_path, "wbx");
    if (g_file == NULL && errno != EEXIST) break;
  }
  if (g_file == NULL) {
    fprintf(stderr, "recorder: cannot create %s: %s\n", g_path, strerror(errno));
    return 0;
  }
  g_width = info->width;
  g_height = info->height;
  g_nextSequence = info->sequence;
  /* Progressive, square pixels, 4:2:0 with centred chroma (I420). */
  fprintf(g_file, "YUV4MPEG2 W%u H%u F%u:1 Ip A1:1 C420jpeg\n", info->width, info->height,
          info->fps);
  printf("recorder: writing %s (%ux%u, %u fps)\n", g_path, info->width, info->height, info->fps);
  fflush(stdout);
  return 1;
}

static void WriteFrame(const Frame* frame) {
  if (g_failed) return;
  if (g_file == NULL && !OpenRecording(&frame->info)) {
    g_failed = 1;
    return;
  }
  if (frame->info.width != g_width || frame->info.height != g_height) return;
  if (frame->info.sequence > g_nextSequence) g_lost += frame->info.sequence - g_nextSequence;
  g_nextSequence = frame->info.sequence + 1;
  if (fputs("FRAME\n", g_file) < 0 ||
      fwrite(frame->data, 1, frame->length, g_file) != frame->length) {
    fprintf(stderr, "recorder: writing %s failed: %s; recording stops here\n", g_path,
            strerror(errno));
    g_failed = 1;
    return;
  }
  ++g_written;
}

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

static void* WriterThread(void* arg) {
  (void)arg;
  for (;;) {
    pthread_mutex_lock(&g_lock);
    while (g_count == 0 && !g_stopping) pthread_cond_wait(&g_wake, &g_lock);
    if (g_count == 0) { /* stopping, and every kept frame is written */
      pthread_mutex_unlock(&g_lock);
      break;
    }
    Frame frame = g_queue[g_head];
    g_head = (g_head + 1) % QUEUE_SLOTS;
    --g_count;
    pthread_mutex_unlock(&g_lock);

    if (g_writeDelayMs > 0) SleepMs(g_writeDelayMs);
    WriteFrame(&frame);
    /* Whatever became of the frame, the buffer goes back: the core frees it only then. */
    GiveBack(frame.data);
  }
  return NULL;
}

/* Lets the writer finish every queued frame, waits for it and closes the file. Later calls do
 * nothing. */
static void StopRecording(void) {
  pthread_mutex_lock(&g_lock);
  g_stopping = 1;
  pthread_cond_broadcast(&g_wake);
  int running = g_writerRunning;
  g_writerRunning = 0;
  pthread_mutex_unlock(&g_lock);
  if (!running) return;
  pthread_join(g_writer, NULL);
  if (g_file != NULL) {
    if (fclose(g_file) != 0) {
      fprintf(stderr, "recorder: closing %s failed: %s\n", g_path, strerror(errno));
    }
    g_file = NULL;
    printf("recorder: closed %s with %u frames (kept %u, given back %u, lost %u, refused %u)\n",
           g_path, g_written, g_kept, g_givenBack, g_lost, g_refused);
  } else {
    printf("recorder: nothing recorded (kept %u, given back %u, refused %u)\n", g_kept, g_givenBack,
           g_refused);
  }
  fflush(stdout);
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  const char* delay = getenv("ZENT_DEMO_WRITE_DELAY_MS");
  if (delay != NULL) g_writeDelayMs = strtol(delay, NULL, 10);
  if (g_writeDelayMs < 0 || g_writeDelayMs > 10000) g_writeDelayMs = 0;
  const char* dir = getenv("ZENT_RECORDINGS_DIR");
  if (dir == NULL || *dir == 0) dir = DEFAULT_RECORDINGS_DIR;
  if (strlen(dir) >= sizeof g_dir) {
    fprintf(stderr, "recorder: ZENT_RECORDINGS_DIR is too long\n");
    return 1;
  }
  strcpy(g_dir, dir);

  g_callback = context->callback;
  info->id = DEMO_RECORDER_ID;
  /* Frames are queued messages of class bit 2: mask entry 2 holds their queued match value. */
  info->classMasks[DEMO_VIDEO_CLASS] = DEMO_FRAME_MATCH;
  info->acceptsWrite = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  pthread_mutex_lock(&g_lock);
  g_writerRunning = pthread_create(&g_writer, NULL, WriterThread, NULL) == 0;
  int running = g_writerRunning;
  pthread_mutex_unlock(&g_lock);
  return running ? 0 : -1; /* the core publishes this code in the status document */
}

ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  DemoFrameInfo info;
  memcpy(&info, request->extra, sizeof info);
  if (request->code != DEMO_CODE_FRAME || info.magic != DEMO_FRAME_MAGIC || request->data == NULL ||
      info.width == 0 || info.width > 4096 || info.height > 4096 ||
      request->length != DEMO_FRAME_BYTES(info.width, info.height)) {
    return 0; /* not a frame this recorder understands: not kept */
  }
  Frame frame = {request->data, request->length, info};
  pthread_mutex_lock(&g_lock);
  if (g_writerRunning && !g_stopping && g_count < QUEUE_SLOTS) {
    g_queue[(g_head + g_count) % QUEUE_SLOTS] = frame;
    ++g_count;
    ++g_kept;
    /* The buffer stays valid, read only, until GiveBack; the core counts our hold. */
    reply->retained = 1;
    pthread_cond_signal(&g_wake);
  } else {
    ++g_refused;
  }
  pthread_mutex_unlock(&g_lock);
  return 0;
}

/* Exported although acceptsRead is 0, so the core logs no missing entry point: it never
 * calls it. */
ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply) {
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
  (void)reply;
  return 0;
}

ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopRecording();
  return 0;
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopRecording();
  return 0;
}
