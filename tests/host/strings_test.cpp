// The string module: guards, comparison differences, copies, searches, the memory
// functions, duplication on the heap and strtok's saved position. Each test runs in a fresh
// guest process of the whole-runtime image.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using yulos::GuestCall;

namespace {

const std::string image = std::string(YULOS_GUEST_DIR) + "/test_runtime";

int32_t signed_word(uint32_t word) { return static_cast<int32_t>(word); }

std::vector<uint8_t> bytes_of(std::string_view text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A guest buffer holding `text` exactly (no NUL added), followed by `slack` bytes of 0xAA.
uint32_t put_filled(GuestCall& g, std::string_view text, uint32_t slack)
{
    std::vector<uint8_t> bytes = bytes_of(text);
    bytes.insert(bytes.end(), slack, 0xAA);
    return g.put_bytes(bytes);
}

} // namespace

// ---- lengths ----

TEST(Strlen, CountsBytesBeforeTheNul)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strlen", {g.put_string("hello")}), 5u);
    EXPECT_EQ(g.call_word("strlen", {g.put_string("")}), 0u);
    EXPECT_EQ(g.call_word("strlen", {g.put_string("\xff\x80 x")}), 4u);
}

TEST(Strlen, SmallPointersAreEmpty)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strlen", {0}), 0u);
    EXPECT_EQ(g.call_word("strlen", {100}), 0u);
    EXPECT_EQ(g.call_word("strlen", {4095}), 0u);
}

TEST(Strnlen, SmallerOfLengthAndMax)
{
    GuestCall g(image);
    uint32_t abc = g.put_string("abc");
    EXPECT_EQ(g.call_word("strnlen", {abc, 2}), 2u);
    EXPECT_EQ(g.call_word("strnlen", {abc, 3}), 3u);
    EXPECT_EQ(g.call_word("strnlen", {abc, 10}), 3u);
    EXPECT_EQ(g.call_word("strnlen", {abc, 0xFFFFFFFFu}), 3u);
    EXPECT_EQ(g.call_word("strnlen", {abc, 0}), 0u);
    EXPECT_EQ(g.call_word("strnlen", {0, 5}), 0u);
    EXPECT_EQ(g.call_word("strnlen", {100, 5}), 0u);
}

// ---- comparisons ----

TEST(Strcmp, GuardsInOrder)
{
    GuestCall g(image);
    uint32_t empty = g.put_string("");
    uint32_t x = g.put_string("x");
    EXPECT_EQ(signed_word(g.call_word("strcmp", {0, 0})), 0);
    EXPECT_EQ(signed_word(g.call_word("strcmp", {100, 100})), 0); // same pointer, small
    EXPECT_EQ(signed_word(g.call_word("strcmp", {x, x})), 0);
    EXPECT_EQ(signed_word(g.call_word("strcmp", {0, empty})), -1);
    EXPECT_EQ(signed_word(g.call_word("strcmp", {empty, 0})), 1);
    EXPECT_EQ(signed_word(g.call_word("strcmp", {100, 200})), -1); // small a first
    EXPECT_EQ(signed_word(g.call_word("strcmp", {4095, x})), -1);
    EXPECT_EQ(signed_word(g.call_word("strcmp", {x, 4095})), 1);
}

TEST(Strcmp, ReturnsUnsignedByteDifference)
{
    GuestCall g(image);
    auto cmp = [&](std::string_view a, std::string_view b) {
        return signed_word(g.call_word("strcmp", {g.put_string(a), g.put_string(b)}));
    };
    EXPECT_EQ(cmp("abc", "abc"), 0);
    EXPECT_EQ(cmp("", ""), 0);
    EXPECT_EQ(cmp("abc", "abd"), -1);
    EXPECT_EQ(cmp("b", "a"), 1);
    EXPECT_EQ(cmp("a", "c"), -2);
    EXPECT_EQ(cmp("ab", "abc"), -'c'); // a ends first: 0 - b[i]
    EXPECT_EQ(cmp("abc", "ab"), 'c');
    EXPECT_EQ(cmp("\xff", "a"), 255 - 97); // bytes are unsigned
    EXPECT_EQ(cmp("\x01", "\xff"), 1 - 255);
    EXPECT_EQ(cmp("A", "a"), -32); // no case folding
}

