// Text-to-number routines, called by name in a fresh guest process. Floating-point results are
// compared by their exact x87 bit patterns with values the host computes itself: the host's
// long double is the same 80-bit format, and the expected values fold the digits in the same
// order on purpose.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

using namespace yulos;

namespace {

const std::string runtime_image = std::string(YULOS_GUEST_DIR) + "/test_runtime";

constexpr uint32_t unset = 0xdeadbeefu;

struct IntResult {
    uint32_t value = 0;
    uint32_t end = 0; // offset of the end pointer from the text, or `unset` when not written
};

struct FloatResult {
    std::array<uint8_t, 10> st0{};
    uint32_t end = 0; // offset from the text (as passed in)
};

class Numbers : public ::testing::Test {
  protected:
    GuestCall g{runtime_image};

    uint32_t word_call(std::string_view name, std::initializer_list<uint32_t> args)
    {
        return g.call_word(name, args);
    }

    int32_t ato(std::string_view name, std::string_view text)
    {
        return static_cast<int32_t>(g.call_word(name, {g.put_string(text)}));
    }

    IntResult strto(std::string_view name, std::string_view text, int32_t base)
    {
        uint32_t t = g.put_string(text);
        uint32_t end = g.alloc(4);
        g.write_u32(end, unset);
        IntResult r;
        r.value = g.call_word(name, {t, end, static_cast<uint32_t>(base)});
        r.end = g.read_u32(end) - t;
        return r;
    }

    FloatResult parse_float(std::string_view name, std::string_view text)
    {
        uint32_t t = g.put_string(text);
        uint32_t end = g.alloc(4);
        g.write_u32(end, unset);
        CallOutcome out = g.call(name, {t, end});
        EXPECT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
        return {out.st0, g.read_u32(end) - t};
    }

