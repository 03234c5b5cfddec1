#include "children.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace yulos {
namespace {

constexpr int scratch_base = 512;

template <class F> ssize_t retry(F f)
{
    ssize_t n;
    do n = f();
    while (n < 0 && errno == EINTR);
    return n;
}

std::string pty_option(const HandedDescriptor& d)
{
    return std::to_string(d.guest) + "=" + std::to_string(*d.pty_pair);
}

std::vector<std::string> child_arguments(const ChildLaunch& launch, uint32_t slot)
{
    std::vector<std::string> args = {launch.host_binary,
                                     "child",
                                     "--root",
                                     launch.root,
                                     "--cwd",
                                     launch.cwd,
                                     "--status-fd",
                                     std::to_string(child_status_fd),
                                     "--start-fd",
                                     std::to_string(child_start_fd),
                                     "--run-fd",
                                     std::to_string(child_run_fd),
                                     "--slot",
                                     std::to_string(slot),
                                     "--argv-fd",
                                     std::to_string(child_argv_fd),
                                     "--max-memory",
                                     std::to_string(launch.memory_mib)};
    if (launch.trace_fd >= 0) {
        args.push_back("--trace-fd");
        args.push_back(std::to_string(child_trace_fd));
    }
    for (size_t i = 0; i < launch.inherited.size(); ++i) {
        args.push_back("--fd");
        args.push_back(std::to_string(launch.inherited[i].guest) + "=" +
                       std::to_string(child_first_inherited + i));
    }
    for (const HandedDescriptor& d : launch.standard)
        if (d.pty_pair) args.insert(args.end(), {"--pty", pty_option(d)});
    for (const HandedDescriptor& d : launch.inherited)
        if (d.pty_pair) args.insert(args.end(), {"--pty", pty_option(d)});
    args.push_back("--");
    args.push_back(launch.path);
    return args;
}

// The host descriptors a child gets, each with the number it has in the child.
std::vector<std::pair<int, int>> child_descriptors(const ChildLaunch& launch, int status_fd,
                                                   int start_fd, int run_fd, int argv_fd)
{
    std::vector<std::pair<int, int>> moves;
    for (int i = 0; i < 3; ++i) moves.emplace_back(launch.standard[i].host, i);
    moves.insert(moves.end(), {{status_fd, child_status_fd},
                               {start_fd, child_start_fd},
                               {run_fd, child_run_fd},
                               {argv_fd, child_argv_fd}});
    if (launch.trace_fd >= 0) moves.emplace_back(launch.trace_fd, child_trace_fd);
    for (size_t i = 0; i < launch.inherited.size(); ++i)
        moves.emplace_back(launch.inherited[i].host, child_first_inherited + int(i));
    return moves;
}

// Runs in the forked child: only async-signal-safe calls until exec, and no allocation, as
// another thread (a debugger's) may have held the allocator's lock at the fork. A failure is
// told to the parent through the start pipe.
[[noreturn]] void become_child(const ChildLaunch& launch, std::vector<std::pair<int, int>>& moves,
                               const std::vector<char*>& argv)
{
    // Move every source above the targets first, so no dup2 clobbers a later source.
    for (auto& [from, to] : moves) from = fcntl(from, F_DUPFD, scratch_base);
    for (auto [from, to] : moves) dup2(from, to);
    close_range(child_first_inherited + launch.inherited.size(), ~0u, 0);
    if (launch.new_session) {
        setsid();
        if (isatty(0)) ioctl(0, TIOCSCTTY, 0);
    }
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    int32_t error = -errno;
    (void)!write(child_start_fd, &error, sizeof error);
    _exit(127);
}

// What the child host said before running its guest.
int32_t start_result(int start_fd)
{
    int32_t result = 0;
    ssize_t n = retry([&] { return ::read(start_fd, &result, sizeof result); });
    return n == sizeof result ? result : -EIO;
}

} // namespace

Result<UniqueFd> write_argument_file(const std::vector<std::string>& argv)
{
    UniqueFd file(memfd_create("yulos-argv", MFD_CLOEXEC));
    if (!file.valid()) return Error::last();
    for (const std::string& arg : argv) {
        const char* text = arg.c_str();
        size_t left = arg.size() + 1;
        while (left > 0) {
            ssize_t n = retry([&] { return ::write(file.get(), text, left); });
            if (n < 0) return Error::last();
            text += n;
            left -= size_t(n);
        }
    }
    if (lseek(file.get(), 0, SEEK_SET) != 0) return Error::last();
    return file;
}

