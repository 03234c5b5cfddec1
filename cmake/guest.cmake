# The yulos side: start-up object, runtime library, the command, other programs and the
# images that the host's tests run.
# This build's own choices on top of the toolchain's flags, which `./yulos cc` leaves to its user.
set(YULOS_BUILD_FLAGS -O2 -DNDEBUG)
add_compile_options(${YULOS_COMMON_FLAGS}
    "$<$<COMPILE_LANGUAGE:C>:${YULOS_C_FLAGS}>"
    "$<$<COMPILE_LANGUAGE:CXX>:${YULOS_CXX_FLAGS}>"
    -Wall -Wextra ${YULOS_BUILD_FLAGS})

file(GLOB YULOS_BUILTINS_CANDIDATES
    /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.builtins-i386.a)
list(GET YULOS_BUILTINS_CANDIDATES 0 YULOS_BUILTINS)

set(YULOS_LINK_SCRIPT ${CMAKE_SOURCE_DIR}/link/yulos.ld)

add_library(yulos_crt0 OBJECT runtime/user_crt0.cpp)
target_include_directories(yulos_crt0 PRIVATE runtime/include abi)

file(GLOB YULOS_RUNTIME_SOURCES CONFIGURE_DEPENDS
    runtime/*.cpp runtime/stdio/*.cpp runtime/stdlib/*.cpp)
list(REMOVE_ITEM YULOS_RUNTIME_SOURCES ${CMAKE_SOURCE_DIR}/runtime/user_crt0.cpp)
add_library(yulos STATIC ${YULOS_RUNTIME_SOURCES})
target_include_directories(yulos PUBLIC runtime/include abi PRIVATE runtime)

# yulos_program(NAME SOURCES... [WHOLE_RUNTIME]): a static image at 0x400000 with _start first.
# WHOLE_RUNTIME links every runtime function in, so tests can call any of them by name.
function(yulos_program name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "WHOLE_RUNTIME" "" "")
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE yulos_crt0)
    if(ARG_WHOLE_RUNTIME)
        set(runtime --whole-archive $<TARGET_FILE:yulos> --no-whole-archive)
    else()
        set(runtime $<TARGET_FILE:yulos>)
    endif()
    target_include_directories(${name} PRIVATE runtime/include abi)
    target_link_options(${name} PRIVATE
        -T ${YULOS_LINK_SCRIPT} -static --build-id=none)
    target_link_libraries(${name} PRIVATE ${runtime} ${YULOS_BUILTINS})
    add_dependencies(${name} yulos)
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${YULOS_LINK_SCRIPT} SUFFIX "")
endfunction()

file(GLOB YULOS_COMMAND_SOURCES CONFIGURE_DEPENDS command/*.cpp)
if(YULOS_COMMAND_SOURCES)
    yulos_program(ttyrelay ${YULOS_COMMAND_SOURCES})
    install(TARGETS ttyrelay DESTINATION ${YULOS_SYSROOT}/binaries)
endif()

file(GLOB YULOS_PROGRAM_SOURCES CONFIGURE_DEPENDS programs/*.cpp)
foreach(source ${YULOS_PROGRAM_SOURCES})
    # Targets and build outputs carry a prefix: some program names ("help") are reserved by
    # the build tools. The installed file bears the plain name.
    get_filename_component(name ${source} NAME_WE)
    yulos_program(program_${name} ${source})
    install(PROGRAMS $<TARGET_FILE:program_${name}> DESTINATION ${YULOS_SYSROOT}/binaries
        RENAME ${name})
endforeach()

# The list of installed commands, one name per line, sorted: /binaries/.commands, which help
# reads, as the guest has no call that lists a directory. Rewritten only when it changes.
set(YULOS_COMMAND_NAMES)
if(YULOS_COMMAND_SOURCES)
    list(APPEND YULOS_COMMAND_NAMES ttyrelay)
endif()
foreach(source ${YULOS_PROGRAM_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    list(APPEND YULOS_COMMAND_NAMES ${name})
endforeach()
list(SORT YULOS_COMMAND_NAMES)
list(JOIN YULOS_COMMAND_NAMES "\n" YULOS_COMMAND_LIST)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/command_list CONTENT "${YULOS_COMMAND_LIST}\n" @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/command_list DESTINATION ${YULOS_SYSROOT}/binaries
    RENAME .commands)

# Images for the host's tests; they stay in the build tree, never in the default root.
file(GLOB YULOS_TEST_PROGRAM_SOURCES CONFIGURE_DEPENDS tests/guest/*.cpp)
foreach(source ${YULOS_TEST_PROGRAM_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    yulos_program(test_${name} ${source} WHOLE_RUNTIME)
endforeach()
# The debugger's tests need what `./yulos cc -g` gives: debug information, no optimisation.
target_compile_options(test_debuggee PRIVATE -g -O0)

# The SDK's flags file: how this build compiles and links yulos code, one argument a line after
# its key. `./yulos cc` and the bench read it, so that the flags and the builtins archive are
# chosen in this build alone.
function(yulos_flag_lines out key)
    list(TRANSFORM ARGN PREPEND "${key} ")
    list(JOIN ARGN "\n" lines)
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()
yulos_flag_lines(common flag --target=${CMAKE_CXX_COMPILER_TARGET} ${YULOS_COMMON_FLAGS})
yulos_flag_lines(c c_flag ${YULOS_C_FLAGS})
yulos_flag_lines(cxx cxx_flag ${YULOS_CXX_FLAGS})
yulos_flag_lines(build build_flag ${YULOS_BUILD_FLAGS})
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/sdk_flags CONTENT
"# How the yulos build compiles and links yulos code (written by cmake/guest.cmake).
# flag: C and C++; c_flag, cxx_flag: one language; build_flag: the build's own choices;
# include: a program's include directories; runtime_include: the runtime library's own.
${common}
${c}
${cxx}
${build}
include $<JOIN:$<TARGET_PROPERTY:yulos,INTERFACE_INCLUDE_DIRECTORIES>,\ninclude >
runtime_include $<JOIN:$<TARGET_PROPERTY:yulos,INCLUDE_DIRECTORIES>,\nruntime_include >
link_script ${YULOS_LINK_SCRIPT}
builtins ${YULOS_BUILTINS}
")

# The guest side of the kernel-call fuzzer (./yulos fuzz calls); it stays in the build tree too.
file(GLOB YULOS_FUZZ_PROGRAM_SOURCES CONFIGURE_DEPENDS fuzz/guest/*.cpp)
foreach(source ${YULOS_FUZZ_PROGRAM_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    yulos_program(fuzz_${name} ${source})
endforeach()

install(TARGETS yulos DESTINATION ${YULOS_SDK})
install(FILES ${CMAKE_BINARY_DIR}/sdk_flags DESTINATION ${YULOS_SDK} RENAME flags)
install(FILES $<TARGET_OBJECTS:yulos_crt0> DESTINATION ${YULOS_SDK} RENAME crt0.o)
