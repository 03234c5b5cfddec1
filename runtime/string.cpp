// Byte-string and memory functions. Bytes compare as unsigned values, comparisons return the
// difference of the first differing bytes, and several functions treat a pointer below 4096 (a
// small pointer) as an empty or absent string that is never read through. strtok keeps its
// position in the process-wide s_next.
#include <stdlib.h>
#include <string.h>

namespace {

constexpr unsigned int small_pointer_limit = 4096u;

bool is_small(const void* p) { return reinterpret_cast<unsigned int>(p) < small_pointer_limit; }

using byte = unsigned char;

const byte* bytes(const void* p) { return static_cast<const byte*>(p); }

// ASCII-only case folding: 'A'..'Z' become 'a'..'z'; every other byte stays as it is.
int fold(byte c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Whether the byte occurs in the (non-null) delimiter string.
bool is_delimiter(char c, const char* delims)
{
    for (const char* d = delims; *d != '\0'; ++d) {
        if (*d == c) return true;
    }
    return false;
}

} // namespace

extern "C" {

// strtok's saved position: where the next call with a null string goes on; null at start.
char* s_next = nullptr;

size_t strlen(const char* s)
{
    if (is_small(s)) return 0;
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

size_t strnlen(const char* s, size_t max)
{
    if (is_small(s)) return 0;
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    return n;
}

int strcmp(const char* a, const char* b)
{
    if (a == b) return 0;
    if (is_small(a)) return -1;
    if (is_small(b)) return 1;
    const byte* pa = bytes(a);
    const byte* pb = bytes(b);
    while (*pa != 0 && *pa == *pb) {
        ++pa;
        ++pb;
    }
    return static_cast<int>(*pa) - static_cast<int>(*pb);
}

int strncmp(const char* a, const char* b, size_t n)
{
    if (n == 0) return 0;
    if (a == b) return 0;
    if (is_small(a)) return -1;
    if (is_small(b)) return 1;
    const byte* pa = bytes(a);
    const byte* pb = bytes(b);
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i]) return static_cast<int>(pa[i]) - static_cast<int>(pb[i]);
        if (pa[i] == 0) return 0;
    }
    return 0;
}

int strcasecmp(const char* a, const char* b)
{
    if (!a && !b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    const byte* pa = bytes(a);
    const byte* pb = bytes(b);
    for (;; ++pa, ++pb) {
        int fa = fold(*pa);
        int fb = fold(*pb);
        if (fa != fb) return fa - fb;
        if (fa == 0) return 0;
    }
}

int strncasecmp(const char* a, const char* b, size_t n)
{
    if (n == 0) return 0;
    if (a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    const byte* pa = bytes(a);
    const byte* pb = bytes(b);
    for (size_t i = 0; i < n; ++i) {
        int fa = fold(pa[i]);
        int fb = fold(pb[i]);
        if (fa != fb) return fa - fb;
        if (fa == 0) return 0;
    }
    return 0;
}

int memcmp(const void* a, const void* b, size_t n)
{
    if (n == 0) return 0;
    const byte* pa = bytes(a);
    const byte* pb = bytes(b);
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i]) return static_cast<int>(pa[i]) - static_cast<int>(pb[i]);
    }
    return 0;
}

char* strcpy(char* d, const char* s)
{
    if (!d) return nullptr;
    if (!s) {
        d[0] = '\0';
        return d;
    }
    size_t i = 0;
    while ((d[i] = s[i]) != '\0') ++i;
    return d;
}

char* strncpy(char* d, const char* s, size_t n)
{
    if (!d || n == 0) return d;
    size_t i = 0;
    if (s) {
        for (; i < n && s[i] != '\0'; ++i) d[i] = s[i];
    }
    for (; i < n; ++i) d[i] = '\0';
    return d;
}

char* strcat(char* d, const char* s)
{
    if (!d) return nullptr;
    if (!s) return d;
    size_t end = 0;
    while (d[end] != '\0') ++end;
    size_t i = 0;
    while ((d[end + i] = s[i]) != '\0') ++i;
    return d;
}

