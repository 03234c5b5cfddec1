// Formatted input: vsscanf, sscanf and fscanf, called by name in a fresh guest process.
// fscanf reads through a stream record built in guest scratch memory, and its `read` calls are
// answered by the scripted kernel from its `input` bytes.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <yulos_kernel.h>

using yulos::GuestCall;
using yulos::KernelCallRecord;

namespace {

const std::string kImage = std::string(YULOS_GUEST_DIR) + "/test_runtime";

constexpr uint32_t kUntouched = 0xDEADBEEFu;
constexpr uint32_t kStreamFd = 1, kStreamMem = 2, kStreamWritefile = 3;
constexpr uint32_t kErrorOffset = 8 * 4, kPosOffset = 9 * 4, kEofOffset = 10 * 4;

int32_t as_int(uint32_t w) { return static_cast<int32_t>(w); }

class Scanf : public ::testing::Test {
  protected:
    GuestCall g{kImage};

    // An int slot holding kUntouched, so that a store shows.
    uint32_t slot() { return g.put_words({kUntouched}); }
    // A character buffer of `size` bytes, every byte '#'.
    uint32_t chars(uint32_t size)
    {
        uint32_t address = g.alloc(size);
        g.write(address, std::vector<uint8_t>(size, '#'));
        return address;
    }

    int32_t sscanf(std::string_view text, std::string_view format,
                   std::initializer_list<uint32_t> pointers)
    {
        std::vector<uint32_t> args{g.put_string(text), g.put_string(format)};
        args.insert(args.end(), pointers.begin(), pointers.end());
        auto outcome = g.call("sscanf", std::span<const uint32_t>(args));
        EXPECT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
        return as_int(outcome.eax);
    }

    int32_t value(uint32_t address) { return as_int(g.read_u32(address)); }
};

// --- Blanks by place ---------------------------------------------------------------------------

TEST_F(Scanf, NumberAndWord)
{
    uint32_t n = slot(), w = chars(16);
    EXPECT_EQ(sscanf("12 abc", "%d %s", {n, w}), 2);
    EXPECT_EQ(value(n), 12);
    EXPECT_EQ(g.read_string(w), "abc");
}

TEST_F(Scanf, NumberConversionsDoNotSkipALineFeed)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("1\n2", "%d%d", {a, b}), 1);
    EXPECT_EQ(value(a), 1);
    EXPECT_EQ(g.read_u32(b), kUntouched);
}

TEST_F(Scanf, FormatBlankSkipsALineFeed)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("1\n2", "%d %d", {a, b}), 2);
    EXPECT_EQ(value(a), 1);
    EXPECT_EQ(value(b), 2);
    uint32_t c = slot(), d = slot();
    EXPECT_EQ(sscanf("1 \t\n \n2", "%d\n%d", {c, d}), 2);
    EXPECT_EQ(value(d), 2);
}

TEST_F(Scanf, NumbersSkipSpacesAndTabs)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf(" \t 42\t-7", "%d%d", {a, b}), 2);
    EXPECT_EQ(value(a), 42);
    EXPECT_EQ(value(b), -7);
    uint32_t c = slot();
    EXPECT_EQ(sscanf("\n42", "%d", {c}), 0);
    EXPECT_EQ(g.read_u32(c), kUntouched);
    EXPECT_EQ(sscanf("\r42", "%d", {c}), 0);
    EXPECT_EQ(sscanf("\n5", "%u", {c}), 0);
}

TEST_F(Scanf, FormatBlankMatchingNothingIsNoFailure)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("1,2", "%d , %d", {a, b}), 2);
    EXPECT_EQ(value(b), 2);
    EXPECT_EQ(sscanf("3", " \t\n %d", {a}), 1);
    EXPECT_EQ(value(a), 3);
}

