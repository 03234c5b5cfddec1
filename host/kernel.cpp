#include "kernel.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <yulos_kernel.h>

namespace yulos {
namespace {

constexpr uint32_t path_max = 4096;
constexpr int32_t max_arguments = 4096;

using Args = const uint32_t*;
using Handler = int32_t (*)(ProcessState&, Machine&, Args);

int32_t sint(uint32_t word) { return static_cast<int32_t>(word); }

template <class F> ssize_t retry(F f)
{
    ssize_t n;
    do n = f();
    while (n < 0 && errno == EINTR);
    return n;
}

int32_t host_result(ssize_t n) { return n < 0 ? -errno : int32_t(n); }

// ---- descriptor I/O ----

int32_t sys_read(ProcessState& k, Machine& m, Args a)
{
    Descriptor* d = k.descriptors.find(sint(a[0]));
    if (!d) return -EBADF;
    auto buffer = m.memory().bytes(a[1], a[2], Access::write);
    if (!buffer) return -EFAULT;
    if (!d->nonblocking)
        return host_result(
            retry([&] { return ::read(d->host.get(), buffer->data(), buffer->size()); }));
    // Non-blocking: everything already waiting, up to the length. A terminal moves written
    // bytes to its reader in the background, so one read can see part of what a writer has
    // already written (one of two writes, say); a poll that finds nothing waits for that move.
    pollfd ready{d->host.get(), POLLIN, 0};
    size_t got = 0;
    while (got < buffer->size() && retry([&] { return poll(&ready, 1, 0); }) > 0) {
        ssize_t n = retry(
            [&] { return ::read(d->host.get(), buffer->data() + got, buffer->size() - got); });
        if (n <= 0) return got > 0 ? int32_t(got) : host_result(n);
        got += size_t(n);
    }
    return got > 0 ? int32_t(got) : -EAGAIN;
}

int32_t sys_write(ProcessState& k, Machine& m, Args a)
{
    Descriptor* d = k.descriptors.find(sint(a[0]));
    if (!d) return -EBADF;
    auto buffer = m.memory().bytes(a[1], a[2], Access::read);
    if (!buffer) return -EFAULT;
    return host_result(
        retry([&] { return ::write(d->host.get(), buffer->data(), buffer->size()); }));
}

int32_t sys_close(ProcessState& k, Machine&, Args a)
{
    return kernel_result(k.descriptors.close(sint(a[0])));
}

int32_t sys_dup(ProcessState& k, Machine&, Args a)
{
    return kernel_result(k.descriptors.dup(sint(a[0])));
}

int32_t sys_dup2(ProcessState& k, Machine&, Args a)
{
    return kernel_result(k.descriptors.dup2(sint(a[0]), sint(a[1])));
}

int32_t sys_pipe(ProcessState& k, Machine& m, Args a)
{
    if (!m.memory().bytes(a[0], 8, Access::write)) return -EFAULT;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    Result<int32_t> r = k.descriptors.insert(std::move(read_end));
    if (!r) return kernel_result(r);
    Result<int32_t> w = k.descriptors.insert(std::move(write_end));
    if (!w) {
        (void)k.descriptors.close(*r);
        return kernel_result(w);
    }
    m.memory().write_u32(a[0], uint32_t(*r));
    m.memory().write_u32(a[0] + 4, uint32_t(*w));
    return 0;
}

int32_t sys_lseek(ProcessState& k, Machine&, Args a)
{
    Descriptor* d = k.descriptors.find(sint(a[0]));
    if (!d) return -EBADF;
    static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (a[2] > 2) return -EINVAL;
    off_t offset = lseek(d->host.get(), off_t(sint(a[1])), whence[a[2]]);
    if (offset < 0) return -errno;
    return offset > INT32_MAX ? -EOVERFLOW : int32_t(offset);
}

int32_t sys_getkey(ProcessState& k, Machine&, Args)
{
    Descriptor* d = k.descriptors.find(0);
    if (!d) return -EBADF;
    uint8_t byte;
    ssize_t n = retry([&] { return ::read(d->host.get(), &byte, 1); });
    if (n < 0) return -errno;
    return n == 0 ? -1 : byte;
}

// ---- files and directories ----

// Calls whose first word is a path: -14 when it is not readable text.
template <int32_t (*Serve)(ProcessState&, Machine&, std::string_view, Args)>
int32_t with_path(ProcessState& k, Machine& m, Args a)
{
    auto path = m.memory().text(a[0], path_max);
    if (!path) return -EFAULT;
    return Serve(k, m, *path, a);
}

int32_t open_path(ProcessState& k, Machine&, std::string_view path, Args a)
{
    Result<UniqueFd> file = k.root.open_file(path, a[1]);
    if (!file) return file.error().kernel_result();
    return kernel_result(k.descriptors.insert(std::move(*file)));
}

int32_t writefile_path(ProcessState& k, Machine& m, std::string_view path, Args a)
{
    auto data = m.memory().bytes(a[1], a[2], Access::read);
    if (!data) return -EFAULT;
    return kernel_result(k.root.write_file(path, *data));
}

int32_t mkdir_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    return kernel_result(k.root.make_directory(path));
}

int32_t unlink_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    return kernel_result(k.root.remove_file(path));
}

