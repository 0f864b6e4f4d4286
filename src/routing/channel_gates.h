// ChannelGates: per-channel flow control.
//
// A channel is opened by a broadcast on it (OpenChannel): from then on it has an entry with a
// free gate. A queued message on an open channel takes the gate (HoldChannel) with its payload
// buffer as owner before it is queued; the next sender on the channel waits there until the
// message is finished with: its buffer is given back by the event handler (ReleaseChannel) or by
// the last plugin that kept it (ReleaseHeldBy), each time before the buffer is freed, so that a
// new buffer at the same address is never taken for the old one. A broadcast on a held channel
// waits until it is free but does not hold it. MSG_CLOSE_CHANNEL closes a channel for good:
// queued messages on it are refused from then on, and a sender waiting on it wakes and is
// refused; broadcasts on it are still delivered.
//
// Waits never last for ever where nobody could end them: a caller that must not wait (the
// event handler thread, the only one that gives gates back after deliveries) passes wait false
// and is refused instead of blocking, and after AbandonAll (delivery has ended for good) no wait
// blocks at all.
//
// The gates a payload buffer holds are indexed by the buffer (m_heldBy), so that giving a buffer
// back costs the same however many channels the server has opened in its life.
//
// Thread safety: m_lock guards the table, every entry's closed flag, its lock table and the
// index of holders. Entries and their OwnerLocks are never removed before destruction, so a
// pointer taken under m_lock stays valid; every wait on an OwnerLock is made after m_lock is
// released. Lock order where two are held: m_lock, then an OwnerLock's own mutex (which is held
// only for an instant).
#ifndef ZENT_ROUTING_CHANNEL_GATES_H_
#define ZENT_ROUTING_CHANNEL_GATES_H_

#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "pt/owner_lock.h"
#include "pt/sync.h"

struct ChannelEntry {
  // Gates by 16-bit sub-key; the Core uses sub-key 0 only, created with the entry.
  std::map<uint16_t, OwnerLock*> locks;
  bool closed = false;
};

class ChannelGates {
 public:
  ChannelGates() = default;
  ~ChannelGates();
  ChannelGates(const ChannelGates&) = delete;
  ChannelGates& operator=(const ChannelGates&) = delete;

  // Gives channel an entry with a free gate if it has none, then waits until no message holds
  // it (with wait true and not abandoned), leaving it free.
  void OpenChannel(uint32_t channel, bool wait);
  // Takes channel's gate for buffer. Returns true when refused: the channel has no entry, is
  // closed (the gate is then given back at once), or its gate is held and the caller may not
  // wait for it.
  bool HoldChannel(uint32_t channel, const void* buffer, bool wait);
  // Gives channel's gate back if buffer holds it.
  void ReleaseChannel(uint32_t channel, const void* buffer);
  // Gives back every gate that buffer holds. A null buffer holds none.
  void ReleaseHeldBy(const void* buffer);
  // Closes channel; nothing if it has no entry.
  void CloseChannel(uint32_t channel);
  // Delivery has ended for good: from now on no wait on a gate blocks, and the waiters of the
  // moment are refused.
  void AbandonAll();
  // How many senders (queued messages and broadcasts) wait for channel's gate at this moment.
  int WaitingOn(uint32_t channel);

  // Every channel that a broadcast opened, in number order, as it stands.
  struct ChannelState {
    uint32_t channel;
    bool open;  // not closed
    OwnerLock::State gate;
  };
  std::vector<ChannelState> Look();

 private:
  // REQUIRES: m_lock is held. Sub-key 0 of channel, created with its entry when create is true.
  OwnerLock* GateOf(uint32_t channel, bool create, ChannelEntry** entry) PT_REQUIRES(m_lock);

  pt::mutex m_lock;
  std::map<uint32_t, ChannelEntry*> m_gates PT_GUARDED_BY(m_lock);
  bool m_abandoned PT_GUARDED_BY(m_lock) = false;
  // The gates each non-null buffer took in HoldChannel and has not given back yet. A gate that
  // went to another owner meanwhile (a closed channel's forced release) ignores the buffer's
  // release, as it would without the index.
  std::unordered_multimap<const void*, OwnerLock*> m_heldBy PT_GUARDED_BY(m_lock);
};

#endif  // ZENT_ROUTING_CHANNEL_GATES_H_
