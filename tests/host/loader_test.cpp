// The loader and the CPU engine: which images are accepted, which are refused and why, how the
// segments are mapped, the initial stack, and how a guest that faults is ended.
#include "elf_image.h"
#include "guest_call.h"
#include "host_test_support.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <functional>
#include <yulos_elf.h>

using namespace yulos;
using namespace yulos_test;

namespace {

const std::string faults_image = guest_image("test_faults");

std::vector<uint8_t> image_bytes(const std::string& path)
{
    auto bytes = read_host_file(path);
    EXPECT_TRUE(bytes) << bytes.error().message;
    return bytes ? *bytes : std::vector<uint8_t>();
}

// Offsets of the fields of the ELF header and of a program header.
#define HEADER_AT(field) offsetof(yulos_elf_header, field)
#define SEGMENT_AT(field) offsetof(yulos_elf_program_header, field)

// Little-endian fields of an image in memory, to build malformed images from a sound one.
struct Patch {
    std::vector<uint8_t>& bytes;

    uint32_t u32(size_t at) const
    {
        uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    }
    void set_u32(size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }
    void set_u16(size_t at, uint16_t v) { std::memcpy(bytes.data() + at, &v, 2); }
    uint16_t program_headers() const
    {
        uint16_t count;
        std::memcpy(&count, bytes.data() + HEADER_AT(program_header_count), 2);
        return count;
    }
    // Offset of the field at `field` (an offsetof in yulos_elf_program_header) of program
    // header `i`.
    size_t ph(unsigned i, size_t field) const
    {
        return u32(HEADER_AT(program_headers)) + sizeof(yulos_elf_program_header) * i + field;
    }
    // The first loadable segment whose flags are exactly `flags`.
    unsigned segment_with(uint32_t flags) const
    {
        for (unsigned i = 0; i < program_headers(); ++i)
            if (u32(ph(i, SEGMENT_AT(type))) == YULOS_PT_LOAD &&
                u32(ph(i, SEGMENT_AT(flags))) == flags)
                return i;
        ADD_FAILURE() << "no segment with flags " << flags;
        return 0;
    }
};

constexpr uint32_t code_flags = YULOS_PF_R | YULOS_PF_X, rodata_flags = YULOS_PF_R,
                   data_flags = YULOS_PF_R | YULOS_PF_W;

} // namespace

TEST(Loader, AcceptsOurOwnImagesWithTheirLayout)
{
    for (std::string path :
         {faults_image, guest_image("test_runtime"), std::string(YULOS_SYSROOT) + "/binaries/echo",
          std::string(YULOS_SYSROOT) + "/binaries/ttyrelay"}) {
        SCOPED_TRACE(path);
        auto image = parse_elf_image(image_bytes(path), path);
        ASSERT_TRUE(image) << image.error().message;
        ASSERT_EQ(image->segments.size(), 3u);
        const Segment &code = image->segments[0], &rodata = image->segments[1],
                      &data = image->segments[2];
        EXPECT_EQ(code.address, 0x400000u);
        EXPECT_TRUE(code.readable && code.executable && !code.writable);
        EXPECT_TRUE(rodata.readable && !rodata.executable && !rodata.writable);
        EXPECT_TRUE(data.readable && data.writable && !data.executable);
        for (const Segment& s : image->segments) EXPECT_EQ(s.address % page_size, 0u);
        EXPECT_EQ(image->entry, image->symbols.at("_start"));
        EXPECT_EQ(image->entry, code.address);
        // The heap arena lies in the zero-filled part of the data segment.
        EXPECT_GT(data.memory_size, data.bytes.size() + (1u << 20) - 1);
    }
}