int32_t rmdir_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    return kernel_result(k.root.remove_directory(path));
}

int32_t mkfifo_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    return kernel_result(k.root.make_fifo(path));
}

int32_t chdir_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    return kernel_result(k.root.change_directory(path));
}

// Stores the working directory and its NUL; returns the bytes stored.
int32_t sys_getcwd(ProcessState& k, Machine& m, Args a)
{
    if (!k.root.cwd_exists()) return -ENOENT;
    const std::string& cwd = k.root.cwd();
    if (cwd.size() + 1 > a[1]) return -ERANGE;
    auto buffer = m.memory().bytes(a[0], uint32_t(cwd.size() + 1), Access::write);
    if (!buffer) return -EFAULT;
    std::memcpy(buffer->data(), cwd.c_str(), cwd.size() + 1);
    return int32_t(cwd.size() + 1);
}

int32_t stream_begin_path(ProcessState& k, Machine&, std::string_view path, Args)
{
    Result<PendingFile> pending = k.root.begin_file(path);
    if (!pending) return pending.error().kernel_result();
    int32_t handle = k.next_stream++;
    k.streams.emplace(handle, std::move(*pending));
    return handle;
}

int32_t sys_stream_write(ProcessState& k, Machine& m, Args a)
{
    auto stream = k.streams.find(sint(a[0]));
    if (stream == k.streams.end()) return -EBADF;
    auto data = m.memory().bytes(a[1], a[2], Access::read);
    if (!data) return -EFAULT;
    return kernel_result(stream->second.append(*data));
}

int32_t sys_stream_end(ProcessState& k, Machine&, Args a)
{
    auto stream = k.streams.find(sint(a[0]));
    if (stream == k.streams.end()) return -EBADF;
    Result<void> committed = stream->second.commit();
    k.streams.erase(stream);
    return kernel_result(committed);
}

// ---- processes ----

int32_t sys_exit(ProcessState&, Machine& m, Args a)
{
    m.exit(sint(a[0]));
    return 0;
}