TEST_F(Scanf, LiteralsMustMatch)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("x=4;y=5", "x=%d;y=%d", {a, b}), 2);
    EXPECT_EQ(value(a), 4);
    EXPECT_EQ(value(b), 5);
    uint32_t c = slot(), d = slot();
    EXPECT_EQ(sscanf("x=4:y=5", "x=%d;y=%d", {c, d}), 1);
    EXPECT_EQ(g.read_u32(d), kUntouched);
    EXPECT_EQ(sscanf("x", "x=%d", {c}), 0); // the text's zero byte never matches
}

TEST_F(Scanf, CharacterTakesBlanksToo)
{
    uint32_t c = chars(4);
    EXPECT_EQ(sscanf(" x", "%c", {c}), 1);
    EXPECT_EQ(g.read(c, 2), (std::vector<uint8_t>{' ', '#'}));
    uint32_t d = chars(4);
    EXPECT_EQ(sscanf("\nx", "%c", {d}), 1);
    EXPECT_EQ(g.read(d, 1), (std::vector<uint8_t>{'\n'}));
    uint32_t e = chars(4), f = chars(4);
    EXPECT_EQ(sscanf("a", "%c%c", {e, f}), 1);
    EXPECT_EQ(g.read(f, 1), (std::vector<uint8_t>{'#'}));
}

// --- Numbers -----------------------------------------------------------------------------------

TEST_F(Scanf, IntegerPrefixes)
{
    struct Case {
        const char* text;
        int32_t result;
        int32_t stored;
    };
    for (const Case& c :
         {Case{"0x1A", 1, 26}, Case{"0X1a", 1, 26}, Case{"017", 1, 15}, Case{"-0x10", 1, -16},
          Case{"+0x10", 1, 16}, Case{"08", 1, 0}, Case{"0", 1, 0}, Case{"-12", 1, -12},
          Case{"0x", 0, 0}, Case{"0xg", 0, 0}, Case{"-", 0, 0}, Case{"x1", 0, 0}}) {
        SCOPED_TRACE(c.text);
        uint32_t n = slot();
        EXPECT_EQ(sscanf(c.text, "%i", {n}), c.result);
        if (c.result == 1)
            EXPECT_EQ(value(n), c.stored);
        else
            EXPECT_EQ(g.read_u32(n), kUntouched);
    }
}

TEST_F(Scanf, OctalStopsAtTheFirstDigitNotBelowEight)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("0789", "%i%d", {a, b}), 2);
    EXPECT_EQ(value(a), 7);
    EXPECT_EQ(value(b), 89);
}

TEST_F(Scanf, HexadecimalHasNoPrefix)
{
    uint32_t a = slot(), rest = chars(8);
    EXPECT_EQ(sscanf("0x1A", "%x%s", {a, rest}), 2);
    EXPECT_EQ(value(a), 0);
    EXPECT_EQ(g.read_string(rest), "x1A");
    uint32_t b = slot(), c = slot();
    EXPECT_EQ(sscanf("-ff FfG", "%x %X", {b, c}), 2);
    EXPECT_EQ(value(b), -255);
    EXPECT_EQ(value(c), 255);
    uint32_t d = slot();
    EXPECT_EQ(sscanf("deadbeef", "%x", {d}), 1);
    EXPECT_EQ(g.read_u32(d), 0xDEADBEEFu);
    EXPECT_EQ(sscanf("g", "%x", {d}), 0);
}

TEST_F(Scanf, NumbersWrapModulo2To32)
{
    uint32_t a = slot(), b = slot(), c = slot(), d = slot(), e = slot();
    EXPECT_EQ(sscanf("4294967295 4294967296 4294967296 -2147483648 99999999999", "%d %u %d %d %u",
                     {a, b, c, d, e}),
              5);
    EXPECT_EQ(value(a), -1);
    EXPECT_EQ(g.read_u32(b), 0u);
    EXPECT_EQ(value(c), 0);
    EXPECT_EQ(g.read_u32(d), 0x80000000u);
    EXPECT_EQ(g.read_u32(e), static_cast<uint32_t>(99999999999ull));
    uint32_t f = slot();
    EXPECT_EQ(sscanf("-4294967297", "%d", {f}), 1);
    EXPECT_EQ(value(f), -1);
    EXPECT_EQ(sscanf("1ffffffff", "%x", {f}), 1);
    EXPECT_EQ(g.read_u32(f), 0xFFFFFFFFu);
}

