# Cross build for the board: a Freescale P1025, whose e500v2 cores run 32-bit
# big-endian PowerPC code and have no classic floating-point unit, so all code
# is soft-float. `make board` passes the toolchain that
# scripts/board-toolchain.sh builds; any other e500v2 toolchain (Buildroot,
# Yocto, a vendor's) serves as well:
#
#   cmake -S . -B build-board/target -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/powerpc-e500v2.cmake \
#         -DVEXLOND_TOOLCHAIN_ROOT=/opt/toolchain -DVEXLOND_TARGET_TRIPLE=powerpc-buildroot-linux-musl
#
# Each setting is a cache variable, or an environment variable of the same name:
#   VEXLOND_TOOLCHAIN_ROOT  directory whose bin/ holds <triple>-gcc, <triple>-g++;
#                           empty: they are found on PATH
#   VEXLOND_TARGET_TRIPLE   the compilers' prefix (powerpc-linux-musl)
#   VEXLOND_TARGET_FLAGS    code generation (-mcpu=8548 -msoft-float)
#   VEXLOND_TARGET_SYSROOT  the target's root (default: the compiler's -print-sysroot)
#   VEXLOND_TARGET_PREFIX   the target's libzmq (default: build-board/prefix)
#   VEXLOND_QEMU_CPU        the core qemu-user models (e500v2)
#
# When qemu-ppc-static is installed, target programs (CMake's run checks, the
# unit tests under CTest) run under it with that core, so an instruction the
# board lacks fails there as it would on the board.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

# This file is read again for every try_compile, where only the variables named
# here reach it; the environment reaches the scripts that build libzmq.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXLOND_TOOLCHAIN_ROOT
     VEXLOND_TARGET_TRIPLE VEXLOND_TARGET_FLAGS VEXLOND_TARGET_SYSROOT VEXLOND_TARGET_PREFIX
     VEXLOND_QEMU_CPU)
macro(vx_setting name default doc)
    if(NOT DEFINED ${name})
        if(DEFINED ENV{${name}})
            set(${name} "$ENV{${name}}")
        else()
            set(${name} "${default}")
        endif()
    endif()
    set(${name} "${${name}}" CACHE STRING "${doc}")
endmacro()

get_filename_component(vx_default_prefix "${CMAKE_CURRENT_LIST_DIR}/../build-board/prefix" ABSOLUTE)
vx_setting(VEXLOND_TOOLCHAIN_ROOT "" "Cross toolchain directory (its bin/ holds the compilers)")
vx_setting(VEXLOND_TARGET_TRIPLE powerpc-linux-musl "Prefix of the cross compilers' names")
vx_setting(VEXLOND_TARGET_FLAGS "-mcpu=8548 -msoft-float" "Code generation flags for the board")
vx_setting(VEXLOND_TARGET_PREFIX "${vx_default_prefix}" "Where the target's libzmq is installed")
vx_setting(VEXLOND_QEMU_CPU e500v2 "CPU model for qemu-user")

if(VEXLOND_TOOLCHAIN_ROOT)
    set(vx_tools "${VEXLOND_TOOLCHAIN_ROOT}/bin/${VEXLOND_TARGET_TRIPLE}-")
else()
    set(vx_tools "${VEXLOND_TARGET_TRIPLE}-")
endif()
set(CMAKE_C_COMPILER ${vx_tools}gcc)
set(CMAKE_CXX_COMPILER ${vx_tools}g++)

if(NOT DEFINED VEXLOND_TARGET_SYSROOT AND NOT DEFINED ENV{VEXLOND_TARGET_SYSROOT})
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-sysroot
                    OUTPUT_VARIABLE vx_sysroot OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE vx_rc)
    if(NOT vx_rc EQUAL 0)
        message(FATAL_ERROR "${CMAKE_C_COMPILER} does not run: set VEXLOND_TOOLCHAIN_ROOT "
                            "(make board builds the toolchain and sets it)")
    endif()
endif()
vx_setting(VEXLOND_TARGET_SYSROOT "${vx_sysroot}" "The target's root file system for the build")

# The target's ZeroMQ headers (and the link to the host's header-only zmq.hpp
# beside them) come ahead of every default directory.
set(vx_flags "${VEXLOND_TARGET_FLAGS} -isystem ${VEXLOND_TARGET_PREFIX}/include")
# Only the code a program reaches is linked: one section per function, and the
# linker drops the sections nothing refers to.
string(APPEND vx_flags " -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${vx_flags}")
set(CMAKE_CXX_FLAGS_INIT "${vx_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--gc-sections")
# 64-bit atomics are library calls on ppc32.
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic" CACHE STRING "Libraries every C++ program links")

set(CMAKE_FIND_ROOT_PATH ${VEXLOND_TARGET_PREFIX} ${VEXLOND_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the target's .pc files only, never the host's libzmq.
set(ENV{PKG_CONFIG_LIBDIR} "${VEXLOND_TARGET_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_SKIP_BUILD_RPATH ON)
find_program(VEXLOND_QEMU qemu-ppc-static)
if(VEXLOND_QEMU)
    # -L serves a toolchain whose programs are linked dynamically.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXLOND_QEMU} -cpu ${VEXLOND_QEMU_CPU}
        -L ${VEXLOND_TARGET_SYSROOT} -E LD_LIBRARY_PATH=${VEXLOND_TARGET_PREFIX}/lib)
endif()
