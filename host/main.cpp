// The yulos host's command line.
//   run [--root DIR] [--trace[=FILE]] [--fail CALL[=RESULT]] PROGRAM [ARGS...]
//   meta FILE
//   child ...   (internal: how a spawning guest starts its child on a fresh host)
#include "launcher.h"
#include "meta.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace yulos;

constexpr int status_usage = 2;

int usage()
{
    std::fputs("usage: yulos-host run [--root DIR] [--trace[=FILE]] [--fail CALL[=RESULT]] "
               "PROGRAM [ARGS...]\n"
               "       yulos-host meta FILE\n",
               stderr);
    return status_usage;
}

std::string host_binary()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, n) : std::string("/proc/self/exe");
}

bool parse_int(std::string_view text, long long& value)
{
    std::string copy(text);
    char* end = nullptr;
    value = std::strtoll(copy.c_str(), &end, 0);
    return !copy.empty() && *end == 0;
}

// --fail CALL[=RESULT]: the call returns RESULT (default -5) without being served.
bool parse_failure(std::string_view text, KernelOptions& options)
{
    size_t equals = text.find('=');
    long long number = 0, result = -5;
    if (!parse_int(text.substr(0, equals), number) || number < 0) return false;
    if (equals != std::string_view::npos && !parse_int(text.substr(equals + 1), result))
        return false;
    options.fail[uint32_t(number)] = int32_t(result);
    return true;
}

// A bare name means /binaries/NAME.
std::string program_path(std::string_view program)
{
    if (program.find('/') != std::string_view::npos) return std::string(program);
    return "/binaries/" + std::string(program);
}

int command_run(std::vector<std::string_view> args, int diagnostics)
{
    LaunchSetup setup;
    setup.kernel.host_binary = host_binary();
    size_t i = 0;
    for (; i < args.size() && args[i].starts_with("--"); ++i) {
        std::string_view arg = args[i];
        if (arg == "--root" && i + 1 < args.size())
            setup.root = args[++i];
        else if (arg == "--trace")
            setup.kernel.trace_fd = diagnostics;
        else if (arg.starts_with("--trace=")) {
            std::string file(arg.substr(8));
            setup.kernel.trace_fd =
                open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
            if (setup.kernel.trace_fd < 0) {
                std::perror(file.c_str());
                return status_usage;
            }
        } else if (arg == "--fail" && i + 1 < args.size()) {
            if (!parse_failure(args[++i], setup.kernel)) return usage();
        } else if (arg == "--") {
            ++i;
            break;
        } else
            return usage();
    }
    if (i >= args.size() || setup.root.empty()) return usage();
    setup.path = program_path(args[i]);
    for (; i < args.size(); ++i) setup.argv.emplace_back(args[i]);
    return run_guest(std::move(setup), diagnostics) & 0xff;
}

int command_child(std::vector<std::string_view> args, int diagnostics)
{
    LaunchSetup setup;
    setup.kernel.host_binary = host_binary();
    size_t i = 0;
    long long number = 0;
    for (; i + 1 < args.size() && args[i] != "--"; i += 2) {
        std::string_view arg = args[i], value = args[i + 1];
        if (arg == "--root")
            setup.root = value;
        else if (arg == "--cwd")
            setup.cwd = value;
        else if (arg == "--status-fd" && parse_int(value, number))
            setup.status_fd = int(number);
        else if (arg == "--trace-fd" && parse_int(value, number))
            setup.kernel.trace_fd = int(number);
        else if (arg == "--fd") {
            size_t equals = value.find('=');
            long long guest = 0, host = 0;
            if (equals == std::string_view::npos || !parse_int(value.substr(0, equals), guest) ||
                !parse_int(value.substr(equals + 1), host))
                return usage();
            setup.extra_descriptors.emplace_back(int(guest), int(host));
        } else
            return usage();
    }
    if (i >= args.size() || args[i] != "--" || i + 1 >= args.size()) return usage();
    setup.path = args[i + 1];
    for (i += 2; i < args.size(); ++i) setup.argv.emplace_back(args[i]);
    int status_fd = setup.status_fd;
    if (status_fd >= 0) fcntl(status_fd, F_SETFD, FD_CLOEXEC);
    if (setup.kernel.trace_fd >= 0) fcntl(setup.kernel.trace_fd, F_SETFD, FD_CLOEXEC);
    int32_t status = run_guest(std::move(setup), diagnostics);
    report_status(status_fd, status);
    return status & 0xff;
}

} // namespace

int main(int argc, char** argv)
{
    // No transparent huge pages: the engine asks for them on its 1 GiB code buffer, and the
    // first 2 MiB page alone would double a small guest's resident memory, for a few kilobytes
    // of translated code.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
    // The host's own messages go to a private copy of its error output, so a guest that closes
    // or replaces its descriptor 2 does not silence them.
    int diagnostics = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (diagnostics < 0) diagnostics = 2;
    if (argc < 2) return usage();
    std::string_view command = argv[1];
    std::vector<std::string_view> args(argv + 2, argv + argc);
    if (command == "run") return command_run(args, diagnostics);
    if (command == "child") return command_child(args, diagnostics);
    if (command == "meta" && args.size() == 1) return print_metadata(std::string(args[0]));
    return usage();
}
