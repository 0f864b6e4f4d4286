#include "routing/channel_gates.h"

ChannelGates::~ChannelGates() {
  pt::lockguard guard(m_lock);
  for (auto& [channel, entry] : m_gates) {
    for (auto& [subkey, lock] : entry->locks) delete lock;
    delete entry;
  }
  m_gates.clear();
}

OwnerLock* ChannelGates::GateOf(uint32_t channel, bool create, ChannelEntry** entry) {
  auto it = m_gates.find(channel);
  if (it == m_gates.end()) {
    if (!create) return nullptr;
    it = m_gates.emplace(channel, new ChannelEntry).first;
  }
  *entry = it->second;
  auto lock = it->second->locks.find(0);
  if (lock == it->second->locks.end()) {
    if (!create) return nullptr;
    auto* gate = new OwnerLock;
    if (m_abandoned) gate->Abandon();
    lock = it->second->locks.emplace(0, gate).first;
  }
  return lock->second;
}

void ChannelGates::OpenChannel(uint32_t channel, bool wait) {
  OwnerLock* gate;
  {
    pt::lockguard guard(m_lock);
    ChannelEntry* entry = nullptr;
    gate = GateOf(channel, true, &entry);
  }
  gate->WaitFree(wait);
}

bool ChannelGates::HoldChannel(uint32_t channel, const void* buffer, bool wait) {
  void* owner = const_cast<void*>(buffer);
  OwnerLock* gate;
  ChannelEntry* entry = nullptr;
  {
    pt::lockguard guard(m_lock);
    gate = GateOf(channel, false, &entry);
    if (entry == nullptr) return true;  // never opened
  }
  if (gate != nullptr && !gate->Acquire(owner, wait)) return true;
  bool closed;
  {
    pt::lockguard guard(m_lock);
    closed = entry->closed;
    if (!closed && gate != nullptr && buffer != nullptr) m_heldBy.emplace(buffer, gate);
  }
  if (closed && gate != nullptr) {
    // Refused: the gate goes back at once, so that later senders on the closed channel, and
    // broadcasts on it, are answered without waiting for a message that will never be queued.
    gate->Release(owner);
  }
  return closed;
}

void ChannelGates::ReleaseChannel(uint32_t channel, const void* buffer) {
  OwnerLock* gate;
  {
    pt::lockguard guard(m_lock);
    ChannelEntry* entry = nullptr;
    gate = GateOf(channel, false, &entry);
    if (gate != nullptr && buffer != nullptr) {
      for (auto [it, end] = m_heldBy.equal_range(buffer); it != end; ++it) {
        if (it->second == gate) {
          m_heldBy.erase(it);
          break;
        }
      }
    }
  }
  if (gate != nullptr) gate->Release(const_cast<void*>(buffer));
}

void ChannelGates::ReleaseHeldBy(const void* buffer) {
  // Only a payload buffer identifies a holder here; a null one would match every free gate.
  if (buffer == nullptr) return;
  pt::lockguard guard(m_lock);
  auto [it, end] = m_heldBy.equal_range(buffer);
  for (; it != end; it = m_heldBy.erase(it)) it->second->Release(const_cast<void*>(buffer));
}

void ChannelGates::CloseChannel(uint32_t channel) {
  pt::lockguard guard(m_lock);
  auto it = m_gates.find(channel);
  if (it == m_gates.end()) return;
  it->second->closed = true;
  // Wakes one sender that waits on the channel; it finds the channel closed and is refused.
  for (auto& [subkey, gate] : it->second->locks) gate->ForceRelease();
}

void ChannelGates::AbandonAll() {
  pt::lockguard guard(m_lock);
  m_abandoned = true;
  for (auto& [channel, entry] : m_gates) {
    for (auto& [subkey, gate] : entry->locks) gate->Abandon();
  }
}

int ChannelGates::WaitingOn(uint32_t channel) {
  OwnerLock* gate;
  {
    pt::lockguard guard(m_lock);
    ChannelEntry* entry = nullptr;
    gate = GateOf(channel, false, &entry);
  }
  return gate != nullptr ? gate->Waiters() : 0;
}

std::vector<ChannelGates::ChannelState> ChannelGates::Look() {
  std::vector<ChannelState> channels;
  pt::lockguard guard(m_lock);
  channels.reserve(m_gates.size());
  for (auto& [channel, entry] : m_gates) {
    const auto gate = entry->locks.find(0);
    if (gate == entry->locks.end()) continue;
    channels.push_back(ChannelState{channel, !entry->closed, gate->second->Look()});
  }
  return channels;
}
