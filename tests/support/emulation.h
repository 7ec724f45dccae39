// Whether the code under test runs on the board's target ABI under qemu-user
// (make board-test) rather than natively. The emulator translates system calls
// for the host kernel and cannot translate every terminal ioctl: a test of such
// a call skips there, saying which call and why, and still runs natively.
#pragma once

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

// True in unit tests cross-built for the board (CTest runs them under the
// emulator) and in end-to-end tests whose daemon is the target binary, run
// through the wrapper named by VEXLOND_TEST_BINARY.
inline bool vx_emulated()
{
#ifdef VX_TARGET_EMULATED
    return true;
#else
    const char *wrapper = getenv("VEXLOND_TEST_BINARY");
    return wrapper != nullptr && wrapper[0] != '\0';
#endif
}

// Skips the rest of the test under the emulator, e.g.
// VX_SKIP_ON_EMULATOR("TIOCSRS485: no translation in qemu-user 7.2");
#define VX_SKIP_ON_EMULATOR(reason)                                                                \
    do {                                                                                           \
        if (vx_emulated()) GTEST_SKIP() << (reason);                                               \
    } while (0)

// The board's daemon has musl for its C library, which words some texts
// otherwise than the host's glibc: strerror's, getopt's complaints, printf's
// %p of a null pointer. A test expecting such a text names both.
inline std::string vx_libc_text(const char *glibc, const char *musl)
{
    return vx_emulated() ? musl : glibc;
}