    FloatResult strtold_of(std::string_view text) { return parse_float("strtold", text); }
    FloatResult strtod_of(std::string_view text) { return parse_float("strtod", text); }
};

// The decimal digits of `digits` folded as sum * 10 + digit, in extended precision.
long double fold10(std::string_view digits)
{
    long double sum = 0.0L;
    for (char c : digits) sum = sum * 10.0L + static_cast<long double>(c - '0');
    return sum;
}

long double times10(long double v, int n)
{
    for (int i = 0; i < n; ++i) v = v * 10.0L;
    return v;
}

long double over10(long double v, int n)
{
    for (int i = 0; i < n; ++i) v = v / 10.0L;
    return v;
}

// What strtod's st0 holds: the value rounded to double, widened back.
std::array<uint8_t, 10> as_double(long double v)
{
    return x87_bytes(static_cast<long double>(static_cast<double>(v)));
}

// ---- atoi / atol ----

TEST_F(Numbers, AtoiParsesSignedDecimal)
{
    for (const char* name : {"atoi", "atol"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ato(name, "  -12abc"), -12);
        EXPECT_EQ(ato(name, "+34"), 34);
        EXPECT_EQ(ato(name, "0"), 0);
        EXPECT_EQ(ato(name, "007x"), 7);
        EXPECT_EQ(ato(name, "2147483647"), 2147483647);
    }
}

TEST_F(Numbers, AtoiOfNullIsZero)
{
    EXPECT_EQ(word_call("atoi", {0}), 0u);
    EXPECT_EQ(word_call("atol", {0}), 0u);
}

TEST_F(Numbers, AtoiSkipsOnlyTabLineFeedAndSpace)
{
    for (const char* name : {"atoi", "atol"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ato(name, "\t\n 42"), 42);
        EXPECT_EQ(ato(name, "\r42"), 0);
        EXPECT_EQ(ato(name, "\v42"), 0);
        EXPECT_EQ(ato(name, "\f42"), 0);
        EXPECT_EQ(ato(name, " \r42"), 0);
    }
}

TEST_F(Numbers, AtoiTakesOneSignFollowedByADigit)
{
    for (const char* name : {"atoi", "atol"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ato(name, "+ 5"), 0);
        EXPECT_EQ(ato(name, "+-5"), 0);
        EXPECT_EQ(ato(name, "--5"), 0);
        EXPECT_EQ(ato(name, "-"), 0);
        EXPECT_EQ(ato(name, ""), 0);
        EXPECT_EQ(ato(name, "x1"), 0);
    }
}

TEST_F(Numbers, AtoiWrapsModulo2To32)
{
    for (const char* name : {"atoi", "atol"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ato(name, "2147483648"), std::numeric_limits<int32_t>::min());
        EXPECT_EQ(ato(name, "4294967297"), 1);
        EXPECT_EQ(ato(name, "4294967295"), -1);
        EXPECT_EQ(ato(name, "-4294967295"), 1);
        EXPECT_EQ(ato(name, "-2147483648"), std::numeric_limits<int32_t>::min());
        // 10^10 = 2 * 2^32 + 1410065408
        EXPECT_EQ(ato(name, "10000000000"), 1410065408);
    }
}

// ---- strtoul / strtol ----

TEST_F(Numbers, StrtoulDecimalAndEnd)
{
    IntResult r = strto("strtoul", "123abc", 10);
    EXPECT_EQ(r.value, 123u);
    EXPECT_EQ(r.end, 3u);
    r = strto("strtoul", "4294967295", 10);
    EXPECT_EQ(r.value, 4294967295u);
    EXPECT_EQ(r.end, 10u);
}

TEST_F(Numbers, StrtoulAcceptsNoSign)
{
    IntResult r = strto("strtoul", "-5", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
    r = strto("strtoul", "  +5", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 2u);
    r = strto("strtol", "-1", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
}

TEST_F(Numbers, StrtoulBlankSet)
{
    IntResult r = strto("strtoul", "\r\n12", 0);
    EXPECT_EQ(r.value, 12u);
    EXPECT_EQ(r.end, 4u);
    r = strto("strtoul", "\t \r\n7", 10);
    EXPECT_EQ(r.value, 7u);
    EXPECT_EQ(r.end, 5u);
    r = strto("strtoul", "\v12", 0);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
    r = strto("strtoul", " \f12", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
}

TEST_F(Numbers, StrtoulBaseZeroPrefixes)
{
    IntResult r = strto("strtoul", "0x1F", 0);
    EXPECT_EQ(r.value, 31u);
    EXPECT_EQ(r.end, 4u);
    r = strto("strtoul", "0X1f", 0);
    EXPECT_EQ(r.value, 31u);
    r = strto("strtoul", "017", 0);
    EXPECT_EQ(r.value, 15u);
    EXPECT_EQ(r.end, 3u);
    r = strto("strtoul", "08", 0);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
    r = strto("strtoul", "0xg", 0);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 2u);
    r = strto("strtoul", "0", 0);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
    r = strto("strtoul", "19", 0);
    EXPECT_EQ(r.value, 19u);
    EXPECT_EQ(r.end, 2u);
    r = strto("strtoul", "a", 0);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
}

TEST_F(Numbers, StrtoulPrefixOnlyInBaseZeroAndSixteen)
{
    IntResult r = strto("strtoul", "0x10", 16);
    EXPECT_EQ(r.value, 16u);
    EXPECT_EQ(r.end, 4u);
    r = strto("strtoul", "0x", 16);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 2u);
    r = strto("strtoul", "0x10", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
    r = strto("strtoul", "0x10", 8);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
    r = strto("strtoul", "0x10", 36);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 1u);
}

TEST_F(Numbers, StrtoulDigitsBelowTheBase)
{
    IntResult r = strto("strtoul", "1012", 2);
    EXPECT_EQ(r.value, 5u);
    EXPECT_EQ(r.end, 3u);
    r = strto("strtoul", "0001", 1);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 3u);
    r = strto("strtoul", "5", -1);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
    r = strto("strtoul", "z", 36);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
    r = strto("strtoul", "fg", 36);
    EXPECT_EQ(r.value, 15u);
    EXPECT_EQ(r.end, 1u);
    r = strto("strtoul", "FfAa9", 17);
    EXPECT_EQ(r.value, (((15u * 17 + 15) * 17 + 10) * 17 + 10) * 17 + 9);
    EXPECT_EQ(r.end, 5u);
    r = strto("strtoul", "777", 7);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 0u);
}

