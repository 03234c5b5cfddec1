// Formatted output to buffers: vsnprintf, snprintf, vsprintf, sprintf and the internal
// snbuf_render_unsigned, called by name in a fresh guest process. Every argument is one 32-bit
// word; a va_list is the address of the words in guest memory.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

using yulos::GuestCall;

namespace {

const std::string kImage = std::string(YULOS_GUEST_DIR) + "/test_runtime";

uint32_t word(int32_t value) { return static_cast<uint32_t>(value); }

class BufferPrintf : public ::testing::Test {
  protected:
    GuestCall g{kImage};

    // A buffer of `size` bytes plus a margin, every byte '#', so that untouched bytes show.
    uint32_t buffer(uint32_t size)
    {
        uint32_t address = g.alloc(size + 16);
        g.write(address, std::vector<uint8_t>(size + 16, '#'));
        return address;
    }

    // vsnprintf(buffer, size, format, va_list of `words`) on a fresh buffer.
    struct Out {
        int32_t result;
        uint32_t buffer;
        std::string text; // up to the terminator
    };
    Out run(std::string_view format, std::initializer_list<uint32_t> words, uint32_t size = 512)
    {
        uint32_t buf = buffer(size);
        uint32_t fmt = g.put_string(format);
        uint32_t va = g.put_words(words);
        auto result = static_cast<int32_t>(g.call_word("vsnprintf", {buf, size, fmt, va}));
        return {result, buf, g.read_string(buf)};
    }

    // The complete output fits: the text is `expected` and the result its length.
    void expect_output(std::string_view format, std::initializer_list<uint32_t> words,
                       std::string_view expected)
    {
        SCOPED_TRACE(std::string("format '") + std::string(format) + "'");
        Out out = run(format, words);
        EXPECT_EQ(out.text, expected);
        EXPECT_EQ(out.result, static_cast<int32_t>(expected.size()));
    }

    std::vector<uint8_t> bytes(uint32_t address, uint32_t length)
    {
        return g.read(address, length);
    }
};

std::vector<uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }

// --- Truncation and the terminator -------------------------------------------------------------

TEST_F(BufferPrintf, SizeThreeStoresTwoCharactersAndTheTerminator)
{
    Out out = run("hello", {0}, 3);
    EXPECT_EQ(out.result, 5);
    EXPECT_EQ(bytes(out.buffer, 4), B(std::string_view("he\0#", 4)));
}

TEST_F(BufferPrintf, SizeOneStoresOnlyTheTerminator)
{
    Out out = run("hello", {0}, 1);
    EXPECT_EQ(out.result, 5);
    EXPECT_EQ(bytes(out.buffer, 2), B(std::string_view("\0#", 2)));
}

TEST_F(BufferPrintf, SizeZeroStoresNothing)
{
    Out out = run("hello", {0}, 0);
    EXPECT_EQ(out.result, 5);
    EXPECT_EQ(bytes(out.buffer, 1), B("#"));
}

TEST_F(BufferPrintf, NullBufferStoresNothingAndReturnsTheFullLength)
{
    uint32_t fmt = g.put_string("%d-%s");
    uint32_t va = g.put_words({12345, g.put_string("abc")});
    EXPECT_EQ(g.call_word("vsnprintf", {0, 100, fmt, va}), 9u);
    EXPECT_EQ(g.call_word("snprintf", {0, 0, g.put_string("hello")}), 5u);
}

TEST_F(BufferPrintf, TerminatorFollowsAShortOutputDirectly)
{
    Out out = run("hi", {0}, 10);
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(bytes(out.buffer, 4), B(std::string_view("hi\0#", 4)));
}

TEST_F(BufferPrintf, OutputOfExactlySizeMinusOneFits)
{
    Out out = run("abcd", {0}, 5);
    EXPECT_EQ(out.result, 4);
    EXPECT_EQ(bytes(out.buffer, 6), B(std::string_view("abcd\0#", 6)));
    Out cut = run("abcde", {0}, 5);
    EXPECT_EQ(cut.result, 5);
    EXPECT_EQ(bytes(cut.buffer, 6), B(std::string_view("abcd\0#", 6)));
}

TEST_F(BufferPrintf, ConversionsAreCutByTheStoreRuleButCountedWhole)
{
    Out number = run("%d|%s", {1234567, g.put_string("tail")}, 4);
    EXPECT_EQ(number.result, 12);
    EXPECT_EQ(bytes(number.buffer, 5), B(std::string_view("123\0#", 5)));
    Out fill = run("%20d", {7}, 3); // fill past the end is counted, not stored
    EXPECT_EQ(fill.result, 20);
    EXPECT_EQ(bytes(fill.buffer, 4), B(std::string_view("  \0#", 4)));
}

