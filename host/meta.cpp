#include "meta.h"

#include <cstdio>

namespace yulos {

int print_metadata(const std::string& path)
{
    std::fprintf(stderr, "yulos: %s: metadata reading is not available yet\n", path.c_str());
    return 1;
}

} // namespace yulos