int32_t sys_usleep(ProcessState&, Machine&, Args a)
{
    timespec left{time_t(a[0] / 1000000), long(a[0] % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}

int32_t start_child(ProcessState& k, Machine& m, uint32_t path_address, uint32_t argv_address,
                    int32_t argc, const int stdio[3], bool new_session)
{
    auto path = m.memory().text(path_address, path_max);
    if (!path) return -EFAULT;
    if (argc < 0) return -EINVAL;
    if (argc > max_arguments) return -E2BIG;
    ChildLaunch launch;
    // The whole vector as it will lie on the child's stack: each text with its NUL, and the
    // count, pointers and closing null word.
    uint64_t argument_bytes = 4 * (uint64_t(argc) + 2);
    for (int32_t i = 0; i < argc; ++i) {
        auto pointer = m.memory().read_u32(argv_address + 4 * uint32_t(i));
        if (!pointer) return -EFAULT;
        // A text longer than what is left of the vector's room is too long when that much of
        // it can be read, and a bad address otherwise.
        uint32_t room =
            uint32_t(argument_bytes_max - std::min<uint64_t>(argument_bytes, argument_bytes_max));
        auto arg = m.memory().text(*pointer, room);
        if (!arg) return m.memory().bytes(*pointer, room, Access::read) ? -E2BIG : -EFAULT;
        argument_bytes += arg->size() + 1;
        launch.argv.emplace_back(*arg);
    }
    for (int i = 0; i < 3; ++i) {
        std::optional<HandedDescriptor> d = k.descriptors.hand(stdio[i]);
        if (!d) return -EBADF;
        launch.standard[i] = *d;
        launch.standard[i].guest = i;
    }
    Result<UniqueFd> file = k.root.open_regular(*path);
    if (!file) return file.error().kernel_result();
    Result<std::vector<uint8_t>> bytes = read_image_file(file->get(), *path);
    if (!bytes || !parse_elf_image(*bytes, *path)) return -ENOEXEC;
    launch.host_binary = k.options.host_binary;
    launch.root = k.root.host_directory();
    launch.cwd = k.root.cwd();
    launch.path = k.root.absolute(*path);
    launch.new_session = new_session;
    launch.trace_fd = k.options.trace_fd;
    launch.memory_mib = k.options.memory_mib;
    if (k.inherit) launch.inherited = k.descriptors.above_standard();
    return kernel_result(k.children.spawn(launch, k.run));
}

int32_t sys_spawn(ProcessState& k, Machine& m, Args a)
{
    return start_child(k, m, a[0], a[1], sint(a[2]), k.spawn_stdio, false);
}

int32_t sys_spawn_ex(ProcessState& k, Machine& m, Args a)
{
    auto bytes = m.memory().bytes(a[0], sizeof(spawn_ex_args), Access::read);
    if (!bytes) return -EFAULT;
    spawn_ex_args record;
    std::memcpy(&record, bytes->data(), sizeof record);
    int stdio[3] = {record.stdin_fd, record.stdout_fd, record.stderr_fd};
    return start_child(k, m, record.path, record.argv, record.argc, stdio,
                       record.flag & YULOS_SPAWN_NEW_SESSION);
}

int32_t sys_waitpid(ProcessState& k, Machine& m, Args a)
{
    if (a[2] != 0 && a[2] != YULOS_WAIT_NOHANG) return -EINVAL;
    if (a[1] != 0 && !m.memory().bytes(a[1], 4, Access::write)) return -EFAULT;
    Result<ChildEnd> end = k.children.wait(sint(a[0]), a[2] == YULOS_WAIT_NOHANG, k.run);
    if (!end) return end.error().kernel_result();
    if (end->pid > 0 && a[1] != 0) m.memory().write_u32(a[1], uint32_t(end->status));
    return end->pid;
}

// ---- terminals ----

int32_t sys_fd_set_inherit(ProcessState& k, Machine&, Args a)
{
    k.inherit = a[0] != 0;
    return 0;
}

int32_t sys_fd_set_stdio(ProcessState& k, Machine&, Args a)
{
    for (int i = 0; i < 3; ++i)
        if (!k.descriptors.find(sint(a[i]))) return -EBADF;
    for (int i = 0; i < 3; ++i) k.spawn_stdio[i] = sint(a[i]);
    return 0;
}

int32_t sys_fd_set_nonblock(ProcessState& k, Machine&, Args a)
{
    Descriptor* d = k.descriptors.find(sint(a[0]));
    if (!d) return -EBADF;
    d->nonblocking = a[1] != 0;
    return 0;
}

// A raw pair: the bytes written to the slave are read unchanged from the master.
int32_t sys_pty_pair(ProcessState& k, Machine& m, Args a)
{
    if (!m.memory().bytes(a[0], sizeof(pty_pair), Access::write)) return -EFAULT;
    if (!k.run.pty_pair_fits()) return -EMFILE;
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    uint32_t pair = 0;
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        ioctl(master.get(), TIOCGPTN, &pair) != 0)
        return -EIO;
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0) return -EIO;
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) return -errno;
    termios mode;
    if (tcgetattr(slave.get(), &mode) != 0) return -errno;
    cfmakeraw(&mode);
    if (tcsetattr(slave.get(), TCSANOW, &mode) != 0) return -errno;
    Result<int32_t> master_fd = k.descriptors.insert(std::move(master), pair);
    if (!master_fd) return kernel_result(master_fd);
    Result<int32_t> slave_fd = k.descriptors.insert(std::move(slave), pair);
    if (!slave_fd) {
        (void)k.descriptors.close(*master_fd);
        return kernel_result(slave_fd);
    }
    m.memory().write_u32(a[0] + offsetof(pty_pair, master_fd), uint32_t(*master_fd));
    m.memory().write_u32(a[0] + offsetof(pty_pair, slave_fd), uint32_t(*slave_fd));
    return 0;
}

// ---- the table ----

struct Service {
    uint32_t number;
    CallDescription call; // how the trace shows it
    Handler handler;
    bool ends_process = false; // served without returning to the guest
};

constexpr bool ends_process = true, negative_is_error = true;

