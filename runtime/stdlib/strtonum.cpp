// Text to number: atoi/atol, strtoul/strtol, strtold/strtod, abs/labs. No state, no allocation,
// no errno. Integer parsing wraps modulo 2^32; strtold works in x87 extended precision with
// only the multipliers 10, 16, 1/16 and 1/2, and bounds every scaling run at 1024 steps.
#include <stdlib.h>

namespace {

constexpr int max_scale_steps = 1024;
constexpr unsigned int max_exponent = 4096;

// Value of a digit character: '0'-'9' are 0-9, 'a'-'f' and 'A'-'F' are 10-15, anything else -1.
int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) { return digit_value(c) >= 0; }

// atoi/atol blanks: tab, line feed, space.
bool is_atoi_blank(char c) { return c == '\t' || c == '\n' || c == ' '; }

// strtoul/strtol blanks: tab, line feed, carriage return, space.
bool is_strtoul_blank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// strtold/strtod blanks: 9 to 13 and space.
bool is_strtold_blank(char c) { return (c >= '\t' && c <= '\r') || c == ' '; }

// The parser shared by atoi and atol; the text is not null.
unsigned int parse_decimal_word(const char* p)
{
    while (is_atoi_blank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!is_decimal(*p)) return 0;
    unsigned int value = 0;
    while (is_decimal(*p)) {
        value = value * 10u + static_cast<unsigned int>(*p - '0');
        ++p;
    }
    return negative ? 0u - value : value;
}

// Reads an exponent's digits after its marker: an optional sign and at least one decimal digit.
// Returns false (consuming nothing) when no digit follows. The magnitude is capped at 4096
// after every digit.
bool parse_exponent(const char*& p, bool& negative, unsigned int& magnitude)
{
    const char* q = p;
    negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
    }
    if (!is_decimal(*q)) return false;
    unsigned int value = 0;
    while (is_decimal(*q)) {
        value = value * 10u + static_cast<unsigned int>(*q - '0');
        if (value > max_exponent) value = max_exponent;
        ++q;
    }
    p = q;
    magnitude = value;
    return true;
}

int scale_steps(unsigned int count)
{
    return count > static_cast<unsigned int>(max_scale_steps) ? max_scale_steps
                                                              : static_cast<int>(count);
}

// An exponent introduced by `marker` (lower case) or its capital: the signed number of scaling
// steps, at most 1024 either way, with p moved past it. A marker without digits is not
// consumed and scales nothing.
int exponent_steps(const char*& p, char marker)
{
    if (*p != marker && *p != marker - ('a' - 'A')) return 0;
    const char* q = p + 1;
    bool negative;
    unsigned int magnitude;
    if (!parse_exponent(q, negative, magnitude)) return 0;
    p = q;
    int steps = scale_steps(magnitude);
    return negative ? -steps : steps;
}

} // namespace

extern "C" {

int atoi(const char* text)
{
    if (!text) return 0;
    return static_cast<int>(parse_decimal_word(text));
}

long atol(const char* text)
{
    if (!text) return 0;
    return static_cast<long>(parse_decimal_word(text));
}

unsigned long strtoul(const char* text, char** end, int base)
{
    if (!text) {
        if (end) *end = nullptr;
        return 0;
    }
    const char* p = text;
    while (is_strtoul_blank(*p)) ++p;
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
            p += 1;
        } else {
            base = 10;
        }
    } else if (base == 16) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    }
    unsigned long value = 0;
    for (;;) {
        int digit = digit_value(*p);
        if (digit < 0 || digit >= base) break;
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
        ++p;
    }
    if (end) *end = const_cast<char*>(p);
    return value;
}

long strtol(const char* text, char** end, int base)
{
    return static_cast<long>(strtoul(text, end, base));
}

long double strtold(const char* text, char** end)
{
    if (!text) {
        if (end) *end = nullptr;
        return 0.0L;
    }
    const char* p = text;
    while (is_strtold_blank(*p)) ++p;
    long double sign = 1.0L;
    if (*p == '+' || *p == '-') {
        if (*p == '-') sign = -1.0L;
        ++p;
    }

    long double sum = 0.0L;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        // Hexadecimal form.
        p += 2;
        bool any_digit = false;
        while (is_hex(*p)) {
            sum = sum * 16.0L + static_cast<long double>(digit_value(*p));
            any_digit = true;
            ++p;
        }
        unsigned int fraction_digits = 0;
        if (*p == '.') {
            ++p;
            while (is_hex(*p)) {
                sum = sum * 16.0L + static_cast<long double>(digit_value(*p));
                if (fraction_digits < static_cast<unsigned int>(max_scale_steps)) ++fraction_digits;
                any_digit = true;
                ++p;
            }
        }
        if (!any_digit) {
            if (end) *end = const_cast<char*>(text);
            return 0.0L;
        }
        for (int i = scale_steps(fraction_digits); i > 0; --i) sum = sum * 0.0625L;
        int steps = exponent_steps(p, 'p');
        for (; steps > 0; --steps) sum = sum + sum;
        for (; steps < 0; ++steps) sum = sum * 0.5L;
    } else if (is_decimal(p[0]) || (p[0] == '.' && is_decimal(p[1]))) {
        // Decimal form.
        while (is_decimal(*p)) {
            sum = sum * 10.0L + static_cast<long double>(*p - '0');
            ++p;
        }
        unsigned int fraction_digits = 0;
        if (*p == '.') {
            ++p;
            while (is_decimal(*p)) {
                sum = sum * 10.0L + static_cast<long double>(*p - '0');
                if (fraction_digits < static_cast<unsigned int>(max_scale_steps)) ++fraction_digits;
                ++p;
            }
        }
        for (int i = scale_steps(fraction_digits); i > 0; --i) sum = sum / 10.0L;
        int steps = exponent_steps(p, 'e');
        for (; steps > 0; --steps) sum = sum * 10.0L;
        for (; steps < 0; ++steps) sum = sum / 10.0L;
    } else {
        // No number: the end is the text as passed in, blanks and sign included.
        if (end) *end = const_cast<char*>(text);
        return 0.0L;
    }

    if (end) *end = const_cast<char*>(p);
    return sum * sign;
}

double strtod(const char* text, char** end) { return static_cast<double>(strtold(text, end)); }

int abs(int value)
{
    // Computed on the unsigned bits so that -2147483648 comes back unchanged without overflow.
    unsigned int bits = static_cast<unsigned int>(value);
    return static_cast<int>(value < 0 ? 0u - bits : bits);
}

long labs(long value)
{
    unsigned long bits = static_cast<unsigned long>(value);
    return static_cast<long>(value < 0 ? 0ul - bits : bits);
}

} // extern "C"
