// One guest process's CPU and address space: the engine, the loaded image, the initial stack,
// and the run loop that hands every int 0x80 to a kernel. Besides running a guest to its end,
// a machine can be inspected and steered between runs (registers, memory, hooks on addresses,
// resuming, stepping and stopping), which a debugger and the tests build on.
#pragma once

#include "elf_image.h"
#include "engine_tuning.h"
#include "guest_memory.h"
#include "result.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct uc_struct;

namespace yulos {

class Machine;

// Whoever serves the guest's kernel calls: the real kernel or a test's script.
class KernelCalls {
  public:
    virtual ~KernelCalls() = default;
    // Called at every int 0x80; reads the call from the registers and stores eax.
    virtual void serve(Machine& machine) = 0;
};

// Every register of the guest's CPU: the general, segment, x87 and SSE registers. st0-st7 are
// the x87 stack from its top (80 bits each); xmm0-xmm7 are 128 bits; every other one is a word.
// clang-format off
enum class Reg : uint8_t {
    eax, ecx, edx, ebx, esp, ebp, esi, edi, eip, eflags,
    cs, ss, ds, es, fs, gs,
    st0, st1, st2, st3, st4, st5, st6, st7,
    fctrl, fstat, ftag, fiseg, fioff, foseg, fooff, fop,
    xmm0, xmm1, xmm2, xmm3, xmm4, xmm5, xmm6, xmm7,
    mxcsr
};
// clang-format on
constexpr size_t register_count = size_t(Reg::mxcsr) + 1;
// The register's size in bytes: 10 for st0-st7, 16 for xmm0-xmm7, 4 for the others.
size_t register_size(Reg r);

// Stack: 8 MiB under stack_top, with an unmapped guard page below it.
constexpr uint32_t stack_top = 0xC0000000;
constexpr uint32_t stack_size = 8u << 20;
constexpr uint32_t stack_guard = stack_top - stack_size - page_size;
// The largest argument vector: its texts with their NULs, the count, the pointers and the
// closing null word, as they lie on the initial stack.
constexpr uint32_t argument_bytes_max = 2u << 20;

struct StopReason {
    // stopped: a stop was requested (by a hook or another thread) or the step is done.
    enum class Kind { exited, fault, halted, stopped } kind = Kind::halted;
    int32_t status = 0;  // exited: the guest's status word; fault: the documented status
    std::string message; // fault, halted: what happened, where
};

// Exit statuses of a guest ended by a CPU fault.
constexpr int32_t status_memory_fault = 139;
constexpr int32_t status_invalid_instruction = 132;
constexpr int32_t status_arithmetic_fault = 136;

class Machine {
  public:
    static Result<std::unique_ptr<Machine>> create(const ElfImage& image, KernelCalls& kernel);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    GuestMemory& memory() { return memory_; }
    const ElfImage& image() const { return image_; }

    // A word register (not st0-st7, xmm0-xmm7).
    uint32_t reg(Reg r) const;
    void set_reg(Reg r, uint32_t value);
    // Any register as its register_size(r) little-endian bytes; false when the size is wrong
    // or the engine refuses the value.
    std::vector<uint8_t> register_bytes(Reg r) const;
    bool set_register_bytes(Reg r, std::span<const uint8_t> bytes);

    // Lays out the initial stack: the argument count at the stack pointer, the argument
    // pointers right after it, the texts above them.
    Result<void> push_arguments(std::span<const std::string> argv);

    // Runs from the image's entry until the guest exits, faults or halts. A new machine's eip
    // is there already.
    StopReason run();

    // Ends the run after the current kernel call: the guest's _exit.
    void exit(int32_t status);

    // ---- Steering, between runs ----

    // Runs from eip until the guest exits, faults or halts, or a stop is requested.
    StopReason resume();
    // Runs exactly one instruction from eip (a kernel call included).
    StopReason step();
    // Ends the current run before its next instruction: from a hook, before the instruction the
    // hook is at; from another thread, once the kernel call being served, if any, is done.
    // Safe from any thread; a stop asked while no run is under way may be lost.
    void request_stop();
    // Lets other threads stop runs: kernel calls are then never cut short by request_stop,
    // and translated code keeps the engine's stop checks.
    void allow_remote_stops();

    // Calls `on_reach` each time the instruction at `address` is about to run; code translated
    // before is dropped so that the hook fires the next time already. `on_reach` may read and
    // write registers and memory and request a stop, but not remove hooks.
    using HookId = uint32_t;
    std::optional<HookId> hook_address(uint32_t address, std::function<void()> on_reach);
    void remove_hook(HookId id);

  private:
    struct AddressHook {
        std::function<void()> on_reach;
        size_t handle = 0;
    };

    Machine(const ElfImage& image, KernelCalls& kernel, uc_struct* engine);
    Result<void> load();
    Result<void> load_flat_segments();
    Result<void> install_hooks();
    StopReason run_engine(uint64_t instructions);
    void serve_kernel_call();
    void record_fault(std::string message, int32_t status);
    // The address in hexadecimal, followed by "(function+0xoffset)" when the image names it.
    std::string code_address(uint32_t address) const;
    void describe_bad_access(int type, uint64_t address);

    static void on_interrupt(uc_struct*, uint32_t number, void* self);
    static bool on_bad_access(uc_struct*, int type, uint64_t address, int size, int64_t value,
                              void* self);
    static bool on_invalid_instruction(uc_struct*, void* self);
    static void on_hooked_address(uc_struct*, uint64_t address, uint32_t size, void* hook);

    ElfImage image_;
    KernelCalls& kernel_;
    uc_struct* engine_;
    GuestMemory memory_;
    EngineState engine_state_;
    std::optional<StopReason> stop_;
    std::map<HookId, AddressHook> hooks_;
    HookId next_hook_ = 1;

    // Stops from other threads: never while a kernel call is being served.
    bool remote_stops_ = false;
    std::mutex stop_lock_;
    bool stop_requested_ = false;
    bool in_kernel_call_ = false;
};

} // namespace yulos