TEST_F(BufferPrintf, EmptyAndNullFormats)
{
    Out empty = run("", {0}, 4);
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(bytes(empty.buffer, 2), B(std::string_view("\0#", 2)));

    uint32_t buf = buffer(4);
    uint32_t va = g.put_words({0});
    EXPECT_EQ(g.call_word("vsnprintf", {buf, 4, 0, va}), 0u);
    EXPECT_EQ(bytes(buf, 2), B(std::string_view("\0#", 2)));

    uint32_t untouched = buffer(4);
    EXPECT_EQ(g.call_word("vsnprintf", {untouched, 0, 0, va}), 0u);
    EXPECT_EQ(g.call_word("vsnprintf", {untouched, 0, g.put_string(""), va}), 0u);
    EXPECT_EQ(bytes(untouched, 1), B("#"));
    EXPECT_EQ(g.call_word("vsnprintf", {0, 4, 0, va}), 0u);
}

TEST_F(BufferPrintf, NoKernelCallIsMade)
{
    run("%d %s %x", {1, g.put_string("x"), 2});
    EXPECT_TRUE(g.kernel().calls.empty());
}

// --- Flags, width and precision ----------------------------------------------------------------

TEST_F(BufferPrintf, WidthAndFlags)
{
    expect_output("%5d|", {42}, "   42|");
    expect_output("%-5d|", {42}, "42   |");
    expect_output("%05d", {word(-42)}, "-0042");
    expect_output("%+05d", {42}, "+0042");
    expect_output("%+d", {0}, "+0");
    expect_output("%+d", {word(-3)}, "-3");
    expect_output("%-05d|", {word(-42)}, "-42  |");
    expect_output("%0-5d|", {7}, "7    |");
    expect_output("%--++00+3d|", {7}, "+7 |");
    expect_output("%2d", {12345}, "12345");
    expect_output("%+u|%+x", {5, 255}, "5|ff");
    expect_output("%05x", {0}, "00000");
    expect_output("%08X", {0xBEEFu}, "0000BEEF");
}

TEST_F(BufferPrintf, ZeroFlagYieldsToAPrecision)
{
    expect_output("%.5d", {word(-42)}, "-00042");
    expect_output("%8.5d", {word(-42)}, "  -00042");
    expect_output("%08.5d", {word(-42)}, "  -00042");
    expect_output("%-8.5d|", {word(-42)}, "-00042  |");
    expect_output("%08.0d", {5}, "       5");
    expect_output("%.0d", {0}, "0");
    expect_output("%.d", {0}, "0");
    expect_output("%08.d", {5}, "       5"); // a bare '.' is precision 0, not none
    expect_output("%3.1d", {0}, "  0");
    expect_output("%+.3d", {5}, "+005");
}

TEST_F(BufferPrintf, StarWidth)
{
    expect_output("%*d|", {5, 42}, "   42|");
    // A negative width gives no fill and does not set the left flag.
    expect_output("%*d|", {word(-5), 42}, "42|");
    expect_output("%0*d|", {word(-5), 42}, "42|");
    expect_output("%-*d|", {word(-5), 42}, "42|");
    // Strings: the fill width is the width negated under '-', and fill only goes on the left.
    expect_output("%-*s|", {word(-5), g.put_string("ab")}, "   ab|");
    expect_output("%*s|", {word(-5), g.put_string("ab")}, "ab|");
    expect_output("%-*s|", {5, g.put_string("ab")}, "ab|");
    // No digits are read after '*': the '3' becomes an unrecognised conversion.
    expect_output("%*3d", {9}, "%3d");
}

TEST_F(BufferPrintf, StarPrecision)
{
    expect_output("%.*d", {4, 42}, "0042");
    expect_output("%08.*d", {word(-3), 7}, "00000007");
    expect_output("%08.*d", {3, 7}, "     007");
    expect_output("%.*d", {word(-1), 0}, "0");
    expect_output("%*.*d|", {6, 3, word(-7)}, "  -007|");
    expect_output("%.*s|", {word(-2), g.put_string("abc")}, "abc|");
    expect_output("%.*s|", {2, g.put_string("abc")}, "ab|");
}

// --- Integers ----------------------------------------------------------------------------------