TEST_F(Scanf, UnsignedTakesNoSign)
{
    uint32_t a = slot();
    EXPECT_EQ(sscanf("-1", "%u", {a}), 0);
    EXPECT_EQ(g.read_u32(a), kUntouched);
    EXPECT_EQ(sscanf("+1", "%u", {a}), 0);
    EXPECT_EQ(g.read_u32(a), kUntouched);
    EXPECT_EQ(sscanf("\t 4294967295", "%u", {a}), 1);
    EXPECT_EQ(g.read_u32(a), 0xFFFFFFFFu);
}

TEST_F(Scanf, WidthsAreReadPast)
{
    uint32_t a = slot();
    EXPECT_EQ(sscanf("12345", "%2d", {a}), 1);
    EXPECT_EQ(value(a), 12345);
    uint32_t c = chars(4), d = chars(4);
    EXPECT_EQ(sscanf("ab", "%1c%9c", {c, d}), 2);
    EXPECT_EQ(g.read(c, 1), (std::vector<uint8_t>{'a'}));
    EXPECT_EQ(g.read(d, 1), (std::vector<uint8_t>{'b'}));
    uint32_t e = slot();
    EXPECT_EQ(sscanf("77", "%*10d", {e}), 0);
    EXPECT_EQ(sscanf("77", "%0i", {e}), 1);
    EXPECT_EQ(value(e), 77);
}

// --- Suppression, words and '%%' ---------------------------------------------------------------

TEST_F(Scanf, SuppressedConversionTakesNoArgument)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("12 34", "%*d %d", {a, b}), 1);
    EXPECT_EQ(value(a), 34);
    EXPECT_EQ(g.read_u32(b), kUntouched);
    uint32_t c = slot();
    EXPECT_EQ(sscanf("word x 5", "%*s %*c %d", {c}), 1);
    EXPECT_EQ(value(c), 5);
    // A suppressed conversion that fails still ends the scan.
    EXPECT_EQ(sscanf("x 5", "%*d %d", {c}), 0);
}

TEST_F(Scanf, WordEndsAtBlanksButKeepsOtherControls)
{
    uint32_t a = chars(16), b = chars(16);
    EXPECT_EQ(sscanf("  a\rb\vc\fd\te", "%s%s", {a, b}), 2);
    EXPECT_EQ(g.read_string(a), "a\rb\vc\fd");
    EXPECT_EQ(g.read_string(b), "e");
    uint32_t c = chars(8);
    EXPECT_EQ(sscanf("xy\nz", "%s", {c}), 1);
    EXPECT_EQ(g.read(c, 4), (std::vector<uint8_t>{'x', 'y', 0, '#'}));
}

TEST_F(Scanf, WordOnALeadingLineFeedIsEmptyAndCounts)
{
    uint32_t w = chars(8), n = slot();
    EXPECT_EQ(sscanf("\nabc", "%s", {w}), 1);
    EXPECT_EQ(g.read(w, 2), (std::vector<uint8_t>{0, '#'}));
    uint32_t v = chars(8);
    EXPECT_EQ(sscanf(" \t\n7", "%s%d", {v, n}), 1); // the line feed stays for '%d', which fails
    EXPECT_EQ(g.read(v, 1), (std::vector<uint8_t>{0}));
    EXPECT_EQ(g.read_u32(n), kUntouched);
}

TEST_F(Scanf, WordAtTheEndOfTheTextFails)
{
    uint32_t w = chars(8);
    EXPECT_EQ(sscanf(" \t", "%s", {w}), 0);
    EXPECT_EQ(g.read(w, 1), (std::vector<uint8_t>{'#'}));
}

TEST_F(Scanf, WordWithANullPointerIsConsumedButNotCounted)
{
    EXPECT_EQ(sscanf("abc", "%s", {0}), 0);
    uint32_t n = slot();
    EXPECT_EQ(sscanf("abc 5", "%s %d", {0, n}), 1);
    EXPECT_EQ(value(n), 5);
}

