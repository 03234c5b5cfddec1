// The real kernel: the services a yulos process relies on, served from Linux. One table lists
// them (number, name, handler, argument kinds); each handler is one small function.
#pragma once

#include "children.h"
#include "descriptors.h"
#include "guest_fs.h"
#include "machine.h"

#include <cstdint>
#include <map>
#include <string>

namespace yulos {

struct KernelOptions {
    std::string host_binary;          // started afresh for every child
    int trace_fd = -1;                // one line per call when set
    std::map<uint32_t, int32_t> fail; // call number -> result returned without serving
};

class Kernel final : public KernelCalls {
  public:
    Kernel(GuestRoot root, Descriptors descriptors, KernelOptions options);

    void serve(Machine& machine) override;

    GuestRoot& root() { return root_; }
    Descriptors& descriptors() { return descriptors_; }
    Children& children() { return children_; }
    const KernelOptions& options() const { return options_; }

    // State the services keep between calls.
    int spawn_stdio[3] = {0, 1, 2}; // guest descriptors that spawn (131) hands its child
    bool inherit = false;           // descriptors above 2 pass to later children
    std::map<int32_t, PendingFile> streams;
    int32_t next_stream = 1;

  private:
    void trace(Machine& machine, uint32_t number, const uint32_t args[3], int32_t result,
               bool injected);

    GuestRoot root_;
    Descriptors descriptors_;
    Children children_;
    KernelOptions options_;
};

// Name of a kernel call, or null for a number the kernel does not serve.
const char* kernel_call_name(uint32_t number);

} // namespace yulos
