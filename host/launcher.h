// Starting one guest process on this host: root, descriptors, image, kernel, CPU, and the
// status it ends with.
#pragma once

#include "kernel.h"
#include "run_limits.h"

#include <cstdint>
#include <string>
#include <vector>

namespace yulos {

// The host cannot start the program (missing file, malformed image): nothing ran.
constexpr int status_not_started = 125;

struct LaunchSetup {
    std::string root;                                   // host directory of the guest root
    std::string cwd = "/";                              // guest working directory
    std::string path;                                   // guest path of the image
    std::vector<std::string> argv;                      // the guest's whole argument vector
    std::vector<std::pair<int, int>> extra_descriptors; // guest number, host descriptor
    int status_fd = -1; // a parent host waits for the status word here
    KernelOptions kernel;
    Limits limits;
};

// Runs the guest to its end and returns its status word (or a fault's or
// status_not_started); messages go to `diagnostics`.
int32_t run_guest(LaunchSetup setup, int diagnostics);

} // namespace yulos
