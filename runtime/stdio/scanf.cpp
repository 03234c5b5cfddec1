// Formatted input: the vsscanf engine (seven conversions and '%%', its own digit loops), sscanf,
// and fscanf, which reads one blank-delimited token from a descriptor stream through `read`, one
// byte per call, and hands it to the engine.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

namespace {

constexpr unsigned int token_size = 256; // at most 255 token bytes and a zero byte

// White space in the format, and what such a directive skips in the text.
bool is_format_blank(char c) { return c == '\t' || c == '\n' || c == ' '; }

// Skipped before '%s' and the number conversions.
bool is_space_or_tab(char c) { return c == ' ' || c == '\t'; }

// Ends a '%s' word.
bool ends_word(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '\n'; }

// Delimits the token that fscanf reads.
bool is_token_delimiter(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// The value of c as a digit below base, or -1.
int digit_value(char c, unsigned int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    if (v >= 0 && static_cast<unsigned int>(v) >= base) v = -1;
    return v;
}

// '%d', '%i', '%x', '%X'. Advances t and stores the value when the conversion succeeds.
bool scan_signed(const char*& t, char conv, unsigned int& result)
{
    const char* p = t;
    while (is_space_or_tab(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p == '\0') return false;
    unsigned int base = 10;
    if (conv == 'x' || conv == 'X') {
        base = 16;
    } else if (conv == 'i') {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
            if (*p == '\0') return false;
        } else if (p[0] == '0') {
            base = 8;
        }
    }
    unsigned int value = 0;
    bool any = false;
    for (int v; (v = digit_value(*p, base)) >= 0; ++p) {
        value = value * base + static_cast<unsigned int>(v);
        any = true;
    }
    if (!any) return false;
    result = negative ? 0u - value : value;
    t = p;
    return true;
}

// '%u': decimal digits only, no sign.
bool scan_unsigned(const char*& t, unsigned int& result)
{
    const char* p = t;
    while (is_space_or_tab(*p)) ++p;
    if (*p < '0' || *p > '9') return false;
    unsigned int value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<unsigned int>(*p - '0');
    result = value;
    t = p;
    return true;
}

// One byte from the stream's descriptor, as fgetc reads it: counts into pos, or sets eof.
bool read_byte(FILE* stream, unsigned char& byte)
{
    int got = read(stream->fd, &byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return false;
    }
    stream->pos += got;
    return true;
}

} // namespace

extern "C" {

int vsscanf(const char* text, const char* format, va_list args)
{
    va_list cursor;
    va_copy(cursor, args);
    int count = 0;
    const char* t = text;
    const char* f = format;
    for (;;) {
        char c = *f;
        if (c == '\0') break;
        if (is_format_blank(c)) {
            while (is_format_blank(*t)) ++t;
            while (is_format_blank(*f)) ++f;
            continue;
        }
        if (c != '%') {
            if (*t != c) break;
            ++t;
            ++f;
            continue;
        }
        ++f;
        bool suppress = false;
        if (*f == '*') {
            suppress = true;
            ++f;
        }
        while (*f >= '0' && *f <= '9') ++f; // the field width is read past
        char conv = *f;
        bool ok = true;
        switch (conv) {
        case '%':
            if (*t != '%')
                ok = false;
            else
                ++t;
            break;
        case 'c':
            if (*t == '\0') {
                ok = false;
                break;
            }
            if (!suppress) {
                *va_arg(cursor, char*) = *t;
                ++count;
            }
            ++t;
            break;
        case 's': {
            while (is_space_or_tab(*t)) ++t;
            if (*t == '\0') {
                ok = false;
                break;
            }
            const char* word = t;
            while (!ends_word(*t)) ++t;
            if (!suppress) {
                char* dest = va_arg(cursor, char*);
                if (dest) {
                    for (const char* w = word; w < t; ++w) *dest++ = *w;
                    *dest = '\0';
                    ++count;
                }
            }
            break;
        }
        case 'd':
        case 'i':
        case 'x':
        case 'X': {
            unsigned int value = 0;
            if (!scan_signed(t, conv, value)) {
                ok = false;
                break;
            }
            if (!suppress) {
                *va_arg(cursor, int*) = static_cast<int>(value);
                ++count;
            }
            break;
        }
        case 'u': {
            unsigned int value = 0;
            if (!scan_unsigned(t, value)) {
                ok = false;
                break;
            }
            if (!suppress) {
                *va_arg(cursor, unsigned int*) = value;
                ++count;
            }
            break;
        }
        default: ok = false; break; // length letters, '%n', '[', a zero byte and the rest
        }
        if (!ok) break;
        ++f;
    }
    va_end(cursor);
    return count;
}

int sscanf(const char* text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vsscanf(text, format, args);
    va_end(args);
    return result;
}

int fscanf(FILE* stream, const char* format, ...)
{
    if (!stream || !format) return -1;
    if (stream->kind != STREAM_FD) return -1;

    unsigned char byte = 0;
    do {
        if (!read_byte(stream, byte)) return -1;
    } while (is_token_delimiter(byte));

    char token[token_size];
    unsigned int length = 0;
    token[length++] = static_cast<char>(byte);
    while (read_byte(stream, byte) && !is_token_delimiter(byte)) {
        if (length < token_size - 1) token[length++] = static_cast<char>(byte);
    }
    token[length] = '\0';

    va_list args;
    va_start(args, format);
    int result = vsscanf(token, format, args);
    va_end(args);
    return result;
}

} // extern "C"
