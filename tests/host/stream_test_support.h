// What the stream tests share: the standard stream pointer variables and memory streams with
// the caller's two variables, in a guest process of the runtime image.
#pragma once

#include "guest_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace stream_test {

// The current value of one of the pointer variables stdin, stdout, stderr.
inline uint32_t current(const yulos::GuestCall& g, const char* name)
{
    return g.read_u32(g.symbol(name));
}

// A memory stream with the caller's two variables.
struct MemStream {
    uint32_t stream, bufp, sizep;
};

inline MemStream open_mem(yulos::GuestCall& g)
{
    MemStream m{};
    m.bufp = g.alloc(4);
    m.sizep = g.alloc(4);
    m.stream = g.call_word("open_memstream", {m.bufp, m.sizep});
    EXPECT_NE(m.stream, 0u);
    return m;
}

// The text the caller's variables describe.
inline std::string mem_text(yulos::GuestCall& g, const MemStream& m)
{
    uint32_t buf = g.read_u32(m.bufp);
    if (buf == 0) return {};
    auto bytes = g.read(buf, g.read_u32(m.sizep));
    return std::string(bytes.begin(), bytes.end());
}

} // namespace stream_test
