/* Opening files. */
#ifndef YULOS_FCNTL_H
#define YULOS_FCNTL_H

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY 0x0
#define O_WRONLY 0x1
#define O_RDWR 0x2
#define O_CREAT 0x40
#define O_TRUNC 0x200
#define O_APPEND 0x400

int open(const char* path, int flags, ...);
int creat(const char* path, int mode);

#ifdef __cplusplus
}
#endif

#endif
