// Formatted output to streams: every piece the engine hands to a console stream is a
// write call of its own, so the scripted kernel's record shows the exact granularity, call by
// call. Memory streams show the same text without the console control sequence.
#include "guest_call.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <yulos_kernel.h>

namespace {

using yulos::GuestCall;
using yulos::KernelCallRecord;
using namespace stream_test;

const std::string image = YULOS_GUEST_DIR "/test_runtime";

constexpr uint32_t failed = 0xFFFFFFFFu;

std::vector<std::string> write_texts(GuestCall& g)
{
    std::vector<std::string> texts;
    for (const auto& call : g.kernel().calls_numbered(SYS_WRITE)) {
        EXPECT_EQ(call.ebx, 1u);
        texts.push_back(call.text());
    }
    return texts;
}

// The argument words as a va_list in guest memory.
uint32_t arguments(GuestCall& g, const std::vector<uint32_t>& words)
{
    uint32_t list = g.alloc(static_cast<uint32_t>(words.size() * 4 + 4), 4);
    for (size_t i = 0; i < words.size(); ++i)
        g.write_u32(list + static_cast<uint32_t>(i * 4), words[i]);
    return list;
}

struct Printed {
    int32_t result;
    std::vector<std::string> writes;
};

// vfprintf to stdout in a fresh process.
Printed console(const std::string& format, const std::vector<uint32_t>& words = {})
{
    GuestCall g(image);
    uint32_t list = arguments(g, words);
    Printed p;
    p.result = static_cast<int32_t>(
        g.call_word("vfprintf", {current(g, "stdout"), g.put_string(format), list}));
    p.writes = write_texts(g);
    return p;
}

using Writes = std::vector<std::string>;

struct Case {
    std::string format;
    std::vector<uint32_t> words;
    int32_t result;
    Writes writes;
};

void check_console(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        Printed p = console(c.format, c.words);
        EXPECT_EQ(p.result, c.result) << "format " << c.format;
        EXPECT_EQ(p.writes, c.writes) << "format " << c.format;
    }
}

// ---------------------------------------------------------------------------------------------
// Plain text and the parser

TEST(StreamPrintf, PlainTextIsOneWritePerCharacter)
{
    check_console({
        {"", {}, 0, {}},
        {"abc", {}, 3, {"a", "b", "c"}},
        {"a\nb", {}, 3, {"a", "\n", "b"}},
    });
}

TEST(StreamPrintf, DirectivesCutOffByTheEndOfTheFormat)
{
    check_console({
        {"a%", {}, 1, {"a"}},
        {"ab%5", {}, 2, {"a", "b"}},
        {"ab%l", {}, 2, {"a", "b"}},
        {"ab%ll", {}, 2, {"a", "b"}},
        {"ab%.3", {}, 2, {"a", "b"}},
        {"ab%.", {}, 2, {"a", "b"}},
        {"ab%*", {7}, 2, {"a", "b"}},
        {"ab%5.*ll", {7}, 2, {"a", "b"}},
    });
}

TEST(StreamPrintf, PercentAndCharacterIgnoreWidthAndPrecision)
{
    check_console({
        {"%%", {}, 1, {"%"}},
        {"%5%", {}, 1, {"%"}},
        {"%5.3ll%", {}, 1, {"%"}},
        {"x%c", {66}, 2, {"x", "B"}},
        {"x%5c", {65}, 2, {"x", "A"}},
        {"x%.0c", {321}, 2, {"x", "A"}},
        {"%llc%d", {65, 2}, 2, {"A", "2"}}, // 'll' is ignored: one word each
        {"%*c%c", {9, 65, 66}, 2, {"A", "B"}},
    });
}

TEST(StreamPrintf, UnrecognisedConversionsAreTwoWrites)
{
    check_console({
        {"%X", {}, 2, {"%", "X"}},
        {"%X%d", {7}, 3, {"%", "X", "7"}}, // no argument taken
        {"%f", {}, 2, {"%", "f"}},
        {"%o", {}, 2, {"%", "o"}},
        {"%zu", {5}, 3, {"%", "z", "u"}},
        {"%hd", {5}, 3, {"%", "h", "d"}},
        {"%Lf", {}, 3, {"%", "L", "f"}},
        {"%-5d|", {42}, 5, {"%", "-", "5", "d", "|"}},
        {"%+d", {1}, 3, {"%", "+", "d"}},
        {"% d", {1}, 3, {"%", " ", "d"}},
        {"%#x", {1}, 3, {"%", "#", "x"}},
        {"%5.2lX", {}, 2, {"%", "X"}},
        {"%lllx", {}, 3, {"%", "l", "x"}},
        {"%*X%d", {3, 9}, 3, {"%", "X", "9"}}, // the '*' argument stays taken
    });
}

