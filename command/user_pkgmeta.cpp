// The package record: names the package that the command belongs to.
struct package_record {
    char magic[4];
    unsigned int version;
    char texts[12];
};
static_assert(sizeof(package_record) == 20, "the package record is 20 bytes");

extern "C" __attribute__((section(".yulos.pkgmeta"), used, aligned(4)))
const package_record g_pkgmeta_0 = {{'Y', 'P', 'K', 'G'},
                                    1,
                                    "ttyrelay\0"
                                    "1\0"};