TEST(Strncmp, GuardsInOrder)
{
    GuestCall g(image);
    uint32_t x = g.put_string("x");
    EXPECT_EQ(signed_word(g.call_word("strncmp", {0, x, 0})), 0); // n 0 comes first
    EXPECT_EQ(signed_word(g.call_word("strncmp", {x, 0, 0})), 0);
    EXPECT_EQ(signed_word(g.call_word("strncmp", {100, 100, 5})), 0);
    EXPECT_EQ(signed_word(g.call_word("strncmp", {0, x, 1})), -1);
    EXPECT_EQ(signed_word(g.call_word("strncmp", {100, 0, 1})), -1);
    EXPECT_EQ(signed_word(g.call_word("strncmp", {x, 0, 1})), 1);
    EXPECT_EQ(signed_word(g.call_word("strncmp", {x, 4095, 1})), 1);
}

TEST(Strncmp, ComparesAtMostNBytes)
{
    GuestCall g(image);
    auto cmp = [&](std::string_view a, std::string_view b, uint32_t n) {
        return signed_word(g.call_word("strncmp", {g.put_string(a), g.put_string(b), n}));
    };
    EXPECT_EQ(cmp("abc", "abd", 2), 0);
    EXPECT_EQ(cmp("abc", "abd", 3), -1);
    EXPECT_EQ(cmp("abd", "abc", 100), 1);
    EXPECT_EQ(cmp("ab", "abc", 3), -'c');
    EXPECT_EQ(cmp("ab", "abc", 2), 0);
    EXPECT_EQ(cmp("\x80", "\x01", 1), 127);
    EXPECT_EQ(cmp("same", "same", 0xFFFFFFFFu), 0);
}

TEST(Strncmp, StopsAtTheNulOfA)
{
    GuestCall g(image);
    uint32_t a = g.put_bytes(bytes_of(std::string_view("ab\0x", 4)));
    uint32_t b = g.put_bytes(bytes_of(std::string_view("ab\0y", 4)));
    EXPECT_EQ(signed_word(g.call_word("strncmp", {a, b, 4})), 0);
}

TEST(Strcasecmp, FoldsAsciiLettersOnly)
{
    GuestCall g(image);
    auto cmp = [&](std::string_view a, std::string_view b) {
        return signed_word(g.call_word("strcasecmp", {g.put_string(a), g.put_string(b)}));
    };
    EXPECT_EQ(cmp("HeLLo", "hello"), 0);
    EXPECT_EQ(cmp("B", "a"), 1);
    EXPECT_EQ(cmp("[", "a"), -6); // 91 against 97: the bracket is not a letter
    EXPECT_EQ(cmp("@", "`"), 64 - 96);
    EXPECT_EQ(cmp("Z", "z"), 0);
    EXPECT_EQ(cmp("\xc0", "\xe0"), 0xC0 - 0xE0); // no folding above 127
    EXPECT_EQ(cmp("abc", "ABCD"), -'d');
    EXPECT_EQ(cmp("ABCD", "abc"), 'd');
    EXPECT_EQ(cmp("\xff", "A"), 255 - 'a');
}

TEST(Strcasecmp, NullGuards)
{
    GuestCall g(image);
    uint32_t a = g.put_string("a");
    EXPECT_EQ(signed_word(g.call_word("strcasecmp", {0, 0})), 0);
    EXPECT_EQ(signed_word(g.call_word("strcasecmp", {0, a})), -1);
    EXPECT_EQ(signed_word(g.call_word("strcasecmp", {a, 0})), 1);
    EXPECT_EQ(signed_word(g.call_word("strcasecmp", {a, a})), 0);
}