TEST(StreamPrintf, WidthDigitsWrapWithoutCheck)
{
    // 4294967297 wraps to 1 in 32 bits.
    check_console({{"%4294967297d", {5}, 1, {"5"}}});
}

// ---------------------------------------------------------------------------------------------
// Integers

TEST(StreamPrintf, SignedDecimal)
{
    check_console({
        {"%d", {42}, 2, {"42"}},
        {"%5d", {static_cast<uint32_t>(-42)}, 5, {" ", " ", "-", "42"}},
        {"%.5d", {static_cast<uint32_t>(-42)}, 6, {"-", "0", "0", "0", "42"}},
        {"%8.5d", {static_cast<uint32_t>(-42)}, 8, {" ", " ", "-", "0", "0", "0", "42"}},
        {"%05d", {42}, 5, {" ", " ", " ", "42"}},
        {"%.0d", {0}, 1, {"0"}},
        {"%3.0d", {0}, 3, {" ", " ", "0"}},
        {"%i", {static_cast<uint32_t>(-1)}, 2, {"-", "1"}},
        {"%d", {0x80000000u}, 11, {"-", "2147483648"}},
        {"%d", {0x7FFFFFFFu}, 10, {"2147483647"}},
        {"%2d", {12345}, 5, {"12345"}},
        {"%ld|%d", {3, 4}, 3, {"3", "|", "4"}},
    });
}

TEST(StreamPrintf, UnsignedAndHexadecimal)
{
    check_console({
        {"%u", {0xFFFFFFFFu}, 10, {"4294967295"}},
        {"%x", {0xDEADBEEFu}, 8, {"deadbeef"}},
        {"%5x", {0}, 5, {" ", " ", " ", " ", "0"}},
        {"%.4x", {0xAB}, 4, {"0", "0", "ab"}},
        {"%u", {0}, 1, {"0"}},
    });
}

TEST(StreamPrintf, WidthAndPrecisionFromArguments)
{
    check_console({
        {"%*d", {5, 42}, 5, {" ", " ", " ", "42"}},
        {"%*d", {static_cast<uint32_t>(-5), 42}, 2, {"42"}},
        {"%.*d", {static_cast<uint32_t>(-1), 0}, 1, {"0"}},
        {"%.*d", {3, 7}, 3, {"0", "0", "7"}},
        {"%*.*d", {4, 2, 7}, 4, {" ", " ", "0", "7"}},
    });
}

TEST(StreamPrintf, SixtyFourBitValuesTakeTwoWordsLowFirst)
{
    check_console({
        {"%lld|%d", {0xFFFFFFF9u, 0xFFFFFFFFu, 5}, 4, {"-", "7", "|", "5"}},
        {"%llu", {0xFFFFFFFFu, 0xFFFFFFFFu}, 20, {"18446744073709551615"}},
        {"%llu", {0x89E80000u, 0x8AC72304u}, 20, {"10000000000000000000"}},
        {"%lld", {0, 0x80000000u}, 20, {"-", "9223372036854775808"}},
        {"%lli", {0, 1}, 10, {"4294967296"}},
        {"%llx", {0x9ABCDEF0u, 0x12345678u}, 16, {"123456789abcdef0"}},
        {"%llx", {0, 0}, 1, {"0"}},
        {"%24.22llu", {0xFFFFFFFFu, 0xFFFFFFFFu}, 24, {" ", " ", "0", "0", "18446744073709551615"}},
        {"%lld", {5, 0}, 1, {"5"}},
    });
}

