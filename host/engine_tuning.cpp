#include "engine_tuning.h"

#include <cstdint>

namespace yulos {
namespace {

// The run of this thread, if any.
thread_local const EngineRun* running = nullptr;

} // namespace

EngineRun::EngineRun(const GuestMemory& memory, bool code_hooks)
    : memory_(memory), code_hooks_(code_hooks), previous_(running)
{
    running = this;
}

EngineRun::~EngineRun() { running = previous_; }

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

} // extern "C"
#endif
