#include "children.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace yulos {
namespace {

// Descriptor numbers in a fresh child host: 0-2 standard, then the status pipe, the trace
// and the inherited guest descriptors.
constexpr int child_status_fd = 3, child_trace_fd = 4, child_first_inherited = 5;
constexpr int scratch_base = 512;

std::vector<std::string> child_arguments(const ChildLaunch& launch)
{
    std::vector<std::string> args = {launch.host_binary,
                                     "child",
                                     "--root",
                                     launch.root,
                                     "--cwd",
                                     launch.cwd,
                                     "--status-fd",
                                     std::to_string(child_status_fd)};
    if (launch.trace_fd >= 0) {
        args.push_back("--trace-fd");
        args.push_back(std::to_string(child_trace_fd));
    }
    for (size_t i = 0; i < launch.inherited.size(); ++i) {
        args.push_back("--fd");
        args.push_back(std::to_string(launch.inherited[i].first) + "=" +
                       std::to_string(child_first_inherited + i));
    }
    args.push_back("--");
    args.push_back(launch.path);
    args.insert(args.end(), launch.argv.begin(), launch.argv.end());
    return args;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void become_child(const ChildLaunch& launch, int status_fd,
                               const std::vector<char*>& argv)
{
    // Move every source above the targets first, so no dup2 clobbers a later source.
    std::vector<int> sources = {launch.standard[0], launch.standard[1], launch.standard[2],
                                status_fd, launch.trace_fd};
    for (auto& [number, host] : launch.inherited) sources.push_back(host);
    std::vector<int> moved(sources.size(), -1);
    for (size_t i = 0; i < sources.size(); ++i)
        if (sources[i] >= 0) moved[i] = fcntl(sources[i], F_DUPFD, scratch_base);
    for (size_t i = 0; i < moved.size(); ++i) {
        if (moved[i] < 0) continue;
        int target = i < 3    ? int(i)
                     : i == 3 ? child_status_fd
                     : i == 4 ? child_trace_fd
                              : child_first_inherited + int(i - 5);
        dup2(moved[i], target);
    }
    close_range(child_first_inherited + launch.inherited.size(), ~0u, 0);
    if (launch.new_session) {
        setsid();
        if (isatty(0)) ioctl(0, TIOCSCTTY, 0);
    }
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace

Result<int32_t> Children::spawn(const ChildLaunch& launch)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return Error::last();
    UniqueFd status_read(pipe_fds[0]), status_write(pipe_fds[1]);
    std::vector<std::string> args = child_arguments(launch);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return Error::last();
    if (pid == 0) become_child(launch, status_write.get(), argv);
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

Result<ChildEnd> Children::wait(int32_t pid, bool nohang)
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

void report_status(int status_fd, int32_t status)
{
    if (status_fd >= 0) (void)!::write(status_fd, &status, sizeof status);
}

} // namespace yulos
