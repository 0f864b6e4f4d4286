/*
 * plugin_api.h: the interface between the zentserver core and its plugins.
 *
 * A plugin is a shared object in the "plugins" directory beside the server's executable. It
 * exports the eight entry points declared at the end of this header, under exactly these names,
 * and reaches the core only through the callback it receives in Load. This header is the
 * whole contract; it is valid C (C11 or later) and C++.
 *
 * Conventions:
 *  1. Every record begins with two 32-bit words: size (the record's own size in bytes) and
 *     version (ZENT_RECORD_VERSION, 1). On i386 the layouts are fixed byte for byte (checked by
 *     the static assertions below); on other platforms the fields keep their order with the
 *     platform's natural alignment, and size carries sizeof.
 *  2. The side that prepares a record zero-fills it first and then sets size, version and its
 *     fields. The core prepares every record it passes; a plugin prepares the Message and
 *     MessageReply it sends. The core never checks size or version of what a plugin fills.
 *  3. Flags called "boolean" are single bytes: 0 is false, anything else true.
 *  4. Every entry point takes a request and a reply pointer and returns an int. The core looks
 *     only at the results of Load and Open, and at the retained word of the Write and IOCTL
 *     replies. A record is valid only while the call runs.
 *  5. Payloads: the data a request points to is valid only during the call, unless the plugin
 *     keeps it by setting retained in its WriteReply or IoctlReply (queued deliveries only). A
 *     kept buffer stays valid, read only, until the plugin gives it back with a MSG_RELEASE
 *     message naming the buffer, with its own id as source, exactly once: releases name
 *     buffers by address, and a later buffer may have the same one, so a second release of a
 *     buffer may end the plugin's hold on a newer buffer at that address. Read payloads are
 *     private copies that the core frees when Read returns; they are never kept.
 *  6. Threads: Load, Open, Close and Unload run one plugin at a time on the core's controlling
 *     thread. Read runs on a thread of its own for every call, so Reads may overlap each other
 *     and a Write or IOCTL. Write and the IOCTL deliveries run on the core's one event handler
 *     thread, one call at a time over all plugins: a plugin that blocks there holds up every
 *     queued delivery. The callback may be called from any thread, also from inside an entry
 *     point, from the start of Load until Unload has returned and so has every call into the
 *     plugin that was still running then.
 *     At stop: no call starts after Close. A call whose thread had not yet reached the plugin
 *     when the core began to close it is not made; only a call already under way may still
 *     run during Close, and also when Unload is called (a plugin may end a worker loop that
 *     runs inside its load-time IOCTL or a Read there). The shared object is unloaded only
 *     after every such call has returned and its thread has ended, thread-exit destructors
 *     included: no code of the plugin runs on a thread of the core after that.
 *     Read and the load-time IOCTL run on threads with a stack of 8 MiB (2 MiB in a 32-bit
 *     process). At most a bounded number of them are in flight into one plugin at once (512,
 *     64 in a 32-bit process; the server's --max-calls-per-plugin): a call past that bound is
 *     skipped and logged, so a plugin that keeps up loses no broadcast and one that blocks in
 *     Read cannot take the server down.
 *  7. Messages: CoreCallback always returns 0 and puts the outcome in MessageReply.result. It
 *     copies the payload before it returns (or hands it to Read calls that copy it), so the
 *     sender may free or reuse its buffer at once. It may block while a channel is held. A
 *     null message is refused (RESULT_CHANNEL_REFUSED); a message with a null reply is handled
 *     and its outcome not written. Both are logged as the plugin's fault. Queued messages
 *     waiting for delivery may hold a bounded number of bytes in all (256 MiB, 64 MiB in a
 *     32-bit process; the server's --max-queued-mb): a queued message that would pass it is
 *     answered RESULT_NO_MEMORY and nothing is queued; what was accepted is never dropped.
 *     In a child that a plugin forks without exec, the callback answers
 *     RESULT_CHANNEL_REFUSED at once and touches nothing else: nothing in the child would
 *     deliver a message, and locks copied at the fork may be held for ever there.
 *  8. Process: no thread of the core has a signal blocked, so programs a plugin starts get
 *     every signal at its default action. A write to a pipe or socket whose reader has gone
 *     fails with EPIPE; it does not end the server (SIGPIPE is caught and does nothing).
 */
