// Subscription matching, shared by the two ways a message reaches plugins.
#ifndef ZENT_ROUTING_DELIVERY_H_
#define ZENT_ROUTING_DELIVERY_H_

#include <cstdint>

#include "plugin_api/plugin_api.h"

// Match values made from a message's code: the low 24 event bits stay in place and the
// category byte moves one bit down for an immediate broadcast (a logical shift) and one bit up
// for a queued message (bit 31 is lost).
inline uint32_t BroadcastMatchValue(uint32_t code) {
  return ((code & 0xFF000000u) >> 1) | (code & 0x00FFFFFFu);
}
inline uint32_t QueuedMatchValue(uint32_t code) {
  return ((code & 0xFF000000u) << 1) | (code & 0x00FFFFFFu);
}

// True when, for one of the class bits set in flags (0x01..0x80 select masks 0..7, 0x400 mask
// 8), every bit of match is set in the selected mask. False without any class bit.
bool MatchesSubscription(const PluginInfo& info, uint32_t flags, uint32_t match);

#endif  // ZENT_ROUTING_DELIVERY_H_