TEST(Strncasecmp, GuardsAndCount)
{
    GuestCall g(image);
    auto cmp = [&](std::string_view a, std::string_view b, uint32_t n) {
        return signed_word(g.call_word("strncasecmp", {g.put_string(a), g.put_string(b), n}));
    };
    uint32_t a = g.put_string("a");
    EXPECT_EQ(signed_word(g.call_word("strncasecmp", {0, a, 0})), 0);
    EXPECT_EQ(signed_word(g.call_word("strncasecmp", {a, a, 5})), 0);
    EXPECT_EQ(signed_word(g.call_word("strncasecmp", {0, 0, 5})), 0); // a == b
    EXPECT_EQ(signed_word(g.call_word("strncasecmp", {0, a, 1})), -1);
    EXPECT_EQ(signed_word(g.call_word("strncasecmp", {a, 0, 1})), 1);
    EXPECT_EQ(cmp("ABx", "aby", 2), 0);
    EXPECT_EQ(cmp("ABx", "aby", 3), -1);
    EXPECT_EQ(cmp("[", "a", 1), -6);
    EXPECT_EQ(cmp("Hello", "HELLO", 100), 0);
    EXPECT_EQ(cmp("ab", "ABC", 3), -'c');
}

TEST(Memcmp, DifferenceWithoutStoppingAtNul)
{
    GuestCall g(image);
    auto put = [&](std::string_view s) { return g.put_bytes(bytes_of(s)); };
    EXPECT_EQ(signed_word(g.call_word("memcmp", {0, 0, 0})), 0); // n 0, nothing read
    EXPECT_EQ(signed_word(g.call_word("memcmp", {100, 200, 0})), 0);
    EXPECT_EQ(signed_word(g.call_word("memcmp", {put("abc"), put("abd"), 3})), -1);
    EXPECT_EQ(signed_word(g.call_word("memcmp", {put("abc"), put("abd"), 2})), 0);
    EXPECT_EQ(signed_word(g.call_word("memcmp", {put("\xff"), put(std::string_view("\0", 1)), 1})),
              255);
    EXPECT_EQ(signed_word(g.call_word("memcmp", {put(std::string_view("a\0b", 3)),
                                                 put(std::string_view("a\0c", 3)), 3})),
              -1);
}

// ---- copies ----

TEST(Strcpy, CopiesWithTerminatorAndReturnsDestination)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, "", 8);
    EXPECT_EQ(g.call_word("strcpy", {d, g.put_string("abc")}), d);
    EXPECT_EQ(g.read(d, 5), bytes_of(std::string_view("abc\0\xaa", 5)));
}

TEST(Strcpy, NullArguments)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strcpy", {0, g.put_string("abc")}), 0u);
    uint32_t d = put_filled(g, "xyz", 1);
    EXPECT_EQ(g.call_word("strcpy", {d, 0}), d);
    EXPECT_EQ(g.read(d, 4), bytes_of(std::string_view("\0yz\xaa", 4)));
}

TEST(Strncpy, PadsWithNul)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, "", 8);
    EXPECT_EQ(g.call_word("strncpy", {d, g.put_string("ab"), 5}), d);
    EXPECT_EQ(g.read(d, 6), bytes_of(std::string_view("ab\0\0\0\xaa", 6)));
}

TEST(Strncpy, NoTerminatorWhenSourceIsLong)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, "", 8);
    EXPECT_EQ(g.call_word("strncpy", {d, g.put_string("abcdef"), 3}), d);
    EXPECT_EQ(g.read(d, 4), bytes_of("abc\xaa"));
}

