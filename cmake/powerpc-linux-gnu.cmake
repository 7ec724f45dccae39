# Cross build for the board: 32-bit big-endian PowerPC (e500v2 class), with
# Debian's cross toolchain (g++-powerpc-linux-gnu) and a target libzmq installed
# into VEXLOND_TARGET_PREFIX (scripts/cross.sh builds it into build-ppc/prefix).
#
#   cmake -S . -B build-ppc/target -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
#
# When qemu-ppc-static is installed, target programs (CMake's run checks, the
# unit tests under CTest) run under it, against the toolchain's C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(VEXLOND_TARGET_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${VEXLOND_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEXLOND_TARGET_TRIPLE}-g++)

# Debian's cross compilers are not sysroot builds: the target's C library lives
# in /usr/<triple>. The same tree is what qemu-user loads the target's shared
# libraries from.
set(VEXLOND_TARGET_SYSROOT /usr/${VEXLOND_TARGET_TRIPLE})

# This file is read again for every try_compile, where the cache is not visible:
# the default prefix is derived from this file's place in the tree, and an
# override travels in the environment.
if(DEFINED ENV{VEXLOND_TARGET_PREFIX})
    set(VEXLOND_TARGET_PREFIX $ENV{VEXLOND_TARGET_PREFIX})
else()
    get_filename_component(VEXLOND_TARGET_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build-ppc/prefix"
                           ABSOLUTE)
endif()

# The cross compiler searches the host's /usr/include last, where the host's own
# zmq.h may sit. The target's ZeroMQ headers (and the link to the host's
# header-only zmq.hpp beside them) come first, ahead of every default directory.
set(VEXLOND_TARGET_CFLAGS "-isystem ${VEXLOND_TARGET_PREFIX}/include")

# Only the code a program reaches is linked: one section per function, and the
# linker drops the sections nothing refers to. A static link sheds a fifth.
string(APPEND VEXLOND_TARGET_CFLAGS " -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${VEXLOND_TARGET_CFLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VEXLOND_TARGET_CFLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH ${VEXLOND_TARGET_PREFIX} ${VEXLOND_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the target's .pc files only, never the host's libzmq.
set(ENV{PKG_CONFIG_LIBDIR} "${VEXLOND_TARGET_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# A dynamically linked program finds the target's libzmq through
# LD_LIBRARY_PATH, so the binary carries no path of this build tree.
set(CMAKE_SKIP_BUILD_RPATH ON)
find_program(VEXLOND_QEMU qemu-ppc-static)
if(VEXLOND_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXLOND_QEMU} -L ${VEXLOND_TARGET_SYSROOT}
        -E LD_LIBRARY_PATH=${VEXLOND_TARGET_PREFIX}/lib)
endif()