TEST_F(Numbers, StrtoulWrapsModulo2To32)
{
    IntResult r = strto("strtoul", "4294967296", 10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.end, 10u);
    r = strto("strtoul", "4294967301", 10);
    EXPECT_EQ(r.value, 5u);
    r = strto("strtoul", "123456789abcdef", 16);
    EXPECT_EQ(r.value, 0x89abcdefu);
    EXPECT_EQ(r.end, 15u);
}

TEST_F(Numbers, StrtolIsTheSameBits)
{
    IntResult r = strto("strtol", "ffffffff", 16);
    EXPECT_EQ(static_cast<int32_t>(r.value), -1);
    EXPECT_EQ(r.end, 8u);
    r = strto("strtol", "2147483648", 10);
    EXPECT_EQ(r.value, 0x80000000u);
    r = strto("strtol", "0x7f", 0);
    EXPECT_EQ(r.value, 0x7fu);
    EXPECT_EQ(r.end, 4u);
}

TEST_F(Numbers, StrtoulOfNullStoresNullEnd)
{
    for (const char* name : {"strtoul", "strtol"}) {
        SCOPED_TRACE(name);
        uint32_t end = g.alloc(4);
        g.write_u32(end, unset);
        EXPECT_EQ(word_call(name, {0, end, 10}), 0u);
        EXPECT_EQ(g.read_u32(end), 0u);
    }
}

TEST_F(Numbers, StrtoulWithoutEndPointer)
{
    EXPECT_EQ(word_call("strtoul", {g.put_string(" 0x2a"), 0, 0}), 42u);
    EXPECT_EQ(word_call("strtol", {g.put_string("99"), 0, 10}), 99u);
    EXPECT_EQ(word_call("strtoul", {0, 0, 10}), 0u);
}

// ---- strtold / strtod ----

TEST_F(Numbers, StrtoldSimpleDecimals)
{
    FloatResult r = strtold_of("  -1.5e3");
    EXPECT_EQ(r.st0, x87_bytes(-1500.0L));
    EXPECT_EQ(r.end, 8u);
    r = strtold_of(".5");
    EXPECT_EQ(r.st0, x87_bytes(0.5L));
    EXPECT_EQ(r.end, 2u);
    r = strtold_of("5.");
    EXPECT_EQ(r.st0, x87_bytes(5.0L));
    EXPECT_EQ(r.end, 2u);
    r = strtold_of("1.e2");
    EXPECT_EQ(r.st0, x87_bytes(100.0L));
    EXPECT_EQ(r.end, 4u);
    r = strtold_of("+.25");
    EXPECT_EQ(r.st0, x87_bytes(0.25L));
    EXPECT_EQ(r.end, 4u);
    r = strtold_of("0.125xyz");
    EXPECT_EQ(r.st0, x87_bytes(0.125L));
    EXPECT_EQ(r.end, 5u);
    r = strtold_of("007");
    EXPECT_EQ(r.st0, x87_bytes(7.0L));
    EXPECT_EQ(r.end, 3u);
}

TEST_F(Numbers, StrtoldNegativeZero)
{
    FloatResult r = strtold_of("-0");
    EXPECT_EQ(r.st0, x87_bytes(-0.0L));
    EXPECT_NE(r.st0, x87_bytes(0.0L));
    EXPECT_EQ(r.end, 2u);
    r = strtold_of("-0.0e5");
    EXPECT_EQ(r.st0, x87_bytes(-0.0L));
    r = strtold_of("0");
    EXPECT_EQ(r.st0, x87_bytes(0.0L));
}

