/*
 * A configurable plugin for the tests, built as C against the plugin interface header.
 *
 * Its behaviour comes from a file beside it: "<path of the .so>.conf", one setting per line:
 *   id N | mask I N | ioctl_at_load B | accepts_read B | accepts_write B
 *   load_result N | load_error N | open_result N
 *   sleep ENTRY MS        sleep inside load, open, read, write, ioctl, close or unload
 *   retain B              answer Write and IOCTL deliveries with retained (keeps the buffer)
 *   release MODE          how kept buffers are given back: none (default), thread (by the
 *                         plugin's release thread after release_delay_ms), inline (from inside
 *                         the delivering call, before it returns), close (at Close)
 *   release_delay_ms MS
 *   send WHEN SOURCE CHANNEL FLAGS CODE PAYLOAD
 *                         WHEN: load, open, ioctl1, read, write, ioctl, close, unload, thread
 *                         (once, from a thread started in Load); SOURCE: a number or "self";
 *                         PAYLOAD: "-" for none, "#N" for N bytes, "@PATH" the contents of
 *                         the file PATH (read when it is sent), otherwise the text itself
 *   spam SOURCE CHANNEL FLAGS CODE COUNT
 *                         from a thread started in Load: COUNT messages (0: until Close), each
 *                         payload "<id>:<sequence>"
 *   spam_until ENTRY      the spam thread stops at close (default) or at unload
 *   spam_mark PATH        the spam thread creates the file PATH once it has sent 5 messages
 *                         after the plugin's Close (with spam_until unload)
 *                         The spam thread records no line per message, only at its end
 *                         "spam_done sent=N failed=F after_close=C".
 *   spam_window NAME N    the spam thread keeps at most N messages unanswered: it takes a credit
 *                         of the named semaphore NAME (made in Load with N credits) before each
 *                         message, waiting 100 ms at most for one
 *   read_credit NAME      every Read gives a credit back to the named semaphore NAME
 *   touch WHEN PATH       create the file PATH at that point (WHEN: load, open, ioctl1, close,
 *                         unload, write, read: a Read with payload, or start: one without,
 *                         such as the start Read)
 *   await WHEN PATH       at that point, wait (10 s at most) until the file PATH exists, and
 *                         record whether it appeared ("await when=WHEN result=ok|timeout")
 *   ctl PATH              a thread reads commands from the FIFO at PATH, one per line:
 *                         "send SOURCE CHANNEL FLAGS CODE PAYLOAD", "release_all",
 *                         "release PTR SOURCE" (PTR in hex), "quit"
 *   record PATH           where events are recorded (default "<path of the .so>.log"); a
 *                         relative PATH is taken from the working directory
 *   record_mode MODE      permission bits the record is created with (default 0644; a leading
 *                         0 makes the number octal), before the process's umask applies
 *   spawn WHEN            at that point (as for touch), start a program that reports the blocked
 *                         and ignored signals it was started with; recorded as
 *                         "spawn when=WHEN sigblk=HEX sigign=HEX"
 *   fork WHEN             at that point, fork a child that waits for signals without executing
 *                         anything; recorded as "forked when=WHEN pid=PID" (reaped at Unload)
 *   fork_send WHEN        at that point, fork a child that sends one queued message ("from
 *                         child", source self, class bit 0) through the callback and exits at
 *                         once; recorded as "fork_send when=WHEN result=R" with the answer the
 *                         child got, or result=hung when it did not end within 10 s
 *   epipe WHEN            at that point, write to a pipe whose reader has gone; recorded as
 *                         "epipe when=WHEN result=R errno=E"
 *   relay B               every Write delivery from another sender is sent on again as a
 *                         queued message from this plugin (its id as source), with the same
 *                         channel, flags, code, payload and extra bytes, as a plugin that
 *                         forwards messages does
 *   record_extra B        Write records also carry the message's extra bytes as hex ("xhex=..."),
 *                         and of the payload only its first 64 bytes
 *   tls_sleep MS          every Read sets a thread-specific value whose destructor, run when the
 *                         call's thread exits, sleeps MS and records "tls_exit"
 *   leak TEXT BYTES       every Write or IOCTL whose payload begins with TEXT allocates BYTES
 *                         bytes that are never freed: a leak planted in the process, as if the
 *                         server lost one payload of that size for each such message
 *   scribble WHEN         change the first byte of a delivered payload: in every Write with a
 *                         payload before it returns (WHEN write), or of a kept buffer just
 *                         before giving it back (WHEN release); both break the contract
 *   linger MS             Unload starts a detached thread that sends one queued message
 *                         ("late", class bit 0, code 0x7) MS after Unload returned, and ends
 * Numbers may be decimal or 0x-hex.
 *
 * Every call and every send is recorded as one line ("event key=value ...") written with one
 * write(2) to a file opened with O_APPEND, so lines of concurrent threads never mix.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api/plugin_api.h"

/* Any object of this file: dladdr finds the shared object that holds it. */
static const char g_anchor = 0;

