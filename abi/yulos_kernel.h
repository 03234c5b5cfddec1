/* The interface between yulos programs and the kernel: call numbers, the records handed over by
   address, flags, and the metadata records that readers outside a program find in its image.
   The freestanding i386 build and the host's C++ both compile this one header, so a change here
   reaches both sides, or the compiler refuses it. */
#ifndef YULOS_KERNEL_H
#define YULOS_KERNEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel call numbers: eax at int 0x80, arguments in ebx, ecx and edx, the result in eax. */
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

/* Flags of open (4). */
#define YULOS_O_RDONLY 0x0
#define YULOS_O_WRONLY 0x1
#define YULOS_O_RDWR 0x2
#define YULOS_O_CREAT 0x40
#define YULOS_O_TRUNC 0x200
#define YULOS_O_APPEND 0x400

/* The options word of waitpid (132): return 0 at once while the child runs. */
#define YULOS_WAIT_NOHANG 1

/* Flag of the spawn record: a new session, with the child's standard input as its terminal. */
#define YULOS_SPAWN_NEW_SESSION 1u

/* A guest address: a pointer in a yulos program, a 32-bit word to the host. */
#if __SIZEOF_POINTER__ == 4
#define YULOS_ADDRESS(type) type
#else
#define YULOS_ADDRESS(type) uint32_t
#endif

/* Filled by the PTY-pair call (149). */
struct pty_pair {
    int32_t master_fd;
    int32_t slave_fd;
};

/* Read by spawn_ex (150): seven little-endian words, no gaps. */
struct spawn_ex_args {
    YULOS_ADDRESS(const char*) path;
    YULOS_ADDRESS(char* const*) argv;
    int32_t argc;
    int32_t stdin_fd;
    int32_t stdout_fd;
    int32_t stderr_fd;
    uint32_t flag;
};

/* The command record, in section ".yulos.cmdmeta": magic "YCMD", version 1, then the summary
   and the example, each with its NUL, then an empty text (a lone NUL) and zero filling. */
#define YULOS_CMDMETA_SECTION ".yulos.cmdmeta"
#define YULOS_CMDMETA_MAGIC "YCMD"
#define YULOS_CMDMETA_SIZE 92
/* The package record, in section ".yulos.pkgmeta": magic "YPKG", version 1, then the package
   name and its second text in the same form. */
#define YULOS_PKGMETA_SECTION ".yulos.pkgmeta"
#define YULOS_PKGMETA_MAGIC "YPKG"
#define YULOS_PKGMETA_SIZE 20
#define YULOS_META_VERSION 1u
#define YULOS_META_HEADER_SIZE 8 /* magic and version */
#define YULOS_META_TEXTS 2

struct yulos_command_record {
    char magic[4];
    uint32_t version;
    char texts[YULOS_CMDMETA_SIZE - YULOS_META_HEADER_SIZE];
};

struct yulos_package_record {
    char magic[4];
    uint32_t version;
    char texts[YULOS_PKGMETA_SIZE - YULOS_META_HEADER_SIZE];
};

#ifdef __cplusplus
}
#define YULOS_STATIC_ASSERT static_assert
#else
#define YULOS_STATIC_ASSERT _Static_assert
#endif

YULOS_STATIC_ASSERT(sizeof(struct pty_pair) == 8, "pty_pair is two words");
YULOS_STATIC_ASSERT(sizeof(struct spawn_ex_args) == 28, "spawn_ex_args is seven words");
YULOS_STATIC_ASSERT(__builtin_offsetof(struct spawn_ex_args, argc) == 8, "argc is word 3");
YULOS_STATIC_ASSERT(__builtin_offsetof(struct spawn_ex_args, flag) == 24, "flag is word 7");
YULOS_STATIC_ASSERT(sizeof(struct yulos_command_record) == YULOS_CMDMETA_SIZE,
                    "the command record is 92 bytes");
YULOS_STATIC_ASSERT(sizeof(struct yulos_package_record) == YULOS_PKGMETA_SIZE,
                    "the package record is 20 bytes");

#endif
