#include "core/payload.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <malloc.h>

#include "pt/sync.h"

namespace {

void* MallocPayload(size_t size) { return std::malloc(size); }
void FreePayload(void* buffer) { std::free(buffer); }

std::atomic<void* (*)(size_t)> g_allocate{MallocPayload};
std::atomic<AllocationHook> g_allocationHook{nullptr};
std::atomic<void (*)(void*)> g_release{FreePayload};

// Large payload buffers given back, kept for the next payloads of their size.
//
// A queued payload is allocated on the sender's thread and freed on the event handler's. For a
// large one (a video frame) the C library's allocator then tends to hand the memory back to the
// system on the free and fault it in, zeroed, on the next allocation: a frame costs its size in
// page faults on top of its one copy. So buffers of kSmallestClass to kLargestClass bytes are
// allocated in whole size classes (powers of two) and, when freed, kept (each class up to
// kClassBytes, at least two buffers) and handed out again, still warm in the cache. Small
// payloads go to malloc and free directly: for them a lock here would cost about what it saves.
// Kept buffers are malloc blocks like any other and are freed with free. Only with the default
// pair of functions: a test that installs its own sees every allocation.
class PayloadCache {
 public:
  static constexpr size_t kSmallestClass = 4096;
  static constexpr size_t kLargestClass = 1024 * 1024;
  static constexpr size_t kClassBytes = 1024 * 1024;
  static constexpr int kClasses = 9;  // 4 KiB to 1 MiB
  static constexpr size_t kMostKept = kClassBytes / kSmallestClass;

  // The class of a request of size bytes, or 0 when it is not kept.
  static size_t ClassOf(size_t size) {
    if (size < kSmallestClass || size > kLargestClass) return 0;
    size_t sizeClass = kSmallestClass;
    while (sizeClass < size) sizeClass <<= 1;
    return sizeClass;
  }

  void* Take(size_t sizeClass) {
    Stack& stack = StackOf(sizeClass);
    pt::lockguard guard(m_lock);
    return stack.count == 0 ? nullptr : stack.buffers[--stack.count];
  }

  // Keeps buffer if it is of a class with room; false when the caller must free it.
  bool Keep(void* buffer) {
    // A buffer of a class is a malloc block of at least the class's size and less than twice it.
    const size_t usable = malloc_usable_size(buffer);
    if (usable < kSmallestClass || usable >= 2 * kLargestClass) return false;
    size_t sizeClass = kSmallestClass;
    while (sizeClass * 2 <= usable) sizeClass <<= 1;
    Stack& stack = StackOf(sizeClass);
    const size_t limit = std::max<size_t>(2, kClassBytes / sizeClass);
    pt::lockguard guard(m_lock);
    if (stack.count >= limit) return false;
    stack.buffers[stack.count++] = buffer;
    return true;
  }

  void FreeAll() {
    pt::lockguard guard(m_lock);
    for (Stack& stack : m_stacks) {
      while (stack.count > 0) std::free(stack.buffers[--stack.count]);
    }
  }

 private:
  struct Stack {
    void* buffers[kMostKept];
    size_t count = 0;
  };

  Stack& StackOf(size_t sizeClass) { return m_stacks[__builtin_ctzl(sizeClass) - 12]; }

  pt::mutex m_lock;
  Stack m_stacks[kClasses] PT_GUARDED_BY(m_lock);
};

PayloadCache& Cache() {
  // Never destroyed: buffers may be given back while the process exits.
  static PayloadCache* cache = new PayloadCache;
  return *cache;
}

bool Defaults(void* (*allocate)(size_t), void (*release)(void*)) {
  return allocate == MallocPayload && release == FreePayload;
}

}  // namespace

void SetAllocationHook(AllocationHook hook) { g_allocationHook = hook; }

bool AllocationAllowed(AllocationSite site) {
  const AllocationHook hook = g_allocationHook.load(std::memory_order_relaxed);
  return hook == nullptr || hook(site);
}

void* AllocatePayload(size_t size, AllocationSite site) {
  if (!AllocationAllowed(site)) return nullptr;
  void* (*allocate)(size_t) = g_allocate.load();
  if (size == 0) size = 1;
  const size_t sizeClass = PayloadCache::ClassOf(size);
  if (sizeClass == 0 || !Defaults(allocate, g_release.load())) return allocate(size);
  if (void* buffer = Cache().Take(sizeClass)) return buffer;
  return allocate(sizeClass);
}

void ReleasePayload(void* buffer) {
  if (buffer == nullptr) return;
  void (*release)(void*) = g_release.load();
  if (Defaults(g_allocate.load(), release) && Cache().Keep(buffer)) return;
  release(buffer);
}

void FreeKeptPayloads() { Cache().FreeAll(); }

PayloadFunctions SetPayloadFunctions(PayloadFunctions functions) {
  FreeKeptPayloads();
  PayloadFunctions previous;
  previous.allocate =
      g_allocate.exchange(functions.allocate != nullptr ? functions.allocate : MallocPayload);
  previous.release =
      g_release.exchange(functions.release != nullptr ? functions.release : FreePayload);
  return previous;
}
