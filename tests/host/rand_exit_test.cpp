// The random generator (seeded and self-seeding from a fixed time-stamp counter), process exit,
// the hosted-environment constants, errno and strerror, each in a fresh guest process.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>
#include <yulos_kernel.h>

using namespace yulos;

namespace {

const std::string runtime_image = std::string(YULOS_GUEST_DIR) + "/test_runtime";

// The generator's step and its output, computed on the host.
uint32_t lcg_step(uint32_t state) { return state * 1103515245u + 12345u; }
int32_t lcg_output(uint32_t state) { return static_cast<int32_t>((state >> 16) & 0x7fffu); }

// The self-seeding mix and its inverse.
uint32_t mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

uint32_t inverse_of_odd(uint32_t a)
{
    uint32_t x = a; // correct to 3 bits; each Newton step doubles that
    for (int i = 0; i < 5; ++i) x *= 2u - a * x;
    return x;
}

uint32_t undo_xorshift(uint32_t y, int shift)
{
    uint32_t x = y;
    for (int i = 0; i < 32 / shift + 1; ++i) x = y ^ (x >> shift);
    return x;
}

uint32_t unmix(uint32_t x)
{
    x = undo_xorshift(x, 16);
    x *= inverse_of_odd(0x846ca68bu);
    x = undo_xorshift(x, 15);
    x *= inverse_of_odd(0x7feb352du);
    x = undo_xorshift(x, 16);
    return x;
}

uint32_t unstep(uint32_t state) { return (state - 12345u) * inverse_of_odd(1103515245u); }

// The value mixed into the seed before the counter's words: local address ^ &g_heap_used.
uint32_t counter_part(uint64_t tsc)
{
    uint32_t lo = static_cast<uint32_t>(tsc), hi = static_cast<uint32_t>(tsc >> 32);
    return (hi * 1664525u) ^ lo ^ 0x9e3779b9u;
}

int32_t rand_of(GuestCall& g) { return static_cast<int32_t>(g.call_word("rand", {})); }

std::vector<int32_t> rands(GuestCall& g, int count)
{
    std::vector<int32_t> out;
    for (int i = 0; i < count; ++i) out.push_back(rand_of(g));
    return out;
}

// One fresh process whose first rand seeds itself from `tsc`.
struct SelfSeeded {
    int32_t first = 0;
    uint32_t state = 0;  // g_rand_state after the call
    uint32_t seeded = 0; // g_rand_seeded after the call
    uint32_t heap_used_address = 0;
};

SelfSeeded self_seed(uint64_t tsc)
{
    GuestCall g(runtime_image);
    g.fix_time_stamp_counter(tsc);
    EXPECT_EQ(g.read_u32(g.symbol("g_rand_seeded")), 0u);
    SelfSeeded s;
    s.first = rand_of(g);
    s.state = g.read_u32(g.symbol("g_rand_state"));
    s.seeded = g.read_u32(g.symbol("g_rand_seeded"));
    s.heap_used_address = g.symbol("g_heap_used");
    return s;
}

// The address of rand's local recovered from the state a self-seeded first call leaves.
uint32_t recovered_local(const SelfSeeded& s, uint64_t tsc)
{
    return unmix(unstep(s.state)) ^ s.heap_used_address ^ counter_part(tsc);
}

// ---- rand / srand ----

TEST(Rand, StartsUnseeded)
{
    GuestCall g(runtime_image);
    EXPECT_EQ(g.read_u32(g.symbol("g_rand_state")), 1u);
    EXPECT_EQ(g.read_u32(g.symbol("g_rand_seeded")), 0u);
}

TEST(Rand, SeedOneSequence)
{
    GuestCall g(runtime_image);
    g.call_word("srand", {1});
    EXPECT_EQ(g.read_u32(g.symbol("g_rand_seeded")), 1u);
    EXPECT_EQ(rands(g, 5), (std::vector<int32_t>{16838, 5758, 10113, 17515, 31051}));
}

TEST(Rand, SeedZeroActsAsOne)
{
    GuestCall g(runtime_image);
    g.call_word("srand", {0});
    EXPECT_EQ(g.read_u32(g.symbol("g_rand_state")), 1u);
    EXPECT_EQ(rands(g, 5), (std::vector<int32_t>{16838, 5758, 10113, 17515, 31051}));
}

TEST(Rand, SeedFortyTwo)
{
    GuestCall g(runtime_image);
    g.call_word("srand", {42});
    EXPECT_EQ(rands(g, 2), (std::vector<int32_t>{19081, 17033}));
}

TEST(Rand, FollowsTheCongruentialStepAndStaysInRange)
{
    GuestCall g(runtime_image);
    g.call_word("srand", {0xdeadbeefu});
    uint32_t state = 0xdeadbeefu;
    for (int i = 0; i < 300; ++i) {
        state = lcg_step(state);
        int32_t value = rand_of(g);
        ASSERT_EQ(value, lcg_output(state)) << "call " << i;
        ASSERT_GE(value, 0);
        ASSERT_LE(value, 32767);
        ASSERT_EQ(g.read_u32(g.symbol("g_rand_state")), state);
    }
}

TEST(Rand, SrandRestartsTheSequence)
{
    GuestCall g(runtime_image);
    g.call_word("srand", {42});
    rands(g, 3);
    g.call_word("srand", {1});
    EXPECT_EQ(rands(g, 2), (std::vector<int32_t>{16838, 5758}));
}

TEST(Rand, SelfSeedingMixesCounterAndAddresses)
{
    const uint64_t tsc1 = 0x0000000512345678ull, tsc2 = 0x00abcdef9abcdef0ull;
    SelfSeeded a = self_seed(tsc1), b = self_seed(tsc2);
    EXPECT_EQ(a.seeded, 1u);
    EXPECT_EQ(a.first, lcg_output(a.state));
    EXPECT_EQ(b.first, lcg_output(b.state));
    EXPECT_NE(a.first, b.first);

    // Both processes start alike, so rand's local lies at the same stack address in both: the
    // counter's two words went in as specified, or the recovered addresses would differ.
    uint32_t local = recovered_local(a, tsc1);
    EXPECT_EQ(recovered_local(b, tsc2), local);
    EXPECT_EQ(local % 4, 0u);
    EXPECT_GT(local, stack_guard + page_size);
    EXPECT_LT(local, stack_top);

    // A third counter reading: the first rand is what srand(x) and rand give for x recomputed
    // on the host from that reading.
    const uint64_t tsc3 = 0xfedcba9876543210ull;
    uint32_t x = mix(local ^ a.heap_used_address ^ counter_part(tsc3));
    ASSERT_NE(x, 0u);
    SelfSeeded c = self_seed(tsc3);
    EXPECT_EQ(c.state, lcg_step(x));
    EXPECT_EQ(c.first, lcg_output(lcg_step(x)));

    GuestCall seeded(runtime_image);
    seeded.call_word("srand", {x});
    EXPECT_EQ(rand_of(seeded), c.first);
}

TEST(Rand, SelfSeedingOnlyOnce)
{
    GuestCall g(runtime_image);
    g.fix_time_stamp_counter(0x123456789abcdefull);
    rand_of(g);
    uint32_t state = g.read_u32(g.symbol("g_rand_state"));
    g.fix_time_stamp_counter(0x1111111122222222ull);
    for (int i = 0; i < 3; ++i) {
        state = lcg_step(state);
        EXPECT_EQ(rand_of(g), lcg_output(state));
    }
}

TEST(Rand, MixedZeroBehavesAsSeedOne)
{
    // Learn the local's address, then choose a counter whose low word cancels everything else.
    const uint64_t probe = 0x0000000700000001ull;
    SelfSeeded a = self_seed(probe);
    uint32_t local = recovered_local(a, probe);
    const uint32_t hi = 0x00000042u;
    uint32_t lo = local ^ a.heap_used_address ^ (hi * 1664525u) ^ 0x9e3779b9u;
    SelfSeeded z = self_seed((static_cast<uint64_t>(hi) << 32) | lo);
    EXPECT_EQ(z.first, 16838);
    EXPECT_EQ(z.state, lcg_step(1));
    EXPECT_EQ(z.seeded, 1u);
}

TEST(Rand, SrandAfterSelfSeedingRestarts)
{
    GuestCall g(runtime_image);
    g.fix_time_stamp_counter(0x42ull);
    rands(g, 2);
    g.call_word("srand", {42});
    EXPECT_EQ(rands(g, 2), (std::vector<int32_t>{19081, 17033}));
}

// ---- exit / abort / atexit / getenv ----

TEST(Exit, ExitEndsWithItsStatus)
{
    GuestCall g(runtime_image);
    CallOutcome out = g.call("exit", {3});
    EXPECT_EQ(out.kind, CallOutcome::Kind::exited);
    EXPECT_EQ(out.status, 3);
    auto exits = g.kernel().calls_numbered(SYS_EXIT);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].ebx, 3u);
}

