#include "notes.h"

#include <algorithm>

namespace mqtt_bridge {
namespace {

constexpr auto kLifetime = std::chrono::seconds(60);
constexpr size_t kLimit = 4096;

}  // namespace

uint64_t Hash(const void* data, uint32_t length) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (uint32_t i = 0; i < length && bytes != nullptr; ++i)
    hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

template <typename Note>
void Notes::Expire(std::deque<Note>* notes, Clock::time_point now) {
  // A note whose delivery never came (the core stopped delivering) does not stay for ever.
  while (!notes->empty() && (notes->size() >= kLimit || now - notes->front().at > kLifetime)) {
    notes->pop_front();
  }
}

void Notes::ExpectEcho(const Echo& echo) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto now = Clock::now();
  Expire(&m_echoes, now);
  m_echoes.push_back({echo, now});
}

bool Notes::TakeEcho(const Echo& echo) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto found = std::find_if(m_echoes.begin(), m_echoes.end(), [&](const EchoNote& note) {
    return note.echo.kind == echo.kind && note.echo.channel == echo.channel &&
           note.echo.length == echo.length && note.echo.hash == echo.hash;
  });
  if (found == m_echoes.end()) return false;
  m_echoes.erase(found);
  return true;
}

void Notes::NoteOrigin(uint32_t length, uint64_t hash, const Origin& origin) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto now = Clock::now();
  Expire(&m_origins, now);
  m_origins.push_back({length, hash, origin, now});
}

bool Notes::OriginOf(uint32_t length, uint64_t hash, Origin* origin) {
  std::lock_guard<std::mutex> lock(m_mu);
  // The latest note wins: it carries the most hops.
  for (auto note = m_origins.rbegin(); note != m_origins.rend(); ++note) {
    if (note->length == length && note->hash == hash && Clock::now() - note->at <= kLifetime) {
      *origin = note->origin;
      return true;
    }
  }
  return false;
}

}  // namespace mqtt_bridge
