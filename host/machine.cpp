#include "machine.h"
#include "engine_tuning.h"

#include <cstdio>
#include <cstring>
#include <unicorn/unicorn.h>

namespace yulos {
namespace {

constexpr uint64_t cr0_monitor_coprocessor = 1u << 1, cr0_emulation = 1u << 2;
constexpr uint64_t cr4_osfxsr = 1u << 9, cr4_osxmmexcpt = 1u << 10;
// The x87 and SSE control words an operating system starts a process with: every exception
// masked, 64-bit precision, rounding to nearest. The engine's reset leaves both at 0, which
// unmasks every exception and, once the guest reloads the x87 control word, rounds every x87
// result to 24 bits.
constexpr uint32_t x87_control_initial = 0x37f, mxcsr_initial = 0x1f80, x87_tags_empty = 0xffff;

constexpr uint8_t hlt_opcode = 0xf4;

// The engine's name for a register; st0-st7 are found through the x87 stack's top.
int engine_id(Reg r, unsigned x87_top)
{
    static constexpr int words[] = {
        UC_X86_REG_EAX, UC_X86_REG_ECX,    UC_X86_REG_EDX, UC_X86_REG_EBX,
        UC_X86_REG_ESP, UC_X86_REG_EBP,    UC_X86_REG_ESI, UC_X86_REG_EDI,
        UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
        UC_X86_REG_DS,  UC_X86_REG_ES,     UC_X86_REG_FS,  UC_X86_REG_GS};
    static constexpr int x87_words[] = {UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG,
                                        UC_X86_REG_FCS,  UC_X86_REG_FIP,  UC_X86_REG_FDS,
                                        UC_X86_REG_FDP,  UC_X86_REG_FOP};
    auto n = unsigned(r);
    if (r <= Reg::gs) return words[n];
    if (r <= Reg::st7) return UC_X86_REG_FP0 + int((x87_top + n - unsigned(Reg::st0)) & 7);
    if (r <= Reg::fop) return x87_words[n - unsigned(Reg::fctrl)];
    if (r <= Reg::xmm7) return UC_X86_REG_XMM0 + int(n - unsigned(Reg::xmm0));
    return UC_X86_REG_MXCSR;
}

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

uint32_t page_round_up(uint64_t value)
{
    return uint32_t((value + page_size - 1) & ~uint64_t(page_size - 1));
}

} // namespace

Machine::Machine(const ElfImage& image, KernelCalls& kernel, uc_struct* engine)
    : image_(image), kernel_(kernel), engine_(engine), memory_(engine)
{
}

Machine::~Machine() { uc_close(engine_); }

Result<std::unique_ptr<Machine>> Machine::create(const ElfImage& image, KernelCalls& kernel)
{
    uc_engine* engine = nullptr;
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &engine) != UC_ERR_OK)
        return Error("cannot start the CPU engine");
    std::unique_ptr<Machine> machine(new Machine(image, kernel, engine));
    if (Result<void> loaded = machine->load(); !loaded) return loaded.error();
    if (Result<void> hooked = machine->install_hooks(); !hooked) return hooked.error();
    return machine;
}

// Maps each segment with its own permissions, the stack (guard page left unmapped) and turns
// on the x87 and SSE units as an operating system does.
Result<void> Machine::load()
{
    const Error unmappable("cannot map the image");
    for (const Segment& segment : image_.segments) {
        uint32_t start = segment.address & ~(page_size - 1);
        uint32_t size = page_round_up(uint64_t(segment.address) + segment.memory_size) - start;
        if (!memory_.map(start, size, segment.readable, segment.writable, segment.executable,
                         segment.bytes, segment.address - start))
            return unmappable;
    }
    if (!memory_.map(stack_top - stack_size, stack_size, true, true, false)) return unmappable;
    set_reg(Reg::esp, stack_top);
    set_reg(Reg::eip, image_.entry);
    uint64_t cr0 = 0, cr4 = 0;
    uc_reg_read(engine_, UC_X86_REG_CR0, &cr0);
    uc_reg_read(engine_, UC_X86_REG_CR4, &cr4);
    cr0 = (cr0 | cr0_monitor_coprocessor) & ~cr0_emulation;
    cr4 |= cr4_osfxsr | cr4_osxmmexcpt;
    uc_reg_write(engine_, UC_X86_REG_CR0, &cr0);
    uc_reg_write(engine_, UC_X86_REG_CR4, &cr4);
    set_reg(Reg::fctrl, x87_control_initial);
    set_reg(Reg::ftag, x87_tags_empty);
    set_reg(Reg::mxcsr, mxcsr_initial);
    return load_flat_segments();
}

