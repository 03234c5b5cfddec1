/* The process-wide error code; only the heap writes it. */
#ifndef YULOS_ERRNO_H
#define YULOS_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

extern int errno;

#ifdef __cplusplus
}
#endif

#endif
