#include "launcher.h"

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
Descriptors standard_descriptors(const LaunchSetup& setup)
{
    Descriptors descriptors;
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) >= 0) descriptors.place(fd, UniqueFd(fd));
    for (auto [number, host] : setup.extra_descriptors) {
        fcntl(host, F_SETFD, FD_CLOEXEC);
        descriptors.place(number, UniqueFd(host));
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

} // namespace

int32_t run_guest(LaunchSetup setup, int diagnostics)
{
    auto root = GuestRoot::open(setup.root);
    if (!root) {
        say(diagnostics, root.error().text());
        return status_not_started;
    }
    root->set_cwd(setup.cwd);
    auto image = load_image(*root, root->absolute(setup.path));
    if (!image) {
        say(diagnostics, image.error().text());
        return status_not_started;
    }
    Kernel kernel(std::move(*root), standard_descriptors(setup), setup.kernel);
    auto machine = Machine::create(*image, kernel);
    if (!machine || !(*machine)->push_arguments(setup.argv)) {
        say(diagnostics, setup.path + ": cannot set up the guest process");
        return status_not_started;
    }
    StopReason stop = (*machine)->run();
    int32_t status = stop.status;
    if (stop.kind == StopReason::Kind::fault) say(diagnostics, setup.path + ": " + stop.message);
    if (stop.kind == StopReason::Kind::halted) {
        say(diagnostics, setup.path + ": " + stop.message);
        status = status_invalid_instruction;
    }
    return status;
}

} // namespace yulos