#define MAX_SENDS 32
#define MAX_KEPT 4096
#define HEX_LIMIT 8192

enum When {
  W_LOAD,
  W_OPEN,
  W_IOCTL1,
  W_READ,
  W_WRITE,
  W_IOCTL,
  W_CLOSE,
  W_UNLOAD,
  W_THREAD,
  W_START,
  W_N
};
static const char* const kWhenNames[W_N] = {"load",  "open",  "ioctl1", "read",   "write",
                                            "ioctl", "close", "unload", "thread", "start"};

enum Entry { E_LOAD, E_OPEN, E_READ, E_WRITE, E_IOCTL, E_CLOSE, E_UNLOAD, E_N };
static const char* const kEntryNames[E_N] = {"load",  "open",  "read",  "write",
                                             "ioctl", "close", "unload"};

typedef struct Send {
  int when;
  int selfSource;
  uint32_t source, channel, flags, code;
  char payload[256];
} Send;

typedef struct Marker {
  int when;
  char path[256];
} Marker;

#define MAX_MARKERS 8

typedef struct Config {
  uint32_t id;
  uint32_t masks[ZENT_CLASS_MASKS];
  int ioctlAtLoad, acceptsRead, acceptsWrite;
  int loadResult, loadError, openResult;
  int sleepMs[E_N];
  int retain;
  char release[16];
  int releaseDelayMs;
  Send sends[MAX_SENDS];
  int sendCount;
  int spam;
  Send spamMessage;
  long spamCount;
  int spamUntilUnload;
  char spamMark[256];
  char spamWindow[64];
  unsigned spamWindowSize;
  char readCredit[64];
  char ctl[512];
  char record[512];
  unsigned recordMode;
  int tlsSleepMs;
  int relay;
  int recordExtra;
  char leakText[64];
  unsigned leakBytes;
  int scribbleWrite, scribbleRelease;
  int lingerMs;
  Marker touches[MAX_MARKERS], awaits[MAX_MARKERS];
  int touchCount, awaitCount;
  int spawnAt[W_N], epipeAt[W_N], forkAt[W_N], forkSendAt[W_N];
} Config;

static Config g_config;
static CoreCallbackFn g_callback;
static int g_recordFd = -1;
static atomic_int g_stopping;
static atomic_int g_closed; /* Close has begun */
static pthread_t g_spamThread, g_sendThread, g_ctlThread, g_releaseThread;
static int g_spamStarted, g_sendStarted, g_ctlStarted, g_releaseStarted;

/* Buffers kept after Write or IOCTL, waiting to be given back. */
static pthread_mutex_t g_keptLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_keptCond = PTHREAD_COND_INITIALIZER;
static const void* g_kept[MAX_KEPT];
static int g_keptCount;

static long Tid(void) { return (long)syscall(SYS_gettid); }