TEST(Exit, ExitPassesTheWholeWord)
{
    GuestCall g(runtime_image);
    CallOutcome out = g.call("exit", {static_cast<uint32_t>(-1)});
    EXPECT_EQ(out.kind, CallOutcome::Kind::exited);
    EXPECT_EQ(out.status, -1);
}

TEST(Exit, AbortEndsWithStatusOneSilently)
{
    GuestCall g(runtime_image);
    CallOutcome out = g.call("abort", {});
    EXPECT_EQ(out.kind, CallOutcome::Kind::exited);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(g.kernel().output, "");
    ASSERT_EQ(g.kernel().calls.size(), 1u);
    EXPECT_EQ(g.kernel().calls[0].eax, uint32_t(SYS_EXIT));
}

TEST(Exit, ExitWritesNothingAndCallsNothingRegistered)
{
    GuestCall g(runtime_image);
    // Register abort: were it ever called, the process would end with status 1 instead of 5.
    EXPECT_EQ(g.call_word("atexit", {g.symbol("abort")}), 0u);
    EXPECT_EQ(g.call_word("atexit", {0}), 0u);
    CallOutcome out = g.call("exit", {5});
    EXPECT_EQ(out.kind, CallOutcome::Kind::exited);
    EXPECT_EQ(out.status, 5);
    EXPECT_EQ(g.kernel().output, "");
    EXPECT_EQ(g.kernel().calls.size(), 1u);
}

