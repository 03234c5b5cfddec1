#include "engine_tuning.h"

#include <cstdint>
#include <utility>

namespace yulos {
namespace {

// The run of this thread, if any.
thread_local const EngineRun* running = nullptr;
// A refused load or store is being answered: the helper that serves it ends the block.
thread_local bool bad_access_pending = false;

} // namespace

EngineRun::EngineRun(const GuestMemory& memory, bool code_hooks)
    : memory_(memory), code_hooks_(code_hooks), previous_(running)
{
    running = this;
    bad_access_pending = false;
}

EngineRun::~EngineRun()
{
    running = previous_;
    bad_access_pending = false;
}

void EngineRun::note_bad_access() { bad_access_pending = true; }

bool EngineRun::take_bad_access() { return std::exchange(bad_access_pending, false); }

bool EngineRun::plain_data_page(uint64_t address)
{
    if (!running || address > UINT32_MAX) return false;
    const Region* region = running->memory_.region_of(uint32_t(address));
    return region && region->writable && !region->executable;
}

bool EngineRun::stop_checks_wanted() { return !running || running->code_hooks_; }

} // namespace yulos

#ifdef YULOS_ENGINE_WRAPS
// The engine's internal functions for its x86 target that the link wraps (-Wl,--wrap=...).
// Their signatures are those of unicorn 2.0.x, which host/CMakeLists.txt checks before wiring
// this in. The attribute word is a 32-bit bit-field record, passed by value.
extern "C" {

struct EngineTxAttrs {
    uint32_t bits;
};

void __real_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size);
void tlb_set_dirty_x86_64(void* cpu, uint64_t address);
void __real_check_exit_request_x86_64(void* translator);

// Every TLB fill of the x86 CPU.
void __wrap_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size)
{
    __real_tlb_set_page_with_attrs_x86_64(cpu, address, physical, attrs, prot, mmu_index, size);
    // The engine's permissions belong to the physical page; the entry is found by address.
    if (yulos::EngineRun::plain_data_page(physical)) tlb_set_dirty_x86_64(cpu, address);
}

// Emits the stop check while translating, after each load and store and after a code hook.
void __wrap_check_exit_request_x86_64(void* translator)
{
    if (yulos::EngineRun::stop_checks_wanted()) __real_check_exit_request_x86_64(translator);
}

// A refused access (unmapped memory, a write to a read-only page) is answered by the engine
// with a request to stop (cpu_exit) and, for some kinds, by leaving the block from the helper
// (cpu_loop_exit); either way eip is left at the block's start, and where the helper returns,
// the block runs on to its next stop check. The wrappers below leave the block at the refused
// access itself, with eip and the lazy flags restored from the host address the block called
// the helper from, as the engine does for any other exception.
void __real_cpu_exit(void* cpu);
[[noreturn]] void __real_cpu_loop_exit_x86_64(void* cpu);
[[noreturn]] void cpu_loop_exit_restore_x86_64(void* cpu, uintptr_t host_return);

// The CPU, as its last request to stop named it; the bad-access hook always makes one.
static thread_local void* stopping_cpu = nullptr;
// The host address in translated code that called the load or store helper now running.
static thread_local uintptr_t access_caller = 0;

void __wrap_cpu_exit(void* cpu)
{
    stopping_cpu = cpu;
    __real_cpu_exit(cpu);
}

[[noreturn]] void __wrap_cpu_loop_exit_x86_64(void* cpu)
{
    uintptr_t caller = std::exchange(access_caller, 0);
    if (caller && yulos::EngineRun::take_bad_access()) cpu_loop_exit_restore_x86_64(cpu, caller);
    __real_cpu_loop_exit_x86_64(cpu);
}

// After a helper has returned.
static void leave_at_refused_access(uintptr_t caller)
{
    void* cpu = std::exchange(stopping_cpu, nullptr);
    if (cpu && yulos::EngineRun::take_bad_access()) cpu_loop_exit_restore_x86_64(cpu, caller);
}

// The load and store helpers that translated code calls on its slow path (x86 is
// little-endian; signed loads use the unsigned helpers). Each notes its caller while it runs;
// they hold nothing that leaving the block through cpu_loop_exit would have to clean up.
uint64_t __real_helper_ret_ldub_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra);
uint64_t __real_helper_le_lduw_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra);
uint64_t __real_helper_le_ldul_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra);
uint64_t __real_helper_le_ldq_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra);
void __real_helper_ret_stb_mmu_x86_64(void* env, uint64_t address, uint8_t value, uint32_t op,
                                      uintptr_t ra);
void __real_helper_le_stw_mmu_x86_64(void* env, uint64_t address, uint16_t value, uint32_t op,
                                     uintptr_t ra);
void __real_helper_le_stl_mmu_x86_64(void* env, uint64_t address, uint32_t value, uint32_t op,
                                     uintptr_t ra);
void __real_helper_le_stq_mmu_x86_64(void* env, uint64_t address, uint64_t value, uint32_t op,
                                     uintptr_t ra);

uint64_t __wrap_helper_ret_ldub_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    uint64_t value = __real_helper_ret_ldub_mmu_x86_64(env, address, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
    return value;
}

uint64_t __wrap_helper_le_lduw_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    uint64_t value = __real_helper_le_lduw_mmu_x86_64(env, address, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
    return value;
}

uint64_t __wrap_helper_le_ldul_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    uint64_t value = __real_helper_le_ldul_mmu_x86_64(env, address, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
    return value;
}

uint64_t __wrap_helper_le_ldq_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    uint64_t value = __real_helper_le_ldq_mmu_x86_64(env, address, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
    return value;
}

void __wrap_helper_ret_stb_mmu_x86_64(void* env, uint64_t address, uint8_t value, uint32_t op,
                                      uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    __real_helper_ret_stb_mmu_x86_64(env, address, value, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
}

void __wrap_helper_le_stw_mmu_x86_64(void* env, uint64_t address, uint16_t value, uint32_t op,
                                     uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    __real_helper_le_stw_mmu_x86_64(env, address, value, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
}

void __wrap_helper_le_stl_mmu_x86_64(void* env, uint64_t address, uint32_t value, uint32_t op,
                                     uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    __real_helper_le_stl_mmu_x86_64(env, address, value, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
}

void __wrap_helper_le_stq_mmu_x86_64(void* env, uint64_t address, uint64_t value, uint32_t op,
                                     uintptr_t ra)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    __real_helper_le_stq_mmu_x86_64(env, address, value, op, ra);
    access_caller = outer;
    leave_at_refused_access(ra);
}

} // extern "C"
#endif