TEST(Strncpy, Guards)
{
    GuestCall g(image);
    uint32_t s = g.put_string("abc");
    EXPECT_EQ(g.call_word("strncpy", {0, s, 3}), 0u);
    uint32_t d = put_filled(g, "", 8);
    EXPECT_EQ(g.call_word("strncpy", {d, s, 0}), d);
    EXPECT_EQ(g.read(d, 8), std::vector<uint8_t>(8, 0xAA));
    EXPECT_EQ(g.call_word("strncpy", {d, 0, 4}), d); // null source: n NUL bytes
    EXPECT_EQ(g.read(d, 5), bytes_of(std::string_view("\0\0\0\0\xaa", 5)));
}

TEST(Strcat, Appends)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, std::string_view("ab\0", 3), 8);
    EXPECT_EQ(g.call_word("strcat", {d, g.put_string("cd")}), d);
    EXPECT_EQ(g.read(d, 6), bytes_of(std::string_view("abcd\0\xaa", 6)));
}

TEST(Strcat, NullArguments)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strcat", {0, g.put_string("cd")}), 0u);
    uint32_t d = put_filled(g, std::string_view("ab\0", 3), 4);
    EXPECT_EQ(g.call_word("strcat", {d, 0}), d);
    EXPECT_EQ(g.read(d, 5), bytes_of(std::string_view("ab\0\xaa\xaa", 5)));
}

TEST(Strncat, AppendsAtMostNBytesAndOneNul)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, std::string_view("ab\0", 3), 8);
    EXPECT_EQ(g.call_word("strncat", {d, g.put_string("cdef"), 2}), d);
    EXPECT_EQ(g.read(d, 6), bytes_of(std::string_view("abcd\0\xaa", 6)));

    uint32_t e = put_filled(g, std::string_view("ab\0", 3), 8);
    EXPECT_EQ(g.call_word("strncat", {e, g.put_string("c"), 10}), e);
    EXPECT_EQ(g.read(e, 5), bytes_of(std::string_view("abc\0\xaa", 5)));
}

TEST(Strncat, NullSourceOrZeroCountWritesNothing)
{
    GuestCall g(image);
    // No terminator in the first 3 bytes past "ab": a write of any NUL would show.
    uint32_t d = put_filled(g, std::string_view("ab\0", 3), 4);
    std::vector<uint8_t> before = g.read(d, 7);
    EXPECT_EQ(g.call_word("strncat", {d, 0, 5}), d);
    EXPECT_EQ(g.read(d, 7), before);
    EXPECT_EQ(g.call_word("strncat", {d, g.put_string("xyz"), 0}), d);
    EXPECT_EQ(g.read(d, 7), before);
    EXPECT_EQ(g.call_word("strncat", {0, g.put_string("xyz"), 3}), 0u);
}

// ---- searches ----

TEST(Strchr, FindsLowByteOfCh)
{
    GuestCall g(image);
    uint32_t s = g.put_string("abc\xe9");
    EXPECT_EQ(g.call_word("strchr", {s, 'a'}), s);
    EXPECT_EQ(g.call_word("strchr", {s, 'c'}), s + 2);
    EXPECT_EQ(g.call_word("strchr", {s, 'a' + 256}), s);
    EXPECT_EQ(g.call_word("strchr", {s, 0}), s + 4); // the terminator
    EXPECT_EQ(g.call_word("strchr", {s, 0x100}), s + 4);
    EXPECT_EQ(g.call_word("strchr", {s, 0xE9}), s + 3);
    EXPECT_EQ(g.call_word("strchr", {s, static_cast<uint32_t>(-23)}), s + 3); // (char)0xE9
    EXPECT_EQ(g.call_word("strchr", {s, 'z'}), 0u);
    EXPECT_EQ(g.call_word("strchr", {0, 'a'}), 0u);
}

TEST(Strrchr, FindsLastPosition)
{
    GuestCall g(image);
    uint32_t s = g.put_string("abca");
    EXPECT_EQ(g.call_word("strrchr", {s, 'a'}), s + 3);
    EXPECT_EQ(g.call_word("strrchr", {s, 'b' + 512}), s + 1);
    EXPECT_EQ(g.call_word("strrchr", {s, 0}), s + 4);
    EXPECT_EQ(g.call_word("strrchr", {s, 'z'}), 0u);
    EXPECT_EQ(g.call_word("strrchr", {0, 'a'}), 0u);
}

