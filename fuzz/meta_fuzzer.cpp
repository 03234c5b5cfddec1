// libFuzzer target: the metadata reader (`meta`), whatever the bytes of the file.
#include "meta.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto text = yulos::describe_metadata(std::span(data, size), "input");
    // Every record's texts are escaped: what is printed is printable ASCII lines.
    if (text)
        for (char c : *text)
            if (c != '\n' && (c < 0x20 || c > 0x7e)) std::abort();
    return 0;
}