#ifndef ZENTSERVER_PLUGIN_API_H_
#define ZENTSERVER_PLUGIN_API_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZENT_RECORD_VERSION 1u

/* ---------------------------------------------------------------------------------------
 * Messages (sent through the callback; delivered by Read, Write and IOCTL)
 * ------------------------------------------------------------------------------------- */

/* Identifier of the core itself: the source of every message the core makes. No plugin should
 * use it as its id: a plugin with this id is taken for the core. */
#define CORE_SOURCE 0x80000000u

/* The messages the core itself sends, all from CORE_SOURCE:
 *  - the status document (XML, see docs/plugins.md): once after every plugin is opened, queued
 *    with MSG_TO_OTHERS, so it arrives as IOCTL command 2 whatever the masks;
 *  - the clock message "system time changed by N seconds": queued with class bit 6, delivered by
 *    Write to masks that hold ZENT_QUEUED_MATCH(ZENT_CODE_CLOCK) (0x02000002);
 *  - the statistics document (XML, see docs/plugins.md): only when the server runs with
 *    --stats-interval, every that many seconds, queued with class bit ZENT_STATISTICS_CLASS and
 *    delivered by Write to masks that hold ZENT_QUEUED_MATCH(ZENT_CODE_STATISTICS) (0x02000011);
 *    never by IOCTL. */
#define ZENT_CODE_CLOCK 0x01000002u
#define ZENT_CODE_STATUS_DOCUMENT 0x01000010u
#define ZENT_CODE_STATISTICS 0x01000011u
#define ZENT_STATISTICS_CLASS 7

/* Message.flags: class bits 0 to 7 (0x01 to 0x80) select subscription masks 0 to 7, class
 * bit 8 (0x400) selects mask 8. */
#define MSG_CLASS_BIT(n) ((n) < 8 ? (1u << (n)) : 0x400u)
/* Queued delivery by IOCTL command 2 to every plugin except the sender. */
#define MSG_TO_OTHERS 0x100u
/* Queued delivery by IOCTL command 3 to every plugin. */
#define MSG_TO_ALL 0x800u
/* The whole flags word equal to this: a holder gives back a buffer it retained (data). */
#define MSG_RELEASE 0x200u
/* The whole flags word equal to this, with source 0: close the channel. */
#define MSG_CLOSE_CHANNEL 0x1000u

/* MessageReply.result */
/* Released, closed, broadcast or queued. */
#define RESULT_OK 0
/* Nothing was queued: the channel was never opened, is closed, or cannot be taken now (held,
 * while the sender may not wait for it), or the core no longer delivers (it is stopping). */
#define RESULT_CHANNEL_REFUSED 1
/* The core could not copy the payload. */
#define RESULT_NO_MEMORY (-1)

#define ZENT_MESSAGE_EXTRA_BYTES 152

/* A message, prepared by its sender (zero-filled, size = sizeof(Message), version 1).
 *  source 0:        broadcast at once as a Read call to every subscribed plugin that takes
 *                   Read calls; it opens channel (if not 0) and waits while that channel is
 *                   held. flags == MSG_CLOSE_CHANNEL closes channel instead.
 *  source non-zero: queued (the sender's id, or CORE_SOURCE from the core). A non-zero channel
 *                   must have been opened by a broadcast; the message holds the channel until
 *                   its payload is given back, and the next sender on it waits until then. */
typedef struct Message {
  uint32_t size;
  uint32_t version;
  uint32_t length;  /* payload bytes at data */
  const void* data; /* payload, may be null; for MSG_RELEASE the buffer given back */
  uint32_t source;  /* sender id; 0 = broadcast at once */
  uint32_t channel; /* flow-control key; 0 = none */
  uint32_t flags;   /* class bits and routing values, see above */
  uint32_t code;    /* event code: high byte category bits, low 24 bits event bits */
  uint8_t extra[ZENT_MESSAGE_EXTRA_BYTES]; /* carried unchanged into Write deliveries */
} Message;

