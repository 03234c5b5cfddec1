// Guest processes started by this one: each is a host process of its own, running the host
// binary afresh on the new image, so it gets a fresh engine and address space.
#pragma once

#include "descriptors.h"
#include "result.h"
#include "run_limits.h"
#include "unique_fd.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace yulos {

// What a child host needs to know.
struct ChildLaunch {
    std::string host_binary;
    std::string root; // host directory of the guest root
    std::string cwd;  // guest working directory
    std::string path; // guest path of the image
    std::vector<std::string> argv;
    HandedDescriptor standard[3];            // the child's 0, 1 and 2
    std::vector<HandedDescriptor> inherited; // descriptors above 2, at the same numbers
    bool new_session = false; // a new session, its standard input as controlling terminal
    int trace_fd = -1;
    uint32_t memory_mib = 0; // the child's limit, and its children's
};

// A child seen by wait: its id and full status word, or id 0 when it still runs.
struct ChildEnd {
    int32_t pid = 0;
    int32_t status = 0;
};

class Children {
  public:
    // Starts a child in a slot of the run's table and returns its id (the host process id)
    // once the child host has set up its guest and is about to run it; a child that cannot
    // start its image is waited for and its error returned, so no id is ever returned for a
    // child that never ran. EAGAIN when the run has all the processes it may have.
    Result<int32_t> spawn(const ChildLaunch& launch, RunTable& run);
    // Waits for child `pid` (or any child for -1), or only looks when `nohang` is set.
    Result<ChildEnd> wait(int32_t pid, bool nohang, RunTable& run);
    // Lets the child started last run first, for up to one time slice; called once the spawn
    // call is done, so that the parent's trace line of the spawn comes before the child's.
    void give_head_start();

  private:
    static constexpr int head_start_ms = 10; // one time slice

    int32_t newest_ = 0;                       // started and not yet given its head start
    std::map<int32_t, UniqueFd> status_pipes_; // the child writes its status word here
};

// Descriptor numbers in a fresh child host: 0-2 standard, then the status and start pipes,
// the run's table, the argument vector, the trace and the inherited guest descriptors.
constexpr int child_status_fd = 3, child_start_fd = 4, child_run_fd = 5, child_argv_fd = 6,
              child_trace_fd = 7, child_first_inherited = 8;

// What a child host tells its parent: 0 when its guest is about to run, or the negative error
// that keeps it from starting.
void report_start(int start_fd, int32_t result);
// The status word a child host hands to its parent before it ends.
void report_status(int status_fd, int32_t status);

// The argument vector, for a child to read: each text with its NUL.
Result<UniqueFd> write_argument_file(const std::vector<std::string>& argv);
Result<std::vector<std::string>> read_argument_file(int fd);

} // namespace yulos