TEST(Strstr, FindsFirstOccurrence)
{
    GuestCall g(image);
    uint32_t h = g.put_string("hello world");
    EXPECT_EQ(g.call_word("strstr", {h, g.put_string("o w")}), h + 4);
    EXPECT_EQ(g.call_word("strstr", {h, g.put_string("o")}), h + 4);
    EXPECT_EQ(g.call_word("strstr", {h, g.put_string("world")}), h + 6);
    EXPECT_EQ(g.call_word("strstr", {h, g.put_string("worlds")}), 0u);
    EXPECT_EQ(g.call_word("strstr", {h, g.put_string("")}), h);
    uint32_t a = g.put_string("aaab");
    EXPECT_EQ(g.call_word("strstr", {a, g.put_string("aab")}), a + 1);
    uint32_t empty = g.put_string("");
    EXPECT_EQ(g.call_word("strstr", {empty, g.put_string("")}), empty);
    EXPECT_EQ(g.call_word("strstr", {empty, g.put_string("a")}), 0u);
}

TEST(Strstr, NullArguments)
{
    GuestCall g(image);
    uint32_t h = g.put_string("abc");
    EXPECT_EQ(g.call_word("strstr", {0, h}), 0u);
    EXPECT_EQ(g.call_word("strstr", {h, 0}), 0u);
    EXPECT_EQ(g.call_word("strstr", {0, 0}), 0u);
}

// ---- memory ----

TEST(Memcpy, CopiesAndReturnsDestination)
{
    GuestCall g(image);
    uint32_t s = g.put_bytes(bytes_of(std::string_view("a\0b\xff", 4)));
    uint32_t d = put_filled(g, "", 6);
    EXPECT_EQ(g.call_word("memcpy", {d, s, 4}), d);
    EXPECT_EQ(g.read(d, 5), bytes_of(std::string_view("a\0b\xff\xaa", 5)));
    EXPECT_EQ(g.call_word("memcpy", {d, s, 0}), d);
    EXPECT_EQ(g.call_word("memcpy", {0, 0, 0}), 0u); // no guard, nothing touched
}

TEST(Memcpy, CopiesUpwardByteByByte)
{
    GuestCall g(image);
    // An overlapping copy one byte upward repeats the first byte: the defined order shows.
    uint32_t p = g.put_string("abcdefghijklmnopqrstuvwxyz0123456789");
    EXPECT_EQ(g.call_word("memcpy", {p + 1, p, 35}), p + 1);
    EXPECT_EQ(g.read_string(p), std::string(36, 'a'));
}

TEST(Memmove, OverlapUpwardAsThroughTemporary)
{
    GuestCall g(image);
    uint32_t p = g.put_string("0123456789ABCDEF");
    EXPECT_EQ(g.call_word("memmove", {p + 3, p, 10}), p + 3);
    EXPECT_EQ(g.read_string(p), "0120123456789DEF");
}

TEST(Memmove, OverlapDownwardAsThroughTemporary)
{
    GuestCall g(image);
    uint32_t p = g.put_string("0123456789ABCDEF");
    EXPECT_EQ(g.call_word("memmove", {p, p + 3, 10}), p);
    EXPECT_EQ(g.read_string(p), "3456789ABCABCDEF");
}

TEST(Memmove, NothingForSamePointerOrZeroCount)
{
    GuestCall g(image);
    uint32_t p = g.put_string("abc");
    EXPECT_EQ(g.call_word("memmove", {p, p, 3}), p);
    EXPECT_EQ(g.call_word("memmove", {p + 1, p, 0}), p + 1);
    EXPECT_EQ(g.call_word("memmove", {0, 4, 0}), 0u);
    EXPECT_EQ(g.read_string(p), "abc");
    uint32_t d = put_filled(g, "", 4);
    EXPECT_EQ(g.call_word("memmove", {d, p, 3}), d); // disjoint
    EXPECT_EQ(g.read(d, 4), bytes_of("abc\xaa"));
}

