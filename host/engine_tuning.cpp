#include "engine_tuning.h"

#include <csignal>
#include <cstdint>
#include <type_traits>
#include <unicorn/unicorn.h>
#include <utility>

#ifdef YULOS_ENGINE_WRAPS
// The engine's internal functions for its x86 target that the wrappers call or replace
// (-Wl,--wrap=...). Their signatures are those of unicorn 2.0.1, which host/CMakeLists.txt
// checks before wiring this in. The engine's handles of translation-time values (TCGv) are
// offsets from its translation context, passed as integers; the attribute word is a 32-bit
// bit-field record, passed by value.
extern "C" {

struct EngineTxAttrs {
    uint32_t bits;
};

void __real_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size);
void tlb_set_dirty_x86_64(void* cpu, uint64_t address);
void __real_check_exit_request_x86_64(void* tcg);
void __wrap_check_exit_request_x86_64(void* tcg);

void __real_tcg_gen_qemu_ld_i32_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop);
void __real_tcg_gen_qemu_st_i32_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop);
void __real_tcg_gen_qemu_ld_i64_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop);
void __real_tcg_gen_qemu_st_i64_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop);
void* tcg_temp_new_internal_x86_64(void* tcg, int type, bool local);
void tcg_temp_free_internal_x86_64(void* tcg, void* temp);
void tcg_gen_ext32u_i64_x86_64(void* tcg, uintptr_t result, uintptr_t value);
void tcg_gen_addi_i64_x86_64(void* tcg, uintptr_t result, uintptr_t value, int64_t addend);
void tcg_gen_op2_x86_64(void* tcg, int opcode, uintptr_t a1, uintptr_t a2);
void tcg_gen_op3_x86_64(void* tcg, int opcode, uintptr_t a1, uintptr_t a2, uintptr_t a3);

bool cpu_restore_state_x86_64(void* cpu, uintptr_t return_address, bool will_exit);
[[noreturn]] void __real_cpu_loop_exit_x86_64(void* cpu);
}
#endif

