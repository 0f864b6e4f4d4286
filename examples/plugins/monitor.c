/*
 * monitor.c: prints what runs and what passes.
 *
 *  - the status document, which the core sends every plugin once at start as IOCTL command 2,
 *    as a table of the plugins it lists;
 *  - stream announcements of cameras (broadcasts, as Read calls);
 *  - the core's clock message "system time changed by N seconds" (a queued message of class
 *    bit 6, as a Write call);
 *  - once a second, how many frames and bytes passed (it counts frames by Write and keeps
 *    none of them), and how many packets of real cameras (camera_rtsp);
 *  - the segments that recorder_segments closes.
 *
 * What runs where:
 *   Load    main thread          describe the plugin: Read and Write calls, three subscriptions
 *   Open    main thread          start the reporting thread
 *   Read    call threads         stream announcements, and the core's start call (ignored);
 *                                several may run at once, also during a Write or IOCTL
 *   Write   event handler        frames (counted) and the clock message
 *   IOCTL   event handler        command 2: the status document
 *   Close   main thread          stop the reporting thread
 *   Unload  main thread          the same, should Close not have run
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

/* Counters, written by Write and read by the reporting thread. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_wake; /* on the monotonic clock, made in Load */
static int g_condReady, g_reporterRunning, g_stopping;
static pthread_t g_reporter;
static unsigned long long g_frames, g_bytes, g_packets, g_packetBytes;

/* Copies attribute name of the XML element text[0, end) into out; 0 when it is missing. The
 * core writes attributes as name="value" with no entities in numbers and file names. */
static int Attribute(const char* element, const char* end, const char* name, char* out,
                     size_t size) {
  char pattern[32];
  snprintf(pattern, sizeof pattern, " %s=\"", name);
  size_t patternLength = strlen(pattern);
  for (const char* at = element; at + patternLength < end; ++at) {
    if (strncmp(at, pattern, patternLength) != 0) continue;
    const char* value = at + patternLength;
    const char* close = memchr(value, '"', (size_t)(end - value));
    if (close == NULL) return 0;
    size_t length = (size_t)(close - value);
    if (length >= size) length = size - 1;
    memcpy(out, value, length);
    out[length] = 0;
    return 1;
  }
  return 0;
}

/* Prints the "Plugin" elements of the status document as one table. The payload has no
 * terminating zero, so it is copied first. */
static void PrintStatusDocument(const void* data, uint32_t length) {
  char* text = malloc(length + 1u);
  if (text == NULL) return;
  memcpy(text, data, length);
  text[length] = 0;

  /* One line of at most 256 bytes for the heading and for each "Plugin" element. */
  size_t lines = 1;
  for (const char* at = strstr(text, "<Plugin "); at != NULL; at = strstr(at + 1, "<Plugin ")) {
    ++lines;
  }
  size_t capacity = 256 * lines;
  char* table = malloc(capacity);
  if (table == NULL) {
    free(text);
    return;
  }
  size_t used = 0;
  int rows = 0;
  used += (size_t)snprintf(table + used, capacity - used, "  %-11s %-10s %9s %8s %8s  %s\n", "id",
                           "hex", "open code", "load ms", "open ms", "file");
  for (const char* at = strstr(text, "<Plugin "); at != NULL; at = strstr(at + 1, "<Plugin ")) {
    const char* end = strstr(at, "/>");
    if (end == NULL) break;
    char file[128] = "?", id[16] = "0", open[16] = "?", load[16] = "-", opened[16] = "-";
    Attribute(at, end, "Filename", file, sizeof file);
    Attribute(at, end, "ID", id, sizeof id);
    Attribute(at, end, "OpenCode", open, sizeof open);
    Attribute(at, end, "LoadTime", load, sizeof load);
    Attribute(at, end, "OpenTime", opened, sizeof opened);
    /* IDs are written in signed decimal; show the identifier as the plugin chose it. */
    uint32_t value = (uint32_t)strtol(id, NULL, 10);
    used += (size_t)snprintf(table + used, capacity - used, "  %-11u 0x%08x %9s %8s %8s  %s\n",
                             value, value, open, load, opened, file);
    ++rows;
  }
  printf("monitor: the status document lists %d plugins (the core first):\n%s", rows, table);
  fflush(stdout);
  free(table);
  free(text);
}