TEST_F(Numbers, StrtoldFoldOrder)
{
    // All digits folded first, then one division per fraction digit, then the exponent.
    FloatResult r = strtold_of("0.1");
    EXPECT_EQ(r.st0, x87_bytes(over10(1.0L, 1)));
    r = strtold_of("123.456e-7");
    EXPECT_EQ(r.st0, x87_bytes(over10(over10(fold10("123456"), 3), 7)));
    const std::string pi = "14159265358979323846264338327950288";
    r = strtold_of("3." + pi);
    EXPECT_EQ(r.st0, x87_bytes(over10(fold10("3" + pi), static_cast<int>(pi.size()))));
    r = strtold_of("-98765.4321E+12");
    EXPECT_EQ(r.st0, x87_bytes(-times10(over10(fold10("987654321"), 4), 12)));
    r = strtold_of("1e-1");
    EXPECT_EQ(r.st0, x87_bytes(over10(1.0L, 1)));
    r = strtold_of("2.5e0");
    EXPECT_EQ(r.st0, x87_bytes(over10(25.0L, 1)));
}

TEST_F(Numbers, StrtoldBlankSet)
{
    FloatResult r = strtold_of("\t\n\v\f\r 7");
    EXPECT_EQ(r.st0, x87_bytes(7.0L));
    EXPECT_EQ(r.end, 7u);
    for (char other : {'\x1c', '\x0e', '\b', '\xa0'}) {
        r = strtold_of(std::string(1, other) + "7");
        EXPECT_EQ(r.st0, x87_bytes(0.0L));
        EXPECT_EQ(r.end, 0u);
    }
}

TEST_F(Numbers, StrtoldNoConversionEndsAtTheTextAsPassed)
{
    for (std::string_view text :
         {"inf", "nan", ".", "-", "+-1", "- 5", "  x", "", "  .e1", " -.", "e5", "+"}) {
        SCOPED_TRACE(std::string(text));
        FloatResult r = strtold_of(text);
        EXPECT_EQ(r.st0, x87_bytes(0.0L));
        EXPECT_EQ(r.end, 0u);
    }
}

TEST_F(Numbers, StrtoldHexadecimal)
{
    FloatResult r = strtold_of("0x1.8p1");
    EXPECT_EQ(r.st0, x87_bytes(3.0L));
    EXPECT_EQ(r.end, 7u);
    r = strtold_of("0x.8");
    EXPECT_EQ(r.st0, x87_bytes(0.5L));
    EXPECT_EQ(r.end, 4u);
    r = strtold_of("0X1P-3");
    EXPECT_EQ(r.st0, x87_bytes(0.125L));
    EXPECT_EQ(r.end, 6u);
    r = strtold_of("0xA");
    EXPECT_EQ(r.st0, x87_bytes(10.0L));
    EXPECT_EQ(r.end, 3u);
    r = strtold_of(" -0xfF.4p+2x");
    EXPECT_EQ(r.st0, x87_bytes(-1021.0L));
    EXPECT_EQ(r.end, 11u);
    r = strtold_of("0x10.");
    EXPECT_EQ(r.st0, x87_bytes(16.0L));
    EXPECT_EQ(r.end, 5u);
    r = strtold_of("0x1g");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 3u);
}

TEST_F(Numbers, StrtoldHexadecimalWithoutDigitsIsNoConversion)
{
    for (std::string_view text : {"0x", "0x.", "0xg", "0x.p1", "  0X", "-0x.p"}) {
        SCOPED_TRACE(std::string(text));
        FloatResult r = strtold_of(text);
        EXPECT_EQ(r.st0, x87_bytes(0.0L));
        EXPECT_EQ(r.end, 0u);
    }
}

TEST_F(Numbers, StrtoldHexadecimalFoldsBeforeScaling)
{
    // 17 hex digits exceed the 64-bit significand: the fold rounds before the fraction scaling.
    long double sum = 0.0L;
    for (int i = 0; i < 17; ++i) sum = sum * 16.0L + 15.0L;
    for (int i = 0; i < 16; ++i) sum = sum * 0.0625L;
    FloatResult r = strtold_of("0xf.ffffffffffffffff");
    EXPECT_EQ(r.st0, x87_bytes(sum));
    EXPECT_EQ(r.end, 20u);
}

