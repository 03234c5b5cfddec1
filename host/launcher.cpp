#include "launcher.h"
#include "gdb_stub.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace yulos {
namespace {

void say(int diagnostics, const std::string& message)
{
    std::string line = "yulos: " + message + "\n";
    (void)!::write(diagnostics, line.data(), line.size());
}

// The guest's 0, 1 and 2 are the host's own; the host keeps only a copy of its error output.
// A parent hands down the pseudo-terminal pairs of the standard descriptors, and the
// descriptors above them.
Descriptors initial_descriptors(const LaunchSetup& setup)
{
    Descriptors descriptors;
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) >= 0)
            descriptors.place(fd, UniqueFd(fd), setup.standard_pty_pairs[fd]);
    for (const HandedDescriptor& d : setup.descriptors) {
        fcntl(d.host, F_SETFD, FD_CLOEXEC);
        descriptors.place(d.guest, UniqueFd(d.host), d.pty_pair);
    }
    return descriptors;
}

Result<ElfImage> load_image(const GuestRoot& root, const std::string& path)
{
    Result<UniqueFd> file = root.open_regular(path);
    if (!file) return Error(path + ": " + file.error().text());
    Result<std::vector<uint8_t>> bytes = read_image_file(file->get(), path);
    if (!bytes) return bytes.error();
    return parse_elf_image(*bytes, path);
}

// The guest's address space, its segments and its stack, against the limit.
Result<void> check_memory(const ElfImage& image, const std::string& path, uint32_t limit_mib)
{
    uint64_t bytes = stack_size;
    for (const Segment& segment : image.segments)
        bytes += (uint64_t(segment.address % page_size) + segment.memory_size + page_size - 1) /
                 page_size * page_size;
    uint64_t mib = (bytes + (1u << 20) - 1) >> 20;
    if (mib <= limit_mib) return {};
    return Error(path + ": needs " + std::to_string(mib) + " MiB of memory, more than the " +
                 std::to_string(limit_mib) + " MiB allowed (--max-memory)");
}

Result<RunTable> run_table(const LaunchSetup& setup)
{
    if (setup.run_fd < 0) return RunTable::create(setup.limits);
    return RunTable::join(setup.run_fd, setup.slot);
}

// Why the guest cannot start, as a parent that spawned it is told: the error number, or
// `otherwise` when the error has none.
int32_t start_error(const Error& error, int otherwise)
{
    return -(error.number != 0 ? error.number : otherwise);
}

} // namespace

int32_t run_guest(LaunchSetup setup, int diagnostics)
{
    auto refuse = [&](const Error& error, int number) {
        say(diagnostics, error.text());
        report_start(setup.start_fd, start_error(error, number));
        return status_not_started;
    };
    Result<GuestRoot> root = GuestRoot::open(setup.root);
    if (!root) return refuse(root.error(), ENOENT);
    root->set_cwd(setup.cwd);
    Result<ElfImage> image = load_image(*root, root->absolute(setup.path));
    if (!image) return refuse(image.error(), ENOEXEC);
    if (Result<void> fits = check_memory(*image, setup.path, setup.limits.memory_mib); !fits)
        return refuse(fits.error(), ENOMEM);
    Result<RunTable> run = run_table(setup);
    if (!run) return refuse(run.error(), EAGAIN);
    setup.kernel.memory_mib = setup.limits.memory_mib;
    Kernel kernel(std::move(*root), initial_descriptors(setup), setup.kernel, std::move(*run));
    Result<std::unique_ptr<Machine>> machine = Machine::create(*image, kernel);
    if (!machine) return refuse(Error(setup.path + ": " + machine.error().text()), ENOMEM);
    if (Result<void> pushed = (*machine)->push_arguments(setup.argv); !pushed)
        return refuse(Error(setup.path + ": " + pushed.error().text()), E2BIG);
    std::optional<GdbConnection> debugger;
    if (setup.gdb_port) {
        Result<GdbConnection> connected = wait_for_debugger(*setup.gdb_port, diagnostics);
        if (!connected) return refuse(connected.error(), EIO);
        debugger.emplace(std::move(*connected));
    }
    report_start(setup.start_fd, 0);
    StopReason stop =
        debugger ? run_under_debugger(**machine, std::move(*debugger)) : (*machine)->run();
    int32_t status = stop.status;
    if (stop.kind == StopReason::Kind::fault) say(diagnostics, setup.path + ": " + stop.message);
    if (stop.kind == StopReason::Kind::halted) {
        say(diagnostics, setup.path + ": " + stop.message);
        status = status_invalid_instruction;
    }
    return status;
}

} // namespace yulos