TEST_F(Scanf, LongWordIsCopiedWhole)
{
    std::string word(600, 'w');
    uint32_t w = chars(700);
    EXPECT_EQ(sscanf(word + " x", "%3s", {w}), 1);
    EXPECT_EQ(g.read_string(w), word);
}

TEST_F(Scanf, PercentPercent)
{
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("5%7", "%d%%%d", {a, b}), 2);
    EXPECT_EQ(value(a), 5);
    EXPECT_EQ(value(b), 7);
    uint32_t c = slot(), d = slot();
    EXPECT_EQ(sscanf("5%", "%d%%", {c}), 1);
    // '%%' skips no blank: on '5 %' it fails on the space.
    EXPECT_EQ(sscanf("5 %7", "%d%%%d", {c, d}), 1);
    EXPECT_EQ(g.read_u32(d), kUntouched);
    // A format blank before '%%' does skip.
    EXPECT_EQ(sscanf("5 %7", "%d %%%d", {c, d}), 2);
    EXPECT_EQ(value(d), 7);
    EXPECT_EQ(sscanf("%", "%*%%5%%", {}), 0);
}

// --- Unsupported directives and empty inputs ---------------------------------------------------

TEST_F(Scanf, UnsupportedDirectivesEndTheScan)
{
    for (const char* format :
         {"%ld", "%hd", "%lu", "%f", "%o", "%p", "%n", "%[a]", "%e", "%", "%5", "%*"}) {
        SCOPED_TRACE(format);
        uint32_t a = slot();
        EXPECT_EQ(sscanf("12", format, {a}), 0);
        EXPECT_EQ(g.read_u32(a), kUntouched);
    }
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(sscanf("1 2", "%d %ld", {a, b}), 1);
    EXPECT_EQ(g.read_u32(b), kUntouched);
}

TEST_F(Scanf, EmptyTextOrFormat)
{
    uint32_t a = slot(), c = chars(4);
    for (const char* format : {"%d", "%i", "%x", "%u", "%s", "%c", "%%", "x"}) {
        SCOPED_TRACE(format);
        EXPECT_EQ(sscanf("", format, {a}), 0);
    }
    EXPECT_EQ(sscanf("", "   ", {}), 0);
    EXPECT_EQ(sscanf("12", "", {a}), 0);
    EXPECT_EQ(sscanf("", "%c", {c}), 0);
    EXPECT_EQ(g.read_u32(a), kUntouched);
}

TEST_F(Scanf, EarlierStoresStayWhenALaterDirectiveFails)
{
    uint32_t a = slot(), w = chars(8), b = slot();
    EXPECT_EQ(sscanf("3 ab -", "%u %s %d", {a, w, b}), 2);
    EXPECT_EQ(value(a), 3);
    EXPECT_EQ(g.read_string(w), "ab");
    EXPECT_EQ(g.read_u32(b), kUntouched);
}

TEST_F(Scanf, VsscanfTakesAnArgumentList)
{
    uint32_t a = slot(), w = chars(8), c = chars(4);
    uint32_t va = g.put_words({a, w, c});
    uint32_t result =
        g.call_word("vsscanf", {g.put_string("-0x1f word!"), g.put_string("%i %s"), va});
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(value(a), -31);
    EXPECT_EQ(g.read_string(w), "word!");
    EXPECT_EQ(g.read(c, 1), (std::vector<uint8_t>{'#'}));
}

TEST_F(Scanf, SscanfMakesNoKernelCall)
{
    uint32_t a = slot(), w = chars(8);
    sscanf("1 a", "%d %s", {a, w});
    EXPECT_TRUE(g.kernel().calls.empty());
}

// --- fscanf ------------------------------------------------------------------------------------

