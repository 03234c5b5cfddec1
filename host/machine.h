// One guest process's CPU and address space: the engine, the loaded image, the initial stack,
// and the run loop that hands every int 0x80 to a kernel.
#pragma once

#include "elf_image.h"
#include "guest_memory.h"
#include "result.h"

#include <array>
#include <cstdint>
#include <memory>
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

enum class Reg { eax, ebx, ecx, edx, esi, edi, ebp, esp, eip };

// Stack: 8 MiB under stack_top, with an unmapped guard page below it.
constexpr uint32_t stack_top = 0xC0000000;
constexpr uint32_t stack_size = 8u << 20;
constexpr uint32_t stack_guard = stack_top - stack_size - page_size;
// The largest argument vector: its texts with their NULs, the count, the pointers and the
// closing null word, as they lie on the initial stack.
constexpr uint32_t argument_bytes_max = 2u << 20;

struct StopReason {
    enum class Kind { exited, fault, returned, halted } kind = Kind::halted;
    int32_t status = 0;  // exited: the guest's status word; fault: the documented status
    std::string message; // fault: what happened, where
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

    uint32_t reg(Reg r) const;
    void set_reg(Reg r, uint32_t value);
    std::array<uint8_t, 10> st0() const;

    // Lays out the initial stack: the argument count at the stack pointer, the argument
    // pointers right after it, the texts above them.
    Result<void> push_arguments(std::span<const std::string> argv);

    // Runs from the image's entry until the guest exits, faults or halts.
    StopReason run();
    // Calls `function` with cdecl word arguments; stops when it returns to the host.
    StopReason call(uint32_t function, std::span<const uint32_t> args);

    // Ends the run after the current kernel call: the guest's _exit.
    void exit(int32_t status);

    // Makes rdtsc read `value` (tests that need a known time-stamp counter).
    void fix_time_stamp_counter(uint64_t value);

  private:
    Machine(const ElfImage& image, KernelCalls& kernel, uc_struct* engine);
    Result<void> load();
    Result<void> load_flat_segments();
    Result<void> install_hooks();
    void reset_x87();
    StopReason run_from(uint32_t begin, uint32_t until);
    void record_fault(std::string message, int32_t status);
    // The address in hexadecimal, followed by "(function+0xoffset)" when the image names it.
    std::string code_address(uint32_t address) const;
    void describe_bad_access(int type, uint64_t address);

    static void on_interrupt(uc_struct*, uint32_t number, void* self);
    static bool on_bad_access(uc_struct*, int type, uint64_t address, int size, int64_t value,
                              void* self);
    static bool on_invalid_instruction(uc_struct*, void* self);
    static void on_code(uc_struct*, uint64_t address, uint32_t size, void* self);

    ElfImage image_;
    KernelCalls& kernel_;
    uc_struct* engine_;
    GuestMemory memory_;
    std::optional<StopReason> stop_;
    std::optional<uint64_t> fixed_tsc_;
};

} // namespace yulos
