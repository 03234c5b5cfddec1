// The real kernel: the services a yulos process relies on, served from Linux. One table lists
// them (number, name, handler, argument kinds); each handler is one small function.
#pragma once

#include "children.h"
#include "descriptors.h"
#include "guest_fs.h"
#include "machine.h"
#include "run_limits.h"
#include "trace.h"

#include <cstdint>
#include <map>
#include <string>

namespace yulos {

struct KernelOptions {
    std::string host_binary;                   // started afresh for every child
    int trace_fd = -1;                         // one line per call when set
    std::map<uint32_t, int32_t> fail;          // call number -> result returned without serving
    uint32_t memory_mib = Limits{}.memory_mib; // the limit of every child's address space
};

// What the services of one process keep between calls.
struct ProcessState {
    ProcessState(GuestRoot root_, Descriptors descriptors_, KernelOptions options_, RunTable run_)
        : root(std::move(root_)), descriptors(std::move(descriptors_)),
          options(std::move(options_)), run(std::move(run_))
    {
    }

    GuestRoot root;
    Descriptors descriptors;
    Children children;
    KernelOptions options;
    RunTable run;                   // the processes and pseudo-terminal pairs of the whole run
    int spawn_stdio[3] = {0, 1, 2}; // guest descriptors that spawn (131) hands its child
    bool inherit = false;           // descriptors above 2 pass to later children
    std::map<int32_t, PendingFile> streams;
    int32_t next_stream = 1;
};

class Kernel final : public KernelCalls {
  public:
    Kernel(GuestRoot root, Descriptors descriptors, KernelOptions options, RunTable run);

    void serve(Machine& machine) override;

    // The process's descriptor table, for setting up a guest before it runs.
    Descriptors& descriptors() { return state_.descriptors; }

  private:
    ProcessState state_;
    Trace trace_;
    uint32_t pty_pairs_published_ = 0; // what the run's table has of this process's pairs
};

} // namespace yulos
