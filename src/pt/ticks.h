// pt::ticks: a monotonic count cheap enough to time every call on the message path.
//
// On x86 it is the processor's time stamp counter (one instruction; constant-rate and in step
// across cores on the processors this server runs on), elsewhere the steady clock in
// nanoseconds. Its rate is not known in advance: TickClock (core) measures it against the
// steady clock. Differences of two readings on different cores may come out slightly negative;
// callers clamp them.
#ifndef ZENT_PT_TICKS_H_
#define ZENT_PT_TICKS_H_

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace pt {

inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
#endif
}

}  // namespace pt

#endif  // ZENT_PT_TICKS_H_