// Loads the data, stack and extra segments from a flat descriptor (base 0, limit 4 GiB, 32-bit,
// ring 0), as a 32-bit operating system does. The engine comes out of its reset with segment
// state under which it adds the data segment's base to every guest memory access; with flat
// segments loaded in protected mode it leaves that addition out of the translated code. The
// descriptor table is mapped only for the load: the CPU keeps the loaded descriptors, and the
// guest has no reason to reload a segment register.
Result<void> Machine::load_flat_segments()
{
    constexpr uint32_t table_page = 0x00002000;
    constexpr uint64_t flat_data = 0x00cf93000000ffffull; // present, ring 0, read-write, accessed
    constexpr uint32_t selector = 0x08;                   // entry 1, requested ring 0
    const std::array<uint64_t, 2> table = {0, flat_data};
    const Error unloadable("cannot load the segment registers");
    if (uc_mem_map(engine_, table_page, page_size, UC_PROT_READ) != UC_ERR_OK) return unloadable;
    uc_x86_mmr gdtr{};
    gdtr.base = table_page;
    gdtr.limit = sizeof table - 1;
    bool loaded = uc_mem_write(engine_, table_page, table.data(), sizeof table) == UC_ERR_OK &&
                  uc_reg_write(engine_, UC_X86_REG_GDTR, &gdtr) == UC_ERR_OK;
    for (int segment : {UC_X86_REG_SS, UC_X86_REG_DS, UC_X86_REG_ES})
        loaded = loaded && uc_reg_write(engine_, segment, &selector) == UC_ERR_OK;
    gdtr = {};
    uc_reg_write(engine_, UC_X86_REG_GDTR, &gdtr);
    if (uc_mem_unmap(engine_, table_page, page_size) != UC_ERR_OK || !loaded) return unloadable;
    return {};
}

Result<void> Machine::install_hooks()
{
    uc_hook hook;
    bool installed =
        uc_hook_add(engine_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt), this, 1,
                    0) == UC_ERR_OK &&
        uc_hook_add(engine_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_bad_access),
                    this, 1, 0) == UC_ERR_OK &&
        uc_hook_add(engine_, &hook, UC_HOOK_INSN_INVALID,
                    reinterpret_cast<void*>(&on_invalid_instruction), this, 1, 0) == UC_ERR_OK;
    if (!installed) return Error("cannot install the CPU hooks");
    return {};
}

size_t register_size(Reg r)
{
    if (r >= Reg::st0 && r <= Reg::st7) return 10;
    if (r >= Reg::xmm0 && r <= Reg::xmm7) return 16;
    return 4;
}

// The engine stores as many bytes as the register holds (up to 16, some words as 8), so every
// value goes through a zeroed buffer of 16 bytes.
uint32_t Machine::reg(Reg r) const
{
    uint64_t value[2] = {};
    uc_reg_read(engine_, engine_id(r, 0), value);
    return uint32_t(value[0]);
}

void Machine::set_reg(Reg r, uint32_t value)
{
    uint64_t wide[2] = {value, 0};
    uc_reg_write(engine_, engine_id(r, 0), wide);
}

std::vector<uint8_t> Machine::register_bytes(Reg r) const
{
    unsigned top = (reg(Reg::fstat) >> 11) & 7;
    uint8_t raw[16] = {};
    uc_reg_read(engine_, engine_id(r, top), raw);
    return std::vector<uint8_t>(raw, raw + register_size(r));
}