static void SleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (long)(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static void Record(const char* format, ...) {
  char line[HEX_LIMIT * 2 + 1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line - 2, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  if (g_recordFd >= 0) {
    ssize_t written = write(g_recordFd, line, (size_t)n);
    (void)written;
  }
}

/* Payload as hex (up to HEX_LIMIT bytes), so that the tests see exactly what arrived. */
static __attribute__((unused)) void Hex(const void* data, uint32_t length, char* out) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char* bytes = (const unsigned char*)data;
  uint32_t n = length < HEX_LIMIT ? length : HEX_LIMIT;
  if (data == NULL) n = 0;
  for (uint32_t i = 0; i < n; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  out[2 * n] = 0;
  if (n == 0) strcpy(out, "-");
}

static uint32_t ParseNumber(const char* text) { return (uint32_t)strtoul(text, NULL, 0); }

static int ParseWhen(const char* text) {
  for (int i = 0; i < W_N; ++i)
    if (strcmp(text, kWhenNames[i]) == 0) return i;
  return -1;
}

/* Splits "SOURCE CHANNEL FLAGS CODE [PAYLOAD...]" into send; false when a field is missing. */
static int ParseMessage(const char* text, Send* send) {
  char fields[4][64];
  int offset = 0;
  if (sscanf(text, "%63s %63s %63s %63s %n", fields[0], fields[1], fields[2], fields[3], &offset) <
      4)
    return 0;
  send->selfSource = strcmp(fields[0], "self") == 0;
  send->source = send->selfSource ? 0 : ParseNumber(fields[0]);
  send->channel = ParseNumber(fields[1]);
  send->flags = ParseNumber(fields[2]);
  send->code = ParseNumber(fields[3]);
  const char* payload = offset > 0 ? text + offset : "";
  size_t n = strcspn(payload, "\r\n");
  if (n == 0) {
    strcpy(send->payload, "-");
  } else {
    if (n >= sizeof send->payload) n = sizeof send->payload - 1;
    memcpy(send->payload, payload, n);
    send->payload[n] = 0;
  }
  return 1;
}

static void ReadConfig(const char* path) {
  memset(&g_config, 0, sizeof g_config);
  strcpy(g_config.release, "none");
  g_config.recordMode = 0644;
  snprintf(g_config.record, sizeof g_config.record, "%s.log", path);
  char confPath[600];
  snprintf(confPath, sizeof confPath, "%s.conf", path);
  FILE* f = fopen(confPath, "r");
  if (f == NULL) return;
  char line[1024];
  while (fgets(line, sizeof line, f) != NULL) {
    char key[64];
    int offset = 0;
    if (sscanf(line, "%63s %n", key, &offset) != 1) continue;
    const char* rest = line + offset;
    if (strcmp(key, "id") == 0) {
      g_config.id = ParseNumber(rest);
    } else if (strcmp(key, "mask") == 0) {
      char* end;
      unsigned long index = strtoul(rest, &end, 0);
      if (index < ZENT_CLASS_MASKS) g_config.masks[index] = ParseNumber(end);
    } else if (strcmp(key, "ioctl_at_load") == 0) {
      g_config.ioctlAtLoad = (int)ParseNumber(rest);
    } else if (strcmp(key, "accepts_read") == 0) {
      g_config.acceptsRead = (int)ParseNumber(rest);
    } else if (strcmp(key, "accepts_write") == 0) {
      g_config.acceptsWrite = (int)ParseNumber(rest);
    } else if (strcmp(key, "load_result") == 0) {
      g_config.loadResult = (int)strtol(rest, NULL, 0);
    } else if (strcmp(key, "load_error") == 0) {
      g_config.loadError = (int)strtol(rest, NULL, 0);
    } else if (strcmp(key, "open_result") == 0) {
      g_config.openResult = (int)strtol(rest, NULL, 0);
    } else if (strcmp(key, "sleep") == 0) {
      char entry[32];
      int ms;
      if (sscanf(rest, "%31s %d", entry, &ms) == 2)
        for (int i = 0; i < E_N; ++i)
          if (strcmp(entry, kEntryNames[i]) == 0) g_config.sleepMs[i] = ms;
    } else if (strcmp(key, "retain") == 0) {
      g_config.retain = (int)ParseNumber(rest);
    } else if (strcmp(key, "record_extra") == 0) {
      g_config.recordExtra = (int)ParseNumber(rest);
    } else if (strcmp(key, "release") == 0) {
      sscanf(rest, "%15s", g_config.release);
    } else if (strcmp(key, "release_delay_ms") == 0) {
      g_config.releaseDelayMs = (int)ParseNumber(rest);
    } else if (strcmp(key, "send") == 0 && g_config.sendCount < MAX_SENDS) {
      char when[32];
      int skip = 0;
      Send* send = &g_config.sends[g_config.sendCount];
      if (sscanf(rest, "%31s %n", when, &skip) == 1 && (send->when = ParseWhen(when)) >= 0 &&
          ParseMessage(rest + skip, send))
        ++g_config.sendCount;
    } else if (strcmp(key, "spam") == 0) {
      /* SOURCE CHANNEL FLAGS CODE COUNT: the count stands where a payload would. */
      if (ParseMessage(rest, &g_config.spamMessage)) {
        g_config.spam = 1;
        g_config.spamCount = strtol(g_config.spamMessage.payload, NULL, 0);
      }
    } else if (strcmp(key, "spam_window") == 0) {
      sscanf(rest, "%63s %u", g_config.spamWindow, &g_config.spamWindowSize);
    } else if (strcmp(key, "read_credit") == 0) {
      sscanf(rest, "%63s", g_config.readCredit);
    } else if (strcmp(key, "spam_mark") == 0) {
      sscanf(rest, "%255s", g_config.spamMark);
    } else if (strcmp(key, "spam_until") == 0) {
      g_config.spamUntilUnload = strncmp(rest, "unload", 6) == 0;
    } else if (strcmp(key, "touch") == 0 || strcmp(key, "await") == 0) {
      int touch = key[0] == 't';
      Marker* m =
          touch ? &g_config.touches[g_config.touchCount] : &g_config.awaits[g_config.awaitCount];
      char when[32];
      if ((touch ? g_config.touchCount : g_config.awaitCount) < MAX_MARKERS &&
          sscanf(rest, "%31s %255s", when, m->path) == 2 && (m->when = ParseWhen(when)) >= 0) {
        if (touch)
          ++g_config.touchCount;
        else
          ++g_config.awaitCount;
      }
    } else if (strcmp(key, "spawn") == 0 || strcmp(key, "epipe") == 0 || strcmp(key, "fork") == 0) {
      char when[32];
      int w;
      if (sscanf(rest, "%31s", when) == 1 && (w = ParseWhen(when)) >= 0)
        (key[0] == 's'   ? g_config.spawnAt
         : key[0] == 'e' ? g_config.epipeAt
                         : g_config.forkAt)[w] = 1;
    } else if (strcmp(key, "fork_send") == 0) {
      char when[32];
      int w;
      if (sscanf(rest, "%31s", when) == 1 && (w = ParseWhen(when)) >= 0) g_config.forkSendAt[w] = 1;
    } else if (strcmp(key, "ctl") == 0) {
      sscanf(rest, "%511s", g_config.ctl);
    } else if (strcmp(key, "record") == 0) {
      sscanf(rest, "%511s", g_config.record);
    } else if (strcmp(key, "record_mode") == 0) {
      g_config.recordMode = ParseNumber(rest);
    } else if (strcmp(key, "relay") == 0) {
      g_config.relay = (int)ParseNumber(rest);
    } else if (strcmp(key, "leak") == 0) {
      sscanf(rest, "%63s %u", g_config.leakText, &g_config.leakBytes);
    } else if (strcmp(key, "tls_sleep") == 0) {
      g_config.tlsSleepMs = (int)ParseNumber(rest);
    } else if (strcmp(key, "scribble") == 0) {
      if (strncmp(rest, "write", 5) == 0) g_config.scribbleWrite = 1;
      if (strncmp(rest, "release", 7) == 0) g_config.scribbleRelease = 1;
    } else if (strcmp(key, "linger") == 0) {
      g_config.lingerMs = (int)ParseNumber(rest);
    }
  }
  fclose(f);
}

/* Sends one message through the core's callback and records what came back (unless why is
 * NULL). */
static int SendMessage(const char* why, uint32_t source, uint32_t channel, uint32_t flags,
                       uint32_t code, const void* data, uint32_t length) {
  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = length;
  message.data = data;
  message.source = source;
  message.channel = channel;
  message.flags = flags;
  message.code = code;
  for (int i = 0; i < ZENT_MESSAGE_EXTRA_BYTES; ++i) message.extra[i] = (uint8_t)(i + code);
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 99};
  int rc = g_callback(&message, &reply);
  if (why == NULL) return reply.result;
  Record(
      "sent why=%s source=%u channel=%u flags=0x%x code=0x%x len=%u data=%p rc=%d result=%d "
      "tid=%ld",
      why, source, channel, flags, code, length, data, rc, reply.result, Tid());
  return reply.result;
}

static void SendConfigured(const Send* send, const char* why) {
  uint32_t source = send->selfSource ? g_config.id : send->source;
  if (strcmp(send->payload, "-") == 0) {
    SendMessage(why, source, send->channel, send->flags, send->code, NULL, 0);
  } else if (send->payload[0] == '#') {
    uint32_t n = ParseNumber(send->payload + 1);
    unsigned char* buffer = (unsigned char*)malloc(n ? n : 1);
    for (uint32_t i = 0; i < n; ++i) buffer[i] = (unsigned char)(i * 7 + 1);
    SendMessage(why, source, send->channel, send->flags, send->code, buffer, n);
    /* The core copied it: scribble over it and free it at once. */
    memset(buffer, 0xEE, n);
    free(buffer);
  } else if (send->payload[0] == '@') {
    FILE* file = fopen(send->payload + 1, "rb");
    char* text = NULL;
    size_t size = 0;
    FILE* out = file != NULL ? open_memstream(&text, &size) : NULL;
    char chunk[4096];
    size_t n;
    while (out != NULL && (n = fread(chunk, 1, sizeof chunk, file)) > 0) fwrite(chunk, 1, n, out);
    if (out != NULL) fclose(out);
    if (file != NULL) fclose(file);
    SendMessage(why, source, send->channel, send->flags, send->code, text, (uint32_t)size);
    free(text);
  } else {
    char* copy = strdup(send->payload);
    SendMessage(why, source, send->channel, send->flags, send->code, copy, (uint32_t)strlen(copy));
    memset(copy, 'X', strlen(copy));
    free(copy);
  }
}

/* Starts grep on its own /proc status and records the signal masks it was started with. */
static void Spawn(int when) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    execl("/bin/grep", "grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status", (char*)NULL);
    _exit(127);
  }
  close(out[1]);
  char text[256] = "";
  size_t used = 0;
  ssize_t n;
  while (used < sizeof text - 1 && (n = read(out[0], text + used, sizeof text - 1 - used)) > 0)
    used += (size_t)n;
  text[used] = 0;
  close(out[0]);
  if (pid > 0) waitpid(pid, NULL, 0);
  unsigned long long blocked = ~0ull, ignored = ~0ull;
  const char* at = strstr(text, "SigBlk:");
  if (at != NULL) blocked = strtoull(at + 7, NULL, 16);
  at = strstr(text, "SigIgn:");
  if (at != NULL) ignored = strtoull(at + 7, NULL, 16);
  Record("spawn when=%s sigblk=0x%llx sigign=0x%llx tid=%ld", kWhenNames[when], blocked, ignored,
         Tid());
}