static void* ReporterThread(void* arg) {
  (void)arg;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  unsigned long long lastFrames = 0, lastBytes = 0, lastPackets = 0, lastPacketBytes = 0;
  pthread_mutex_lock(&g_lock);
  while (!g_stopping) {
    ++next.tv_sec;
    while (!g_stopping && pthread_cond_timedwait(&g_wake, &g_lock, &next) != ETIMEDOUT) {
    }
    if (g_stopping) break;
    unsigned long long frames = g_frames, bytes = g_bytes, packets = g_packets,
                       packetBytes = g_packetBytes;
    pthread_mutex_unlock(&g_lock);
    if (packets == 0 || frames != 0) {
      printf("monitor: last second %llu frames, %llu bytes; in all %llu frames, %llu bytes\n",
             frames - lastFrames, bytes - lastBytes, frames, bytes);
    }
    if (packets != 0) {
      printf("monitor: last second %llu packets, %llu bytes from cameras; in all %llu packets\n",
             packets - lastPackets, packetBytes - lastPacketBytes, packets);
    }
    fflush(stdout);
    lastFrames = frames;
    lastBytes = bytes;
    lastPackets = packets;
    lastPacketBytes = packetBytes;
    pthread_mutex_lock(&g_lock);
  }
  pthread_mutex_unlock(&g_lock);
  return NULL;
}

static void StopReporter(void) {
  pthread_mutex_lock(&g_lock);
  g_stopping = 1;
  if (g_condReady) pthread_cond_broadcast(&g_wake);
  int running = g_reporterRunning;
  g_reporterRunning = 0;
  pthread_mutex_unlock(&g_lock);
  if (running) pthread_join(g_reporter, NULL);
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  (void)context; /* the monitor sends nothing, so it does not keep the callback */
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  g_condReady = pthread_cond_init(&g_wake, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!g_condReady) return -1;

  info->id = DEMO_MONITOR_ID;
  /* One mask may hold several subscriptions of the same class bit. A message matches when all
   * bits of its match value are in the mask, so frames (queued, 0x08000001) and stream
   * announcements (broadcast, 0x02000004) both match 0x0A000005. */
  info->classMasks[DEMO_VIDEO_CLASS] = DEMO_FRAME_MATCH | DEMO_STREAM_MATCH | DEMO_MEDIA_MATCH;
  info->classMasks[DEMO_CLOCK_CLASS] = DEMO_CLOCK_MATCH;
  info->acceptsRead = 1;
  info->acceptsWrite = 1;
  return 0;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  pthread_mutex_lock(&g_lock);
  g_reporterRunning = pthread_create(&g_reporter, NULL, ReporterThread, NULL) == 0;
  int running = g_reporterRunning;
  pthread_mutex_unlock(&g_lock);
  return running ? 0 : -1;
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply) {
  (void)reply;
  /* A broadcast's payload is a private copy, valid during this call only. */
  DemoStreamInfo stream;
  if (request->data == NULL || request->length != sizeof stream) return 0; /* the start call */
  memcpy(&stream, request->data, sizeof stream);
  if (stream.magic != DEMO_STREAM_MAGIC) return 0;
  printf("monitor: camera %u streams %ux%u at %u fps on channel %u\n", stream.camera, stream.width,
         stream.height, stream.fps, stream.channel);
  fflush(stdout);
  return 0;
}

ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  (void)reply; /* retained stays 0: the buffer is the core's again when this returns */
  if (request->code == DEMO_CODE_FRAME) {
    pthread_mutex_lock(&g_lock);
    ++g_frames;
    g_bytes += request->length;
    pthread_mutex_unlock(&g_lock);
  } else if (request->code == DEMO_CODE_MEDIA_PACKET) {
    pthread_mutex_lock(&g_lock);
    ++g_packets;
    g_packetBytes += request->length;
    pthread_mutex_unlock(&g_lock);
  } else if (request->code == DEMO_CODE_SEGMENT_CLOSED && request->data != NULL) {
    int length = request->length < 1000 ? (int)request->length : 1000;
    printf("monitor: segment closed: %.*s\n", length, (const char*)request->data);
    fflush(stdout);
  } else if (request->code == DEMO_CORE_CLOCK_CODE && request->source == CORE_SOURCE &&
             request->data != NULL) {
    int length = request->length < 200 ? (int)request->length : 200;
    printf("monitor: clock: %.*s\n", length, (const char*)request->data);
    fflush(stdout);
  }
  return 0;
}

/* Never called; the core looks every entry point up and logs those a plugin lacks. */
ZENT_PLUGIN_EXPORT int Seek(void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  (void)reply;
  /* Command 2 carries messages sent to every plugin but their sender. IoctlRequest has no
   * code, so the status document is told apart by its content. */
  if (request->command == IOCTL_TO_OTHERS && request->data != NULL && request->length > 5 &&
      memcmp(request->data, "<?xml", 5) == 0) {
    PrintStatusDocument(request->data, request->length);
  }
  return 0;
}

ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopReporter();
  return 0;
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  (void)request;
  (void)reply;
  StopReporter();
  if (g_condReady) pthread_cond_destroy(&g_wake);
  g_condReady = 0;
  return 0;
}
