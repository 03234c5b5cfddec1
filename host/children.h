// Guest processes started by this one: each is a host process of its own, running the host
// binary afresh on the new image, so it gets a fresh engine and address space.
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace yulos {

// What a child host needs to know besides its descriptors.
struct ChildLaunch {
    std::string host_binary;
    std::string root; // host directory of the guest root
    std::string cwd;  // guest working directory
    std::string path; // guest path of the image
    std::vector<std::string> argv;
    int standard[3] = {0, 1, 2};                // host descriptors for the child's 0, 1, 2
    std::vector<std::pair<int, int>> inherited; // guest number, host descriptor
    bool new_session = false; // a new session, its standard input as controlling terminal
    int trace_fd = -1;
};

// A child seen by wait: its id and full status word, or id 0 when it still runs.
struct ChildEnd {
    int32_t pid = 0;
    int32_t status = 0;
};

class Children {
  public:
    // Starts a child; its id (the host process id).
    Result<int32_t> spawn(const ChildLaunch& launch);
    // Waits for child `pid` (or any child for -1), or only looks when `nohang` is set.
    Result<ChildEnd> wait(int32_t pid, bool nohang);
    // Lets the child started last run first, for up to one time slice; called once the spawn
    // call is done, so that the parent's trace line of the spawn comes before the child's.
    void give_head_start();

  private:
    static constexpr int head_start_ms = 10; // one time slice

    int32_t newest_ = 0;                       // started and not yet given its head start
    std::map<int32_t, UniqueFd> status_pipes_; // the child writes its status word here
};

// The status word a child host hands to its parent before it ends.
void report_status(int status_fd, int32_t status);

} // namespace yulos
