// What one run may take of the machine, counted across every host process of the run.
//
// A run is the first host process and every child host started under it. They share one small
// table in memory (an anonymous file each inherits): one slot per process, holding its process
// id and the number of pseudo-terminal pairs it holds. A spawn takes a free slot for the child
// first and fails when there is none; the slot is freed when the parent has waited for the
// child, so that ended children not yet waited for count too, as they hold a host process. A
// slot whose process is gone otherwise (its parent ended first) is freed by the next spawn or
// PTY-pair call that finds the table full.
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <sys/types.h>

namespace yulos {

struct Limits {
    uint32_t processes = 64;   // host processes of the run at once, the first included
    uint32_t ptys = 32;        // pseudo-terminal pairs held across the run
    uint32_t memory_mib = 256; // a guest's address space: its segments and its stack
};

// The largest values the options take, so that the shared table stays small.
constexpr uint32_t max_limit_processes = 4096, max_limit_ptys = 4096, max_limit_memory_mib = 4096;

struct RunSlots;

class RunTable {
  public:
    // The first process of a run makes the table and takes the first slot.
    static Result<RunTable> create(const Limits& limits);
    // A child host joins its parent's run through the descriptor it inherited, in the slot its
    // parent took for it.
    static Result<RunTable> join(int fd, uint32_t slot);
    RunTable(RunTable&& other) noexcept;
    RunTable& operator=(RunTable&&) = delete;
    ~RunTable();

    int fd() const { return fd_.get(); }
    uint32_t slot() const { return slot_; }

    // Takes a slot for a child about to start; EAGAIN when the run has all its processes.
    Result<uint32_t> reserve_process();
    // The reserved slot belongs to the child `pid` now; or it is given back unused.
    void assign_process(uint32_t slot, pid_t pid);
    void cancel_process(uint32_t slot);
    // The child `pid` has been waited for: its slot is free.
    void release_process(pid_t pid);

    // Whether one more pseudo-terminal pair fits in the run.
    bool pty_pair_fits();
    // The number of pairs this process holds a descriptor of.
    void set_pty_pairs_held(uint32_t count);

  private:
    RunTable(UniqueFd fd, RunSlots* slots, size_t size, uint32_t slot);
    // Frees the slots of processes that are gone; whether any was freed.
    bool sweep();

    UniqueFd fd_;
    RunSlots* slots_;
    size_t size_;
    uint32_t slot_;
};

} // namespace yulos