/* The answer of the callback: size = sizeof(MessageReply), version 1; the core sets result. */
typedef struct MessageReply {
  uint32_t size;
  uint32_t version;
  int32_t result; /* RESULT_* */
} MessageReply;

/* The callback into the core, handed to the plugin in PluginContext. */
typedef int (*CoreCallbackFn)(const Message* message, MessageReply* reply);

/* ---------------------------------------------------------------------------------------
 * Load
 * ------------------------------------------------------------------------------------- */

/* First argument of Load; prepared by the core. */
typedef struct PluginContext {
  uint32_t size;
  uint32_t version;
  void* core;              /* opaque handle of the core; the callback does not need it */
  CoreCallbackFn callback; /* keep it to send messages */
} PluginContext;

#define ZENT_CLASS_MASKS 9

/* The match values that subscription masks are tested against (see PluginInfo.classMasks):
 * the low 24 event bits of the code stay in place and the category byte moves one bit down for
 * an immediate broadcast, one bit up for a queued message (bit 31 is lost). */
#define ZENT_BROADCAST_MATCH(code) \
  ((uint32_t)((((uint32_t)(code)&0xFF000000u) >> 1) | ((uint32_t)(code)&0x00FFFFFFu)))
#define ZENT_QUEUED_MATCH(code) \
  ((uint32_t)((((uint32_t)(code)&0xFF000000u) << 1) | ((uint32_t)(code)&0x00FFFFFFu)))

/* Second argument of Load: the core zero-fills it and sets size and version; the plugin fills
 * the rest. It cannot be changed after Load. */
typedef struct PluginInfo {
  uint32_t size;
  uint32_t version;
  uint32_t id; /* the plugin's identifier: source of its queued messages, holder of buffers it
                  keeps, "ID" in the status document. Expected to be unique. */
  /* Subscription masks: entry 0 to 7 belong to class bits 0x01 to 0x80, entry 8 to 0x400. A
   * message selects the masks of its class bits; it matches when every bit of its match value
   * (ZENT_BROADCAST_MATCH or ZENT_QUEUED_MATCH of its code) is set in one selected mask. */
  uint32_t classMasks[ZENT_CLASS_MASKS];
  uint32_t reserved1;
  uint8_t ioctlAtLoad; /* boolean: call IOCTL command 1 on a thread of its own after Load */
  uint8_t reserved2;
  uint8_t acceptsRead;  /* boolean: receive Read calls (broadcasts, the start call) */
  uint8_t acceptsWrite; /* boolean: receive Write calls for matching queued messages */
  uint32_t reserved3;
  int32_t error; /* 0 = loaded; anything else rejects the plugin, like a non-zero result */
} PluginInfo;

/* ---------------------------------------------------------------------------------------
 * Requests and replies of the other entry points (all prepared by the core)
 * ------------------------------------------------------------------------------------- */

typedef struct OpenRequest {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[3];
} OpenRequest;

/* Not read by the core: the result of Open is the plugin's answer. */
typedef struct OpenReply {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[2];
} OpenReply;

typedef struct CloseRequest {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
} CloseRequest;

typedef struct UnloadRequest {
  uint32_t size;
  uint32_t version;
} UnloadRequest;

/* Reply of Close and Unload; not read by the core. */
typedef struct StatusReply {
  uint32_t size;
  uint32_t version;
  uint32_t status;
} StatusReply;

/* Read: an immediate broadcast, or the start call (length 0, data null, channel 0). */
typedef struct ReadRequest {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
  uint8_t async; /* 1: the call runs on a thread of its own (every Read does) */
  uint8_t padding[3];
  uint32_t length;  /* payload bytes at data; 0 when there is none */
  const void* data; /* a private copy, freed by the core when Read returns; may be null */
  uint32_t channel; /* the message's channel */
} ReadRequest;

/* Not read by the core. */
typedef struct ReadReply {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[3];
} ReadReply;

/* Write: a queued message that matches the plugin's masks, on the event handler thread. The
 * fields from length on are those of the queued Message. */
