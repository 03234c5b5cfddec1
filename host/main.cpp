// The yulos host's command line.
//   run [OPTIONS] PROGRAM [ARGS...]
//   meta FILE
//   child ...   (internal: how a spawning guest starts its child on a fresh host)
#include "launcher.h"
#include "meta.h"

#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace yulos;

constexpr int status_usage = 2;

const char usage_text[] =
    "usage: yulos-host run [--root DIR] [--trace[=FILE]] [--fail CALL[=RESULT]]\n"
    "                      [--max-processes N] [--max-ptys N] [--max-memory MIB] [--gdb PORT]\n"
    "                      PROGRAM [ARGS...]\n"
    "       yulos-host meta FILE\n";

// What was wrong, then the usage text; status 2.
int refuse(const std::string& problem)
{
    std::string text = "yulos-host: " + problem + "\n" + usage_text;
    (void)!::write(2, text.data(), text.size());
    return status_usage;
}

std::string host_binary()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, n) : std::string("/proc/self/exe");
}

// A decimal number in [low, high]: digits only, with a minus sign where low is negative.
Result<int64_t> decimal(std::string_view text, int64_t low, int64_t high, std::string_view what)
{
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    bool digits = !text.empty() && (std::isdigit(uint8_t(text[0])) || (text[0] == '-' && low < 0));
    if (!digits || error == std::errc::invalid_argument || end != text.data() + text.size())
        return Error(std::string(what) + " \"" + std::string(text) + "\" is not a decimal number");
    if (error == std::errc::result_out_of_range || value < low || value > high)
        return Error(std::string(what) + " " + std::string(text) + " is not between " +
                     std::to_string(low) + " and " + std::to_string(high));
    return value;
}

// --fail CALL[=RESULT]: the call returns RESULT (default -5) without being served.
Result<void> parse_failure(std::string_view text, KernelOptions& options)
{
    size_t equals = text.find('=');
    Result<int64_t> number = decimal(text.substr(0, equals), 0, UINT32_MAX, "--fail: the call");
    if (!number) return number.error();
    int64_t result = -5;
    if (equals != std::string_view::npos) {
        Result<int64_t> given =
            decimal(text.substr(equals + 1), INT32_MIN, INT32_MAX, "--fail: the result");
        if (!given) return given.error();
        result = *given;
    }
    options.fail[uint32_t(*number)] = int32_t(result);
    return {};
}

// What `run` was asked to do.
struct RunCommand {
    LaunchSetup setup;
    std::string trace_file; // --trace=FILE
};

// A bare name means /binaries/NAME.
std::string program_path(std::string_view program)
{
    if (program.find('/') != std::string_view::npos) return std::string(program);
    return "/binaries/" + std::string(program);
}

Result<RunCommand> parse_run(std::span<const std::string_view> args, int diagnostics)
{
    LaunchSetup setup;
    setup.kernel.host_binary = host_binary();
    std::string trace_file;
    size_t i = 0;
    auto value_of = [&](std::string_view option) -> Result<std::string_view> {
        if (i + 1 >= args.size()) return Error(std::string(option) + " needs a value");
        return args[++i];
    };
    auto limit = [&](std::string_view option, uint32_t& into, int64_t low,
                     int64_t high) -> Result<void> {
        Result<std::string_view> text = value_of(option);
        if (!text) return text.error();
        Result<int64_t> value = decimal(*text, low, high, option);
        if (!value) return value.error();
        into = uint32_t(*value);
        return {};
    };
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
        std::string_view arg = args[i];
        Result<void> parsed;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--root") {
            Result<std::string_view> root = value_of(arg);
            if (!root) return root.error();
            setup.root = *root;
        } else if (arg == "--trace") {
            setup.kernel.trace_fd = diagnostics;
            trace_file.clear();
        } else if (arg.starts_with("--trace=")) {
            trace_file = arg.substr(8);
            if (trace_file.empty()) return Error("--trace= needs a file name");
        } else if (arg == "--fail") {
            Result<std::string_view> failure = value_of(arg);
            if (!failure) return failure.error();
            parsed = parse_failure(*failure, setup.kernel);
        } else if (arg == "--max-processes")
            parsed = limit(arg, setup.limits.processes, 1, max_limit_processes);
        else if (arg == "--max-ptys")
            parsed = limit(arg, setup.limits.ptys, 0, max_limit_ptys);
        else if (arg == "--max-memory")
            parsed = limit(arg, setup.limits.memory_mib, 1, max_limit_memory_mib);
        else if (arg == "--gdb") {
            uint32_t port = 0;
            parsed = limit(arg, port, 0, 65535);
            if (parsed) setup.gdb_port = uint16_t(port);
        } else
            return Error("unknown option " + std::string(arg));
        if (!parsed) return parsed.error();
    }
    if (setup.root.empty()) return Error("no guest root given (--root DIR)");
    if (i >= args.size()) return Error("no program given");
    setup.path = program_path(args[i]);
    for (; i < args.size(); ++i) setup.argv.emplace_back(args[i]);
    return RunCommand{std::move(setup), std::move(trace_file)};
}