Result<std::vector<std::string>> read_argument_file(int fd)
{
    std::string all;
    char chunk[1 << 16];
    for (ssize_t n; (n = retry([&] { return ::read(fd, chunk, sizeof chunk); })) != 0;) {
        if (n < 0) return Error::last();
        all.append(chunk, size_t(n));
    }
    std::vector<std::string> argv;
    for (size_t at = 0; at < all.size();) {
        size_t nul = all.find('\0', at);
        if (nul == std::string::npos) return Error("the argument vector is cut short");
        argv.push_back(all.substr(at, nul - at));
        at = nul + 1;
    }
    return argv;
}

Result<int32_t> Children::spawn(const ChildLaunch& launch, RunTable& run)
{
    Result<UniqueFd> argv_file = write_argument_file(launch.argv);
    if (!argv_file) return argv_file.error();
    int status_fds[2], start_fds[2];
    if (pipe2(status_fds, O_CLOEXEC) != 0) return Error::last();
    UniqueFd status_read(status_fds[0]), status_write(status_fds[1]);
    if (pipe2(start_fds, O_CLOEXEC) != 0) return Error::last();
    UniqueFd start_read(start_fds[0]), start_write(start_fds[1]);
    Result<uint32_t> slot = run.reserve_process();
    if (!slot) return slot.error();
    std::vector<std::string> args = child_arguments(launch, *slot);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto moves = child_descriptors(launch, status_write.get(), start_write.get(), run.fd(),
                                   argv_file->get());
    pid_t pid = fork();
    if (pid < 0) {
        run.cancel_process(*slot);
        return Error::last();
    }
    if (pid == 0) become_child(launch, moves, argv);
    run.assign_process(*slot, pid);
    start_write.reset();
    status_write.reset();
    if (int32_t started = start_result(start_read.get()); started < 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        run.release_process(pid);
        return Error::code(-started);
    }
    status_pipes_.emplace(pid, std::move(status_read));
    newest_ = pid;
    return pid;
}

// The parent goes on when the child has ended or after one time slice, whichever comes first,
// as on a single processor that switches to a new process at once. A short program (an echo)
// is then done, its output written, before its parent's next step. The child is not reaped
// here; waitpid still reports it.
void Children::give_head_start()
{
    if (newest_ <= 0) return;
    UniqueFd process(int(syscall(SYS_pidfd_open, newest_, 0)));
    newest_ = 0;
    if (!process.valid()) return;
    pollfd ended{process.get(), POLLIN, 0};
    while (poll(&ended, 1, head_start_ms) < 0 && errno == EINTR) {
    }
}

Result<ChildEnd> Children::wait(int32_t pid, bool nohang, RunTable& run)
{
    if (pid != -1 && !status_pipes_.contains(pid)) return Error::code(ECHILD);
    if (status_pipes_.empty()) return Error::code(ECHILD);
    int host_status = 0;
    pid_t ended;
    do {
        ended = waitpid(pid, &host_status, nohang ? WNOHANG : 0);
    } while (ended < 0 && errno == EINTR);
    if (ended < 0) return Error::last();
    if (ended == 0) return ChildEnd{};
    run.release_process(ended);
    auto child = status_pipes_.find(ended);
    int32_t word = 0;
    ssize_t n = child == status_pipes_.end() ? 0 : ::read(child->second.get(), &word, sizeof word);
    ChildEnd end{ended, 0};
    if (n == sizeof word)
        end.status = word;
    else if (WIFEXITED(host_status))
        end.status = WEXITSTATUS(host_status);
    else
        end.status = 128 + WTERMSIG(host_status);
    if (child != status_pipes_.end()) status_pipes_.erase(child);
    return end;
}

void report_start(int start_fd, int32_t result)
{
    if (start_fd < 0) return;
    (void)!::write(start_fd, &result, sizeof result);
    close(start_fd);
}

void report_status(int status_fd, int32_t status)
{
    if (status_fd >= 0) (void)!::write(status_fd, &status, sizeof status);
}

} // namespace yulos
