#include "store_fast_path.h"

#include <cstdint>

namespace yulos {
namespace {

// The guest memory whose engine is running on this thread, if any.
thread_local const GuestMemory* running = nullptr;

bool plain_data_page(uint64_t address)
{
    if (!running || address > UINT32_MAX) return false;
    const Region* region = running->region_of(uint32_t(address));
    return region && region->writable && !region->executable;
}

} // namespace

FastStores::FastStores(const GuestMemory& memory) : previous_(running)
{
    running = &memory;
}

FastStores::~FastStores()
{
    running = previous_;
}

} // namespace yulos

#ifdef YULOS_ENGINE_TLB_WRAP
// The engine's internal TLB functions for its x86 target, which the link wraps
// (-Wl,--wrap=tlb_set_page_with_attrs_x86_64): every TLB fill of the x86 CPU comes through
// the wrapper. Their signatures are those of unicorn 2.0.x, which host/CMakeLists.txt checks
// before wiring this in. The attribute word is a 32-bit bit-field record, passed by value.
extern "C" {

struct EngineTxAttrs {
    uint32_t bits;
};

void __real_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size);
void tlb_set_dirty_x86_64(void* cpu, uint64_t address);

void __wrap_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size)
{
    __real_tlb_set_page_with_attrs_x86_64(cpu, address, physical, attrs, prot, mmu_index, size);
    // The engine's permissions belong to the physical page; the entry is found by address.
    if (yulos::plain_data_page(physical)) tlb_set_dirty_x86_64(cpu, address);
}

} // extern "C"
#endif