bool Machine::set_register_bytes(Reg r, std::span<const uint8_t> bytes)
{
    if (bytes.size() != register_size(r)) return false;
    unsigned top = (reg(Reg::fstat) >> 11) & 7;
    uint8_t raw[16] = {};
    std::memcpy(raw, bytes.data(), bytes.size());
    return uc_reg_write(engine_, engine_id(r, top), raw) == UC_ERR_OK;
}

Result<void> Machine::push_arguments(std::span<const std::string> argv)
{
    const Error too_large("the arguments do not fit on the stack");
    uint32_t sp = stack_top;
    std::vector<uint32_t> pointers;
    for (const std::string& arg : argv) {
        if (arg.size() + 1 > sp - (stack_top - stack_size) - 4096) return too_large;
        sp -= uint32_t(arg.size() + 1);
        auto view = memory_.bytes(sp, uint32_t(arg.size() + 1), Access::write);
        std::memcpy(view->data(), arg.c_str(), arg.size() + 1);
        pointers.push_back(sp);
    }
    uint32_t words = uint32_t(pointers.size()) + 2; // count, pointers, terminating null
    if (uint64_t(words) * 4 + 64 > sp - (stack_top - stack_size)) return too_large;
    sp = (sp - words * 4) & ~15u;
    memory_.write_u32(sp, uint32_t(pointers.size()));
    for (size_t i = 0; i < pointers.size(); ++i)
        memory_.write_u32(sp + 4 + 4 * uint32_t(i), pointers[i]);
    memory_.write_u32(sp + 4 + 4 * uint32_t(pointers.size()), 0);
    set_reg(Reg::esp, sp);
    return {};
}

StopReason Machine::run()
{
    set_reg(Reg::eip, image_.entry);
    return resume();
}

StopReason Machine::resume() { return run_engine(0); }

// The engine counts instructions with a code hook that only code translated from now on
// calls, so the translated code is dropped first; otherwise a whole block would run.
StopReason Machine::step()
{
    uc_ctl_flush_tlb(engine_);
    return run_engine(1);
}

StopReason Machine::run_engine(uint64_t instructions)
{
    stop_.reset();
    {
        std::lock_guard lock(stop_lock_);
        stop_requested_ = false;
    }
    uint32_t from = reg(Reg::eip);
    EngineRun tuning(engine_, memory_, engine_state_,
                     remote_stops_ || !hooks_.empty() || instructions > 0);
    // The run ends at address 0, should the guest jump there (the fault below).
    uc_err err = uc_emu_start(engine_, from, 0, 0, instructions);
    if (const auto& fault = tuning.fault()) describe_bad_access(fault->type, fault->address);
    if (stop_ && stop_->kind == StopReason::Kind::fault)
        stop_->message += code_address(reg(Reg::eip));
    if (stop_) return *stop_;
    if (err != UC_ERR_OK)
        return StopReason{StopReason::Kind::fault, status_memory_fault,
                          std::string(uc_strerror(err)) + " at instruction " +
                              code_address(reg(Reg::eip))};
    if (reg(Reg::eip) == 0)
        return StopReason{StopReason::Kind::fault, status_memory_fault,
                          "instruction fetch from unmapped memory at 0x00000000"};
    bool requested;
    {
        std::lock_guard lock(stop_lock_);
        requested = stop_requested_;
    }
    auto at_start = memory_.bytes(from, 1, Access::read);
    bool halted_at_start = at_start && (*at_start)[0] == hlt_opcode && reg(Reg::eip) == from + 1;
    if (requested || (instructions > 0 && !halted_at_start))
        return StopReason{StopReason::Kind::stopped, 0, {}};
    return StopReason{StopReason::Kind::halted, 0,
                      "halted at instruction " + code_address(reg(Reg::eip))};
}

void Machine::request_stop()
{
    std::lock_guard lock(stop_lock_);
    stop_requested_ = true;
    if (!in_kernel_call_) uc_emu_stop(engine_);
}

void Machine::allow_remote_stops() { remote_stops_ = true; }