namespace yulos {
namespace {

// The run of this thread, if any.
thread_local EngineRun* running = nullptr;
// A refused load or store is being answered: the helper that serves it ends the block.
thread_local bool bad_access_pending = false;

#ifdef YULOS_ENGINE_WRAPS
// A host fault in translated code on the window is the guest's fault; any other ends the host
// as it would without this handler.
void on_host_fault(int signal, siginfo_t* info, void* context)
{
    const mcontext_t& registers = static_cast<ucontext_t*>(context)->uc_mcontext;
    bool write = registers.gregs[REG_ERR] & 2; // the page fault's error code: a write
    EngineRun::end_on_window_fault(uintptr_t(registers.gregs[REG_RIP]), uintptr_t(info->si_addr),
                                   write);
    std::signal(signal, SIG_DFL); // the faulting instruction runs again, and faults for good
}

bool install_fault_handler()
{
    struct sigaction action {};
    action.sa_sigaction = on_host_fault;
    // The handler leaves by a jump back into the engine, so the signal must stay unblocked.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGSEGV, &action, nullptr) == 0;
}
#endif

} // namespace

EngineRun::EngineRun(uc_struct* engine, GuestMemory& memory, EngineState& state, bool code_hooks)
    : engine_(engine), memory_(memory), state_(state), code_hooks_(code_hooks), previous_(running)
{
#ifdef YULOS_ENGINE_WRAPS
    static const bool handler_installed = install_fault_handler();
    (void)handler_installed;
#endif
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

uint8_t* EngineRun::direct_window()
{
    if (!running || !running->memory_.host_protection_exact()) return nullptr;
    running->memory_.window_used();
    return running->memory_.window();
}

void EngineRun::saw_cpu(void* cpu)
{
    if (running) running->state_.cpu = cpu;
}

bool EngineRun::end_on_window_fault(uintptr_t host_pc, uintptr_t host_address, bool write)
{
#ifdef YULOS_ENGINE_WRAPS
    EngineRun* run = running;
    if (!run || !run->state_.cpu) return false;
    uintptr_t offset = host_address - uintptr_t(run->memory_.window());
    if (offset >= GuestMemory::window_size) return false;
    // The engine looks up the translated instruction by a return address, which lies just
    // past the call; a faulting instruction lies at the address itself.
    constexpr uintptr_t return_address_adjust = 2;
    if (!cpu_restore_state_x86_64(run->state_.cpu, host_pc + return_address_adjust, true))
        return false;
    uint32_t address = uint32_t(offset);
    if (run->memory_.region_of(address))
        run->fault_ = WindowFault{write ? UC_MEM_WRITE_PROT : UC_MEM_READ_PROT, address};
    else
        run->fault_ = WindowFault{write ? UC_MEM_WRITE_UNMAPPED : UC_MEM_READ_UNMAPPED, address};
    uc_emu_stop(run->engine_);
    __real_cpu_loop_exit_x86_64(run->state_.cpu);
#else
    (void)host_pc, (void)host_address, (void)write;
    return false;
#endif
}

} // namespace yulos

#ifdef YULOS_ENGINE_WRAPS
namespace {

// The engine's operation numbers (its tcg-opc.h) for loads and stores of host memory, and its
// memory-operation word: size in the low two bits, then sign extension, then byte swap; higher
// bits ask for alignment checks.
enum Opcode : int {
    ld8u_i32 = 9,
    ld8s_i32,
    ld16u_i32,
    ld16s_i32,
    ld_i32,
    st8_i32,
    st16_i32,
    st_i32,
    ld8u_i64 = 67,
    ld8s_i64,
    ld16u_i64,
    ld16s_i64,
    ld32u_i64,
    ld32s_i64,
    ld_i64,
    st8_i64,
    st16_i64,
    st32_i64,
    st_i64,
    xor_i64 = 89,
    extu_i32_i64 = 100,
};
constexpr unsigned memop_size = 3, memop_sign = 4, memop_byte_swap = 8;
constexpr int tcg_type_i64 = 1;
// Where the translation context keeps its handle of the guest's R15 (the handles of the
// sixteen general registers follow one another from 0x9998).
constexpr size_t context_r15_handle = 0x9998 + 15 * 8;

// One kind of guest access: its operation by memop & 7 (unsigned byte, half, word, double;
// then the same signed), and for a load, whether the value is 32 bits wide.
struct AccessKind {
    int by_size_and_sign[8];
    bool load;
    bool value_32_bits;
};

constexpr AccessKind load_i32{
    {ld8u_i32, ld16u_i32, ld_i32, -1, ld8s_i32, ld16s_i32, ld_i32, -1}, true, true};
constexpr AccessKind store_i32{
    {st8_i32, st16_i32, st_i32, -1, st8_i32, st16_i32, st_i32, -1}, false, true};
constexpr AccessKind load_i64{
    {ld8u_i64, ld16u_i64, ld32u_i64, ld_i64, ld8s_i64, ld16s_i64, ld32s_i64, ld_i64}, true, false};
constexpr AccessKind store_i64{
    {st8_i64, st16_i64, st32_i64, st_i64, st8_i64, st16_i64, st32_i64, st_i64}, false, false};

// The operation for a memory-operation word made of size and sign only; -1 for any other
// (byte-swapped or aligned accesses take the engine's path).
int direct_opcode(unsigned memop, const AccessKind& kind)
{
    unsigned size = memop & memop_size;
    unsigned rest = memop & ~(memop_size | memop_sign);
    if (size == 0) rest &= ~memop_byte_swap; // a byte has no order to swap
    return rest ? -1 : kind.by_size_and_sign[memop & (memop_size | memop_sign)];
}

// The engine's optimizer leaves out a load whose value is never used (one overwritten later in
// the same block), and such a load would not fault. So every loaded value is folded into the
// guest's R15 (exclusive or), a register 32-bit code cannot reach and which the engine stores
// at the end of each block: no load goes unused.
void fold_into_sink(void* tcg, uintptr_t value, bool value_32_bits, void* scratch)
{
    uintptr_t sink = uintptr_t(tcg) + *reinterpret_cast<const uintptr_t*>(
                                          static_cast<const char*>(tcg) + context_r15_handle);
    if (value_32_bits) {
        tcg_gen_op2_x86_64(tcg, extu_i32_i64, uintptr_t(scratch), value);
        value = uintptr_t(scratch);
    }
    tcg_gen_op3_x86_64(tcg, xor_i64, sink, sink, value);
}

// Emits the load or store at window + zero-extended guest address. A window below 2 GiB is the
// access's displacement, so the host instruction does the addition.
void emit_direct_access(void* tcg, int opcode, const AccessKind& kind, uintptr_t value,
                        uintptr_t address, uint8_t* window)
{
    void* host = tcg_temp_new_internal_x86_64(tcg, tcg_type_i64, false);
    uintptr_t host_handle = uintptr_t(host) - uintptr_t(tcg);
    tcg_gen_ext32u_i64_x86_64(tcg, host_handle, address);
    uintptr_t displacement = uintptr_t(window);
    if (displacement > uintptr_t(INT32_MAX)) {
        tcg_gen_addi_i64_x86_64(tcg, host_handle, host_handle, int64_t(displacement));
        displacement = 0;
    }
    tcg_gen_op3_x86_64(tcg, opcode, uintptr_t(tcg) + value, uintptr_t(host), displacement);
    if (kind.load) fold_into_sink(tcg, uintptr_t(tcg) + value, kind.value_32_bits, host);
    tcg_temp_free_internal_x86_64(tcg, host);
    __wrap_check_exit_request_x86_64(tcg);
}

bool emitted_direct(void* tcg, unsigned memop, const AccessKind& kind, uintptr_t value,
                    uintptr_t address)
{
    uint8_t* window = yulos::EngineRun::direct_window();
    int opcode = direct_opcode(memop, kind);
    if (!window || opcode < 0) return false;
    emit_direct_access(tcg, opcode, kind, value, address, window);
    return true;
}

} // namespace

extern "C" {

// Every TLB fill of the x86 CPU.
void __wrap_tlb_set_page_with_attrs_x86_64(void* cpu, uint64_t address, uint64_t physical,
                                           EngineTxAttrs attrs, int prot, int mmu_index,
                                           uint64_t size)
{
    yulos::EngineRun::saw_cpu(cpu);
    __real_tlb_set_page_with_attrs_x86_64(cpu, address, physical, attrs, prot, mmu_index, size);
    // The engine's permissions belong to the physical page; the entry is found by address.
    if (yulos::EngineRun::plain_data_page(physical)) tlb_set_dirty_x86_64(cpu, address);
}

// Emits the stop check while translating, after each load and store and after a code hook.
void __wrap_check_exit_request_x86_64(void* tcg)
{
    if (yulos::EngineRun::stop_checks_wanted()) __real_check_exit_request_x86_64(tcg);
}

// Translate one guest load or store.
void __wrap_tcg_gen_qemu_ld_i32_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop)
{
    if (!emitted_direct(tcg, memop, load_i32, value, address))
        __real_tcg_gen_qemu_ld_i32_x86_64(tcg, value, address, mmu_index, memop);
}

void __wrap_tcg_gen_qemu_st_i32_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop)
{
    if (!emitted_direct(tcg, memop, store_i32, value, address))
        __real_tcg_gen_qemu_st_i32_x86_64(tcg, value, address, mmu_index, memop);
}