class Fscanf : public Scanf {
  protected:
    // An eleven-word stream record: kind, fd, then nine zero fields.
    uint32_t record(uint32_t kind, uint32_t fd)
    {
        return g.put_words({kind, fd, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    }

    void feed(std::string_view bytes)
    {
        g.kernel().input.insert(g.kernel().input.end(), bytes.begin(), bytes.end());
    }

    int32_t fscanf(uint32_t stream, std::string_view format,
                   std::initializer_list<uint32_t> pointers)
    {
        std::vector<uint32_t> args{stream, g.put_string(format)};
        args.insert(args.end(), pointers.begin(), pointers.end());
        auto outcome = g.call("fscanf", std::span<const uint32_t>(args));
        EXPECT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
        return as_int(outcome.eax);
    }

    int32_t pos(uint32_t stream) { return as_int(g.read_u32(stream + kPosOffset)); }
    int32_t eof(uint32_t stream) { return as_int(g.read_u32(stream + kEofOffset)); }
    size_t reads() { return g.kernel().calls_numbered(SYS_READ).size(); }
};

TEST_F(Fscanf, OneTokenPerCall)
{
    uint32_t file = record(kStreamFd, 0);
    feed("12 34");
    uint32_t a = slot(), b = slot();

    EXPECT_EQ(fscanf(file, "%d %d", {a, b}), 1);
    EXPECT_EQ(value(a), 12);
    EXPECT_EQ(g.read_u32(b), kUntouched);
    EXPECT_EQ(pos(file), 3); // the delimiter is consumed with the token
    EXPECT_EQ(eof(file), 0);
    EXPECT_EQ(g.kernel().input.size(), 2u);

    EXPECT_EQ(fscanf(file, "%d %d", {a, b}), 1);
    EXPECT_EQ(value(a), 34);
    EXPECT_EQ(g.read_u32(b), kUntouched);
    EXPECT_EQ(pos(file), 5);
    EXPECT_EQ(eof(file), 1); // the token ended at the end of input

    EXPECT_EQ(fscanf(file, "%d %d", {a, b}), -1);
    EXPECT_EQ(eof(file), 1);
    EXPECT_EQ(pos(file), 5);
    EXPECT_EQ(value(a), 34);
}

TEST_F(Fscanf, ReadsOneByteAtATimeFromTheRecordsDescriptor)
{
    uint32_t file = record(kStreamFd, 7);
    feed("ab\tcd");
    uint32_t w = chars(8);
    EXPECT_EQ(fscanf(file, "%s", {w}), 1);
    EXPECT_EQ(g.read_string(w), "ab");
    std::vector<KernelCallRecord> calls = g.kernel().calls_numbered(SYS_READ);
    ASSERT_EQ(calls.size(), 3u);
    for (const KernelCallRecord& call : calls) {
        EXPECT_EQ(call.ebx, 7u);
        EXPECT_EQ(call.edx, 1u);
        EXPECT_EQ(call.result, 1);
    }
    EXPECT_EQ(g.kernel().calls.size(), 3u); // nothing but the reads
}

TEST_F(Fscanf, LeadingDelimitersAreSkippedAndCounted)
{
    uint32_t file = record(kStreamFd, 0);
    feed(" \t\r\n\n-42\r\nrest");
    uint32_t a = slot();
    EXPECT_EQ(fscanf(file, "%d", {a}), 1);
    EXPECT_EQ(value(a), -42);
    EXPECT_EQ(pos(file), 9);
    EXPECT_EQ(reads(), 9u);
    EXPECT_EQ(std::string(g.kernel().input.begin(), g.kernel().input.end()), "\nrest");
}

TEST_F(Fscanf, OnlyDelimitersGiveMinusOne)
{
    uint32_t file = record(kStreamFd, 0);
    feed(" \n\t\r");
    uint32_t a = slot();
    EXPECT_EQ(fscanf(file, "%d", {a}), -1);
    EXPECT_EQ(pos(file), 4);
    EXPECT_EQ(eof(file), 1);
    EXPECT_EQ(g.read_u32(a), kUntouched);
}

TEST_F(Fscanf, TheTokenIsScannedLikeAnyText)
{
    uint32_t file = record(kStreamFd, 0);
    feed("7,x 8");
    uint32_t a = slot(), b = slot();
    EXPECT_EQ(fscanf(file, "%d,%d", {a, b}), 1); // the token "7,x" cannot satisfy the second
    EXPECT_EQ(value(a), 7);
    EXPECT_EQ(g.read_u32(b), kUntouched);
    EXPECT_EQ(fscanf(file, "%d", {b}), 1);
    EXPECT_EQ(value(b), 8);
}

TEST_F(Fscanf, TokenIsCutAt255Bytes)
{
    uint32_t file = record(kStreamFd, 0);
    std::string token;
    for (int i = 0; i < 300; ++i) token += static_cast<char>('a' + i % 26);
    feed(token + " 99");
    uint32_t w = chars(400);
    EXPECT_EQ(fscanf(file, "%s", {w}), 1);
    EXPECT_EQ(g.read_string(w), token.substr(0, 255));
    EXPECT_EQ(pos(file), 301); // all 300 bytes and the delimiter
    EXPECT_EQ(reads(), 301u);
    EXPECT_EQ(eof(file), 0);

    uint32_t a = slot();
    EXPECT_EQ(fscanf(file, "%d", {a}), 1);
    EXPECT_EQ(value(a), 99);
    EXPECT_EQ(pos(file), 303);
}

TEST_F(Fscanf, TokenOfExactly255Bytes)
{
    uint32_t file = record(kStreamFd, 0);
    std::string token(255, 'q');
    feed(token);
    uint32_t w = chars(300);
    EXPECT_EQ(fscanf(file, "%s", {w}), 1);
    EXPECT_EQ(g.read_string(w), token);
    EXPECT_EQ(pos(file), 255);
    EXPECT_EQ(eof(file), 1);
}

TEST_F(Fscanf, ReadErrorBeforeATokenIsEndOfInput)
{
    uint32_t file = record(kStreamFd, 0);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_READ) return -5;
        return std::nullopt;
    };
    uint32_t a = slot();
    EXPECT_EQ(fscanf(file, "%d", {a}), -1);
    EXPECT_EQ(eof(file), 1);
    EXPECT_EQ(pos(file), 0);
    EXPECT_EQ(g.read_u32(file + kErrorOffset), 0u);
    EXPECT_EQ(reads(), 1u);
}