std::optional<Machine::HookId> Machine::hook_address(uint32_t address,
                                                     std::function<void()> on_reach)
{
    HookId id = next_hook_++;
    AddressHook& hook = hooks_[id];
    hook.on_reach = std::move(on_reach);
    uc_hook handle = 0;
    if (uc_hook_add(engine_, &handle, UC_HOOK_CODE, reinterpret_cast<void*>(&on_hooked_address),
                    &hook, address, address) != UC_ERR_OK) {
        hooks_.erase(id);
        return std::nullopt;
    }
    hook.handle = handle;
    uc_ctl_remove_cache(engine_, uint64_t(address), uint64_t(address) + 1);
    return id;
}

void Machine::remove_hook(HookId id)
{
    auto found = hooks_.find(id);
    if (found == hooks_.end()) return;
    uc_hook_del(engine_, found->second.handle);
    hooks_.erase(found);
}

void Machine::on_hooked_address(uc_struct*, uint64_t, uint32_t, void* hook)
{
    static_cast<AddressHook*>(hook)->on_reach();
}

std::string Machine::code_address(uint32_t address) const
{
    std::optional<std::string> function = image_.function_at(address);
    return function ? hex(address) + " (" + *function + ")" : hex(address);
}

void Machine::exit(int32_t status)
{
    stop_ = StopReason{StopReason::Kind::exited, status, {}};
    uc_emu_stop(engine_);
}

// The message ends where the faulting instruction's address goes: the engine knows it once the
// run has ended.
void Machine::record_fault(std::string message, int32_t status)
{
    if (!stop_) stop_ = StopReason{StopReason::Kind::fault, status, std::move(message)};
    uc_emu_stop(engine_);
}

// With remote stops allowed, a stop asked during the call waits for its end.
void Machine::serve_kernel_call()
{
    if (!remote_stops_) {
        kernel_.serve(*this);
        return;
    }
    {
        std::lock_guard lock(stop_lock_);
        in_kernel_call_ = true;
    }
    kernel_.serve(*this);
    std::lock_guard lock(stop_lock_);
    in_kernel_call_ = false;
    if (stop_requested_) uc_emu_stop(engine_);
}

void Machine::on_interrupt(uc_struct*, uint32_t number, void* self)
{
    auto* machine = static_cast<Machine*>(self);
    if (number == 0x80) {
        machine->serve_kernel_call();
        return;
    }
    std::string where = " at instruction ";
    switch (number) {
    case 0: machine->record_fault("divide error" + where, status_arithmetic_fault); break;
    case 6: machine->record_fault("invalid instruction" + where, status_invalid_instruction); break;
    case 16:
    case 19:
        machine->record_fault("floating-point exception" + where, status_arithmetic_fault);
        break;
    default:
        machine->record_fault("processor exception " + std::to_string(number) + where,
                              status_memory_fault);
    }
}

void Machine::describe_bad_access(int type, uint64_t address)
{
    const char* what = "memory access";
    switch (type) {
    case UC_MEM_READ_UNMAPPED: what = "read from unmapped memory"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "write to unmapped memory"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "instruction fetch from unmapped memory"; break;
    case UC_MEM_READ_PROT: what = "read from protected memory"; break;
    case UC_MEM_WRITE_PROT: what = "write to read-only memory"; break;
    case UC_MEM_FETCH_PROT: what = "instruction fetch from non-executable memory"; break;
    }
    std::string message = what;
    if (address >= stack_guard && address < stack_top - stack_size)
        message = "stack overflow: " + message;
    message += " at " + hex(address) + ", instruction at ";
    if (type != UC_MEM_FETCH_UNMAPPED && type != UC_MEM_FETCH_PROT) EngineRun::note_bad_access();
    record_fault(std::move(message), status_memory_fault);
}

bool Machine::on_bad_access(uc_struct*, int type, uint64_t address, int, int64_t, void* self)
{
    static_cast<Machine*>(self)->describe_bad_access(type, address);
    return false;
}

bool Machine::on_invalid_instruction(uc_struct*, void* self)
{
    auto* machine = static_cast<Machine*>(self);
    machine->record_fault("invalid instruction at ", status_invalid_instruction);
    return false;
}

} // namespace yulos