// The trace's first line; a trace file that cannot take it is refused before anything runs,
// so that no run goes on with its trace lost.
Result<void> start_trace(RunCommand& run)
{
    if (!run.trace_file.empty()) {
        int fd =
            open(run.trace_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return Error("--trace: " + run.trace_file + ": " + std::strerror(errno));
        run.setup.kernel.trace_fd = fd;
    }
    if (run.setup.kernel.trace_fd < 0) return {};
    Result<void> started = Trace(run.setup.kernel.trace_fd).start(run.setup.path, run.setup.argv);
    if (!started && !run.trace_file.empty())
        return Error("--trace: " + run.trace_file +
                     ": cannot be written: " + started.error().text());
    return {};
}

int command_run(std::span<const std::string_view> args, int diagnostics)
{
    Result<RunCommand> run = parse_run(args, diagnostics);
    if (!run) return refuse(run.error().text());
    if (Result<void> traced = start_trace(*run); !traced) {
        std::string line = "yulos-host: " + traced.error().text() + "\n";
        (void)!::write(diagnostics, line.data(), line.size());
        return status_usage;
    }
    return run_guest(std::move(run->setup), diagnostics) & 0xff;
}

// The child's options come from its parent host, never from a user.
Result<LaunchSetup> parse_child(std::span<const std::string_view> args)
{
    LaunchSetup setup;
    setup.kernel.host_binary = host_binary();
    auto number = [](std::string_view text) -> Result<int> {
        Result<int64_t> value = decimal(text, 0, INT_MAX, "child: the number");
        if (!value) return value.error();
        return int(*value);
    };
    // GUEST=VALUE, both numbers.
    auto pair = [&](std::string_view text) -> Result<std::pair<int, int>> {
        size_t equals = text.find('=');
        if (equals == std::string_view::npos) return Error("child: no '=' in " + std::string(text));
        Result<int> guest = number(text.substr(0, equals)), value = number(text.substr(equals + 1));
        if (!guest) return guest.error();
        if (!value) return value.error();
        return std::pair{*guest, *value};
    };
    int argv_fd = -1;
    size_t i = 0;
    for (; i + 1 < args.size() && args[i] != "--"; i += 2) {
        std::string_view arg = args[i], value = args[i + 1];
        if (arg == "--root") {
            setup.root = value;
            continue;
        }
        if (arg == "--cwd") {
            setup.cwd = value;
            continue;
        }
        if (arg == "--fd" || arg == "--pty") {
            Result<std::pair<int, int>> given = pair(value);
            if (!given) return given.error();
            auto [guest, host_or_pair] = *given;
            if (arg == "--fd")
                setup.descriptors.push_back(HandedDescriptor{guest, host_or_pair, {}});
            else if (guest < 3)
                setup.standard_pty_pairs[guest] = uint32_t(host_or_pair);
            else
                for (HandedDescriptor& d : setup.descriptors)
                    if (d.guest == guest) d.pty_pair = uint32_t(host_or_pair);
            continue;
        }
        Result<int> n = number(value);
        if (!n) return n.error();
        if (arg == "--status-fd")
            setup.status_fd = *n;
        else if (arg == "--start-fd")
            setup.start_fd = *n;
        else if (arg == "--run-fd")
            setup.run_fd = *n;
        else if (arg == "--slot")
            setup.slot = uint32_t(*n);
        else if (arg == "--argv-fd")
            argv_fd = *n;
        else if (arg == "--trace-fd")
            setup.kernel.trace_fd = *n;
        else if (arg == "--max-memory")
            setup.limits.memory_mib = uint32_t(*n);
        else
            return Error("child: unexpected " + std::string(arg));
    }
    if (i + 2 != args.size() || args[i] != "--") return Error("child: no program given");
    setup.path = args[i + 1];
    for (int fd : {setup.status_fd, setup.start_fd, setup.run_fd, setup.kernel.trace_fd})
        if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    UniqueFd argv_file(argv_fd);
    Result<std::vector<std::string>> argv = read_argument_file(argv_fd);
    if (!argv) return Error("child: cannot read the arguments: " + argv.error().text());
    setup.argv = std::move(*argv);
    return setup;
}

int command_child(std::span<const std::string_view> args, int diagnostics)
{
    Result<LaunchSetup> setup = parse_child(args);
    if (!setup) return refuse(setup.error().text());
    int status_fd = setup->status_fd;
    int32_t status = run_guest(std::move(*setup), diagnostics);
    report_status(status_fd, status);
    return status & 0xff;
}

int command_meta(std::span<const std::string_view> args)
{
    if (args.size() != 1) return refuse("meta takes one file");
    return print_metadata(std::string(args[0]));
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
    if (argc < 2) return refuse("no command given");
    std::string_view command = argv[1];
    std::vector<std::string_view> args(argv + 2, argv + argc);
    if (command == "run") return command_run(args, diagnostics);
    if (command == "child") return command_child(args, diagnostics);
    if (command == "meta") return command_meta(args);
    return refuse("unknown command " + std::string(command));
}
