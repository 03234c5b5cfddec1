/* Kernel services of yulos: one function per service, entered by software interrupt 0x80. */
#ifndef YULOS_UNISTD_H
#define YULOS_UNISTD_H

#include <stddef.h>
#include <yulos_kernel.h>

#ifdef __cplusplus
extern "C" {
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