typedef struct WriteRequest {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
  uint8_t async; /* 0: the call runs on the event handler thread */
  uint8_t padding[3];
  uint32_t length;
  const void* data; /* the core's shared buffer (or null): keep it only by setting retained */
  uint32_t source;
  uint32_t channel;
  uint32_t flags;
  uint32_t code; /* the message's code itself, not its match value */
  uint8_t extra[ZENT_MESSAGE_EXTRA_BYTES];
} WriteRequest;

typedef struct WriteReply {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[3];
  uint32_t retained; /* set by the plugin: non-zero = it keeps data until its MSG_RELEASE */
} WriteReply;

/* IOCTL commands. */
#define IOCTL_AT_LOAD 1u   /* after Load, on a thread of its own, no payload */
#define IOCTL_TO_OTHERS 2u /* a queued MSG_TO_OTHERS message (such as the status document) */
#define IOCTL_TO_ALL 3u    /* a queued MSG_TO_ALL message */

typedef struct IoctlRequest {
  uint32_t size;
  uint32_t version;
  uint32_t command;    /* IOCTL_* */
  uint32_t argSize;    /* size of the argument block from here: 8 without payload, 16 with */
  uint32_t argVersion; /* 1 */
  uint32_t length;     /* payload bytes (commands 2 and 3), 0 for command 1 */
  const void* data;    /* the core's shared buffer (commands 2 and 3), null for command 1 */
} IoctlRequest;

typedef struct IoctlReply {
  uint32_t size;
  uint32_t version;
  uint32_t command; /* the request's command */
  uint32_t reserved;
  uint32_t retained;      /* set by the plugin, as in WriteReply; commands 2 and 3 only */
  uint32_t resultSize;    /* 8 */
  uint32_t resultVersion; /* 1 */
} IoctlReply;

/* ---------------------------------------------------------------------------------------
 * Entry points
 *
 * Load is required. Open, Close, Unload and IOCTL are called on every loaded plugin; Read if
 * it sets acceptsRead; Write if it sets acceptsWrite. Seek is looked up and never called. The
 * core skips a call whose entry point a plugin does not export, and logs the missing ones.
 * ------------------------------------------------------------------------------------- */

#if defined(_WIN32)
#define ZENT_PLUGIN_EXPORT __declspec(dllexport)
#else
#define ZENT_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* The type of every entry point, as the core looks it up. */
typedef int (*PluginEntryFn)(void* request, void* reply);

/* 0 with info->error 0 accepts the plugin; anything else rejects it (Unload is then not
 * called, and the shared object is unloaded again). */
ZENT_PLUGIN_EXPORT int Load(PluginContext* context, PluginInfo* info);
/* Once, after every plugin has been loaded; the result is published in the status document. */
ZENT_PLUGIN_EXPORT int Open(OpenRequest* request, OpenReply* reply);
ZENT_PLUGIN_EXPORT int Read(ReadRequest* request, ReadReply* reply);
ZENT_PLUGIN_EXPORT int Write(WriteRequest* request, WriteReply* reply);
ZENT_PLUGIN_EXPORT int Seek(void* request, void* reply);
ZENT_PLUGIN_EXPORT int IOCTL(IoctlRequest* request, IoctlReply* reply);
/* At stop, after the core's own threads have ended; no call of the core starts afterwards. */
ZENT_PLUGIN_EXPORT int Close(CloseRequest* request, StatusReply* reply);
/* After every plugin received Close, and no call of the core is inside this plugin. */
ZENT_PLUGIN_EXPORT int Unload(UnloadRequest* request, StatusReply* reply);

