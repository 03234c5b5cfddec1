#include "kernel.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace yulos {
namespace {

constexpr uint32_t path_max = 4096;
constexpr int32_t max_arguments = 4096;

using Args = const uint32_t*;
using Handler = int32_t (*)(Kernel&, Machine&, Args);

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

int32_t sys_read(Kernel& k, Machine& m, Args a)
{
    Descriptor* d = k.descriptors().find(sint(a[0]));
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

int32_t sys_write(Kernel& k, Machine& m, Args a)
{
    Descriptor* d = k.descriptors().find(sint(a[0]));
    if (!d) return -EBADF;
    auto buffer = m.memory().bytes(a[1], a[2], Access::read);
    if (!buffer) return -EFAULT;
    return host_result(
        retry([&] { return ::write(d->host.get(), buffer->data(), buffer->size()); }));
}

int32_t sys_close(Kernel& k, Machine&, Args a) { return k.descriptors().close(sint(a[0])); }

int32_t sys_dup(Kernel& k, Machine&, Args a) { return k.descriptors().dup(sint(a[0])); }

int32_t sys_dup2(Kernel& k, Machine&, Args a)
{
    return k.descriptors().dup2(sint(a[0]), sint(a[1]));
}

int32_t sys_pipe(Kernel& k, Machine& m, Args a)
{
    if (!m.memory().bytes(a[0], 8, Access::write)) return -EFAULT;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    int32_t r = k.descriptors().insert(std::move(read_end));
    if (r < 0) return r;
    int32_t w = k.descriptors().insert(std::move(write_end));
    if (w < 0) {
        k.descriptors().close(r);
        return w;
    }
    m.memory().write_u32(a[0], r);
    m.memory().write_u32(a[0] + 4, w);
    return 0;
}

int32_t sys_lseek(Kernel& k, Machine&, Args a)
{
    Descriptor* d = k.descriptors().find(sint(a[0]));
    if (!d) return -EBADF;
    static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (a[2] > 2) return -EINVAL;
    off_t offset = lseek(d->host.get(), off_t(sint(a[1])), whence[a[2]]);
    if (offset < 0) return -errno;
    return offset > INT32_MAX ? -EOVERFLOW : int32_t(offset);
}

int32_t sys_getkey(Kernel& k, Machine&, Args)
{
    Descriptor* d = k.descriptors().find(0);
    if (!d) return -EBADF;
    uint8_t byte;
    ssize_t n = retry([&] { return ::read(d->host.get(), &byte, 1); });
    if (n < 0) return -errno;
    return n == 0 ? -1 : byte;
}

// ---- files and directories ----

// Calls whose first word is a path: -14 when it is not readable text.
template <int32_t (*Serve)(Kernel&, Machine&, std::string_view, Args)>
int32_t with_path(Kernel& k, Machine& m, Args a)
{
    auto path = m.memory().text(a[0], path_max);
    if (!path) return -EFAULT;
    return Serve(k, m, *path, a);
}

int32_t open_path(Kernel& k, Machine&, std::string_view path, Args a)
{
    Opened file = k.root().open_file(path, a[1]);
    if (file.error) return file.error;
    return k.descriptors().insert(std::move(file.fd));
}

int32_t writefile_path(Kernel& k, Machine& m, std::string_view path, Args a)
{
    auto data = m.memory().bytes(a[1], a[2], Access::read);
    if (!data) return -EFAULT;
    return k.root().write_file(path, *data);
}

int32_t mkdir_path(Kernel& k, Machine&, std::string_view path, Args)
{
    return k.root().make_directory(path);
}

int32_t unlink_path(Kernel& k, Machine&, std::string_view path, Args)
{
    return k.root().remove_file(path);
}

int32_t rmdir_path(Kernel& k, Machine&, std::string_view path, Args)
{
    return k.root().remove_directory(path);
}

int32_t mkfifo_path(Kernel& k, Machine&, std::string_view path, Args)
{
    return k.root().make_fifo(path);
}

int32_t chdir_path(Kernel& k, Machine&, std::string_view path, Args)
{
    return k.root().change_directory(path);
}

// Stores the working directory and its NUL; returns the bytes stored.
int32_t sys_getcwd(Kernel& k, Machine& m, Args a)
{
    const std::string& cwd = k.root().cwd();
    if (cwd.size() + 1 > a[1]) return -ERANGE;
    auto buffer = m.memory().bytes(a[0], uint32_t(cwd.size() + 1), Access::write);
    if (!buffer) return -EFAULT;
    std::memcpy(buffer->data(), cwd.c_str(), cwd.size() + 1);
    return int32_t(cwd.size() + 1);
}

int32_t stream_begin_path(Kernel& k, Machine&, std::string_view path, Args)
{
    PendingFile pending;
    if (int32_t error = k.root().begin_file(path, pending); error < 0) return error;
    int32_t handle = k.next_stream++;
    k.streams.emplace(handle, std::move(pending));
    return handle;
}

int32_t sys_stream_write(Kernel& k, Machine& m, Args a)
{
    auto stream = k.streams.find(sint(a[0]));
    if (stream == k.streams.end()) return -EBADF;
    auto data = m.memory().bytes(a[1], a[2], Access::read);
    if (!data) return -EFAULT;
    return stream->second.append(*data);
}

int32_t sys_stream_end(Kernel& k, Machine&, Args a)
{
    auto stream = k.streams.find(sint(a[0]));
    if (stream == k.streams.end()) return -EBADF;
    int32_t result = stream->second.commit();
    k.streams.erase(stream);
    return result;
}

// ---- processes ----

int32_t sys_exit(Kernel&, Machine& m, Args a)
{
    m.exit(sint(a[0]));
    return 0;
}

int32_t sys_usleep(Kernel&, Machine&, Args a)
{
    timespec left{time_t(a[0] / 1000000), long(a[0] % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}

int32_t start_child(Kernel& k, Machine& m, uint32_t path_address, uint32_t argv_address,
                    int32_t argc, const int stdio[3], bool new_session)
{
    auto path = m.memory().text(path_address, path_max);
    if (!path) return -EFAULT;
    if (argc < 0) return -EINVAL;
    if (argc > max_arguments) return -E2BIG;
    ChildLaunch launch;
    for (int32_t i = 0; i < argc; ++i) {
        auto pointer = m.memory().read_u32(argv_address + 4 * uint32_t(i));
        if (!pointer) return -EFAULT;
        auto arg = m.memory().text(*pointer, 1u << 20);
        if (!arg) return -EFAULT;
        launch.argv.emplace_back(*arg);
    }
    for (int i = 0; i < 3; ++i) {
        Descriptor* d = k.descriptors().find(stdio[i]);
        if (!d) return -EBADF;
        launch.standard[i] = d->host.get();
    }
    Opened file = k.root().open_regular(*path);
    if (file.error) return file.error;
    std::vector<uint8_t> bytes(1u << 16);
    size_t size = 0;
    for (ssize_t n; (n = retry([&] {
                         return ::read(file.fd.get(), bytes.data() + size, bytes.size() - size);
                     })) > 0;) {
        size += size_t(n);
        if (size == bytes.size()) bytes.resize(bytes.size() * 2);
        if (bytes.size() > (64u << 20)) return -ENOEXEC;
    }
    if (!parse_elf_image(std::span(bytes.data(), size), *path)) return -ENOEXEC;
    launch.host_binary = k.options().host_binary;
    launch.root = k.root().host_directory();
    launch.cwd = k.root().cwd();
    launch.path = k.root().absolute(*path);
    launch.new_session = new_session;
    launch.trace_fd = k.options().trace_fd;
    if (k.inherit) launch.inherited = k.descriptors().above_standard();
    return k.children().spawn(launch);
}

int32_t sys_spawn(Kernel& k, Machine& m, Args a)
{
    return start_child(k, m, a[0], a[1], sint(a[2]), k.spawn_stdio, false);
}

int32_t sys_spawn_ex(Kernel& k, Machine& m, Args a)
{
    auto record = m.memory().bytes(a[0], 28, Access::read);
    if (!record) return -EFAULT;
    uint32_t words[7];
    std::memcpy(words, record->data(), sizeof words);
    int stdio[3] = {sint(words[3]), sint(words[4]), sint(words[5])};
    return start_child(k, m, words[0], words[1], sint(words[2]), stdio, words[6] != 0);
}

int32_t sys_waitpid(Kernel& k, Machine& m, Args a)
{
    if (a[2] > 1) return -EINVAL;
    if (a[1] != 0 && !m.memory().bytes(a[1], 4, Access::write)) return -EFAULT;
    int32_t status = 0;
    int32_t pid = k.children().wait(sint(a[0]), a[2] == 1, status);
    if (pid > 0 && a[1] != 0) m.memory().write_u32(a[1], uint32_t(status));
    return pid;
}

// ---- terminals ----

int32_t sys_fd_set_inherit(Kernel& k, Machine&, Args a)
{
    k.inherit = a[0] != 0;
    return 0;
}

int32_t sys_fd_set_stdio(Kernel& k, Machine&, Args a)
{
    for (int i = 0; i < 3; ++i)
        if (!k.descriptors().find(sint(a[i]))) return -EBADF;
    for (int i = 0; i < 3; ++i) k.spawn_stdio[i] = sint(a[i]);
    return 0;
}

int32_t sys_fd_set_nonblock(Kernel& k, Machine&, Args a)
{
    Descriptor* d = k.descriptors().find(sint(a[0]));
    if (!d) return -EBADF;
    d->nonblocking = a[1] != 0;
    return 0;
}

// A raw pair: the bytes written to the slave are read unchanged from the master.
int32_t sys_pty_pair(Kernel& k, Machine& m, Args a)
{
    if (!m.memory().bytes(a[0], 8, Access::write)) return -EFAULT;
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) return -EIO;
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0) return -EIO;
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) return -errno;
    termios mode;
    if (tcgetattr(slave.get(), &mode) != 0) return -errno;
    cfmakeraw(&mode);
    if (tcsetattr(slave.get(), TCSANOW, &mode) != 0) return -errno;
    int32_t master_fd = k.descriptors().insert(std::move(master));
    if (master_fd < 0) return master_fd;
    int32_t slave_fd = k.descriptors().insert(std::move(slave));
    if (slave_fd < 0) {
        k.descriptors().close(master_fd);
        return slave_fd;
    }
    m.memory().write_u32(a[0], uint32_t(master_fd));
    m.memory().write_u32(a[0] + 4, uint32_t(slave_fd));
    return 0;
}

// ---- the table ----

// Argument kinds for the trace: i signed, u unsigned, x address, s path text, r spawn record.
struct Service {
    uint32_t number;
    const char* name;
    Handler handler;
    const char* args;
};

constexpr Service services[] = {
    {1, "write", sys_write, "ixu"},
    {2, "exit", sys_exit, "i"},
    {3, "read", sys_read, "ixu"},
    {4, "open", with_path<open_path>, "sxx"},
    {5, "close", sys_close, "i"},
    {6, "getkey", sys_getkey, ""},
    {21, "writefile", with_path<writefile_path>, "sxu"},
    {22, "usleep", sys_usleep, "u"},
    {49, "mkdir", with_path<mkdir_path>, "s"},
    {50, "unlink", with_path<unlink_path>, "s"},
    {51, "rmdir", with_path<rmdir_path>, "s"},
    {52, "getcwd", sys_getcwd, "xu"},
    {53, "yulfs_stream_begin", with_path<stream_begin_path>, "s"},
    {54, "yulfs_stream_write", sys_stream_write, "ixu"},
    {55, "yulfs_stream_end", sys_stream_end, "i"},
    {95, "chdir", with_path<chdir_path>, "s"},
    {110, "lseek", sys_lseek, "iii"},
    {124, "pipe", sys_pipe, "x"},
    {125, "mkfifo", with_path<mkfifo_path>, "s"},
    {126, "dup", sys_dup, "i"},
    {127, "dup2", sys_dup2, "ii"},
    {128, "fd_set_inherit", sys_fd_set_inherit, "u"},
    {129, "fd_set_stdio", sys_fd_set_stdio, "iii"},
    {130, "fd_set_nonblock", sys_fd_set_nonblock, "iu"},
    {131, "spawn", sys_spawn, "sxi"},
    {132, "waitpid", sys_waitpid, "ixi"},
    {149, "pty_pair", sys_pty_pair, "x"},
    {150, "spawn_ex", sys_spawn_ex, "r"},
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

void append_text(std::string& line, Machine& m, uint32_t address)
{
    auto text = m.memory().text(address, path_max);
    if (!text) {
        char word[16];
        std::snprintf(word, sizeof word, "0x%x", address);
        line += word;
        return;
    }
    line += '"';
    for (char c : *text) {
        if (c == '"' || c == '\\') line += '\\';
        if (c >= 32 && c < 127)
            line += c;
        else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", uint8_t(c));
            line += escaped;
        }
    }
    line += '"';
}

void append_argument(std::string& line, Machine& m, char kind, uint32_t word)
{
    char text[48];
    switch (kind) {
    case 'i': std::snprintf(text, sizeof text, "%d", sint(word)); break;
    case 'u': std::snprintf(text, sizeof text, "%u", word); break;
    case 's': append_text(line, m, word); return;
    case 'r': {
        std::snprintf(text, sizeof text, "0x%x", word);
        line += text;
        auto record = m.memory().bytes(word, 28, Access::read);
        if (!record) return;
        uint32_t w[7];
        std::memcpy(w, record->data(), sizeof w);
        line += " {";
        append_text(line, m, w[0]);
        std::snprintf(text, sizeof text, ", argc %d, fds %d %d %d, flag %u}", sint(w[2]),
                      sint(w[3]), sint(w[4]), sint(w[5]), w[6]);
        break;
    }
    default: std::snprintf(text, sizeof text, "0x%x", word);
    }
    line += text;
}

} // namespace

