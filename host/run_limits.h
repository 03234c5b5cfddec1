// What one run may take of the machine.
#pragma once

#include <cstdint>

namespace yulos {

struct Limits {
    uint32_t processes = 64;   // host processes of the run at once, the first included
    uint32_t ptys = 32;        // pseudo-terminal pairs held across the run
    uint32_t memory_mib = 256; // a guest's address space: its segments and its stack
};

} // namespace yulos
