// Settings of the CPU engine (unicorn 2.0.1) that its API does not reach, made through the
// link: host/CMakeLists.txt wraps some of the engine's internal functions, and the wrappers
// consult the EngineRun of the thread.
//
// - Guest loads and stores reach memory directly. The engine emulates a whole machine: every
//   translated load and store looks up a software TLB (about ten host instructions, and a
//   slow path on a miss). Guest memory lies in one host reservation (GuestMemory's window),
//   whose pages the host protects as the guest may access them, so translated code instead
//   loads or stores at the window's base + the zero-extended 32-bit address: one host
//   instruction when the window lies below 2 GiB (its base is the displacement), an addition
//   more otherwise. An access the guest may not make is refused by the host's protection; a
//   signal handler turns that fault into the guest's fault (restores the guest's instruction
//   pointer from the translated code, records the access and ends the run through the
//   engine's own exit). This holds only while the host's protection is exact (see
//   GuestMemory::host_protection_exact); otherwise loads and stores take the engine's path.
//   Loads and stores made inside the engine's helpers (x87 80-bit operands, atomic
//   operations) take it always. Every loaded value is also folded into a register 32-bit code
//   cannot reach, so that the engine's optimizer never leaves out a load whose value goes
//   unused (such a load must still fault).
// - Stores through the engine's path. The engine marks the TLB entry of every writable page
//   "not dirty", which sends every store through its slow helper: a region lookup, a
//   page-descriptor lookup and a tree allocation for code invalidation, about 100 ns per
//   store. For a page that is writable and not executable the flag is cleared as soon as the
//   entry is filled, so stores to it are a few host instructions. Other pages keep the flag:
//   the slow path is where the engine refuses writes to read-only pages and invalidates
//   translated code on writes to executable ones.
// - Stop checks. The engine follows every translated guest load and store with a check for a
//   request to stop, so that a memory hook can end the run in the middle of a block. This
//   host's only memory hook is for bad accesses, which end the run through the engine's
//   exception path, so the checks are left out; every block still starts with one. A machine
//   with a code hook keeps them, as the engine emits the same check after a code hook and
//   relies on it there.
// - Faulting accesses on the engine's path. A guest load or store that the engine refuses
//   (unmapped memory, a write to a read-only page) is answered with 0 and a request to stop, and
//   the translated block runs on to its next stop check, leaving eip at the block's start and the
//   registers as the instructions after the fault left them. Wrappers of the engine's load and
//   store helpers end the block at the faulting access instead, with the state restored as it was
//   before the faulting instruction, the way the engine ends a block at any other exception.
#pragma once

#include "guest_memory.h"

#include <optional>

namespace yulos {

// What the wrappers learn about one engine; kept for as long as the engine.
struct EngineState {
    void* cpu = nullptr; // the engine's CPU, seen at its first TLB fill
};

// A load or store of translated code that the host's protection of the window refused.
struct WindowFault {
    int type;         // the engine's kind of bad access (uc_mem_type)
    uint32_t address; // the guest address accessed
};

// Alive while the engine runs a guest on this thread.
class EngineRun {
  public:
    EngineRun(uc_struct* engine, GuestMemory& memory, EngineState& state, bool code_hooks);
    ~EngineRun();
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    // The access that ended the run, if one did; the guest's instruction pointer is then at
    // the instruction that made it.
    const std::optional<WindowFault>& fault() const { return fault_; }

    // For the wrappers, about the run of this thread: whether `address` lies on a page that is
    // writable and not executable, whether translated code keeps its stop checks, and the
    // window when translated code may load and store through it (null otherwise).
    static bool plain_data_page(uint64_t address);
    static bool stop_checks_wanted();
    static uint8_t* direct_window();
    static void saw_cpu(void* cpu);

    // For the fault handler: when the host fault at `host_pc` on `host_address` is a load or
    // store of this thread's translated code in the window, records it and ends the run
    // (does not return); false otherwise.
    static bool end_on_window_fault(uintptr_t host_pc, uintptr_t host_address, bool write);
    // Called by the bad-access hook for a refused load or store: the block ends at it.
    static void note_bad_access();
    // For the helpers' wrappers: whether an access was refused since the last call.
    static bool take_bad_access();

  private:
    uc_struct* engine_;
    GuestMemory& memory_;
    EngineState& state_;
    bool code_hooks_;
    std::optional<WindowFault> fault_;
    EngineRun* previous_;
};

} // namespace yulos
