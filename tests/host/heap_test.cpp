// The heap: size words, 8-byte spans, payloads at 4 mod 8, exhaustion without
// wrap-around, errno 12 on failure with nothing else changed, calloc, realloc and free. Every
// test starts from a fresh guest process, so addresses and the arena's fill are exact.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using yulos::GuestCall;

namespace {

const std::string image = std::string(YULOS_GUEST_DIR) + "/test_runtime";

constexpr uint32_t heap_size = 1048576;
constexpr uint32_t enomem = 12;

struct Heap {
    GuestCall g{image};
    uint32_t arena = g.symbol("g_heap");
    uint32_t used_at = g.symbol("g_heap_used");
    uint32_t errno_at = g.symbol("errno");

    uint32_t used() const { return g.read_u32(used_at); }
    uint32_t error() const { return g.read_u32(errno_at); }
    uint32_t size_word(uint32_t payload) const { return g.read_u32(payload - 4); }
    uint32_t malloc(uint32_t size) { return g.call_word("malloc", {size}); }
};

} // namespace

TEST(Heap, StartsEmptyAlignedAndZero)
{
    Heap h;
    EXPECT_EQ(h.arena % 8, 0u);
    EXPECT_EQ(h.used(), 0u);
    EXPECT_EQ(h.error(), 0u);
    std::vector<uint8_t> arena = h.g.read(h.arena, heap_size);
    EXPECT_EQ(arena, std::vector<uint8_t>(heap_size, 0));
    // The offset and errno lie outside the arena.
    EXPECT_TRUE(h.used_at >= h.arena + heap_size || h.used_at + 4 <= h.arena);
    EXPECT_TRUE(h.errno_at >= h.arena + heap_size || h.errno_at + 4 <= h.arena);
}

TEST(Heap, MallocZeroTakesEightBytes)
{
    Heap h;
    uint32_t a = h.malloc(0);
    uint32_t b = h.malloc(0);
    EXPECT_EQ(a, h.arena + 4);
    EXPECT_EQ(b, a + 8);
    EXPECT_EQ(h.size_word(a), 1u);
    EXPECT_EQ(h.size_word(b), 1u);
    EXPECT_EQ(h.used(), 16u);
}

TEST(Heap, SpansAreSizePlusFourRoundedToEight)
{
    Heap h;
    struct Step {
        uint32_t size, span;
    };
    const Step steps[] = {{1, 8},   {1, 8},   {4, 8}, {5, 16},    {12, 16}, {13, 24},
                          {20, 24}, {21, 32}, {0, 8}, {100, 104}, {3, 8},   {1000, 1008}};
    uint32_t expected = h.arena + 4;
    for (const Step& step : steps) {
        uint32_t before = h.used();
        uint32_t p = h.malloc(step.size);
        EXPECT_EQ(p, expected) << "size " << step.size;
        EXPECT_EQ(p % 8, 4u) << "size " << step.size;
        EXPECT_EQ(h.size_word(p), step.size == 0 ? 1u : step.size);
        EXPECT_EQ(h.used(), before + step.span) << "size " << step.size;
        expected = p + step.span;
    }
    EXPECT_EQ(h.error(), 0u);
}

TEST(Heap, ConsecutivePayloadDistances)
{
    Heap h;
    uint32_t one = h.malloc(1);
    uint32_t two = h.malloc(1);
    EXPECT_EQ(two - one, 8u);
    uint32_t five = h.malloc(5);
    uint32_t after_five = h.malloc(1);
    EXPECT_EQ(after_five - five, 16u);
    uint32_t thirteen = h.malloc(13);
    uint32_t after_thirteen = h.malloc(1);
    EXPECT_EQ(after_thirteen - thirteen, 24u);
}

TEST(Heap, ExactFillThenNothingFits)
{
    Heap h;
    uint32_t all = h.malloc(heap_size - 4);
    EXPECT_EQ(all, h.arena + 4);
    EXPECT_EQ(h.size_word(all), heap_size - 4);
    EXPECT_EQ(h.used(), heap_size);
    EXPECT_EQ(h.error(), 0u);

    EXPECT_EQ(h.malloc(0), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), heap_size);
    EXPECT_EQ(h.size_word(all), heap_size - 4);
}

TEST(Heap, OneByteTooManyFails)
{
    Heap h;
    EXPECT_EQ(h.malloc(heap_size - 3), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 0u);
    EXPECT_EQ(h.g.read_u32(h.arena), 0u); // no size word written
    EXPECT_EQ(h.malloc(heap_size), 0u);
    EXPECT_EQ(h.used(), 0u);
}

TEST(Heap, RemainderStillServesSmallerRequests)
{
    Heap h;
    ASSERT_NE(h.malloc(heap_size - 4 - 16), 0u);
    EXPECT_EQ(h.used(), heap_size - 16);
    EXPECT_EQ(h.malloc(13), 0u); // span 24 > 16
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), heap_size - 16);
    uint32_t last = h.malloc(12); // span 16 fits exactly
    EXPECT_EQ(last, h.arena + heap_size - 16 + 4);
    EXPECT_EQ(h.used(), heap_size);
}