TEST(Loader, RefusesEachKindOfMalformedImageNamingFileAndReason)
{
    const std::vector<uint8_t> sound = image_bytes(faults_image);
    ASSERT_FALSE(sound.empty());
    struct Case {
        const char* reason;
        std::function<void(Patch&)> patch;
    };
    const Case cases[] = {
        {"too short", [](Patch& p) { p.bytes.resize(sizeof(yulos_elf_header) - 1); }},
        {"no ELF magic", [](Patch& p) { p.bytes[1] = 'X'; }},
        {"not a 32-bit ELF file", [](Patch& p) { p.bytes[4] = 2; }},
        {"not little-endian", [](Patch& p) { p.bytes[5] = 2; }},
        {"not an executable", [](Patch& p) { p.set_u16(HEADER_AT(type), 3); }},
        {"not for 32-bit x86", [](Patch& p) { p.set_u16(HEADER_AT(machine), 62); }},
        {"bad program header size",
         [](Patch& p) { p.set_u16(HEADER_AT(program_header_size), 56); }},
        {"program headers lie beyond the file's end",
         [](Patch& p) { p.set_u32(HEADER_AT(program_headers), uint32_t(p.bytes.size()) - 40); }},
        {"interpreter",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(rodata_flags), SEGMENT_AT(type)), YULOS_PT_INTERP);
         }},
        {"dynamic section",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(rodata_flags), SEGMENT_AT(type)), YULOS_PT_DYNAMIC);
         }},
        {"outside the user address range",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(rodata_flags), SEGMENT_AT(address)), 0x1000);
         }},
        {"outside the user address range",
         [](Patch& p) {
             unsigned s = p.segment_with(data_flags);
             p.set_u32(p.ph(s, SEGMENT_AT(address)), user_limit - page_size);
             p.set_u32(p.ph(s, SEGMENT_AT(memory_size)), 2 * page_size);
         }},
        {"outside the user address range",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(data_flags), SEGMENT_AT(address)), 0xfffff000);
         }},
        {"segments overlap",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(data_flags), SEGMENT_AT(address)),
                       0x400000 + 3 * page_size / 2);
         }},
        {"beyond the file's end",
         [](Patch& p) {
             p.set_u32(p.ph(p.segment_with(rodata_flags), SEGMENT_AT(offset)),
                       uint32_t(p.bytes.size()));
         }},
        {"beyond the file's end",
         [](Patch& p) {
             unsigned s = p.segment_with(data_flags);
             p.set_u32(p.ph(s, SEGMENT_AT(offset)), 0xfffff000); // offset + size wraps in 32 bits
             p.set_u32(p.ph(s, SEGMENT_AT(file_size)), 0x2000);
         }},
        {"more file bytes than memory",
         [](Patch& p) {
             unsigned s = p.segment_with(rodata_flags);
             p.set_u32(p.ph(s, SEGMENT_AT(file_size)), p.u32(p.ph(s, SEGMENT_AT(memory_size))) + 1);
         }},
        {"entry point outside the executable code",
         [](Patch& p) {
             p.set_u32(HEADER_AT(entry),
                       p.u32(p.ph(p.segment_with(rodata_flags), SEGMENT_AT(address))));
         }},
        {"entry point outside the executable code",
         [](Patch& p) { p.set_u32(HEADER_AT(entry), 0x10); }},
        {"no loadable segment",
         [](Patch& p) {
             for (unsigned i = 0; i < p.program_headers(); ++i)
                 p.set_u32(p.ph(i, SEGMENT_AT(type)), 4);
         }},
        {"no loadable segment", [](Patch& p) { p.set_u16(44, 0); }},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = sound;
        Patch patch{bytes};
        c.patch(patch);
        auto image = parse_elf_image(bytes, "/binaries/bad");
        ASSERT_FALSE(image) << "accepted an image that is " << c.reason;
        EXPECT_TRUE(image.error().message.starts_with("/binaries/bad: not a yulos executable: "))
            << image.error().message;
        EXPECT_NE(image.error().message.find(c.reason), std::string::npos) << image.error().message;
    }
    EXPECT_FALSE(parse_elf_image({}, "empty"));
}

TEST(Loader, MapsEachSegmentWithItsOwnPermissions)
{
    GuestCall g(faults_image);
    uint32_t read_only = g.symbol("g_fault_read_only");
    EXPECT_EQ(g.read_u32(read_only), 0x5eadb0a7u); // readable

    CallOutcome outcome = g.call("write_read_only", {});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_EQ(outcome.status, status_memory_fault);
    char address[16];
    std::snprintf(address, sizeof address, "0x%08x", read_only);
    EXPECT_TRUE(outcome.message.starts_with("write to read-only memory at " + std::string(address)))
        << outcome.message;
    EXPECT_EQ(g.read_u32(read_only), 0x5eadb0a7u);

    outcome = g.call("write_code", {});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_NE(outcome.message.find("write to read-only memory"), std::string::npos)
        << outcome.message;

    outcome = g.call("execute_data", {});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_EQ(outcome.status, status_memory_fault);
    std::snprintf(address, sizeof address, "0x%08x", g.symbol("g_fault_data_code"));
    EXPECT_TRUE(outcome.message.starts_with("instruction fetch from non-executable memory at " +
                                            std::string(address)))
        << outcome.message;

    outcome = g.call("read_unmapped", {});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_TRUE(outcome.message.starts_with("read from unmapped memory at 0x00000010"))
        << outcome.message;

    // The same guest process goes on serving calls after each fault.
    EXPECT_EQ(g.call_word("divide", {42, 6}), 7u);
}

