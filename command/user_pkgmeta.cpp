// The package record: names the package that the command belongs to.
#include <yulos_kernel.h>

extern "C" __attribute__((section(YULOS_PKGMETA_SECTION), used, aligned(4)))
const yulos_package_record g_pkgmeta_0 = {{'Y', 'P', 'K', 'G'},
                                          YULOS_META_VERSION,
                                          "ttyrelay\0"
                                          "1\0"};
