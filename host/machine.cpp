#include "machine.h"
#include "engine_tuning.h"

#include <cstdio>
#include <cstring>
#include <unicorn/unicorn.h>

namespace yulos {
namespace {

// A page of the host's own, outside the user range, that calls from the host return to.
constexpr uint32_t return_page = 0x00001000;

constexpr uint64_t cr0_monitor_coprocessor = 1u << 1, cr0_emulation = 1u << 2;
constexpr uint64_t cr4_osfxsr = 1u << 9, cr4_osxmmexcpt = 1u << 10;

int register_id(Reg r)
{
    switch (r) {
    case Reg::eax: return UC_X86_REG_EAX;
    case Reg::ebx: return UC_X86_REG_EBX;
    case Reg::ecx: return UC_X86_REG_ECX;
    case Reg::edx: return UC_X86_REG_EDX;
    case Reg::esi: return UC_X86_REG_ESI;
    case Reg::edi: return UC_X86_REG_EDI;
    case Reg::ebp: return UC_X86_REG_EBP;
    case Reg::esp: return UC_X86_REG_ESP;
    case Reg::eip: return UC_X86_REG_EIP;
    }
    return UC_X86_REG_INVALID;
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
        if (!memory_.map(start, size, segment.readable, segment.writable, segment.executable))
            return unmappable;
        const Region* region = memory_.region_of(segment.address);
        std::memcpy(region->memory.data() + (segment.address - start), segment.bytes.data(),
                    segment.bytes.size());
    }
    if (!memory_.map(stack_top - stack_size, stack_size, true, true, false)) return unmappable;
    set_reg(Reg::esp, stack_top);
    uint64_t cr0 = 0, cr4 = 0;
    uc_reg_read(engine_, UC_X86_REG_CR0, &cr0);
    uc_reg_read(engine_, UC_X86_REG_CR4, &cr4);
    cr0 = (cr0 | cr0_monitor_coprocessor) & ~cr0_emulation;
    cr4 |= cr4_osfxsr | cr4_osxmmexcpt;
    uc_reg_write(engine_, UC_X86_REG_CR0, &cr0);
    uc_reg_write(engine_, UC_X86_REG_CR4, &cr4);
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

uint32_t Machine::reg(Reg r) const
{
    uint32_t value = 0;
    uc_reg_read(engine_, register_id(r), &value);
    return value;
}

void Machine::set_reg(Reg r, uint32_t value) { uc_reg_write(engine_, register_id(r), &value); }

// FP0..FP7 name the physical registers; the top of the stack is found through the status word.
std::array<uint8_t, 10> Machine::st0() const
{
    uint16_t status = 0;
    uc_reg_read(engine_, UC_X86_REG_FPSW, &status);
    unsigned top = (status >> 11) & 7;
    uint8_t raw[16] = {};
    uc_reg_read(engine_, UC_X86_REG_FP0 + top, raw);
    std::array<uint8_t, 10> value;
    std::memcpy(value.data(), raw, 10);
    return value;
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
    StopReason reason = run_from(image_.entry, 0);
    if (reason.kind == StopReason::Kind::returned) {
        reason.kind = StopReason::Kind::fault;
        reason.status = status_memory_fault;
        reason.message = "instruction fetch from unmapped memory at 0x00000000";
    }
    return reason;
}

// Each call starts with an empty x87 stack, as the calling convention promises a callee; a
// floating-point result left by an earlier call would otherwise pile up.
void Machine::reset_x87()
{
    uint32_t control = 0x37f, status = 0, tags = 0xffff;
    uc_reg_write(engine_, UC_X86_REG_FPCW, &control);
    uc_reg_write(engine_, UC_X86_REG_FPSW, &status);
    uc_reg_write(engine_, UC_X86_REG_FPTAG, &tags);
}

StopReason Machine::call(uint32_t function, std::span<const uint32_t> args)
{
    reset_x87();
    if (!memory_.region_of(return_page)) {
        memory_.map(return_page, page_size, true, false, true);
        auto page = memory_.bytes(return_page, 1, Access::read);
        (*page)[0] = 0xf4; // hlt: should the guest ever run the page, it halts
    }
    uint32_t sp = (stack_top - 4096) & ~15u;
    sp -= uint32_t(args.size()) * 4;
    for (size_t i = 0; i < args.size(); ++i) memory_.write_u32(sp + 4 * uint32_t(i), args[i]);
    sp -= 4;
    memory_.write_u32(sp, return_page);
    set_reg(Reg::esp, sp);
    return run_from(function, return_page);
}

StopReason Machine::run_from(uint32_t begin, uint32_t until)
{
    stop_.reset();
    EngineRun tuning(memory_, fixed_tsc_.has_value());
    uc_err err = uc_emu_start(engine_, begin, until, 0, 0);
    if (stop_) return *stop_;
    if (err != UC_ERR_OK)
        return StopReason{StopReason::Kind::fault, status_memory_fault,
                          std::string(uc_strerror(err)) + " at instruction " +
                              code_address(reg(Reg::eip))};
    if (reg(Reg::eip) == until) return StopReason{StopReason::Kind::returned, 0, {}};
    return StopReason{StopReason::Kind::halted, 0,
                      "halted at instruction " + code_address(reg(Reg::eip))};
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

void Machine::record_fault(std::string message, int32_t status)
{
    if (!stop_) stop_ = StopReason{StopReason::Kind::fault, status, std::move(message)};
    uc_emu_stop(engine_);
}

void Machine::on_interrupt(uc_struct*, uint32_t number, void* self)
{
    auto* machine = static_cast<Machine*>(self);
    if (number == 0x80) {
        machine->kernel_.serve(*machine);
        return;
    }
    std::string where = " at instruction " + machine->code_address(machine->reg(Reg::eip));
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
    message += " at " + hex(address) + ", instruction at " + code_address(reg(Reg::eip));
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
    machine->record_fault("invalid instruction at " + machine->code_address(machine->reg(Reg::eip)),
                          status_invalid_instruction);
    return false;
}

// rdtsc (0f 31) is answered from the fixed value and stepped over.
void Machine::on_code(uc_struct*, uint64_t address, uint32_t size, void* self)
{
    auto* machine = static_cast<Machine*>(self);
    if (size != 2) return;
    auto code = machine->memory_.bytes(uint32_t(address), 2, Access::read);
    if (!code || (*code)[0] != 0x0f || (*code)[1] != 0x31) return;
    machine->set_reg(Reg::eax, uint32_t(*machine->fixed_tsc_));
    machine->set_reg(Reg::edx, uint32_t(*machine->fixed_tsc_ >> 32));
    machine->set_reg(Reg::eip, uint32_t(address) + 2);
}

void Machine::fix_time_stamp_counter(uint64_t value)
{
    bool first = !fixed_tsc_;
    fixed_tsc_ = value;
    if (!first) return;
    for (const Segment& segment : image_.segments) {
        if (!segment.executable) continue;
        uc_hook hook;
        uc_hook_add(engine_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&on_code), this,
                    segment.address, segment.address + segment.memory_size - 1);
    }
}

} // namespace yulos
