// The heap: a bump allocator over one fixed arena in static storage. Each block is a 32-bit
// size word (the requested size, at least 1) followed by the payload, and spans 4 + size
// raised to a multiple of 8; blocks are handed out in address order and never taken back.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

// Zero at start (it lives in .bss) and 8-byte aligned, so every payload is 4 mod 8.
alignas(8) unsigned char g_heap[HEAP_SIZE];
unsigned int g_heap_used = 0;

} // extern "C"

namespace {

constexpr unsigned int size_word_bytes = 4u;
constexpr unsigned int out_of_memory = 12; // ENOMEM

void put_size_word(unsigned char* at, unsigned int n)
{
    at[0] = static_cast<unsigned char>(n);
    at[1] = static_cast<unsigned char>(n >> 8);
    at[2] = static_cast<unsigned char>(n >> 16);
    at[3] = static_cast<unsigned char>(n >> 24);
}

unsigned int get_size_word(const unsigned char* at)
{
    return static_cast<unsigned int>(at[0]) | static_cast<unsigned int>(at[1]) << 8 |
           static_cast<unsigned int>(at[2]) << 16 | static_cast<unsigned int>(at[3]) << 24;
}

// Reserves a block for n (already at least 1) bytes and returns its payload, or null when the
// span does not fit in what is left of the arena; a failure changes nothing. The first test
// keeps n + 11 from wrapping: any n above the arena size cannot fit anyway.
void* reserve(unsigned int n)
{
    if (n > HEAP_SIZE) return nullptr;
    const unsigned int span = (n + size_word_bytes + 7u) & ~7u;
    if (span > HEAP_SIZE - g_heap_used) return nullptr;
    unsigned char* block = g_heap + g_heap_used;
    put_size_word(block, n);
    g_heap_used += span;
    return block + size_word_bytes;
}

void* reserve_or_fail(unsigned int n)
{
    void* payload = reserve(n);
    if (!payload) errno = out_of_memory;
    return payload;
}

} // namespace

extern "C" {

void* malloc(size_t size) { return reserve_or_fail(size == 0 ? 1u : size); }

void* calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0) return reserve_or_fail(1u);
    if (count > 0xFFFFFFFFu / size) {
        errno = out_of_memory;
        return nullptr;
    }
    const size_t total = count * size;
    void* payload = reserve_or_fail(total);
    if (payload) memset(payload, 0, total);
    return payload;
}

void* realloc(void* ptr, size_t size)
{
    const unsigned int n = size == 0 ? 1u : size;
    void* payload = reserve_or_fail(n);
    if (!payload || !ptr) return payload;
    const unsigned int old_size = get_size_word(static_cast<unsigned char*>(ptr) - size_word_bytes);
    memcpy(payload, ptr, old_size < n ? old_size : n);
    return payload;
}

void free(void*) {}

} // extern "C"