TEST(Memset, FillsWithLowByte)
{
    GuestCall g(image);
    uint32_t d = put_filled(g, "", 8);
    EXPECT_EQ(g.call_word("memset", {d, 0x141, 5}), d);
    EXPECT_EQ(g.read(d, 6), bytes_of("AAAAA\xaa"));
    EXPECT_EQ(g.call_word("memset", {d, 0, 0}), d);
    EXPECT_EQ(g.read(d, 1), bytes_of("A"));
    EXPECT_EQ(g.call_word("memset", {d, static_cast<uint32_t>(-1), 2}), d);
    EXPECT_EQ(g.read(d, 3), bytes_of("\xff\xff"
                                     "A"));
}

// ---- duplication ----

TEST(Strdup, CopiesIntoExactAllocation)
{
    GuestCall g(image);
    uint32_t used = g.symbol("g_heap_used");
    uint32_t copy = g.call_word("strdup", {g.put_string("hello")});
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(copy, g.symbol("g_heap") + 4);
    EXPECT_EQ(g.read_string(copy), "hello");
    EXPECT_EQ(g.read_u32(copy - 4), 6u); // length + 1
    EXPECT_EQ(g.read_u32(used), 16u);

    uint32_t empty = g.call_word("strdup", {g.put_string("")});
    EXPECT_EQ(empty, copy + 16);
    EXPECT_EQ(g.read_u32(empty - 4), 1u);
    EXPECT_EQ(g.read(empty, 1), std::vector<uint8_t>{0});
}

TEST(Strdup, NullAndSmallPointers)
{
    GuestCall g(image);
    uint32_t used = g.symbol("g_heap_used");
    EXPECT_EQ(g.call_word("strdup", {0}), 0u);
    EXPECT_EQ(g.read_u32(used), 0u);
    uint32_t copy = g.call_word("strdup", {100});
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(g.read_u32(copy - 4), 1u);
    EXPECT_EQ(g.read_string(copy), "");
}

TEST(Strdup, FailsWhenHeapIsFull)
{
    GuestCall g(image);
    ASSERT_NE(g.call_word("malloc", {1048572}), 0u);
    EXPECT_EQ(g.call_word("strdup", {g.put_string("a")}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 12u);
    EXPECT_EQ(g.call_word("strndup", {g.put_string("a"), 1}), 0u);
}

TEST(Strndup, CopiesAtMostNBytes)
{
    GuestCall g(image);
    uint32_t hello = g.put_string("hello");
    uint32_t copy = g.call_word("strndup", {hello, 3});
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(g.read_string(copy), "hel");
    EXPECT_EQ(g.read_u32(copy - 4), 4u);

    uint32_t whole = g.call_word("strndup", {hello, 100});
    EXPECT_EQ(g.read_string(whole), "hello");
    EXPECT_EQ(g.read_u32(whole - 4), 6u);

    uint32_t none = g.call_word("strndup", {hello, 0});
    ASSERT_NE(none, 0u);
    EXPECT_EQ(g.read_string(none), "");
    EXPECT_EQ(g.read_u32(none - 4), 1u);
}

TEST(Strndup, NullAndSmallPointers)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strndup", {0, 5}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 0u);
    uint32_t copy = g.call_word("strndup", {4095, 5});
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(g.read_string(copy), "");
    EXPECT_EQ(g.read_u32(copy - 4), 1u);
}

// ---- strtok ----

