// Subscription matching, shared by the two ways a message reaches plugins.
#ifndef ZENT_ROUTING_DELIVERY_H_
#define ZENT_ROUTING_DELIVERY_H_

#include <cstdint>
#include <cstring>

#include "plugin_api/plugin_api.h"

// Match values made from a message's code, as the interface header defines them for plugin
// authors: the category byte moves one bit down for an immediate broadcast and one bit up for a
// queued message.
inline uint32_t BroadcastMatchValue(uint32_t code) { return ZENT_BROADCAST_MATCH(code); }
inline uint32_t QueuedMatchValue(uint32_t code) { return ZENT_QUEUED_MATCH(code); }

// True when, for one of the class bits set in flags (0x01..0x80 select masks 0..7, 0x400 mask
// 8), every bit of match is set in the selected mask. False without any class bit.
inline bool MatchesMasks(const uint32_t* masks, uint32_t flags, uint32_t match) {
  // The selected masks, as bits 0 to 8 (class bit 8 is flag 0x400), visited one set bit at a
  // time: a message selects one or two of the nine, seldom more.
  uint32_t selected = (flags & 0xFFu) | ((flags & MSG_CLASS_BIT(8)) != 0 ? 0x100u : 0u);
  while (selected != 0) {
    if ((match & masks[__builtin_ctz(selected)]) == match) return true;
    selected &= selected - 1;
  }
  return false;
}

inline bool MatchesSubscription(const PluginInfo& info, uint32_t flags, uint32_t match) {
  return MatchesMasks(info.classMasks, flags, match);
}

// The records of the Write call that delivers a queued message: all bytes zero, then the size
// and version, and the message's fields and payload as they are.
inline WriteRequest MakeWriteDelivery(const Message& message) {
  WriteRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  request.version = ZENT_RECORD_VERSION;
  request.async = 0;
  request.length = message.length;
  request.data = message.data;
  request.source = message.source;
  request.channel = message.channel;
  request.flags = message.flags;
  request.code = message.code;
  std::memcpy(request.extra, message.extra, sizeof request.extra);
  return request;
}

inline WriteReply MakeWriteReply() {
  WriteReply reply;
  std::memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  return reply;
}

#endif  // ZENT_ROUTING_DELIVERY_H_