TEST(Heap, SizesNearFourGigabytesFailWithoutWrapping)
{
    Heap h;
    uint32_t first = h.malloc(10);
    ASSERT_NE(first, 0u);
    const uint32_t sizes[] = {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF8u, 0xFFFFFFF5u,
                              0xFFFFFFF4u, 0xFFFFFFF0u, 0x80000000u, heap_size + 1};
    for (uint32_t size : sizes) {
        h.g.write_u32(h.errno_at, 0);
        EXPECT_EQ(h.malloc(size), 0u) << std::hex << size;
        EXPECT_EQ(h.error(), enomem) << std::hex << size;
        EXPECT_EQ(h.used(), 16u) << std::hex << size;
    }
    EXPECT_EQ(h.g.read_u32(h.arena + 16), 0u); // nothing written after the first block
    EXPECT_EQ(h.malloc(1), first + 16);
}

TEST(Heap, SuccessLeavesErrnoAlone)
{
    Heap h;
    h.g.write_u32(h.errno_at, 5);
    EXPECT_NE(h.malloc(1), 0u);
    EXPECT_NE(h.g.call_word("calloc", {2, 2}), 0u);
    EXPECT_NE(h.g.call_word("realloc", {0, 3}), 0u);
    EXPECT_EQ(h.error(), 5u);
}

TEST(Heap, PayloadIsNotCleared)
{
    Heap h;
    // Bytes written past the end of the handed-out region show through a later malloc.
    h.g.write(h.arena + 4, std::vector<uint8_t>(4, 0x5A));
    uint32_t p = h.malloc(4);
    EXPECT_EQ(h.g.read(p, 4), std::vector<uint8_t>(4, 0x5A));
}

TEST(Calloc, ProductOverflowFails)
{
    Heap h;
    EXPECT_EQ(h.g.call_word("calloc", {65536, 65536}), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 0u);
    h.g.write_u32(h.errno_at, 0);
    EXPECT_EQ(h.g.call_word("calloc", {2, 0x80000000u}), 0u);
    EXPECT_EQ(h.error(), enomem);
    h.g.write_u32(h.errno_at, 0);
    EXPECT_EQ(h.g.call_word("calloc", {0xFFFFFFFFu, 0xFFFFFFFFu}), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 0u);
}

TEST(Calloc, ProductThatDoesNotFitFails)
{
    Heap h;
    // 0x10001 * 0xFFFF = 0xFFFFFFFF: representable, but far beyond the arena.
    EXPECT_EQ(h.g.call_word("calloc", {0x10001, 0xFFFF}), 0u);
    EXPECT_EQ(h.error(), enomem);
    h.g.write_u32(h.errno_at, 0);
    EXPECT_EQ(h.g.call_word("calloc", {1, heap_size - 3}), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 0u);
    uint32_t all = h.g.call_word("calloc", {4, (heap_size - 4) / 4});
    EXPECT_EQ(all, h.arena + 4);
    EXPECT_EQ(h.used(), heap_size);
}

TEST(Calloc, ZeroCountOrSizeGivesOneByteBlock)
{
    Heap h;
    uint32_t a = h.g.call_word("calloc", {0, 5});
    uint32_t b = h.g.call_word("calloc", {5, 0});
    uint32_t c = h.g.call_word("calloc", {0, 0});
    EXPECT_EQ(a, h.arena + 4);
    EXPECT_EQ(b, a + 8);
    EXPECT_EQ(c, b + 8);
    EXPECT_EQ(h.size_word(a), 1u);
    EXPECT_EQ(h.size_word(b), 1u);
    EXPECT_EQ(h.used(), 24u);
}

TEST(Calloc, ClearsExactlyTheProduct)
{
    Heap h;
    // Dirty the arena ahead of the offset, as a caller writing past its block would.
    h.g.write(h.arena, std::vector<uint8_t>(64, 0xAA));
    uint32_t p = h.g.call_word("calloc", {5, 1}); // span 16: 4 + 5 payload + 7 fill
    EXPECT_EQ(p, h.arena + 4);
    EXPECT_EQ(h.size_word(p), 5u);
    EXPECT_EQ(h.g.read(p, 5), std::vector<uint8_t>(5, 0));
    EXPECT_EQ(h.g.read(p + 5, 7), std::vector<uint8_t>(7, 0xAA)); // fill left alone

    uint32_t q = h.g.call_word("calloc", {3, 4});
    EXPECT_EQ(q, p + 16);
    EXPECT_EQ(h.size_word(q), 12u);
    EXPECT_EQ(h.g.read(q, 12), std::vector<uint8_t>(12, 0));

    uint32_t r = h.g.call_word("calloc", {0, 7}); // like malloc(0): its byte is not cleared
    EXPECT_EQ(r, q + 16);
    EXPECT_EQ(h.size_word(r), 1u);
    EXPECT_EQ(h.g.read(r, 1), std::vector<uint8_t>{0xAA});
}