TEST(Exit, GetenvIsAlwaysNull)
{
    GuestCall g(runtime_image);
    EXPECT_EQ(g.call_word("getenv", {g.put_string("PATH")}), 0u);
    EXPECT_EQ(g.call_word("getenv", {g.put_string("")}), 0u);
    EXPECT_EQ(g.call_word("getenv", {0}), 0u);
    // The name is never read: an unmapped address is as good as any.
    EXPECT_EQ(g.call_word("getenv", {0x10}), 0u);
}

// ---- errno / strerror ----

TEST(Errno, StartsAtZero)
{
    GuestCall g(runtime_image);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 0u);
}

TEST(Errno, StrerrorTexts)
{
    GuestCall g(runtime_image);
    auto text = [&](int32_t code) {
        return g.read_string(g.call_word("strerror", {static_cast<uint32_t>(code)}));
    };
    EXPECT_EQ(text(0), "ok");
    EXPECT_EQ(text(2), "no such file");
    EXPECT_EQ(text(12), "error");
    EXPECT_EQ(text(22), "invalid argument");
    EXPECT_EQ(text(38), "not implemented");
    for (int32_t code : {-1, 1, 3, 21, 23, 37, 39, 1000, -2147483647 - 1}) {
        EXPECT_EQ(text(code), "error") << code;
    }
}

TEST(Errno, StrerrorTextsAreShared)
{
    GuestCall g(runtime_image);
    for (uint32_t code : {0u, 2u, 12u, 22u, 38u, 1000u}) {
        EXPECT_EQ(g.call_word("strerror", {code}), g.call_word("strerror", {code})) << code;
    }
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 0u);
}

TEST(Errno, FailedHeapRequestLeavesTwelve)
{
    GuestCall g(runtime_image);
    EXPECT_EQ(g.call_word("malloc", {0x7fffffffu}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 12u);
    EXPECT_NE(g.call_word("malloc", {16}), 0u);
    g.call_word("srand", {7});
    rand_of(g);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 12u);
}

} // namespace
