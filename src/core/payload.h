// Allocation and release of the Core's payload copies: the buffers of queued messages and the
// private copies of call threads. Buffers are malloc blocks; with the default functions, large
// ones (4 KiB to 1 MiB, video frames) are allocated in size classes at most an eighth larger than
// asked for and kept for reuse when freed, a bounded few of each class, so that a frame does not
// cost fresh pages each time. Tests replace the pair to make an
// allocation fail, to count buffers, or to hold a release at a chosen moment; nothing else
// does, and with replaced functions nothing is kept.
#ifndef ZENT_CORE_PAYLOAD_H_
#define ZENT_CORE_PAYLOAD_H_

#include <cstddef>

struct PayloadFunctions {
  void* (*allocate)(size_t size);  // null when it fails
  void (*release)(void* buffer);
};

// The places where the Core allocates memory whose lack it answers: a queued message's payload
// (RESULT_NO_MEMORY), a call thread's payload copy, its thread object, its room in the plugin's
// call count and its OS thread (stack and task; the call is skipped, with a logged error), a
// block of the queue (RESULT_NO_MEMORY), and a record of the buffer reference table (that
// plugin's call is skipped, logged).
enum class AllocationSite {
  kQueuedPayload,
  kCallPayload,
  kCallThread,
  kCallRecord,
  kQueueBlock,
  kHoldRecord,
  kCallThreadStart,
};
constexpr int kAllocationSites = 7;

// For tests: called before every allocation at those places; when it returns false the
// allocation fails as if memory had run out. Null (the default) for none.
using AllocationHook = bool (*)(AllocationSite site);
void SetAllocationHook(AllocationHook hook);
// Whether an allocation at site may go ahead (the hook's answer; true without one).
bool AllocationAllowed(AllocationSite site);

// Allocates size bytes (at least one) with the current functions for site; null when it fails.
void* AllocatePayload(size_t size, AllocationSite site);
// Releases a buffer that AllocatePayload returned; ignores null.
void ReleasePayload(void* buffer);
// The same for a buffer that AllocatePayload(size) returned, where the caller knows the size:
// a small one goes back at once, without a look at the large buffers kept for reuse.
void ReleasePayload(void* buffer, size_t size);
// The bytes that AllocatePayload(size) asks the allocator for: size (at least 1), or the size
// class a large payload is rounded up to (at most an eighth more).
size_t LargePayloadFootprint(size_t size);
inline size_t PayloadFootprint(size_t size) {
  return size < 4096 ? (size != 0 ? size : 1) : LargePayloadFootprint(size);
}
// Frees the large buffers kept for reuse (see payload.cc); the Core does so when it is
// destroyed.
void FreeKeptPayloads();
// Makes functions the current ones (a null member restores malloc or free) and returns the
// previous ones.
PayloadFunctions SetPayloadFunctions(PayloadFunctions functions);

#endif  // ZENT_CORE_PAYLOAD_H_
