/* Opening files. */
#ifndef YULOS_FCNTL_H
#define YULOS_FCNTL_H

#include <yulos_kernel.h>

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY YULOS_O_RDONLY
#define O_WRONLY YULOS_O_WRONLY
#define O_RDWR YULOS_O_RDWR
#define O_CREAT YULOS_O_CREAT
#define O_TRUNC YULOS_O_TRUNC
#define O_APPEND YULOS_O_APPEND

int open(const char* path, int flags, ...);
int creat(const char* path, int mode);

#ifdef __cplusplus
}
#endif

#endif
