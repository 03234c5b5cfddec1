// The kernel-call wrappers of runtime/unistd.cpp and runtime/fcntl.cpp, rewritten for the
// Linux i386 convention (int 0x80, call number in eax, arguments in ebx, ecx, edx, esi, edi),
// so that the very same program and runtime objects run under qemu-i386 as a static Linux
// executable. Only these wrappers differ between the two builds of a benchmark program: the
// start-up object, the runtime library and the program are the same objects in both.
//
// The same argument checks as the yulos wrappers are kept, so both builds do the same work.
// Services that Linux has no counterpart for return -38 (not implemented).
#include <fcntl.h>
#include <unistd.h>

namespace {

// Linux i386 call numbers.
enum {
    linux_exit_group = 252,
    linux_read = 3,
    linux_write = 4,
    linux_open = 5,
    linux_close = 6,
    linux_waitpid = 7,
    linux_unlink = 10,
    linux_chdir = 12,
    linux_mknod = 14,
    linux_lseek = 19,
    linux_mkdir = 39,
    linux_rmdir = 40,
    linux_dup = 41,
    linux_pipe = 42,
    linux_fcntl = 55,
    linux_dup2 = 63,
    linux_nanosleep = 162,
    linux_getcwd = 183,
};

constexpr int not_implemented = -38;
constexpr int linux_f_getfl = 3, linux_f_setfl = 4, linux_o_nonblock = 0x800;
constexpr unsigned int linux_s_ififo = 0010000;
constexpr unsigned int file_mode = 0644;
constexpr unsigned int max_length = 2147483647u;

int linux_call(int number, unsigned int a = 0, unsigned int b = 0, unsigned int c = 0)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

unsigned int clamp_length(size_t len) { return len > max_length ? max_length : len; }

unsigned int word(const void* p) { return reinterpret_cast<unsigned int>(p); }

struct linux_timespec {
    int seconds;
    int nanoseconds;
};

} // namespace

extern "C" {

int write(int fd, const void* buf, size_t len)
{
    if (!buf) return -1;
    return linux_call(linux_write, fd, word(buf), clamp_length(len));
}

int read(int fd, void* buf, size_t len)
{
    if (!buf) return -1;
    return linux_call(linux_read, fd, word(buf), clamp_length(len));
}

int close(int fd) { return linux_call(linux_close, fd); }

void _exit(int status)
{
    linux_call(linux_exit_group, status);
    for (;;) __asm__ volatile("hlt");
}

int getkey(void)
{
    unsigned char byte;
    int n = linux_call(linux_read, 0, word(&byte), 1);
    if (n < 0) return n;
    return n == 0 ? -1 : byte;
}

int access(const char* path, int)
{
    if (!path) return -1;
    int fd = linux_call(linux_open, word(path), O_RDONLY);
    if (fd < 0) return -1;
    linux_call(linux_close, fd);
    return 0;
}

int writefile(const char* path, const void* data, size_t len)
{
    if (!path || !data) return -1;
    int fd = linux_call(linux_open, word(path), O_WRONLY | O_CREAT | O_TRUNC, file_mode);
    if (fd < 0) return fd;
    int n = linux_call(linux_write, fd, word(data), clamp_length(len));
    linux_call(linux_close, fd);
    return n;
}

int usleep(unsigned int usec)
{
    linux_timespec pause = {int(usec / 1000000u), int(usec % 1000000u) * 1000};
    linux_call(linux_nanosleep, word(&pause), 0);
    return 0;
}

int sleep(unsigned int sec) { return usleep(sec * 1000000u); }

int mkdir(const char* path, ...)
{
    if (!path) return -1;
    return linux_call(linux_mkdir, word(path), file_mode | 0111);
}

int unlink(const char* path)
{
    if (!path) return -1;
    return linux_call(linux_unlink, word(path));
}

int rmdir(const char* path)
{
    if (!path) return -1;
    return linux_call(linux_rmdir, word(path));
}

int getcwd(char* buf, size_t size)
{
    if (!buf || size == 0) return -1;
    return linux_call(linux_getcwd, word(buf), clamp_length(size));
}

int yulfs_stream_begin(const char* path)
{
    if (!path) return -1;
    return not_implemented;
}

int yulfs_stream_write(int, const void* data, size_t)
{
    if (!data) return -1;
    return not_implemented;
}

int yulfs_stream_end(int) { return not_implemented; }

int chdir(const char* path)
{
    if (!path) return -1;
    return linux_call(linux_chdir, word(path));
}

int lseek(int fd, int offset, int whence) { return linux_call(linux_lseek, fd, offset, whence); }

int pipe(int fds[2])
{
    if (!fds) return -1;
    return linux_call(linux_pipe, word(fds));
}

int mkfifo(const char* path, ...)
{
    if (!path) return -1;
    return linux_call(linux_mknod, word(path), linux_s_ififo | file_mode, 0);
}

int dup(int fd) { return linux_call(linux_dup, fd); }

int dup2(int oldfd, int newfd) { return linux_call(linux_dup2, oldfd, newfd); }

int fd_set_inherit(int) { return not_implemented; }

int fd_set_stdio(int, int, int) { return not_implemented; }

int fd_set_nonblock(int fd, int on)
{
    int flags = linux_call(linux_fcntl, fd, linux_f_getfl);
    if (flags < 0) return flags;
    flags = on ? flags | linux_o_nonblock : flags & ~linux_o_nonblock;
    return linux_call(linux_fcntl, fd, linux_f_setfl, flags);
}

int spawn(const char* path, char* const[], int argc)
{
    if (!path || argc < 0) return -1;
    return not_implemented;
}

int waitpid(int pid, int* status, int options)
{
    return linux_call(linux_waitpid, pid, word(status), options);
}

int spawn_ex(const char* path, char* const[], int argc, int, int, int, int)
{
    if (!path || argc < 0) return -1;
    return not_implemented;
}

int open(const char* path, int flags, ...)
{
    if (!path) return -1;
    return linux_call(linux_open, word(path), flags, file_mode);
}

int creat(const char* path, int)
{
    if (!path) return -1;
    return linux_call(linux_open, word(path), O_WRONLY | O_CREAT | O_TRUNC, file_mode);
}

} // extern "C"