constexpr Service services[] = {
    {SYS_WRITE, {"write", "dbu"}, sys_write},
    {SYS_EXIT, {"exit", "i"}, sys_exit, ends_process},
    {SYS_READ, {"read", "dBu"}, sys_read},
    {SYS_OPEN, {"open", "sfx"}, with_path<open_path>},
    {SYS_CLOSE, {"close", "d"}, sys_close},
    {SYS_GETKEY, {"getkey", "", !negative_is_error}, sys_getkey},
    {SYS_WRITEFILE, {"writefile", "sbu"}, with_path<writefile_path>},
    {SYS_USLEEP, {"usleep", "u"}, sys_usleep},
    {SYS_MKDIR, {"mkdir", "s"}, with_path<mkdir_path>},
    {SYS_UNLINK, {"unlink", "s"}, with_path<unlink_path>},
    {SYS_RMDIR, {"rmdir", "s"}, with_path<rmdir_path>},
    {SYS_GETCWD, {"getcwd", "Su"}, sys_getcwd},
    {SYS_YULFS_STREAM_BEGIN, {"yulfs_stream_begin", "s"}, with_path<stream_begin_path>},
    {SYS_YULFS_STREAM_WRITE, {"yulfs_stream_write", "ibu"}, sys_stream_write},
    {SYS_YULFS_STREAM_END, {"yulfs_stream_end", "i"}, sys_stream_end},
    {SYS_CHDIR, {"chdir", "s"}, with_path<chdir_path>},
    {SYS_LSEEK, {"lseek", "diw"}, sys_lseek},
    {SYS_PIPE, {"pipe", "P"}, sys_pipe},
    {SYS_MKFIFO, {"mkfifo", "s"}, with_path<mkfifo_path>},
    {SYS_DUP, {"dup", "d"}, sys_dup},
    {SYS_DUP2, {"dup2", "dd"}, sys_dup2},
    {SYS_FD_SET_INHERIT, {"fd_set_inherit", "u"}, sys_fd_set_inherit},
    {SYS_FD_SET_STDIO, {"fd_set_stdio", "ddd"}, sys_fd_set_stdio},
    {SYS_FD_SET_NONBLOCK, {"fd_set_nonblock", "du"}, sys_fd_set_nonblock},
    {SYS_SPAWN, {"spawn", "svi"}, sys_spawn},
    {SYS_WAITPID, {"waitpid", "iIW"}, sys_waitpid},
    {SYS_PTY_PAIR, {"pty_pair", "P"}, sys_pty_pair},
    {SYS_SPAWN_EX, {"spawn_ex", "r"}, sys_spawn_ex},
};

const Service* find_service(uint32_t number)
{
    static const auto by_number = [] {
        std::array<const Service*, 256> table{};
        for (const Service& s : services) table[s.number] = &s;
        return table;
    }();
    return number < by_number.size() ? by_number[number] : nullptr;
}

} // namespace

Kernel::Kernel(GuestRoot root, Descriptors descriptors, KernelOptions options, RunTable run)
    : state_(std::move(root), std::move(descriptors), std::move(options), std::move(run)),
      trace_(state_.options.trace_fd)
{
}

void Kernel::serve(Machine& machine)
{
    uint32_t number = machine.reg(Reg::eax);
    const uint32_t args[3] = {machine.reg(Reg::ebx), machine.reg(Reg::ecx), machine.reg(Reg::edx)};
    const Service* service = find_service(number);
    const CallDescription* call = service ? &service->call : nullptr;
    int32_t result = -ENOSYS;
    if (auto injected = state_.options.fail.find(number); injected != state_.options.fail.end()) {
        result = injected->second;
        if (trace_.enabled()) trace_.record(machine, number, args, call, result, true);
    } else if (service) {
        // The process's end is traced first, as nothing follows it.
        if (service->ends_process && trace_.enabled())
            trace_.record(machine, number, args, call, std::nullopt, false);
        result = service->handler(state_, machine, args);
        if (!service->ends_process && trace_.enabled())
            trace_.record(machine, number, args, call, result, false);
    } else if (trace_.enabled())
        trace_.record(machine, number, args, call, result, false);
    if (uint32_t held = state_.descriptors.pty_pairs_held(); held != pty_pairs_published_) {
        state_.run.set_pty_pairs_held(held);
        pty_pairs_published_ = held;
    }
    state_.children.give_head_start();
    machine.set_reg(Reg::eax, uint32_t(result));
}

} // namespace yulos
