#!/bin/sh
# Runs the board's build of the daemon (build-ppc/target/vexlond, from
# `make cross`) under qemu-user with the target's C library. `make cross-test`
# names this script in VEXLOND_TEST_BINARY, so the end-to-end tests start it in
# place of build/vexlond. The daemon gets this script's path as its argv[0],
# as a native daemon gets its own; LD_LIBRARY_PATH serves a dynamic build.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
exec qemu-ppc-static -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH="$ROOT/build-ppc/prefix/lib" \
    -0 "$0" "$ROOT/build-ppc/target/vexlond" "$@"
