#include "core/payload.h"

#include <atomic>
#include <cstdlib>

namespace {

void* MallocPayload(size_t size) { return std::malloc(size); }

std::atomic<PayloadAllocator> g_allocator{MallocPayload};

}  // namespace

void* AllocatePayload(size_t size) { return g_allocator.load()(size == 0 ? 1 : size); }

PayloadAllocator SetPayloadAllocator(PayloadAllocator allocator) {
  return g_allocator.exchange(allocator != nullptr ? allocator : MallocPayload);
}