TEST_F(BufferPrintf, IntegerConversions)
{
    expect_output("%x|%X", {255, 255}, "ff|FF");
    expect_output("%x|%X", {0xABC, 0xABC}, "abc|ABC");
    expect_output("%u", {4294967295u}, "4294967295");
    expect_output("%d", {4294967295u}, "-1");
    expect_output("%i", {0x80000000u}, "-2147483648");
    expect_output("%d", {0x7FFFFFFFu}, "2147483647");
    expect_output("%x", {0xFFFFFFFFu}, "ffffffff");
    expect_output("%d%i%u%x", {0, 0, 0, 0}, "0000");
}

TEST_F(BufferPrintf, LengthLettersAreReadPastAndTakeOneWord)
{
    expect_output("%lld|%d", {5, 0, 9}, "5|0");
    expect_output("%llx|%lu|%zu|%ld", {0xff, 3, 7, word(-4)}, "ff|3|7|-4");
    // Only one length: 'lll' leaves an 'l' as the conversion; 'lz' leaves a 'z'.
    expect_output("%llld", {1}, "%ld");
    expect_output("%lzd", {1}, "%zd");
}

// --- Characters, strings and pointers ----------------------------------------------------------

TEST_F(BufferPrintf, CharacterIgnoresFlagsAndWidth)
{
    expect_output("%5c|%-5c|%05c", {65, 66, 67}, "A|B|C");
    expect_output("%c", {0x141}, "A");
    Out out = run("a%cb", {0}, 8);
    EXPECT_EQ(out.result, 3);
    EXPECT_EQ(bytes(out.buffer, 5), B(std::string_view("a\0b\0#", 5)));
}

TEST_F(BufferPrintf, StringLayout)
{
    uint32_t ab = g.put_string("ab");
    expect_output("%5s|", {ab}, "   ab|");
    expect_output("%-5s|", {ab}, "ab|");
    expect_output("%05s|", {ab}, "   ab|");
    expect_output("%.1s|", {ab}, "a|");
    expect_output("%5.0s|", {ab}, "     |");
    expect_output("%.s|%3.s|", {ab, ab}, "|   |");
    expect_output("%.9s|", {ab}, "ab|");
    expect_output("%1s|", {ab}, "ab|");
    expect_output("%s", {0}, "(null)");
    expect_output("%.3s", {0}, "(nu");
    expect_output("%10.3s", {0}, "       (nu");
    expect_output("%s|%s", {g.put_string(""), ab}, "|ab");
}

TEST_F(BufferPrintf, PointerHasNoFillAndNoPrecision)
{
    expect_output("%p", {0}, "0x0");
    expect_output("%p", {255}, "0xff");
    expect_output("%10p|%-10p|%010p", {255, 255, 255}, "0xff|0xff|0xff");
    expect_output("%.4p|%+p", {255, 0xDEADBEEFu}, "0xff|0xdeadbeef");
}

// --- Unrecognised conversions and cut directives -----------------------------------------------

TEST_F(BufferPrintf, UnrecognisedConversionsAreCopiedWithoutTakingAnArgument)
{
    expect_output("%hd|%d", {4}, "%hd|4");
    expect_output("% d|%d", {4}, "% d|4");
    expect_output("%#x|%d", {4}, "%#x|4");
    expect_output("%o|%f|%n|%e|%g|%a", {4}, "%o|%f|%n|%e|%g|%a");
    expect_output("%5q", {0}, "%q");
    expect_output("%-5.2lq", {0}, "%q");
    expect_output("%5-d", {4}, "%-d");
    expect_output("%5%|%-08.3%", {0}, "%|%");
    expect_output("%jd%td%Ld", {0}, "%jd%td%Ld");
}

TEST_F(BufferPrintf, StarArgumentOfAnUnrecognisedConversionStaysTaken)
{
    expect_output("%*q|%d", {7, 3}, "%q|3");
    expect_output("%.*q|%d", {7, 3}, "%q|3");
    expect_output("%*.*%|%d", {1, 2, 3}, "%|3");
}

TEST_F(BufferPrintf, DirectiveCutByTheEndOfTheFormat)
{
    for (const char* format : {"ab%", "ab%5", "ab%-", "ab%0", "ab%+", "ab%l", "ab%ll", "ab%z",
                               "ab%.", "ab%.3", "ab%*", "ab%.*", "ab%-05.3ll"}) {
        expect_output(format, {1, 2}, "ab");
    }
    Out out = run("ab%.3", {0}, 2);
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(bytes(out.buffer, 3), B(std::string_view("a\0#", 3)));
}

// --- The fronts --------------------------------------------------------------------------------

