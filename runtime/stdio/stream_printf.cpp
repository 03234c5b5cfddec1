// Formatted output to streams: its own small parser (no flags, 'll' for 64-bit values, '%p'
// filled to the width) and no output buffer. Every piece goes to the stream through
// file_write_bytes the moment it is made, with a fixed granularity: fill spaces, signs, the
// "0x" of '%p', leading zeros and plain characters one byte per write; digits in one write; a
// '%s' argument in one write. The counter rises only after a write has succeeded.
#include "stream.h"

#include <string.h>

namespace {

// The output state of one call: the stream and the bytes written so far.
struct engine {
    FILE* stream;
    unsigned int count;
};

// One write of `length` bytes; false when it fails.
bool emit(engine* out, const void* bytes, size_t length)
{
    if (file_write_bytes(out->stream, bytes, length) != 0) return false;
    out->count += length;
    return true;
}

bool emit_byte(engine* out, char byte) { return emit(out, &byte, 1); }

// `times` 1-byte writes of `byte`.
bool emit_repeated(engine* out, char byte, unsigned int times)
{
    for (unsigned int i = 0; i < times; ++i)
        if (!emit_byte(out, byte)) return false;
    return true;
}

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// A run of decimal digits as value * 10 + digit, wrapping in 32 bits with no check.
int read_number(const char** cursor)
{
    unsigned int value = 0;
    while (is_digit(**cursor)) {
        value = value * 10u + static_cast<unsigned int>(**cursor - '0');
        ++*cursor;
    }
    return static_cast<int>(value);
}

// The digits of `value` in `base`, most significant first, at the end of the 32-byte `area`;
// returns the first digit's position. Values that fit in 32 bits divide in 32 bits.
char* render_digits(unsigned long long value, unsigned int base, char* area_end)
{
    static const char digit_chars[] = "0123456789abcdef";
    char* first = area_end;
    if (value == 0) {
        *--first = '0';
        return first;
    }
    while (value > 0xFFFFFFFFull) {
        *--first = digit_chars[value % base];
        value /= base;
    }
    unsigned int small = static_cast<unsigned int>(value);
    while (small != 0) {
        *--first = digit_chars[small % base];
        small /= base;
    }
    return first;
}

// An integer directive: spaces, '-', the "0x" of '%p', zeros, then the digits.
bool emit_integer(engine* out, unsigned long long magnitude, bool negative, bool pointer,
                  unsigned int base, int width, int precision)
{
    char area[32];
    char* area_end = area + sizeof area;
    char* digits = render_digits(magnitude, base, area_end);
    unsigned int digit_count = static_cast<unsigned int>(area_end - digits);

    unsigned int zeros = 0;
    if (precision > 0 && static_cast<unsigned int>(precision) > digit_count)
        zeros = static_cast<unsigned int>(precision) - digit_count;
    unsigned int field = (negative ? 1u : 0u) + (pointer ? 2u : 0u) + zeros + digit_count;
    unsigned int spaces = 0;
    if (width > 0 && static_cast<unsigned int>(width) > field)
        spaces = static_cast<unsigned int>(width) - field;

    if (!emit_repeated(out, ' ', spaces)) return false;
    if (negative && !emit_byte(out, '-')) return false;
    if (pointer && (!emit_byte(out, '0') || !emit_byte(out, 'x'))) return false;
    if (!emit_repeated(out, '0', zeros)) return false;
    return emit(out, digits, digit_count);
}

// A 64-bit argument: two words, the low word first.
unsigned long long take_wide(va_list* args)
{
    unsigned int low = va_arg(*args, unsigned int);
    unsigned int high = va_arg(*args, unsigned int);
    return (static_cast<unsigned long long>(high) << 32) | low;
}

} // namespace

extern "C" {

int vfprintf(FILE* stream, const char* format, va_list args_in)
{
    if (!stream || !format) return -1;
    va_list args;
    va_copy(args, args_in);

    // A leading "%c" on a console stream: 0xFF and the low bytes of three int arguments, in
    // one write that the counter does not include.
    if (stream->kind == STREAM_FD && stream->fd == 1 && format[0] == '%' && format[1] == 'c') {
        unsigned char sequence[4];
        sequence[0] = 0xFF;
        for (int i = 1; i < 4; ++i) sequence[i] = static_cast<unsigned char>(va_arg(args, int));
        if (file_write_bytes(stream, sequence, sizeof sequence) != 0) {
            va_end(args);
            return -1;
        }
        format += 2;
    }

    engine out = {stream, 0};
    const char* cursor = format;
    bool ok = true;
    while (ok && *cursor) {
        if (*cursor != '%') {
            ok = emit_byte(&out, *cursor++);
            continue;
        }
        ++cursor;
        if (!*cursor) break;

        int width = 0;
        if (*cursor == '*') {
            width = va_arg(args, int);
            ++cursor;
        } else {
            width = read_number(&cursor);
        }

        int precision = -1;
        if (*cursor == '.') {
            ++cursor;
            if (*cursor == '*') {
                precision = va_arg(args, int);
                ++cursor;
            } else {
                precision = read_number(&cursor);
            }
        }

        bool wide = false;
        if (*cursor == 'l') {
            ++cursor;
            if (*cursor == 'l') {
                wide = true;
                ++cursor;
            }
        }

        char conversion = *cursor;
        if (!conversion) break;
        ++cursor;

        switch (conversion) {
        case '%': ok = emit_byte(&out, '%'); break;
        case 'c': ok = emit_byte(&out, static_cast<char>(va_arg(args, int))); break;
        case 's': {
            const char* text = va_arg(args, const char*);
            if (!text) text = "(null)";
            size_t length = strlen(text);
            if (precision >= 0 && static_cast<size_t>(precision) < length)
                length = static_cast<size_t>(precision);
            unsigned int spaces = 0;
            if (width > 0 && static_cast<size_t>(width) > length)
                spaces = static_cast<unsigned int>(static_cast<size_t>(width) - length);
            ok = emit_repeated(&out, ' ', spaces) && emit(&out, text, length);
            break;
        }
        case 'd':
        case 'i': {
            long long value;
            if (wide)
                value = static_cast<long long>(take_wide(&args));
            else
                value = va_arg(args, int);
            bool negative = value < 0;
            unsigned long long magnitude = static_cast<unsigned long long>(value);
            if (negative) magnitude = 0ull - magnitude;
            ok = emit_integer(&out, magnitude, negative, false, 10, width, precision);
            break;
        }
        case 'u':
        case 'x':
        case 'p': {
            unsigned long long value = wide ? take_wide(&args) : va_arg(args, unsigned int);
            ok = emit_integer(&out, value, false, conversion == 'p', conversion == 'u' ? 10 : 16,
                              width, precision);
            break;
        }
        default: ok = emit_byte(&out, '%') && emit_byte(&out, conversion); break;
        }
    }
    va_end(args);
    return ok ? static_cast<int>(out.count) : -1;
}

int fprintf(FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vfprintf(stream, format, args);
    va_end(args);
    return result;
}

int printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vfprintf(stdout, format, args);
    va_end(args);
    return result;
}

} // extern "C"
