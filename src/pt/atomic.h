// Atomic helpers of the runtime layer. Each is a single locked operation on an aligned 32-bit
// word and a full barrier (sequentially consistent).
#ifndef ZENT_PT_ATOMIC_H_
#define ZENT_PT_ATOMIC_H_

#include <atomic>

namespace pt {

// Stores value in *target and returns the old value.
inline int atomic_exchange(int* target, int value) {
  return std::atomic_ref<int>(*target).exchange(value);
}

// Adds 1 to *target and returns the new value.
inline int atomic_increment(int* target) { return std::atomic_ref<int>(*target).fetch_add(1) + 1; }

// Subtracts 1 from *target and returns the new value.
inline int atomic_decrement(int* target) { return std::atomic_ref<int>(*target).fetch_sub(1) - 1; }

// Reads *target; pairs with the helpers above, so that a flag polled by one thread and
// exchanged by another is read without a data race.
inline int atomic_read(const int* target) { return std::atomic_ref<const int>(*target).load(); }

}  // namespace pt

#endif  // ZENT_PT_ATOMIC_H_