/* ---------------------------------------------------------------------------------------
 * Layout checks
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus
#define ZENT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZENT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define ZENT_CHECK_SIZE(type, bytes) ZENT_STATIC_ASSERT(sizeof(type) == (bytes), #type " size")
#define ZENT_CHECK_OFFSET(type, field, at) \
  ZENT_STATIC_ASSERT(offsetof(type, field) == (at), #type "." #field " offset")

ZENT_STATIC_ASSERT(sizeof(uint8_t) == 1, "byte flags");

#if defined(__i386__)
ZENT_CHECK_SIZE(Message, 184);
ZENT_CHECK_OFFSET(Message, length, 8);
ZENT_CHECK_OFFSET(Message, data, 12);
ZENT_CHECK_OFFSET(Message, source, 16);
ZENT_CHECK_OFFSET(Message, channel, 20);
ZENT_CHECK_OFFSET(Message, flags, 24);
ZENT_CHECK_OFFSET(Message, code, 28);
ZENT_CHECK_OFFSET(Message, extra, 32);
ZENT_CHECK_SIZE(MessageReply, 12);
ZENT_CHECK_OFFSET(MessageReply, result, 8);

ZENT_CHECK_SIZE(PluginContext, 16);
ZENT_CHECK_OFFSET(PluginContext, core, 8);
ZENT_CHECK_OFFSET(PluginContext, callback, 12);

ZENT_CHECK_SIZE(PluginInfo, 64);
ZENT_CHECK_OFFSET(PluginInfo, id, 8);
ZENT_CHECK_OFFSET(PluginInfo, classMasks, 12);
ZENT_CHECK_OFFSET(PluginInfo, reserved1, 48);
ZENT_CHECK_OFFSET(PluginInfo, ioctlAtLoad, 52);
ZENT_CHECK_OFFSET(PluginInfo, acceptsRead, 54);
ZENT_CHECK_OFFSET(PluginInfo, acceptsWrite, 55);
ZENT_CHECK_OFFSET(PluginInfo, reserved3, 56);
ZENT_CHECK_OFFSET(PluginInfo, error, 60);

ZENT_CHECK_SIZE(OpenRequest, 20);
ZENT_CHECK_SIZE(OpenReply, 16);
ZENT_CHECK_SIZE(CloseRequest, 12);
ZENT_CHECK_SIZE(UnloadRequest, 8);
ZENT_CHECK_SIZE(StatusReply, 12);

ZENT_CHECK_SIZE(ReadRequest, 28);
ZENT_CHECK_OFFSET(ReadRequest, async, 12);
ZENT_CHECK_OFFSET(ReadRequest, length, 16);
ZENT_CHECK_OFFSET(ReadRequest, data, 20);
ZENT_CHECK_OFFSET(ReadRequest, channel, 24);
ZENT_CHECK_SIZE(ReadReply, 20);

ZENT_CHECK_SIZE(WriteRequest, 192);
ZENT_CHECK_OFFSET(WriteRequest, async, 12);
ZENT_CHECK_OFFSET(WriteRequest, length, 16);
ZENT_CHECK_OFFSET(WriteRequest, data, 20);
ZENT_CHECK_OFFSET(WriteRequest, source, 24);
ZENT_CHECK_OFFSET(WriteRequest, channel, 28);
ZENT_CHECK_OFFSET(WriteRequest, flags, 32);
ZENT_CHECK_OFFSET(WriteRequest, code, 36);
ZENT_CHECK_OFFSET(WriteRequest, extra, 40);
ZENT_CHECK_SIZE(WriteReply, 24);
ZENT_CHECK_OFFSET(WriteReply, retained, 20);

ZENT_CHECK_SIZE(IoctlRequest, 28);
ZENT_CHECK_OFFSET(IoctlRequest, command, 8);
ZENT_CHECK_OFFSET(IoctlRequest, argSize, 12);
ZENT_CHECK_OFFSET(IoctlRequest, argVersion, 16);
ZENT_CHECK_OFFSET(IoctlRequest, length, 20);
ZENT_CHECK_OFFSET(IoctlRequest, data, 24);
ZENT_CHECK_SIZE(IoctlReply, 28);
ZENT_CHECK_OFFSET(IoctlReply, command, 8);
ZENT_CHECK_OFFSET(IoctlReply, retained, 16);
ZENT_CHECK_OFFSET(IoctlReply, resultSize, 20);
ZENT_CHECK_OFFSET(IoctlReply, resultVersion, 24);
#endif /* __i386__ */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZENTSERVER_PLUGIN_API_H_ */