TEST_F(Numbers, ExponentMarkerWithoutDigitsIsNotConsumed)
{
    FloatResult r = strtold_of("1e");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 1u);
    r = strtold_of("1e+");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 1u);
    r = strtold_of("1e-x");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 1u);
    r = strtold_of("2.5E");
    EXPECT_EQ(r.st0, x87_bytes(2.5L));
    EXPECT_EQ(r.end, 3u);
    r = strtold_of("0x1p");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 3u);
    r = strtold_of("0x1P-");
    EXPECT_EQ(r.st0, x87_bytes(1.0L));
    EXPECT_EQ(r.end, 3u);
    r = strtold_of("0x3e2");
    EXPECT_EQ(r.st0, x87_bytes(994.0L)); // 'e' is a hex digit, not a marker
    EXPECT_EQ(r.end, 5u);
    r = strtold_of("1p3");
    EXPECT_EQ(r.st0, x87_bytes(1.0L)); // 'p' marks an exponent only in the hexadecimal form
    EXPECT_EQ(r.end, 1u);
}

TEST_F(Numbers, StrtoldScalingStopsAfter1024Steps)
{
    const long double big = times10(1.0L, 1024);
    const long double small = over10(1.0L, 1024);
    FloatResult r = strtold_of("1e5000");
    EXPECT_EQ(r.st0, x87_bytes(big));
    EXPECT_EQ(r.end, 6u);
    r = strtold_of("1e1024");
    EXPECT_EQ(r.st0, x87_bytes(big));
    r = strtold_of("1e99999999999999999999");
    EXPECT_EQ(r.st0, x87_bytes(big));
    EXPECT_EQ(r.end, 22u);
    r = strtold_of("1e-5000");
    EXPECT_EQ(r.st0, x87_bytes(small));
    EXPECT_EQ(r.end, 7u);
    // The exponent's accumulator is capped, so it never wraps round to a small value.
    r = strtold_of("1e4294967297");
    EXPECT_EQ(r.st0, x87_bytes(big));
    EXPECT_EQ(r.end, 12u);
    r = strtold_of("1e-4294967296");
    EXPECT_EQ(r.st0, x87_bytes(small));
    r = strtold_of("0x1p-4294967297");
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, -1024)));
    r = strtold_of("1e1023");
    EXPECT_EQ(r.st0, x87_bytes(times10(1.0L, 1023)));
    r = strtold_of("0x1p5000");
    long double two = 1.0L;
    for (int i = 0; i < 1024; ++i) two = two + two;
    EXPECT_EQ(r.st0, x87_bytes(two));
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, 1024)));
    r = strtold_of("0x1p-5000");
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, -1024)));
}

TEST_F(Numbers, StrtoldFractionDividesAtMost1024Times)
{
    std::string text = "0." + std::string(1100, '0') + "1";
    FloatResult r = strtold_of(text);
    EXPECT_EQ(r.st0, x87_bytes(over10(1.0L, 1024)));
    EXPECT_EQ(r.end, text.size());

    // A fraction of exactly 1024 digits is divided 1024 times, one of 1025 too.
    std::string fraction = std::string(1023, '0') + "5";
    r = strtold_of("." + fraction);
    EXPECT_EQ(r.st0, x87_bytes(over10(5.0L, 1024)));
    r = strtold_of("." + fraction + "0");
    EXPECT_EQ(r.st0, x87_bytes(over10(50.0L, 1024)));

    std::string hex = "0x." + std::string(1100, '0') + "1";
    r = strtold_of(hex);
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, -4096)));
    EXPECT_EQ(r.end, hex.size());
}

TEST_F(Numbers, StrtoldManyIntegerDigits)
{
    std::string digits(400, '9');
    FloatResult r = strtold_of(digits);
    EXPECT_EQ(r.st0, x87_bytes(fold10(digits)));
    EXPECT_EQ(r.end, 400u);
}

