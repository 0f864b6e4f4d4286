#include "core/payload.h"

#include <algorithm>
#include <atomic>
#include <bit>
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
// allocated in size classes and, when freed, kept (each class up to kClassBytes, at least two
// buffers; all classes together up to kKeptBytes) and handed out again, still warm in the cache.
// The classes are eight to a power of two (4 KiB, 4.5 KiB, 5 KiB, ... 7.5 KiB, 8 KiB, 9 KiB, ...),
// so a buffer is at most an eighth larger than asked for: a 520 KiB frame takes 576 KiB, not
// the 1 MiB a power of two would cost in the queue and again for every copy. Small payloads go
// to malloc and free directly: for them a lock here would cost about what it saves. Kept
// buffers are malloc blocks like any other and are freed with free. Only with the default pair
// of functions: a test that installs its own sees every allocation.
class PayloadCache {
 public:
  static constexpr size_t kSmallestClass = 4096;
  static constexpr size_t kLargestClass = 1024 * 1024;
  static constexpr size_t kClassBytes = 1024 * 1024;
  static constexpr size_t kKeptBytes = 8 * 1024 * 1024;
  static constexpr int kStepsPerOctave = 8;
  // 4 KiB to 1 MiB: eight octaves of eight classes, and 1 MiB itself.
  static constexpr int kClasses = 8 * kStepsPerOctave + 1;
  static constexpr size_t kMostKept = kClassBytes / kSmallestClass;

  // The class of a request of size bytes, or 0 when it is not kept.
  static size_t ClassOf(size_t size) {
    if (size < kSmallestClass || size > kLargestClass) return 0;
    const size_t step = std::bit_floor(size) / kStepsPerOctave;
    return (size + step - 1) / step * step;
  }

  void* Take(size_t sizeClass) {
    Stack& stack = m_stacks[IndexOf(sizeClass)];
    pt::lockguard guard(m_lock);
    if (stack.count == 0) return nullptr;
    m_keptBytes -= sizeClass;
    return stack.buffers[--stack.count];
  }

  // Keeps buffer if it is of a class with room; false when the caller must free it.
  bool Keep(void* buffer) {
    // A buffer of a class is a malloc block of at least the class's size and less than the next
    // class's: the largest class that fits in it is its own.
    const size_t usable = malloc_usable_size(buffer);
    if (usable < kSmallestClass || usable >= kLargestClass + kLargestClass / kStepsPerOctave) {
      return false;
    }
    const size_t step = std::bit_floor(usable) / kStepsPerOctave;
    const size_t sizeClass = std::min(usable / step * step, kLargestClass);
    Stack& stack = m_stacks[IndexOf(sizeClass)];
    const size_t limit = std::max<size_t>(2, kClassBytes / sizeClass);
    pt::lockguard guard(m_lock);
    if (stack.count >= limit || m_keptBytes + sizeClass > kKeptBytes) return false;
    stack.buffers[stack.count++] = buffer;
    m_keptBytes += sizeClass;
    return true;
  }

  void FreeAll() {
    pt::lockguard guard(m_lock);
    for (Stack& stack : m_stacks) {
      while (stack.count > 0) std::free(stack.buffers[--stack.count]);
    }
    m_keptBytes = 0;
  }

 private:
  struct Stack {
    void* buffers[kMostKept];
    size_t count = 0;
  };

  // REQUIRES: sizeClass is a class (ClassOf's result).
  static int IndexOf(size_t sizeClass) {
    const size_t octave = std::bit_floor(sizeClass);
    return (std::countr_zero(octave) - std::countr_zero(kSmallestClass)) * kStepsPerOctave +
           static_cast<int>((sizeClass - octave) / (octave / kStepsPerOctave));
  }

  pt::mutex m_lock;
  Stack m_stacks[kClasses] PT_GUARDED_BY(m_lock);
  size_t m_keptBytes PT_GUARDED_BY(m_lock) = 0;
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

void ReleasePayload(void* buffer, size_t size) {
  // AllocatePayload hands out a plain allocation, never a kept class, for a small size.
  if (size != 0 && size < PayloadCache::kSmallestClass) {
    if (buffer != nullptr) g_release.load()(buffer);
    return;
  }
  ReleasePayload(buffer);
}

void FreeKeptPayloads() { Cache().FreeAll(); }

size_t LargePayloadFootprint(size_t size) {
  static_assert(PayloadCache::kSmallestClass == 4096, "PayloadFootprint's small sizes");
  const size_t sizeClass = PayloadCache::ClassOf(size);
  return sizeClass != 0 ? sizeClass : size;
}

PayloadFunctions SetPayloadFunctions(PayloadFunctions functions) {
  FreeKeptPayloads();
  PayloadFunctions previous;
  previous.allocate =
      g_allocate.exchange(functions.allocate != nullptr ? functions.allocate : MallocPayload);
  previous.release =
      g_release.exchange(functions.release != nullptr ? functions.release : FreePayload);
  return previous;
}