TEST(StreamPrintf, PointersAreFilledAndPrecise)
{
    check_console({
        {"%p", {0}, 3, {"0", "x", "0"}},
        {"%p", {255}, 4, {"0", "x", "ff"}},
        {"%10p", {255}, 10, {" ", " ", " ", " ", " ", " ", "0", "x", "ff"}},
        {"%.4p", {255}, 6, {"0", "x", "0", "0", "ff"}},
        {"%p", {0x400000}, 8, {"0", "x", "400000"}},
        {"%llp|%d", {0xFF, 1, 3}, 13, {"0", "x", "1000000ff", "|", "3"}},
    });
}

// ---------------------------------------------------------------------------------------------
// Strings

TEST(StreamPrintf, StringsAreOneWrite)
{
    struct StringCase {
        std::string format;
        std::optional<std::string> text; // nullopt: a null pointer
        int32_t result;
        Writes writes;
    };
    const StringCase cases[] = {
        {"%s", "hello", 5, {"hello"}},      {"%s", std::nullopt, 6, {"(null)"}},
        {"%.3s", std::nullopt, 3, {"(nu"}}, {"%6.2s", "abc", 6, {" ", " ", " ", " ", "ab"}},
        {"%2s", "abcd", 4, {"abcd"}},       {"%.10s", "abc", 3, {"abc"}},
        {"[%s]", "", 2, {"[", "]"}}, // the empty write reaches no kernel
        {"[%.0s]", "abc", 2, {"[", "]"}},   {"%lls", "abc", 3, {"abc"}},
    };
    for (const StringCase& c : cases) {
        GuestCall g(image);
        uint32_t text = c.text ? g.put_string(*c.text) : 0;
        int32_t result = static_cast<int32_t>(g.call_word(
            "vfprintf", {current(g, "stdout"), g.put_string(c.format), arguments(g, {text})}));
        EXPECT_EQ(result, c.result) << c.format;
        EXPECT_EQ(write_texts(g), c.writes) << c.format;
    }
}

TEST(StreamPrintf, StringWidthAndPrecisionFromArguments)
{
    GuestCall g(image);
    uint32_t ab = g.put_string("ab");
    uint32_t list = arguments(g, {static_cast<uint32_t>(-4), ab, 3, 1, ab});
    EXPECT_EQ(static_cast<int32_t>(
                  g.call_word("vfprintf", {current(g, "stdout"), g.put_string("%*s%*.*s"), list})),
              5);
    EXPECT_EQ(write_texts(g), (Writes{"ab", " ", " ", "a"}));
}

TEST(StreamPrintf, SmallPointerStringMeasuresZero)
{
    GuestCall g(image);
    EXPECT_EQ(
        g.call_word("vfprintf", {current(g, "stdout"), g.put_string("<%3s>"), arguments(g, {100})}),
        5u);
    EXPECT_EQ(write_texts(g), (Writes{"<", " ", " ", " ", ">"}));
}

TEST(StreamPrintf, EmptyStringWriteSucceedsEvenWhereWritesFail)
{
    // On stdin every write of one byte or more fails; writes of nothing succeed.
    GuestCall g(image);
    uint32_t in = current(g, "stdin");
    uint32_t empty = g.put_string("");
    EXPECT_EQ(g.call_word("vfprintf", {in, g.put_string(""), arguments(g, {})}), 0u);
    EXPECT_EQ(g.call_word("vfprintf", {in, g.put_string("%s"), arguments(g, {empty})}), 0u);
    EXPECT_EQ(g.call_word("vfprintf", {in, g.put_string("%.0s"), arguments(g, {empty})}), 0u);
    EXPECT_EQ(g.call_word("vfprintf", {in, g.put_string("%2s"), arguments(g, {empty})}), failed);
    EXPECT_EQ(g.call_word("vfprintf", {in, g.put_string("a"), arguments(g, {})}), failed);
    EXPECT_TRUE(g.kernel().calls.empty());
}

// ---------------------------------------------------------------------------------------------
// The console control sequence

TEST(StreamPrintf, LeadingCharacterOnTheConsoleIsTheControlSequence)
{
    GuestCall g(image);
    auto outcome = g.call("printf", std::vector<uint32_t>{g.put_string("%cX%d"), 65, 66, 67, 68});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(static_cast<int32_t>(outcome.eax), 3);
    EXPECT_EQ(write_texts(g), (Writes{"\xFF\x41\x42\x43", "X", "68"}));
}