char* strncat(char* d, const char* s, size_t n)
{
    if (!d) return nullptr;
    if (!s || n == 0) return d;
    size_t end = 0;
    while (d[end] != '\0') ++end;
    size_t i = 0;
    for (; i < n && s[i] != '\0'; ++i) d[end + i] = s[i];
    d[end + i] = '\0';
    return d;
}

char* strchr(const char* s, int ch)
{
    if (!s) return nullptr;
    const char c = static_cast<char>(ch & 0xFF);
    for (;; ++s) {
        if (*s == c) return const_cast<char*>(s);
        if (*s == '\0') return nullptr;
    }
}

char* strrchr(const char* s, int ch)
{
    if (!s) return nullptr;
    const char c = static_cast<char>(ch & 0xFF);
    const char* last = nullptr;
    for (;; ++s) {
        if (*s == c) last = s;
        if (*s == '\0') return const_cast<char*>(last);
    }
}

char* strstr(const char* h, const char* k)
{
    if (!h || !k) return nullptr;
    if (*k == '\0') return const_cast<char*>(h);
    for (; *h != '\0'; ++h) {
        size_t i = 0;
        while (k[i] != '\0' && h[i] == k[i]) ++i;
        if (k[i] == '\0') return const_cast<char*>(h);
    }
    return nullptr;
}

// The three memory functions below must not be turned into calls of themselves; the build's
// -fno-builtin keeps the optimiser from recognising these loops as memcpy or memset.
void* memcpy(void* d, const void* s, size_t n)
{
    byte* to = static_cast<byte*>(d);
    const byte* from = bytes(s);
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
    return d;
}

void* memmove(void* d, const void* s, size_t n)
{
    if (d == s || n == 0) return d;
    byte* to = static_cast<byte*>(d);
    const byte* from = bytes(s);
    if (reinterpret_cast<unsigned int>(d) < reinterpret_cast<unsigned int>(s)) {
        for (size_t i = 0; i < n; ++i) to[i] = from[i];
    } else {
        for (size_t i = n; i > 0; --i) to[i - 1] = from[i - 1];
    }
    return d;
}

void* memset(void* d, int ch, size_t n)
{
    byte* to = static_cast<byte*>(d);
    const byte value = static_cast<byte>(ch & 0xFF);
    for (size_t i = 0; i < n; ++i) to[i] = value;
    return d;
}

char* strdup(const char* s)
{
    if (!s) return nullptr;
    size_t len = strlen(s);
    char* copy = static_cast<char*>(malloc(len + 1));
    if (!copy) return nullptr;
    if (len > 0) memcpy(copy, s, len);
    copy[len] = '\0';
    return copy;
}

char* strndup(const char* s, size_t n)
{
    if (!s) return nullptr;
    size_t count = 0;
    if (!is_small(s)) {
        while (count < n && s[count] != '\0') ++count;
    }
    char* copy = static_cast<char*>(malloc(count + 1));
    if (!copy) return nullptr;
    if (count > 0) memcpy(copy, s, count);
    copy[count] = '\0';
    return copy;
}

char* strtok(char* s, const char* delims)
{
    if (s) {
        s_next = s;
    } else if (!s_next) {
        return nullptr;
    }
    char* p = s_next;
    if (*p == '\0') {
        s_next = nullptr;
        return nullptr;
    }
    const bool have_delims = delims && *delims != '\0';
    if (have_delims) {
        while (*p != '\0' && is_delimiter(*p, delims)) ++p;
        if (*p == '\0') {
            s_next = nullptr;
            return nullptr;
        }
    }
    char* token = p;
    if (!have_delims) {
        s_next = nullptr;
        return token;
    }
    for (; *p != '\0'; ++p) {
        if (is_delimiter(*p, delims)) {
            *p = '\0';
            s_next = p + 1;
            return token;
        }
    }
    s_next = nullptr;
    return token;
}

} // extern "C"
