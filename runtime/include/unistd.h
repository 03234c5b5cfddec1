/* Kernel services of yulos: one function per service, entered by software interrupt 0x80. */
#ifndef YULOS_UNISTD_H
#define YULOS_UNISTD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel call numbers. */
enum {
    SYS_WRITE = 1,
    SYS_EXIT = 2,
    SYS_READ = 3,
    SYS_OPEN = 4,
    SYS_CLOSE = 5,
    SYS_GETKEY = 6,
    SYS_WRITEFILE = 21,
    SYS_USLEEP = 22,
    SYS_MKDIR = 49,
    SYS_UNLINK = 50,
    SYS_RMDIR = 51,
    SYS_GETCWD = 52,
    SYS_YULFS_STREAM_BEGIN = 53,
    SYS_YULFS_STREAM_WRITE = 54,
    SYS_YULFS_STREAM_END = 55,
    SYS_CHDIR = 95,
    SYS_LSEEK = 110,
    SYS_PIPE = 124,
    SYS_MKFIFO = 125,
    SYS_DUP = 126,
    SYS_DUP2 = 127,
    SYS_FD_SET_INHERIT = 128,
    SYS_FD_SET_STDIO = 129,
    SYS_FD_SET_NONBLOCK = 130,
    SYS_SPAWN = 131,
    SYS_WAITPID = 132,
    SYS_PTY_PAIR = 149,
    SYS_SPAWN_EX = 150
};

/* Filled by call 149: both words are set to -1 by the caller before the call. */
struct pty_pair {
    int master_fd;
    int slave_fd;
};

/* Read by call 150: seven little-endian words, no gaps. */
struct spawn_ex_args {
    const char* path;
    char* const* argv;
    int argc;
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
    unsigned int flag;
};

#ifdef __cplusplus
static_assert(sizeof(struct pty_pair) == 8, "pty_pair is two words");
static_assert(sizeof(struct spawn_ex_args) == 28, "spawn_ex_args is seven words");
static_assert(offsetof(struct spawn_ex_args, flag) == 24, "flag is the seventh word");
#else
_Static_assert(sizeof(struct pty_pair) == 8, "pty_pair is two words");
_Static_assert(sizeof(struct spawn_ex_args) == 28, "spawn_ex_args is seven words");
#endif

/* Enters the kernel with the call number in eax and three argument words in ebx, ecx, edx. */
static inline int yulos_kernel_call(int number, unsigned int a, unsigned int b, unsigned int c)
{
    int result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

int write(int fd, const void* buf, size_t len);
int read(int fd, void* buf, size_t len);
int close(int fd);
__attribute__((noreturn)) void _exit(int status);
int getkey(void);
int access(const char* path, int mode);
int writefile(const char* path, const void* data, size_t len);
int usleep(unsigned int usec);
int sleep(unsigned int sec);
int mkdir(const char* path, ...);
int unlink(const char* path);
int rmdir(const char* path);
int getcwd(char* buf, size_t size);
int yulfs_stream_begin(const char* path);
int yulfs_stream_write(int handle, const void* data, size_t len);
int yulfs_stream_end(int handle);
int chdir(const char* path);
int lseek(int fd, int offset, int whence);
int pipe(int fds[2]);
int mkfifo(const char* path, ...);
int dup(int fd);
int dup2(int oldfd, int newfd);
int fd_set_inherit(int on);
int fd_set_stdio(int in_fd, int out_fd, int err_fd);
int fd_set_nonblock(int fd, int on);
int spawn(const char* path, char* const argv[], int argc);
int waitpid(int pid, int* status, int options);
int spawn_ex(const char* path, char* const argv[], int argc, int in_fd, int out_fd, int err_fd,
             int flag);

#ifdef __cplusplus
}
#endif

#endif