static pid_t g_forked = -1;

/* Forks a child that only waits for signals. */
static void ForkIdle(int when) {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  g_forked = pid;
  Record("forked when=%s pid=%ld tid=%ld", kWhenNames[when], (long)pid, Tid());
}

/* Forks a child that sends through the callback, and records the answer it got (its exit
 * status); a child that hangs is killed after 10 s. */
static void ForkSend(int when) {
  pid_t pid = fork();
  if (pid == 0) {
    static const char kText[] = "from child";
    _exit(SendMessage(NULL, g_config.id, 0, 0x01, 0x7, kText, sizeof kText - 1) & 0xFF);
  }
  int status = 0;
  int waited = 0;
  while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
    if (++waited > 1000) {
      kill(pid, SIGKILL);
      waitpid(pid, NULL, 0);
      Record("fork_send when=%s result=hung tid=%ld", kWhenNames[when], Tid());
      return;
    }
    usleep(10000);
  }
  Record("fork_send when=%s result=%d tid=%ld", kWhenNames[when],
         WIFEXITED(status) ? (int)(signed char)WEXITSTATUS(status) : -100, Tid());
}

/* Writes to a pipe whose reading end is already closed. */
static void BrokenPipe(int when) {
  int fds[2];
  if (pipe(fds) != 0) return;
  close(fds[0]);
  errno = 0;
  ssize_t result = write(fds[1], "x", 1);
  int error = errno;
  close(fds[1]);
  Record("epipe when=%s result=%ld errno=%d tid=%ld", kWhenNames[when], (long)result, error, Tid());
}

