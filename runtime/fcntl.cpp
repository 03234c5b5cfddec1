// Opening files: call 4 with the path, the flags and a third word that is the flags themselves
// when they ask to create, and 0 otherwise.
#include <fcntl.h>
#include <unistd.h>

extern "C" {

int open(const char* path, int flags, ...)
{
    if (!path) return -1;
    unsigned int third = (flags & O_CREAT) ? flags : 0;
    return yulos_kernel_call(SYS_OPEN, reinterpret_cast<unsigned int>(path), flags, third);
}

int creat(const char* path, int)
{
    if (!path) return -1;
    return yulos_kernel_call(SYS_OPEN, reinterpret_cast<unsigned int>(path),
                             O_WRONLY | O_CREAT | O_TRUNC, 0);
}

} // extern "C"
