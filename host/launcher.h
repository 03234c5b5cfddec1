// Starting one guest process on this host: root, descriptors, image, kernel, CPU, and the
// status it ends with.
#pragma once

#include "kernel.h"
#include "run_limits.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace yulos {

// The host cannot start the program (missing file, malformed image): nothing ran.
constexpr int status_not_started = 125;

struct LaunchSetup {
    std::string root;                              // host directory of the guest root
    std::string cwd = "/";                         // guest working directory
    std::string path;                              // guest path of the image
    std::vector<std::string> argv;                 // the guest's whole argument vector
    std::vector<HandedDescriptor> descriptors;     // handed down by a parent, above 2
    std::optional<uint32_t> standard_pty_pairs[3]; // the pairs that 0, 1 and 2 are sides of
    int status_fd = -1;                            // a parent host waits for the status word here
    int start_fd = -1;                             // and hears here whether the guest starts
    int run_fd = -1; // the run's table, joined in `slot`; a new run when -1
    uint32_t slot = 0;
    Limits limits;
    KernelOptions kernel;
    std::optional<uint16_t> gdb_port; // run under a debugger that connects on this port
};

// Runs the guest to its end and returns its status word (or a fault's or
// status_not_started); messages go to `diagnostics`.
int32_t run_guest(LaunchSetup setup, int diagnostics);

} // namespace yulos