/* Creates the marker files of this point, then waits for the ones it awaits. */
static void Markers(int when) {
  if (g_config.spawnAt[when]) Spawn(when);
  if (g_config.forkAt[when]) ForkIdle(when);
  if (g_config.epipeAt[when]) BrokenPipe(when);
  if (g_config.forkSendAt[when]) ForkSend(when);
  for (int i = 0; i < g_config.touchCount; ++i) {
    if (g_config.touches[i].when != when) continue;
    int fd = open(g_config.touches[i].path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  for (int i = 0; i < g_config.awaitCount; ++i) {
    if (g_config.awaits[i].when != when) continue;
    int ok = 0;
    for (int waited = 0; waited < 10000 && !ok; waited += 2) {
      ok = access(g_config.awaits[i].path, F_OK) == 0;
      if (!ok) SleepMs(2);
    }
    Record("await when=%s result=%s tid=%ld", kWhenNames[when], ok ? "ok" : "timeout", Tid());
  }
}

static void SendAll(int when) {
  for (int i = 0; i < g_config.sendCount; ++i)
    if (g_config.sends[i].when == when) SendConfigured(&g_config.sends[i], kWhenNames[when]);
}

/* Writes into a buffer of the core's, which the contract forbids (scribble). */
static void Scribble(const void* buffer) { ++*(volatile unsigned char*)buffer; }

static void GiveBack(const void* buffer, uint32_t source) {
  if (g_config.scribbleRelease && buffer != NULL) Scribble(buffer);
  SendMessage("release", source, 0, MSG_RELEASE, 0, buffer, 0);
}

static void* ReleaseThread(void* arg) {
  (void)arg;
  pthread_mutex_lock(&g_keptLock);
  for (;;) {
    while (g_keptCount == 0 && !atomic_load(&g_stopping))
      pthread_cond_wait(&g_keptCond, &g_keptLock);
    if (g_keptCount == 0 && atomic_load(&g_stopping)) break;
    const void* buffer = g_kept[0];
    memmove(g_kept, g_kept + 1, (size_t)(g_keptCount - 1) * sizeof g_kept[0]);
    --g_keptCount;
    pthread_mutex_unlock(&g_keptLock);
    SleepMs(g_config.releaseDelayMs);
    GiveBack(buffer, g_config.id);
    pthread_mutex_lock(&g_keptLock);
  }
  pthread_mutex_unlock(&g_keptLock);
  return NULL;
}

static void ReleaseAllKept(void) {
  pthread_mutex_lock(&g_keptLock);
  while (g_keptCount > 0) {
    const void* buffer = g_kept[--g_keptCount];
    pthread_mutex_unlock(&g_keptLock);
    GiveBack(buffer, g_config.id);
    pthread_mutex_lock(&g_keptLock);
  }
  pthread_mutex_unlock(&g_keptLock);
}

/* The leak of the settings: memory allocated, written and forgotten for a matching payload. */
static __attribute__((unused)) void Leak(const void* data, uint32_t length) {
  size_t n = strlen(g_config.leakText);
  if (n == 0 || data == NULL || length < n || memcmp(data, g_config.leakText, n) != 0) return;
  volatile char* lost = (volatile char*)malloc(g_config.leakBytes);
  for (unsigned i = 0; lost != NULL && i < g_config.leakBytes; ++i) lost[i] = (char)i;
}

/* Decides what happens to a delivered buffer; returns the retained word. */
static __attribute__((unused)) uint32_t Keep(const void* data) {
  if (!g_config.retain || data == NULL) return 0;
  if (strcmp(g_config.release, "inline") == 0) {
    /* Given back while the core still delivers it: the core's own hold keeps it alive. */
    GiveBack(data, g_config.id);
    return 1;
  }
  pthread_mutex_lock(&g_keptLock);
  if (g_keptCount < MAX_KEPT) g_kept[g_keptCount++] = data;
  pthread_cond_signal(&g_keptCond);
  pthread_mutex_unlock(&g_keptLock);
  return 1;
}

/* The semaphores of spam_window and read_credit. */
static sem_t* g_window = SEM_FAILED;
static sem_t* g_credit = SEM_FAILED;

static void TakeCredit(void) {
  if (g_window == SEM_FAILED) return;
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += 100000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_nsec -= 1000000000L;
    ++deadline.tv_sec;
  }
  while (sem_timedwait(g_window, &deadline) != 0 && errno == EINTR) {
  }
}

static void* SpamThread(void* arg) {
  (void)arg;
  const Send* m = &g_config.spamMessage;
  uint32_t source = m->selfSource ? g_config.id : m->source;
  long sent = 0, failed = 0, afterClose = 0;
  for (long sequence = 0;
       !atomic_load(&g_stopping) && (g_config.spamCount == 0 || sequence < g_config.spamCount);
       ++sequence) {
    char payload[64];
    int n = snprintf(payload, sizeof payload, "%u:%ld", g_config.id, sequence);
    TakeCredit();
    if (SendMessage(NULL, source, m->channel, m->flags, m->code, payload, (uint32_t)n) != 0)
      ++failed;
    ++sent;
    if (atomic_load(&g_closed) && ++afterClose == 5 && g_config.spamMark[0] != 0) {
      int fd = open(g_config.spamMark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
  }
  Record("spam_done sent=%ld failed=%ld after_close=%ld tid=%ld", sent, failed, afterClose, Tid());
  return NULL;
}

static void* SendThread(void* arg) {
  (void)arg;
  SendAll(W_THREAD);
  return NULL;
}

static void* ControlThread(void* arg) {
  (void)arg;
  FILE* f = fopen(g_config.ctl, "r");
  if (f == NULL) {
    Record("ctl_error errno=%d", errno);
    return NULL;
  }
  char line[1024];
  while (fgets(line, sizeof line, f) != NULL) {
    line[strcspn(line, "\n")] = 0;
    if (strncmp(line, "send ", 5) == 0) {
      Send send;
      memset(&send, 0, sizeof send);
      if (ParseMessage(line + 5, &send)) SendConfigured(&send, "ctl");
    } else if (strcmp(line, "release_all") == 0) {
      ReleaseAllKept();
    } else if (strncmp(line, "release ", 8) == 0) {
      char* end;
      const void* buffer = (const void*)(uintptr_t)strtoull(line + 8, &end, 16);
      GiveBack(buffer, ParseNumber(end));
    } else if (strcmp(line, "quit") == 0) {
      break;
    }
  }
  fclose(f);
  Record("ctl_done");
  return NULL;
}

/* The key of tls_sleep; never deleted, as a library a plugin loads would not delete its own. */
static pthread_key_t g_tlsKey;
static int g_tlsKeyMade;

static void TlsExit(void* value) {
  (void)value;
  SleepMs(g_config.tlsSleepMs);
  Record("tls_exit tid=%ld", Tid());
}

static void MyPath(char* out, size_t size) {
  Dl_info info;
  out[0] = 0;
  if (dladdr(&g_anchor, &info) != 0 && info.dli_fname != NULL)
    snprintf(out, size, "%s", info.dli_fname);
}

ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info) {
  char path[512];
  MyPath(path, sizeof path);
  ReadConfig(path);
  g_recordFd =
      open(g_config.record, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, (mode_t)g_config.recordMode);
  g_callback = context->callback;
  if (g_config.tlsSleepMs > 0 && !g_tlsKeyMade)
    g_tlsKeyMade = pthread_key_create(&g_tlsKey, TlsExit) == 0;
  atomic_store(&g_stopping, 0);
  atomic_store(&g_closed, 0);
  Record("load size=%u version=%u ctx_size=%u tid=%ld path=%s", info->size, info->version,
         context->size, Tid(), path);
  SleepMs(g_config.sleepMs[E_LOAD]);
  Markers(W_LOAD);
  info->id = g_config.id;
  for (int i = 0; i < ZENT_CLASS_MASKS; ++i) info->classMasks[i] = g_config.masks[i];
  info->ioctlAtLoad = (uint8_t)g_config.ioctlAtLoad;
  info->acceptsRead = (uint8_t)g_config.acceptsRead;
  info->acceptsWrite = (uint8_t)g_config.acceptsWrite;
  info->error = g_config.loadError;
  if (g_config.loadResult == 0 && g_config.loadError == 0) {
    if (strcmp(g_config.release, "thread") == 0)
      g_releaseStarted = pthread_create(&g_releaseThread, NULL, ReleaseThread, NULL) == 0;
    if (g_config.readCredit[0] != 0) g_credit = sem_open(g_config.readCredit, 0);
    if (g_config.spamWindow[0] != 0) {
      sem_unlink(g_config.spamWindow);
      g_window = sem_open(g_config.spamWindow, O_CREAT, 0600, g_config.spamWindowSize);
    }
    if (g_config.spam) g_spamStarted = pthread_create(&g_spamThread, NULL, SpamThread, NULL) == 0;
    for (int i = 0; i < g_config.sendCount; ++i)
      if (g_config.sends[i].when == W_THREAD) {
        g_sendStarted = pthread_create(&g_sendThread, NULL, SendThread, NULL) == 0;
        break;
      }
    if (g_config.ctl[0] != 0)
      g_ctlStarted = pthread_create(&g_ctlThread, NULL, ControlThread, NULL) == 0;
  }
  SendAll(W_LOAD);
  Record("load_done result=%d error=%d", g_config.loadResult, g_config.loadError);
  return g_config.loadResult;
}

ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply) {
  Record("open size=%u version=%u reply_size=%u tid=%ld", request->size, request->version,
         reply->size, Tid());
  SleepMs(g_config.sleepMs[E_OPEN]);
  Markers(W_OPEN);
  SendAll(W_OPEN);
  return g_config.openResult;
}

#ifndef TESTPLUGIN_NO_ROUTING_ENTRIES
/* Sends a delivered message on as this plugin's own. */
static void Relay(const WriteRequest* request) {
  Message message;
  MessageReply reply;
  memset(&message, 0, sizeof message);
  memset(&reply, 0, sizeof reply);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = request->length;
  message.data = request->data;
  message.source = g_config.id;
  message.channel = request->channel;
  message.flags = request->flags;
  message.code = request->code;
  memcpy(message.extra, request->extra, sizeof message.extra);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  g_callback(&message, &reply);
  Record("relayed code=0x%x len=%u result=%d tid=%ld", request->code, request->length, reply.result,
         Tid());
}

ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply) {
  static char hex[HEX_LIMIT * 2 + 2];
  static pthread_mutex_t hexLock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&hexLock);
  Hex(request->data, request->length, hex);
  Record("read size=%u version=%u async=%u len=%u data=%p channel=%u reply_size=%u tid=%ld hex=%s",
         request->size, request->version, request->async, request->length, request->data,
         request->channel, reply->size, Tid(), hex);
  pthread_mutex_unlock(&hexLock);
  if (g_tlsKeyMade) pthread_setspecific(g_tlsKey, &g_tlsKey);
  SleepMs(g_config.sleepMs[E_READ]);
  Markers(request->length != 0 ? W_READ : W_START);
  SendAll(W_READ);
  Record("read_end tid=%ld", Tid());
  if (g_credit != SEM_FAILED) sem_post(g_credit);
  return 0;
}

ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply) {
  static char hex[HEX_LIMIT * 2 + 2];
  unsigned extraSum = 0;
  for (int i = 0; i < ZENT_MESSAGE_EXTRA_BYTES; ++i) extraSum = extraSum * 31u + request->extra[i];
  static char extraHex[ZENT_MESSAGE_EXTRA_BYTES * 2 + 2];
  /* Only the event handler thread calls Write. */
  Hex(request->data, g_config.recordExtra && request->length > 64 ? 64 : request->length, hex);
  if (g_config.recordExtra) Hex(request->extra, ZENT_MESSAGE_EXTRA_BYTES, extraHex);
  Record(
      "write size=%u version=%u async=%u len=%u data=%p source=%u channel=%u flags=0x%x "
      "code=0x%x extra=%u reply_size=%u tid=%ld hex=%s%s%s",
      request->size, request->version, request->async, request->length, request->data,
      request->source, request->channel, request->flags, request->code, extraSum, reply->size,
      Tid(), hex, g_config.recordExtra ? " xhex=" : "", g_config.recordExtra ? extraHex : "");
  SleepMs(g_config.sleepMs[E_WRITE]);
  Markers(W_WRITE);
  SendAll(W_WRITE);
  /* Not its own: it receives what it sends like any other plugin. */
  if (g_config.relay && request->source != g_config.id) Relay(request);
  Leak(request->data, request->length);
  if (g_config.scribbleWrite && request->data != NULL && request->length != 0)
    Scribble(request->data);
  reply->retained = Keep(request->data);
  return 0;
}

