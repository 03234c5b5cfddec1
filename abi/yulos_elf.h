/* The parts of a 32-bit little-endian ELF executable that the yulos loader and the readers of
   an image's records look at, as records that both sides read with one copy each. */
#ifndef YULOS_ELF_H
#define YULOS_ELF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define YULOS_ELF_CLASS32 1
#define YULOS_ELF_DATA_LSB 1
#define YULOS_ELF_TYPE_EXEC 2
#define YULOS_ELF_MACHINE_386 3

#define YULOS_PT_LOAD 1
#define YULOS_PT_DYNAMIC 2
#define YULOS_PT_INTERP 3
#define YULOS_PF_X 1
#define YULOS_PF_W 2
#define YULOS_PF_R 4

#define YULOS_SHT_PROGBITS 1
#define YULOS_SHT_SYMTAB 2
#define YULOS_STT_FUNC 2

struct yulos_elf_header {
    unsigned char ident[16]; /* magic 7f 'E' 'L' 'F', class, data, version, ... */
    uint16_t type;
    uint16_t machine;
    uint32_t version;
    uint32_t entry;
    uint32_t program_headers;
    uint32_t section_headers;
    uint32_t flags;
    uint16_t header_size;
    uint16_t program_header_size;
    uint16_t program_header_count;
    uint16_t section_header_size;
    uint16_t section_header_count;
    uint16_t section_names_index;
};

struct yulos_elf_program_header {
    uint32_t type;
    uint32_t offset;
    uint32_t address;
    uint32_t physical_address;
    uint32_t file_size;
    uint32_t memory_size;
    uint32_t flags;
    uint32_t alignment;
};

struct yulos_elf_section_header {
    uint32_t name;
    uint32_t type;
    uint32_t flags;
    uint32_t address;
    uint32_t offset;
    uint32_t size;
    uint32_t link;
    uint32_t info;
    uint32_t alignment;
    uint32_t entry_size;
};

struct yulos_elf_symbol {
    uint32_t name;
    uint32_t value;
    uint32_t size;
    unsigned char info; /* type in the low four bits */
    unsigned char other;
    uint16_t section;
};

#ifdef __cplusplus
}
#define YULOS_ELF_STATIC_ASSERT static_assert
#else
#define YULOS_ELF_STATIC_ASSERT _Static_assert
#endif

YULOS_ELF_STATIC_ASSERT(sizeof(struct yulos_elf_header) == 52, "the ELF header is 52 bytes");
YULOS_ELF_STATIC_ASSERT(sizeof(struct yulos_elf_program_header) == 32,
                        "a program header is 32 bytes");
YULOS_ELF_STATIC_ASSERT(sizeof(struct yulos_elf_section_header) == 40,
                        "a section header is 40 bytes");
YULOS_ELF_STATIC_ASSERT(sizeof(struct yulos_elf_symbol) == 16, "a symbol is 16 bytes");
YULOS_ELF_STATIC_ASSERT(__builtin_offsetof(struct yulos_elf_header, section_names_index) == 50,
                        "the section-name table index is the header's last field");

#endif