TEST_F(Numbers, StrtoldOfNull)
{
    uint32_t end = g.alloc(4);
    g.write_u32(end, unset);
    CallOutcome out = g.call("strtold", {0, end});
    EXPECT_EQ(out.kind, CallOutcome::Kind::returned);
    EXPECT_EQ(out.st0, x87_bytes(0.0L));
    EXPECT_EQ(g.read_u32(end), 0u);
    out = g.call("strtod", {0, 0});
    EXPECT_EQ(out.st0, x87_bytes(0.0L));
}

TEST_F(Numbers, StrtoldWithoutEndPointer)
{
    CallOutcome out = g.call("strtold", {g.put_string("2.5"), 0});
    EXPECT_EQ(out.kind, CallOutcome::Kind::returned);
    EXPECT_EQ(out.st0, x87_bytes(2.5L));
}

TEST_F(Numbers, StrtodRoundsTheExtendedResult)
{
    FloatResult r = strtod_of("  -1.5e3");
    EXPECT_EQ(r.st0, x87_bytes(-1500.0L));
    EXPECT_EQ(r.end, 8u);
    r = strtod_of("0.1");
    EXPECT_EQ(r.st0, as_double(over10(1.0L, 1)));
    EXPECT_NE(r.st0, x87_bytes(over10(1.0L, 1)));
    const std::string pi = "14159265358979323846";
    r = strtod_of("3." + pi);
    EXPECT_EQ(r.st0, as_double(over10(fold10("3" + pi), static_cast<int>(pi.size()))));
    r = strtod_of("-0");
    EXPECT_EQ(r.st0, x87_bytes(-0.0L));
    r = strtod_of("0x1.8p1");
    EXPECT_EQ(r.st0, x87_bytes(3.0L));
    r = strtod_of("inf");
    EXPECT_EQ(r.st0, x87_bytes(0.0L));
    EXPECT_EQ(r.end, 0u);
    r = strtod_of("1e");
    EXPECT_EQ(r.end, 1u);
}

TEST_F(Numbers, StrtodOutOfRange)
{
    FloatResult r = strtod_of("1e5000");
    EXPECT_EQ(r.st0, x87_bytes(std::numeric_limits<long double>::infinity()));
    EXPECT_EQ(r.end, 6u);
    r = strtod_of("-1e400");
    EXPECT_EQ(r.st0, x87_bytes(-std::numeric_limits<long double>::infinity()));
    r = strtod_of("1e-5000");
    EXPECT_EQ(r.st0, x87_bytes(0.0L));
    EXPECT_EQ(r.end, 7u);
    r = strtod_of("-1e-5000");
    EXPECT_EQ(r.st0, x87_bytes(-0.0L));
    // Below the normal range: a subnormal double.
    r = strtod_of("0x1p-1023");
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, -1023)));
    r = strtod_of("1e-320");
    EXPECT_EQ(r.st0, as_double(over10(1.0L, 320)));
    EXPECT_NE(r.st0, x87_bytes(over10(1.0L, 320)));
    // The halving stops after 1024 steps here too: 2^-1024, not 2^-1070.
    r = strtod_of("0x1p-1070");
    EXPECT_EQ(r.st0, x87_bytes(std::ldexp(1.0L, -1024)));
}

TEST_F(Numbers, ConversionLeavesErrnoAlone)
{
    uint32_t errno_address = g.symbol("errno");
    g.write_u32(errno_address, 77);
    strto("strtoul", "99999999999999999999", 10);
    strtold_of("1e5000");
    strtod_of("1e-5000");
    ato("atoi", "99999999999");
    EXPECT_EQ(g.read_u32(errno_address), 77u);
}

// ---- abs / labs ----

TEST_F(Numbers, AbsAndLabs)
{
    for (const char* name : {"abs", "labs"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(word_call(name, {static_cast<uint32_t>(-7)}), 7u);
        EXPECT_EQ(word_call(name, {7}), 7u);
        EXPECT_EQ(word_call(name, {0}), 0u);
        EXPECT_EQ(word_call(name, {0x80000000u}), 0x80000000u);
        EXPECT_EQ(word_call(name, {0x80000001u}), 0x7fffffffu);
        EXPECT_EQ(word_call(name, {0x7fffffffu}), 0x7fffffffu);
    }
}

} // namespace
