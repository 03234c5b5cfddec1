// One small function per kernel service: check the arguments, clamp the lengths, enter the
// kernel and hand back its result unchanged.
#include <unistd.h>

namespace {

constexpr unsigned int max_length = 2147483647u;

// Lengths above the largest int (a negative int computed by a caller, say) become that int.
unsigned int clamp_length(size_t len) { return len > max_length ? max_length : len; }

unsigned int word(const void* p) { return reinterpret_cast<unsigned int>(p); }

unsigned int boolean(int on) { return on != 0 ? 1 : 0; }

} // namespace

extern "C" {

int write(int fd, const void* buf, size_t len)
{
    if (!buf) return -1;
    return yulos_kernel_call(SYS_WRITE, fd, word(buf), clamp_length(len));
}

int read(int fd, void* buf, size_t len)
{
    if (!buf) return -1;
    return yulos_kernel_call(SYS_READ, fd, word(buf), clamp_length(len));
}

int close(int fd) { return yulos_kernel_call(SYS_CLOSE, fd, 0, 0); }

void _exit(int status)
{
    yulos_kernel_call(SYS_EXIT, status, 0, 0);
    for (;;) __asm__ volatile("hlt");
}

int getkey(void) { return yulos_kernel_call(SYS_GETKEY, 0, 0, 0); }

// Answers only whether the path opens for reading; the mode is never looked at.
int access(const char* path, int)
{
    if (!path) return -1;
    int fd = yulos_kernel_call(SYS_OPEN, word(path), 0, 0);
    if (fd < 0) return -1;
    yulos_kernel_call(SYS_CLOSE, fd, 0, 0);
    return 0;
}

int writefile(const char* path, const void* data, size_t len)
{
    if (!path || !data) return -1;
    return yulos_kernel_call(SYS_WRITEFILE, word(path), word(data), clamp_length(len));
}

int usleep(unsigned int usec)
{
    yulos_kernel_call(SYS_USLEEP, usec, 0, 0);
    return 0;
}

// The product wraps in 32 bits; callers keep sec * 1,000,000 within range.
int sleep(unsigned int sec)
{
    yulos_kernel_call(SYS_USLEEP, sec * 1000000u, 0, 0);
    return 0;
}

int mkdir(const char* path, ...)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_MKDIR, word(path), 0, 0);
}

int unlink(const char* path)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_UNLINK, word(path), 0, 0);
}

int rmdir(const char* path)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_RMDIR, word(path), 0, 0);
}

int getcwd(char* buf, size_t size)
{
    if (!buf || size == 0) return -1;
    return yulos_kernel_call(SYS_GETCWD, word(buf), clamp_length(size), 0);
}

int yulfs_stream_begin(const char* path)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_YULFS_STREAM_BEGIN, word(path), 0, 0);
}

int yulfs_stream_write(int handle, const void* data, size_t len)
{
    if (!data) return -1;
    return yulos_kernel_call(SYS_YULFS_STREAM_WRITE, handle, word(data), clamp_length(len));
}

int yulfs_stream_end(int handle) { return yulos_kernel_call(SYS_YULFS_STREAM_END, handle, 0, 0); }

int chdir(const char* path)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_CHDIR, word(path), 0, 0);
}

int lseek(int fd, int offset, int whence)
{
    return yulos_kernel_call(SYS_LSEEK, fd, offset, whence);
}

int pipe(int fds[2])
{
    if (!fds) return -1;
    return yulos_kernel_call(SYS_PIPE, word(fds), 0, 0);
}

int mkfifo(const char* path, ...)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_MKFIFO, word(path), 0, 0);
}

int dup(int fd) { return yulos_kernel_call(SYS_DUP, fd, 0, 0); }

int dup2(int oldfd, int newfd) { return yulos_kernel_call(SYS_DUP2, oldfd, newfd, 0); }

int fd_set_inherit(int on) { return yulos_kernel_call(SYS_FD_SET_INHERIT, boolean(on), 0, 0); }

int fd_set_stdio(int in_fd, int out_fd, int err_fd)
{
    return yulos_kernel_call(SYS_FD_SET_STDIO, in_fd, out_fd, err_fd);
}

int fd_set_nonblock(int fd, int on)
{
    return yulos_kernel_call(SYS_FD_SET_NONBLOCK, fd, boolean(on), 0);
}

int spawn(const char* path, char* const argv[], int argc)
{
    if (!path || argc < 0) return -1;
    return yulos_kernel_call(SYS_SPAWN, word(path), word(argv), argc);
}

int waitpid(int pid, int* status, int options)
{
    return yulos_kernel_call(SYS_WAITPID, pid, word(status), options);
}

int spawn_ex(const char* path, char* const argv[], int argc, int in_fd, int out_fd, int err_fd,
             int flag)
{
    if (!path || argc < 0) return -1;
    spawn_ex_args args = {path, argv, argc, in_fd, out_fd, err_fd, boolean(flag)};
    return yulos_kernel_call(SYS_SPAWN_EX, word(&args), 0, 0);
}

} // extern "C"
