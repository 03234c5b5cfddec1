// Formatted output to buffers: vsnprintf and its fronts. A self-contained engine that shares no
// code with the stream printf: it measures strings itself, renders digits with
// snbuf_render_unsigned, stores only what fits and always returns the full output length.
#include <stdarg.h>
#include <stdio.h>

// Internal, not in any public header; external C linkage so that tests can call it by name.
extern "C" void snbuf_render_unsigned(char* scratch, unsigned int* count, unsigned int value,
                                      unsigned int base, int upper);

namespace {

// The output side of one call: the position counts every character produced, stored or not.
struct Sink {
    char* buffer;
    unsigned int size; // 0 when the buffer is null
    unsigned int pos;
};

// Store rule: the character at position p goes to buffer[p] only if p + 1 < size.
void put(Sink& out, char c)
{
    if (out.size != 0 && out.pos < out.size - 1) out.buffer[out.pos] = c;
    ++out.pos;
}

void put_run(Sink& out, char c, unsigned int n)
{
    for (unsigned int i = 0; i < n; ++i) put(out, c);
}

unsigned int measure(const char* s)
{
    unsigned int n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits as a signed 32-bit value, accumulated without an overflow check (modulo 2^32).
int read_number(const char*& f)
{
    unsigned int value = 0;
    while (is_digit(*f)) value = value * 10u + static_cast<unsigned int>(*f++ - '0');
    return static_cast<int>(value);
}

struct Directive {
    bool left = false;
    bool zero = false;
    bool plus = false;
    int width = 0;
    int precision = -1; // any negative value counts as none
};

// 'd', 'i', 'u', 'x', 'X'.
void emit_integer(Sink& out, const Directive& d, char conv, va_list& args)
{
    char sign = '\0';
    unsigned int magnitude;
    if (conv == 'd' || conv == 'i') {
        int value = va_arg(args, int);
        if (value < 0) {
            sign = '-';
            magnitude = 0u - static_cast<unsigned int>(value);
        } else {
            magnitude = static_cast<unsigned int>(value);
            if (d.plus) sign = '+';
        }
    } else {
        magnitude = va_arg(args, unsigned int);
    }

    char scratch[12];
    unsigned int digits = 0;
    unsigned int base = (conv == 'x' || conv == 'X') ? 16u : 10u;
    snbuf_render_unsigned(scratch, &digits, magnitude, base, conv == 'X');

    unsigned int zeros = 0;
    if (d.precision > 0 && static_cast<unsigned int>(d.precision) > digits)
        zeros = static_cast<unsigned int>(d.precision) - digits;
    unsigned int body = (sign ? 1u : 0u) + zeros + digits;

    unsigned int fill = 0;
    if (d.width > 0 && static_cast<unsigned int>(d.width) > body)
        fill = static_cast<unsigned int>(d.width) - body;

    if (fill != 0 && !d.left && d.zero && d.precision < 0) {
        if (sign) put(out, sign);
        put_run(out, '0', fill);
        for (unsigned int i = 0; i < digits; ++i) put(out, scratch[i]);
        return;
    }
    if (!d.left) put_run(out, ' ', fill);
    if (sign) put(out, sign);
    put_run(out, '0', zeros);
    for (unsigned int i = 0; i < digits; ++i) put(out, scratch[i]);
    if (d.left) put_run(out, ' ', fill);
}

void emit_string(Sink& out, const Directive& d, const char* s)
{
    if (!s) s = "(null)";
    unsigned int n = measure(s);
    if (static_cast<unsigned int>(d.precision) <= n) n = static_cast<unsigned int>(d.precision);
    // The fill width is the width, negated under the left flag; fill goes only on the left.
    int fill_width = d.left ? static_cast<int>(0u - static_cast<unsigned int>(d.width)) : d.width;
    if (fill_width > 0 && n < static_cast<unsigned int>(fill_width))
        put_run(out, ' ', static_cast<unsigned int>(fill_width) - n);
    for (unsigned int i = 0; i < n; ++i) put(out, s[i]);
}

void emit_pointer(Sink& out, unsigned int value)
{
    char scratch[12];
    unsigned int digits = 0;
    snbuf_render_unsigned(scratch, &digits, value, 16u, 0);
    put(out, '0');
    put(out, 'x');
    for (unsigned int i = 0; i < digits; ++i) put(out, scratch[i]);
}

// Walks the format; returns when it ends, including inside a directive that it cuts off.
void walk(Sink& out, const char* f, va_list& args)
{
    while (*f != '\0') {
        if (*f != '%') {
            put(out, *f++);
            continue;
        }
        ++f;
        Directive d;
        for (;; ++f) {
            if (*f == '-')
                d.left = true;
            else if (*f == '0')
                d.zero = true;
            else if (*f == '+')
                d.plus = true;
            else
                break;
        }
        if (*f == '*') {
            d.width = va_arg(args, int);
            ++f;
        } else {
            d.width = read_number(f);
        }
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                d.precision = va_arg(args, int);
                ++f;
            } else {
                d.precision = read_number(f); // no digits: precision 0
            }
        }
        if (*f == 'l') {
            ++f;
            if (*f == 'l') ++f;
        } else if (*f == 'z') {
            ++f;
        }
        char conv = *f;
        if (conv == '\0') return; // the directive is cut off: nothing is produced for it
        ++f;
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': emit_integer(out, d, conv, args); break;
        case 'p': emit_pointer(out, va_arg(args, unsigned int)); break;
        case 'c': put(out, static_cast<char>(va_arg(args, int))); break;
        case 's': emit_string(out, d, va_arg(args, const char*)); break;
        case '%': put(out, '%'); break;
        default:
            put(out, '%');
            put(out, conv);
            break;
        }
    }
}

} // namespace

extern "C" {

void snbuf_render_unsigned(char* scratch, unsigned int* count, unsigned int value,
                           unsigned int base, int upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned int n = 0;
    if (value == 0) {
        scratch[n++] = '0';
    } else {
        while (value != 0) {
            scratch[n++] = digits[value % base];
            value /= base;
        }
        for (unsigned int i = 0, j = n - 1; i < j; ++i, --j) {
            char t = scratch[i];
            scratch[i] = scratch[j];
            scratch[j] = t;
        }
    }
    *count = n;
}

int vsnprintf(char* buffer, size_t size, const char* format, va_list args)
{
    if (!buffer) size = 0;
    if (!format || *format == '\0') {
        if (size != 0) buffer[0] = '\0';
        return 0;
    }
    Sink out{buffer, static_cast<unsigned int>(size), 0};
    va_list cursor;
    va_copy(cursor, args);
    walk(out, format, cursor);
    va_end(cursor);
    if (size != 0) buffer[out.pos < size ? out.pos : size - 1] = '\0';
    return static_cast<int>(out.pos);
}

int snprintf(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

int vsprintf(char* buffer, const char* format, va_list args)
{
    return vsnprintf(buffer, SPRINTF_SIZE, format, args);
}

int sprintf(char* buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vsnprintf(buffer, SPRINTF_SIZE, format, args);
    va_end(args);
    return result;
}

} // extern "C"