TEST(Strtok, SequenceSkipsRunsOfDelimiters)
{
    GuestCall g(image);
    uint32_t next = g.symbol("s_next");
    EXPECT_EQ(g.read_u32(next), 0u); // null at process start
    uint32_t text = g.put_string("  a,,b ");
    uint32_t delims = g.put_string(" ,");

    uint32_t a = g.call_word("strtok", {text, delims});
    EXPECT_EQ(a, text + 2);
    EXPECT_EQ(g.read_string(a), "a");
    EXPECT_EQ(g.read_u32(next), text + 4);
    // Only the first delimiter after the token was overwritten.
    EXPECT_EQ(g.read(text, 8), bytes_of(std::string_view("  a\0,b \0", 8)));

    uint32_t b = g.call_word("strtok", {0, delims});
    EXPECT_EQ(b, text + 5);
    EXPECT_EQ(g.read_string(b), "b");
    EXPECT_EQ(g.read_u32(next), text + 7);

    EXPECT_EQ(g.call_word("strtok", {0, delims}), 0u);
    EXPECT_EQ(g.read_u32(next), 0u);
    EXPECT_EQ(g.call_word("strtok", {0, delims}), 0u);
    EXPECT_EQ(g.read_u32(next), 0u);
}

TEST(Strtok, NullStringAtStartGivesNull)
{
    GuestCall g(image);
    EXPECT_EQ(g.call_word("strtok", {0, g.put_string(" ")}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("s_next")), 0u);
}

TEST(Strtok, EmptyDelimitersMakeOneToken)
{
    GuestCall g(image);
    uint32_t text = g.put_string("abc");
    uint32_t empty = g.put_string("");
    EXPECT_EQ(g.call_word("strtok", {text, empty}), text);
    EXPECT_EQ(g.read_string(text), "abc");
    EXPECT_EQ(g.read_u32(g.symbol("s_next")), 0u);
    EXPECT_EQ(g.call_word("strtok", {0, empty}), 0u);
}

TEST(Strtok, NullDelimitersMakeOneToken)
{
    GuestCall g(image);
    uint32_t text = g.put_string(" a b ");
    EXPECT_EQ(g.call_word("strtok", {text, 0}), text);
    EXPECT_EQ(g.read_string(text), " a b ");
    EXPECT_EQ(g.call_word("strtok", {0, 0}), 0u);
}

TEST(Strtok, EmptyOrAllDelimiterStrings)
{
    GuestCall g(image);
    uint32_t next = g.symbol("s_next");
    uint32_t delims = g.put_string(",");
    EXPECT_EQ(g.call_word("strtok", {g.put_string(""), delims}), 0u);
    EXPECT_EQ(g.read_u32(next), 0u);
    EXPECT_EQ(g.call_word("strtok", {g.put_string(",,,"), delims}), 0u);
    EXPECT_EQ(g.read_u32(next), 0u);
}

TEST(Strtok, LastTokenWithoutDelimiterClearsPosition)
{
    GuestCall g(image);
    uint32_t next = g.symbol("s_next");
    uint32_t text = g.put_string("x;yz");
    uint32_t delims = g.put_string(";");
    EXPECT_EQ(g.call_word("strtok", {text, delims}), text);
    EXPECT_EQ(g.read_u32(next), text + 2);
    EXPECT_EQ(g.call_word("strtok", {0, delims}), text + 2);
    EXPECT_EQ(g.read_string(text + 2), "yz");
    EXPECT_EQ(g.read_u32(next), 0u);
    EXPECT_EQ(g.call_word("strtok", {0, delims}), 0u);
}

TEST(Strtok, NewStringRestartsAndDelimitersMayChange)
{
    GuestCall g(image);
    uint32_t first = g.put_string("a b c");
    EXPECT_EQ(g.call_word("strtok", {first, g.put_string(" ")}), first);
    uint32_t second = g.put_string("k=v;w");
    EXPECT_EQ(g.call_word("strtok", {second, g.put_string("=")}), second);
    uint32_t v = g.call_word("strtok", {0, g.put_string(";")});
    EXPECT_EQ(v, second + 2);
    EXPECT_EQ(g.read_string(v), "v");
    // The first string was left alone after its first token.
    EXPECT_EQ(g.read(first, 6), bytes_of(std::string_view("a\0b c\0", 6)));
}