TEST_F(Fscanf, ReadErrorInsideATokenEndsIt)
{
    uint32_t file = record(kStreamFd, 0);
    feed("77 88");
    int served = 0;
    g.kernel().answer = [&served](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax != SYS_READ) return std::nullopt;
        if (++served == 3) return -1;
        return std::nullopt;
    };
    uint32_t a = slot();
    EXPECT_EQ(fscanf(file, "%d", {a}), 1);
    EXPECT_EQ(value(a), 77);
    EXPECT_EQ(pos(file), 2);
    EXPECT_EQ(eof(file), 1);
    EXPECT_EQ(g.read_u32(file + kErrorOffset), 0u);
}

TEST_F(Fscanf, OtherKindsAndNullArgumentsReadNothing)
{
    uint32_t a = slot();
    feed("12");
    uint32_t mem = record(kStreamMem, 0);
    EXPECT_EQ(fscanf(mem, "%d", {a}), -1);
    uint32_t file = record(kStreamWritefile, 0);
    EXPECT_EQ(fscanf(file, "%d", {a}), -1);
    EXPECT_EQ(pos(mem), 0);
    EXPECT_EQ(eof(mem), 0);
    EXPECT_EQ(as_int(g.call_word("fscanf", {0, g.put_string("%d"), a})), -1);
    uint32_t fd = record(kStreamFd, 0);
    EXPECT_EQ(as_int(g.call_word("fscanf", {fd, 0, a})), -1);
    EXPECT_EQ(reads(), 0u);
    EXPECT_EQ(g.read_u32(a), kUntouched);
    EXPECT_EQ(g.kernel().input.size(), 2u);
}

} // namespace