void __wrap_tcg_gen_qemu_ld_i64_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop)
{
    if (!emitted_direct(tcg, memop, load_i64, value, address))
        __real_tcg_gen_qemu_ld_i64_x86_64(tcg, value, address, mmu_index, memop);
}

void __wrap_tcg_gen_qemu_st_i64_x86_64(void* tcg, uintptr_t value, uintptr_t address,
                                       uintptr_t mmu_index, unsigned memop)
{
    if (!emitted_direct(tcg, memop, store_i64, value, address))
        __real_tcg_gen_qemu_st_i64_x86_64(tcg, value, address, mmu_index, memop);
}

// A refused access (unmapped memory, a write to a read-only page) is answered by the engine
// with a request to stop (cpu_exit) and, for some kinds, by leaving the block from the helper
// (cpu_loop_exit); either way eip is left at the block's start, and where the helper returns,
// the block runs on to its next stop check. The wrappers below leave the block at the refused
// access itself, with eip and the lazy flags restored from the host address the block called
// the helper from, as the engine does for any other exception.
void __real_cpu_exit(void* cpu);
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

} // extern "C"

namespace {

// Runs a load or store helper with its caller noted, then leaves the block at the access if
// the engine refused it.
template <auto helper, class... Args> auto serve_access(uintptr_t ra, Args... args)
{
    uintptr_t outer = std::exchange(access_caller, ra);
    if constexpr (std::is_void_v<decltype(helper(args..., ra))>) {
        helper(args..., ra);
        access_caller = outer;
        leave_at_refused_access(ra);
    } else {
        auto value = helper(args..., ra);
        access_caller = outer;
        leave_at_refused_access(ra);
        return value;
    }
}

} // namespace

extern "C" {

uint64_t __wrap_helper_ret_ldub_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    return serve_access<__real_helper_ret_ldub_mmu_x86_64>(ra, env, address, op);
}

uint64_t __wrap_helper_le_lduw_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    return serve_access<__real_helper_le_lduw_mmu_x86_64>(ra, env, address, op);
}

uint64_t __wrap_helper_le_ldul_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    return serve_access<__real_helper_le_ldul_mmu_x86_64>(ra, env, address, op);
}

uint64_t __wrap_helper_le_ldq_mmu_x86_64(void* env, uint64_t address, uint32_t op, uintptr_t ra)
{
    return serve_access<__real_helper_le_ldq_mmu_x86_64>(ra, env, address, op);
}

void __wrap_helper_ret_stb_mmu_x86_64(void* env, uint64_t address, uint8_t value, uint32_t op,
                                      uintptr_t ra)
{
    serve_access<__real_helper_ret_stb_mmu_x86_64>(ra, env, address, value, op);
}

void __wrap_helper_le_stw_mmu_x86_64(void* env, uint64_t address, uint16_t value, uint32_t op,
                                     uintptr_t ra)
{
    serve_access<__real_helper_le_stw_mmu_x86_64>(ra, env, address, value, op);
}

void __wrap_helper_le_stl_mmu_x86_64(void* env, uint64_t address, uint32_t value, uint32_t op,
                                     uintptr_t ra)
{
    serve_access<__real_helper_le_stl_mmu_x86_64>(ra, env, address, value, op);
}

void __wrap_helper_le_stq_mmu_x86_64(void* env, uint64_t address, uint64_t value, uint32_t op,
                                     uintptr_t ra)
{
    serve_access<__real_helper_le_stq_mmu_x86_64>(ra, env, address, value, op);
}

} // extern "C"
#endif
