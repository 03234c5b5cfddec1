// Settings of the CPU engine (unicorn 2.0.x) that its API does not reach, made through the
// link: host/CMakeLists.txt wraps two of the engine's internal functions, and the wrappers
// consult the EngineRun of the thread.
//
// - Stores. The engine marks the TLB entry of every writable page "not dirty", which sends
//   every guest store through its slow helper: a region lookup, a page-descriptor lookup and a
//   tree allocation for code invalidation, about 100 ns per store. For a page that is writable
//   and not executable the flag is cleared as soon as the entry is filled, so stores to it are
//   a few host instructions. Other pages keep the flag: the slow path is where the engine
//   refuses writes to read-only pages and invalidates translated code on writes to executable
//   ones.
// - Stop checks. The engine follows every translated guest load and store with a check for a
//   request to stop, so that a memory hook can end the run in the middle of a block. This
//   host's only memory hook is for bad accesses, which end the run through the engine's
//   exception path, so the checks are left out; every block still starts with one. A machine
//   with a code hook keeps them, as the engine emits the same check after a code hook and
//   relies on it there.
// - Faulting accesses. A guest load or store that the engine refuses (unmapped memory, a write
//   to a read-only page) is answered with 0 and a request to stop, and the translated block
//   runs on to its next stop check, leaving eip at the block's start and the registers as the
//   instructions after the fault left them. Wrappers of the engine's load and store helpers
//   end the block at the faulting access instead, with the state restored as it was before the
//   faulting instruction, the way the engine ends a block at any other exception.
#pragma once

#include "guest_memory.h"

namespace yulos {

// Alive while the engine runs a guest on this thread.
class EngineRun {
  public:
    EngineRun(const GuestMemory& memory, bool code_hooks);
    ~EngineRun();
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    // For the wrappers, about the run of this thread: whether `address` lies on a page that is
    // writable and not executable, and whether translated code keeps its stop checks.
    static bool plain_data_page(uint64_t address);
    static bool stop_checks_wanted();
    // Called by the bad-access hook for a refused load or store: the block ends at it.
    static void note_bad_access();
    // For the helpers' wrappers: whether an access was refused since the last call.
    static bool take_bad_access();

  private:
    const GuestMemory& memory_;
    bool code_hooks_;
    const EngineRun* previous_;
};

} // namespace yulos