TEST(StreamPrintf, ControlSequenceTakesTheLowBytes)
{
    check_console({
        {"%c", {321, 0x1FF, static_cast<uint32_t>(-2)}, 0, {"\xFF\x41\xFF\xFE"}},
        {"%cab", {1, 2, 3}, 2, {std::string("\xFF\x01\x02\x03"), "a", "b"}},
        {"%c%c", {0, 0, 0, 66}, 1, {std::string("\xFF\0\0\0", 4), "B"}},
    });
}

TEST(StreamPrintf, OnlyAPlainLeadingCharacterIsTheSequence)
{
    check_console({
        {"%5c", {65, 66, 67}, 1, {"A"}},
        {" %c", {65, 66, 67}, 2, {" ", "A"}},
        {"%%c", {65}, 2, {"%", "c"}},
    });
}

TEST(StreamPrintf, StderrIsAConsoleStream)
{
    GuestCall g(image);
    auto outcome = g.call(
        "fprintf", std::vector<uint32_t>{current(g, "stderr"), g.put_string("%cZ"), 7, 8, 9});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(static_cast<int32_t>(outcome.eax), 1);
    EXPECT_EQ(write_texts(g), (Writes{"\xFF\x07\x08\x09", "Z"}));
}

TEST(StreamPrintf, AnyDescriptorStreamOnDescriptorOneIsAConsole)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_OPEN) return 1;
        return std::nullopt;
    };
    uint32_t f = g.call_word("fopen", {g.put_string("/dev/tty"), g.put_string("r")});
    ASSERT_NE(f, 0u);
    auto outcome = g.call("fprintf", std::vector<uint32_t>{f, g.put_string("%c"), 1, 2, 3});
    EXPECT_EQ(outcome.eax, 0u);
    EXPECT_EQ(write_texts(g), (Writes{"\xFF\x01\x02\x03"}));
}

TEST(StreamPrintf, LeadingCharacterOnAMemoryStreamIsACharacter)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    auto outcome =
        g.call("fprintf", std::vector<uint32_t>{m.stream, g.put_string("%cX%d"), 65, 66, 67, 68});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(static_cast<int32_t>(outcome.eax), 4);
    EXPECT_EQ(mem_text(g, m), "AX66");
    EXPECT_EQ(g.read_u32(m.sizep), 4u);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(StreamPrintf, LeadingCharacterOnStdinIsAFailingCharacter)
{
    GuestCall g(image);
    auto outcome = g.call(
        "fprintf", std::vector<uint32_t>{current(g, "stdin"), g.put_string("%c"), 65, 66, 67});
    EXPECT_EQ(outcome.eax, failed);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(StreamPrintf, PrintfFollowsTheStdoutVariable)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    g.write_u32(g.symbol("stdout"), m.stream);
    auto outcome = g.call("printf", std::vector<uint32_t>{g.put_string("%c=%u;"), 65, 7});
    EXPECT_EQ(static_cast<int32_t>(outcome.eax), 4);
    EXPECT_EQ(mem_text(g, m), "A=7;");
    EXPECT_TRUE(g.kernel().calls.empty());

    g.write_u32(g.symbol("stdout"), 0);
    outcome = g.call("printf", std::vector<uint32_t>{g.put_string("x")});
    EXPECT_EQ(outcome.eax, failed);
}

TEST(StreamPrintf, MemoryStreamCollectsTheWholeText)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t name = g.put_string("relay");
    auto outcome =
        g.call("fprintf",
               std::vector<uint32_t>{m.stream, g.put_string("%s: %5d|%.3x|%p|%lld|%X"), name,
                                     static_cast<uint32_t>(-12), 10, 16, 0xFFFFFFFEu, 0xFFFFFFFFu});
    EXPECT_EQ(mem_text(g, m), "relay:   -12|00a|0x10|-2|%X");
    EXPECT_EQ(static_cast<int32_t>(outcome.eax), 27);
}

// ---------------------------------------------------------------------------------------------
// Refusals and failures

