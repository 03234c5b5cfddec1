# Cross toolchain for yulos: freestanding 32-bit x86, linked by ld.lld with our own layout.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i386-unknown-none-elf)
set(CMAKE_CXX_COMPILER_TARGET i386-unknown-none-elf)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The flags of every yulos object. cmake/guest.cmake applies them and writes them, with the rest
# of what a yulos program is built from, to the SDK's flags file, which `./yulos cc` and the bench
# read. They are plain variables rather than CMake's CMAKE_<LANG>_FLAGS, whose first value stays
# in a build tree's cache: a change here reaches every build tree.
# No frame pointer: under emulation every guest memory access costs a software TLB lookup, and
# the frame pointer's push and pop in every function are two of them per call. Without one, a
# debugger finds the caller of a function through its call-frame information, which
# -fforce-dwarf-frame keeps in .debug_frame (not loaded) though there are no unwind tables.
set(YULOS_COMMON_FLAGS -ffreestanding -nostdlibinc -fno-pic -fno-stack-protector -fno-builtin
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fomit-frame-pointer -fforce-dwarf-frame)
set(YULOS_C_FLAGS -std=c11)
set(YULOS_CXX_FLAGS -std=c++20 -fno-exceptions -fno-rtti)

find_program(YULOS_LLD ld.lld REQUIRED)
set(CMAKE_C_LINK_EXECUTABLE "${YULOS_LLD} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE "${YULOS_LLD} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
