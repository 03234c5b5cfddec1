// The process-wide error code and the texts that strerror gives for it.
#include <errno.h>
#include <string.h>

extern "C" {

// 0 at process start; only the heap writes it (ENOMEM), and nothing clears it.
int errno = 0;

char* strerror(int code)
{
    // Constant, shared texts: the caller must not write through the pointer.
    switch (code) {
    case 0: return const_cast<char*>("ok");
    case ENOENT: return const_cast<char*>("no such file");
    case EINVAL: return const_cast<char*>("invalid argument");
    case ENOSYS: return const_cast<char*>("not implemented");
    default: return const_cast<char*>("error");
    }
}

} // extern "C"
