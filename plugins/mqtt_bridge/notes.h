// notes.h: what the bridge remembers of the messages it sent in.
//
// Echoes. The core hands a message the bridge sent in back to the bridge when the bridge's own
// masks match it. A queued one comes back with the bridge's source and is recognised by it; a
// broadcast, MSG_TO_OTHERS or MSG_TO_ALL message comes back without a source, so before sending
// one in that will come back, the bridge notes its kind, channel, length and a hash of its
// payload, and the first delivery that fits a note is taken as the echo and not published.
//
// Origins. Every message on the broker names the bridge that first published it and how many
// bridges relayed it since (its hops). A local plugin that answers a carried message with the
// same content (a relay) must not make it new: the bridge notes the origin and hops of each
// message it sends in, by its length and payload hash, and a local message with the same
// content is published with that origin and one hop more.
//
// Notes expire after a minute and at most 4096 of each kind are kept.
//
// Thread safety: every member may be called from any thread.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_NOTES_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_NOTES_H_

#include <chrono>
#include <deque>
#include <mutex>
#include <stdint.h>
#include <string>

namespace mqtt_bridge {

uint64_t Hash(const void* data, uint32_t length);

enum EchoKind { kEchoRead, kEchoToOthers, kEchoToAll };

struct Echo {
  EchoKind kind;
  uint32_t channel;
  uint32_t length;
  uint64_t hash;
};

struct Origin {
  std::string client;  // the client id of the bridge that first published the message
  uint32_t hops = 0;   // how many bridges relayed it since
};

class Notes {
 public:
  void ExpectEcho(const Echo& echo);
  // True (and the note is gone) when echo fits a note.
  bool TakeEcho(const Echo& echo);

  void NoteOrigin(uint32_t length, uint64_t hash, const Origin& origin);
  // The origin of a message sent in with this content, if one is noted.
  bool OriginOf(uint32_t length, uint64_t hash, Origin* origin);

 private:
  using Clock = std::chrono::steady_clock;
  struct EchoNote {
    Echo echo;
    Clock::time_point at;
  };
  struct OriginNote {
    uint32_t length;
    uint64_t hash;
    Origin origin;
    Clock::time_point at;
  };
  template <typename Note>
  static void Expire(std::deque<Note>* notes, Clock::time_point now);

  std::mutex m_mu;
  std::deque<EchoNote> m_echoes;
  std::deque<OriginNote> m_origins;
};

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_NOTES_H_
