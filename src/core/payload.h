// Allocation of the Core's payload copies (queued messages and call-thread copies), released
// with free. Tests replace the allocator to make an allocation fail; nothing else does.
#ifndef ZENT_CORE_PAYLOAD_H_
#define ZENT_CORE_PAYLOAD_H_

#include <cstddef>

using PayloadAllocator = void* (*)(size_t size);

// Allocates size bytes (at least one) with the current allocator; null when it fails.
void* AllocatePayload(size_t size);
// Makes allocator the current one (null restores malloc) and returns the previous one.
PayloadAllocator SetPayloadAllocator(PayloadAllocator allocator);

#endif  // ZENT_CORE_PAYLOAD_H_