TEST(Realloc, NullPointerActsAsMalloc)
{
    Heap h;
    uint32_t p = h.g.call_word("realloc", {0, 10});
    EXPECT_EQ(p, h.arena + 4);
    EXPECT_EQ(h.size_word(p), 10u);
    EXPECT_EQ(h.used(), 16u);
    uint32_t q = h.g.call_word("realloc", {0, 0});
    EXPECT_EQ(q, p + 16);
    EXPECT_EQ(h.size_word(q), 1u);
}

TEST(Realloc, ShrinkingCopiesTheStartAndKeepsTheOldBlock)
{
    Heap h;
    uint32_t p = h.malloc(8);
    const std::vector<uint8_t> eight{1, 2, 3, 4, 5, 6, 7, 8};
    h.g.write(p, eight);
    uint32_t q = h.g.call_word("realloc", {p, 2});
    EXPECT_EQ(q, p + 16);
    EXPECT_EQ(h.size_word(q), 2u);
    EXPECT_EQ(h.g.read(q, 4), (std::vector<uint8_t>{1, 2, 0, 0}));
    EXPECT_EQ(h.g.read(p, 8), eight);
    EXPECT_EQ(h.size_word(p), 8u);
    EXPECT_EQ(h.used(), 24u);
}

TEST(Realloc, GrowingCopiesOnlyTheOldSize)
{
    Heap h;
    uint32_t p = h.malloc(4);
    h.g.write(p, std::vector<uint8_t>{'a', 'b', 'c', 'd'});
    uint32_t q = h.g.call_word("realloc", {p, 100});
    EXPECT_EQ(q, p + 8);
    EXPECT_EQ(h.size_word(q), 100u);
    std::vector<uint8_t> expected(100, 0);
    expected[0] = 'a', expected[1] = 'b', expected[2] = 'c', expected[3] = 'd';
    EXPECT_EQ(h.g.read(q, 100), expected);
    EXPECT_EQ(h.used(), 8u + 104u);
}

TEST(Realloc, ReadsTheSizeWordNotTheSpan)
{
    Heap h;
    uint32_t p = h.malloc(3);
    // Fill byte behind the 3-byte payload: it belongs to the span but not to the block.
    h.g.write(p, std::vector<uint8_t>{'x', 'y', 'z', '!'});
    uint32_t q = h.g.call_word("realloc", {p, 10});
    EXPECT_EQ(h.g.read(q, 4), (std::vector<uint8_t>{'x', 'y', 'z', 0}));
}

TEST(Realloc, ZeroSizeGivesOneByteBlockWithFirstByte)
{
    Heap h;
    uint32_t p = h.malloc(6);
    h.g.write(p, std::vector<uint8_t>{'Q', 'R', 'S'});
    uint32_t q = h.g.call_word("realloc", {p, 0});
    ASSERT_NE(q, 0u);
    EXPECT_NE(q, p);
    EXPECT_EQ(q, p + 16);
    EXPECT_EQ(h.size_word(q), 1u);
    EXPECT_EQ(h.g.read(q, 2), (std::vector<uint8_t>{'Q', 0}));
    EXPECT_EQ(h.g.read(p, 3), (std::vector<uint8_t>{'Q', 'R', 'S'}));
}

TEST(Realloc, FailureLeavesEverythingAsItWas)
{
    Heap h;
    uint32_t p = h.malloc(8);
    h.g.write(p, std::vector<uint8_t>{9, 8, 7, 6, 5, 4, 3, 2});
    EXPECT_EQ(h.g.call_word("realloc", {p, heap_size}), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 16u);
    EXPECT_EQ(h.g.read(p, 8), (std::vector<uint8_t>{9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_EQ(h.size_word(p), 8u);
    h.g.write_u32(h.errno_at, 0);
    EXPECT_EQ(h.g.call_word("realloc", {p, 0xFFFFFFFFu}), 0u);
    EXPECT_EQ(h.error(), enomem);
    EXPECT_EQ(h.used(), 16u);
}

TEST(Free, DoesNothing)
{
    Heap h;
    uint32_t p = h.malloc(10);
    h.g.write(p, std::vector<uint8_t>{1, 2, 3});
    ASSERT_EQ(h.g.call("free", {p}).kind, yulos::CallOutcome::Kind::returned);
    ASSERT_EQ(h.g.call("free", {0}).kind, yulos::CallOutcome::Kind::returned);
    ASSERT_EQ(h.g.call("free", {0x1234}).kind, yulos::CallOutcome::Kind::returned);
    EXPECT_EQ(h.used(), 16u);
    EXPECT_EQ(h.g.read(p, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(h.size_word(p), 10u);
    uint32_t q = h.malloc(10);
    EXPECT_GT(q, p);
    EXPECT_EQ(q, p + 16);
    EXPECT_EQ(h.error(), 0u);
}