TEST(Loader, GivesTheDataSegmentItsValuesAndZeroFillsTheRest)
{
    GuestCall g(faults_image);
    EXPECT_EQ(g.read_u32(g.symbol("g_fault_data")), 0x1234abcdu);
    EXPECT_EQ(g.call_word("count_nonzero", {}), 0u);

    // A data segment that claims fewer file bytes than the file holds gets zeros for the rest,
    // not the bytes that follow in the file.
    std::vector<uint8_t> bytes = image_bytes(faults_image);
    Patch patch{bytes};
    unsigned data = patch.segment_with(data_flags);
    uint32_t data_start = patch.u32(patch.ph(data, SEGMENT_AT(address)));
    auto sound = parse_elf_image(bytes, "sound");
    ASSERT_TRUE(sound);
    uint32_t value_at = sound->symbols.at("g_fault_data");
    ASSERT_GE(value_at, data_start);
    patch.set_u32(patch.ph(data, SEGMENT_AT(file_size)), value_at - data_start);
    auto image = parse_elf_image(bytes, "short data");
    ASSERT_TRUE(image) << image.error().message;
    ScriptedKernel kernel;
    auto machine = Machine::create(*image, kernel);
    ASSERT_TRUE(machine) << machine.error().message;
    EXPECT_EQ((*machine)->memory().read_u32(value_at), 0u);
}

// A loadable segment may hold no file bytes at all (only zero-filled memory): it loads as
// zeros, and the program runs.
TEST(Loader, LoadsAndRunsASegmentWithNoFileBytes)
{
    std::vector<uint8_t> bytes = image_bytes(faults_image);
    Patch patch{bytes};
    patch.set_u32(patch.ph(patch.segment_with(data_flags), 16), 0);
    TempDir root;
    write_bytes(root / "bin/faults", bytes);

    GuestCall g((root / "bin/faults").string());
    EXPECT_EQ(g.read_u32(g.symbol("g_fault_data")), 0u);
    EXPECT_EQ(g.call_word("count_nonzero", {}), 0u);

    HostRun run = run_host({"run", "--root", root.str(), "/bin/faults", "none"});
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_EQ(run.out, "before\n");
    EXPECT_EQ(run.err, "");
}

TEST(Loader, LaysOutTheInitialStack)
{
    auto image = parse_elf_image(image_bytes(faults_image), "faults");
    ASSERT_TRUE(image);
    ScriptedKernel kernel;
    auto created = Machine::create(*image, kernel);
    ASSERT_TRUE(created);
    Machine& m = **created;
    const std::vector<std::string> argv = {"/bin/faults", "first", "", "last one"};
    ASSERT_TRUE(m.push_arguments(argv));
    uint32_t sp = m.reg(Reg::esp);
    EXPECT_EQ(sp % 16, 0u);
    EXPECT_EQ(m.memory().read_u32(sp), 4u);
    for (uint32_t i = 0; i < argv.size(); ++i) {
        auto pointer = m.memory().read_u32(sp + 4 + 4 * i);
        ASSERT_TRUE(pointer);
        EXPECT_GT(*pointer, sp + 4 * 5); // the texts lie above the pointers
        EXPECT_LT(*pointer, stack_top);
        auto text = m.memory().text(*pointer, 4096);
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, argv[i]);
    }
    EXPECT_EQ(m.memory().read_u32(sp + 4 + 4 * 4), 0u);

    // _start takes the count and vector from there: main sees argv[1] "none", writes, returns 2.
    ASSERT_TRUE(m.push_arguments(std::vector<std::string>{"faults", "none"}));
    StopReason stop = m.run();
    EXPECT_EQ(stop.kind, StopReason::Kind::exited);
    EXPECT_EQ(stop.status, 2);
    EXPECT_EQ(kernel.output, "before\n");

    // An argument larger than the stack is refused, not written past it.
    auto other = Machine::create(*image, kernel);
    ASSERT_TRUE(other);
    EXPECT_FALSE((*other)->push_arguments(std::vector<std::string>{std::string(9u << 20, 'x')}));
}

// Each case in a fresh guest process, as a real one ends at its first fault (the CPU engine
// keeps the pending-exception state of a fault, so a second one would show as a double fault).
TEST(Loader, EndsAGuestThatFaultsWithItsDocumentedStatus)
{
    auto fault = [](std::string_view function, std::initializer_list<uint32_t> args) {
        GuestCall g(faults_image);
        CallOutcome outcome = g.call(function, args);
        EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault) << function << ": " << outcome.message;
        return outcome;
    };
    CallOutcome outcome = fault("recurse", {0});
    EXPECT_EQ(outcome.status, status_memory_fault);
    EXPECT_TRUE(outcome.message.starts_with("stack overflow: write to unmapped memory at "))
        << outcome.message;

    outcome = fault("divide", {7, 0});
    EXPECT_EQ(outcome.status, status_arithmetic_fault);
    EXPECT_TRUE(outcome.message.starts_with("divide error at instruction 0x")) << outcome.message;

    outcome = fault("divide", {uint32_t(INT_MIN), uint32_t(-1)}); // the quotient overflows
    EXPECT_EQ(outcome.status, status_arithmetic_fault) << outcome.message;

    outcome = fault("invalid_instruction", {});
    EXPECT_EQ(outcome.status, status_invalid_instruction);
    EXPECT_TRUE(outcome.message.starts_with("invalid instruction at 0x")) << outcome.message;
}