TEST_F(BufferPrintf, SnprintfTakesItsArgumentsInline)
{
    uint32_t buf = buffer(16);
    EXPECT_EQ(g.call_word("snprintf", {buf, 16, g.put_string("%s=%d"), g.put_string("k"), 5}), 3u);
    EXPECT_EQ(g.read_string(buf), "k=5");
    EXPECT_EQ(g.call_word("snprintf", {buf, 3, g.put_string("%d"), 12345}), 5u);
    EXPECT_EQ(bytes(buf, 4), B(std::string_view("12\0\0", 4)));
}

TEST_F(BufferPrintf, SprintfAndVsprintf)
{
    uint32_t buf = buffer(32);
    EXPECT_EQ(g.call_word("sprintf", {buf, g.put_string("<%5x>"), 0xabc}), 7u);
    EXPECT_EQ(g.read_string(buf), "<  abc>");
    uint32_t va = g.put_words({word(-12), g.put_string("z")});
    EXPECT_EQ(g.call_word("vsprintf", {buf, g.put_string("%d%s"), va}), 4u);
    EXPECT_EQ(g.read_string(buf), "-12z");
    EXPECT_EQ(g.call_word("sprintf", {0, g.put_string("abc")}), 3u);
}

TEST_F(BufferPrintf, SprintfStopsAt65535CharactersAndReturnsTheFullLength)
{
    constexpr uint32_t total = 70000;
    uint32_t buf = buffer(total + 1);
    uint32_t fmt = g.put_string("%70000d");
    EXPECT_EQ(g.call_word("sprintf", {buf, fmt, 1}), total);
    std::vector<uint8_t> got = bytes(buf, total + 1);
    EXPECT_EQ(got[65534], ' ');
    EXPECT_EQ(got[65535], 0);
    EXPECT_EQ(got[65536], '#');
    EXPECT_EQ(got[total - 1], '#');
    EXPECT_EQ(g.read_string(buf).size(), 65535u);

    uint32_t again = buffer(total + 1);
    uint32_t va = g.put_words({2});
    EXPECT_EQ(g.call_word("vsprintf", {again, fmt, va}), total);
    std::vector<uint8_t> got_v = bytes(again, 65537);
    EXPECT_EQ(got_v[65535], 0);
    EXPECT_EQ(got_v[65536], '#');
}

TEST_F(BufferPrintf, SprintfOf65535CharactersFitsWhole)
{
    uint32_t buf = buffer(65540);
    EXPECT_EQ(g.call_word("sprintf", {buf, g.put_string("%65534d|"), 5}), 65535u);
    std::vector<uint8_t> got = bytes(buf, 65537);
    EXPECT_EQ(got[65533], '5');
    EXPECT_EQ(got[65534], '|');
    EXPECT_EQ(got[65535], 0);
    EXPECT_EQ(got[65536], '#');
}

// --- snbuf_render_unsigned ---------------------------------------------------------------------

struct Rendered {
    uint32_t count;
    std::string digits;
    uint8_t after; // the scratch byte right after the digits: no terminator is written
};

Rendered render(GuestCall& g, uint32_t value, uint32_t base, uint32_t upper)
{
    uint32_t scratch = g.alloc(32);
    g.write(scratch, std::vector<uint8_t>(32, '#'));
    uint32_t count = g.put_words({0xDEADBEEFu});
    auto outcome = g.call("snbuf_render_unsigned", {scratch, count, value, base, upper});
    EXPECT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    uint32_t n = g.read_u32(count);
    if (n > 16) return {n, "", 0};
    std::vector<uint8_t> raw = g.read(scratch, n + 1);
    return {n, std::string(raw.begin(), raw.begin() + n), raw[n]};
}

TEST_F(BufferPrintf, RenderUnsigned)
{
    Rendered zero = render(g, 0, 10, 0);
    EXPECT_EQ(zero.count, 1u);
    EXPECT_EQ(zero.digits, "0");
    EXPECT_EQ(zero.after, '#');

    Rendered dec = render(g, 4294967295u, 10, 0);
    EXPECT_EQ(dec.count, 10u);
    EXPECT_EQ(dec.digits, "4294967295");
    EXPECT_EQ(dec.after, '#');

    Rendered lower = render(g, 0xDEADBEEFu, 16, 0);
    EXPECT_EQ(lower.digits, "deadbeef");
    EXPECT_EQ(lower.after, '#');
    Rendered upper = render(g, 0xDEADBEEFu, 16, 1);
    EXPECT_EQ(upper.count, 8u);
    EXPECT_EQ(upper.digits, "DEADBEEF");

    EXPECT_EQ(render(g, 100, 10, 1).digits, "100");
    EXPECT_EQ(render(g, 0x10, 16, 0).digits, "10");
    EXPECT_EQ(render(g, 7, 10, 0).digits, "7");
}

} // namespace