const char* kernel_call_name(uint32_t number)
{
    const Service* s = find_service(number);
    return s ? s->name : nullptr;
}

Kernel::Kernel(GuestRoot root, Descriptors descriptors, KernelOptions options)
    : root_(std::move(root)), descriptors_(std::move(descriptors)), options_(std::move(options))
{
}

void Kernel::serve(Machine& machine)
{
    uint32_t number = machine.reg(Reg::eax);
    const uint32_t args[3] = {machine.reg(Reg::ebx), machine.reg(Reg::ecx), machine.reg(Reg::edx)};
    auto injected = options_.fail.find(number);
    bool inject = injected != options_.fail.end();
    int32_t result = -ENOSYS;
    if (inject) result = injected->second;
    const Service* service = find_service(number);
    if (options_.trace_fd >= 0 && service && service->number == 2 && !inject)
        trace(machine, number, args, 0, false);
    if (!inject && service) result = service->handler(*this, machine, args);
    if (options_.trace_fd >= 0 && !(service && service->number == 2 && !inject))
        trace(machine, number, args, result, inject);
    children_.give_head_start();
    machine.set_reg(Reg::eax, uint32_t(result));
}

void Kernel::trace(Machine& machine, uint32_t number, const uint32_t args[3], int32_t result,
                   bool injected)
{
    const Service* service = find_service(number);
    char head[64];
    std::snprintf(head, sizeof head, "%d %s(%u)", int(getpid()),
                  service ? service->name : "unknown", number);
    std::string line = head;
    const char* kinds = service ? service->args : "xxx";
    for (int i = 0; kinds[i] && i < 3; ++i) {
        line += i == 0 ? " " : ", ";
        append_argument(line, machine, kinds[i], args[i]);
    }
    if (service && service->number == 2)
        line += " = ?";
    else
        line += " = " + std::to_string(result);
    if (injected) line += " (injected)";
    line += '\n';
    (void)!::write(options_.trace_fd, line.data(), line.size());
}

} // namespace yulos
