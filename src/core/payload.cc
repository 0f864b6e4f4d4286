#include "core/payload.h"

#include <atomic>
#include <cstdlib>

namespace {

void* MallocPayload(size_t size) { return std::malloc(size); }
void FreePayload(void* buffer) { std::free(buffer); }

std::atomic<void* (*)(size_t)> g_allocate{MallocPayload};
std::atomic<void (*)(void*)> g_release{FreePayload};

}  // namespace

void* AllocatePayload(size_t size) { return g_allocate.load()(size == 0 ? 1 : size); }

void ReleasePayload(void* buffer) {
  if (buffer != nullptr) g_release.load()(buffer);
}

PayloadFunctions SetPayloadFunctions(PayloadFunctions functions) {
  PayloadFunctions previous;
  previous.allocate =
      g_allocate.exchange(functions.allocate != nullptr ? functions.allocate : MallocPayload);
  previous.release =
      g_release.exchange(functions.release != nullptr ? functions.release : FreePayload);
  return previous;
}