ZENT_PLUGIN_EXPORT int Seek(void* request, void* reply) {
  (void)request;
  (void)reply;
  Record("seek");
  return 0;
}

ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply) {
  static char hex[HEX_LIMIT * 2 + 2];
  static pthread_mutex_t hexLock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&hexLock);
  Hex(request->data, request->length, hex);
  Record(
      "ioctl size=%u version=%u cmd=%u argsize=%u argversion=%u len=%u data=%p "
      "reply_size=%u reply_cmd=%u result_size=%u tid=%ld hex=%s",
      request->size, request->version, request->command, request->argSize, request->argVersion,
      request->length, request->data, reply->size, reply->command, reply->resultSize, Tid(), hex);
  pthread_mutex_unlock(&hexLock);
  if (request->command == IOCTL_AT_LOAD) {
    SleepMs(g_config.sleepMs[E_IOCTL]);
    Markers(W_IOCTL1);
    SendAll(W_IOCTL1);
    Record("ioctl_end cmd=1 tid=%ld", Tid());
    return 0;
  }
  SleepMs(g_config.sleepMs[E_IOCTL]);
  SendAll(W_IOCTL);
  Leak(request->data, request->length);
  reply->retained = Keep(request->data);
  return 0;
}
#endif /* TESTPLUGIN_NO_ROUTING_ENTRIES */

ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply) {
  Record("close size=%u version=%u reply_size=%u tid=%ld", request->size, request->version,
         reply->size, Tid());
  SleepMs(g_config.sleepMs[E_CLOSE]);
  atomic_store(&g_closed, 1);
  Markers(W_CLOSE);
  if (!g_config.spamUntilUnload) {
    atomic_store(&g_stopping, 1);
    if (g_spamStarted) pthread_join(g_spamThread, NULL);
    g_spamStarted = 0;
  }
  SendAll(W_CLOSE);
  if (strcmp(g_config.release, "close") == 0) ReleaseAllKept();
  if (g_sendStarted) pthread_join(g_sendThread, NULL);
  g_sendStarted = 0;
  return 0;
}