TEST(StreamPrintf, NullStreamOrFormat)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("vfprintf", {0, g.put_string("x"), arguments(g, {})}), failed);
    EXPECT_EQ(g.call_word("vfprintf", {current(g, "stdout"), 0, arguments(g, {})}), failed);
    EXPECT_EQ(g.call("printf", std::vector<uint32_t>{0}).eax, failed);
    EXPECT_EQ(g.call("fprintf", std::vector<uint32_t>{0, g.put_string("%c"), 1, 2, 3}).eax, failed);
    EXPECT_EQ(g.call("printf", std::vector<uint32_t>{g.put_string("")}).eax, 0u);
    EXPECT_TRUE(g.kernel().calls.empty());
}

// Makes the write call with index `fail_at` (counting from 1) fail with `answer`.
void fail_write(GuestCall& g, int fail_at, int32_t answer, int* counter)
{
    g.kernel().answer = [=](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax != SYS_WRITE) return std::nullopt;
        if (++*counter == fail_at) return answer;
        return std::nullopt;
    };
}

TEST(StreamPrintf, FailureOnTheThirdFillSpaceStopsAfterTwo)
{
    GuestCall g(image);
    int counter = 0;
    fail_write(g, 3, -1, &counter);
    EXPECT_EQ(
        g.call_word("vfprintf", {current(g, "stdout"), g.put_string("%5d"), arguments(g, {42})}),
        failed);
    EXPECT_EQ(g.kernel().output, "  ");
    EXPECT_EQ(write_texts(g), (Writes{" ", " ", " "}));
}

TEST(StreamPrintf, EveryPieceStopsTheCallWhenItsWriteFails)
{
    // "%3d|%.2p|%s|%c|%%|%q" with -4, 1, "hi", 'z': each write in turn fails.
    const Writes full = {" ",  "-", "4", "|", "0", "x", "0", "1", "|",
                         "hi", "|", "z", "|", "%", "|", "%", "q"};
    for (int fail_at = 1; fail_at <= static_cast<int>(full.size()); ++fail_at) {
        GuestCall g(image);
        int counter = 0;
        fail_write(g, fail_at, 0, &counter);
        uint32_t hi = g.put_string("hi");
        uint32_t list = arguments(g, {static_cast<uint32_t>(-4), 1, hi, 'z'});
        uint32_t result = g.call_word(
            "vfprintf", {current(g, "stdout"), g.put_string("%3d|%.2p|%s|%c|%%|%q"), list});
        EXPECT_EQ(result, failed) << fail_at;
        Writes expected(full.begin(), full.begin() + fail_at);
        EXPECT_EQ(write_texts(g), expected) << fail_at;
    }
    GuestCall g(image);
    uint32_t hi = g.put_string("hi");
    uint32_t list = arguments(g, {static_cast<uint32_t>(-4), 1, hi, 'z'});
    EXPECT_EQ(
        g.call_word("vfprintf", {current(g, "stdout"), g.put_string("%3d|%.2p|%s|%c|%%|%q"), list}),
        18u);
    EXPECT_EQ(write_texts(g), full);
}

TEST(StreamPrintf, FailedControlSequenceWritesNothingMore)
{
    GuestCall g(image);
    int counter = 0;
    fail_write(g, 1, -1, &counter);
    auto outcome = g.call("printf", std::vector<uint32_t>{g.put_string("%cabc"), 1, 2, 3});
    EXPECT_EQ(outcome.eax, failed);
    EXPECT_EQ(write_texts(g), (Writes{"\xFF\x01\x02\x03"}));
}

TEST(StreamPrintf, ShortConsoleWritesAreCompleted)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITE) return 1;
        return std::nullopt;
    };
    EXPECT_EQ(
        g.call_word("vfprintf", {current(g, "stdout"), g.put_string("%u"), arguments(g, {123})}),
        3u);
    EXPECT_EQ(write_texts(g), (Writes{"123", "23", "3"}));
}

TEST(StreamPrintf, MemoryStreamThatCannotGrowFails)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    // Leave too little heap for the first 256-byte buffer.
    uint32_t used = g.read_u32(g.symbol("g_heap_used"));
    ASSERT_NE(g.call_word("malloc", {1048576 - used - 4 - 200}), 0u);
    EXPECT_EQ(g.call_word("vfprintf", {m.stream, g.put_string("abc"), arguments(g, {})}), failed);
    EXPECT_EQ(g.read_u32(m.bufp), 0u);
    EXPECT_EQ(g.read_u32(m.sizep), 0u);
}

} // namespace