static void* LingerThread(void* arg) {
  (void)arg;
  SleepMs(g_config.lingerMs);
  static const char kLate[] = "late";
  SendMessage(NULL, g_config.id, 0, 0x01, 0x7, kLate, sizeof kLate - 1);
  return NULL;
}

ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply) {
  Record("unload size=%u version=%u reply_size=%u tid=%ld", request->size, request->version,
         reply->size, Tid());
  SleepMs(g_config.sleepMs[E_UNLOAD]);
  Markers(W_UNLOAD);
  SendAll(W_UNLOAD);
  pthread_mutex_lock(&g_keptLock);
  atomic_store(&g_stopping, 1);
  pthread_cond_broadcast(&g_keptCond);
  pthread_mutex_unlock(&g_keptLock);
  if (g_spamStarted) pthread_join(g_spamThread, NULL);
  g_spamStarted = 0;
  if (g_window != SEM_FAILED) {
    sem_close(g_window);
    sem_unlink(g_config.spamWindow);
    g_window = SEM_FAILED;
  }
  if (g_releaseStarted) pthread_join(g_releaseThread, NULL);
  /* The control thread ends with its FIFO ("quit", or the test closing its end). */
  if (g_ctlStarted) pthread_join(g_ctlThread, NULL);
  g_releaseStarted = g_ctlStarted = 0;
  if (g_forked > 0) {
    kill(g_forked, SIGKILL);
    waitpid(g_forked, NULL, 0);
    g_forked = -1;
  }
  if (g_config.lingerMs > 0) {
    pthread_t lingering;
    if (pthread_create(&lingering, NULL, LingerThread, NULL) == 0) pthread_detach(lingering);
  }
  Record("unload_done");
  return 0;
}

/* The record stays open until the server unloads the code: calls that were inside the plugin
 * when Unload came still record their end. */
__attribute__((destructor)) static void CloseRecord(void) {
  if (g_credit != SEM_FAILED) sem_close(g_credit);
  g_credit = SEM_FAILED;
  if (g_recordFd >= 0) close(g_recordFd);
  g_recordFd = -1;
}
