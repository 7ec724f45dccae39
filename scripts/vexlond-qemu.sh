#!/bin/sh
# Runs the board's daemon (build-board/vexlond, from `make board`) under
# qemu-user modelling the board's e500v2 core. `make board-test` names this
# script in VEXLOND_TEST_BINARY, so the end-to-end tests start it in place of
# build/vexlond. The daemon gets this script's path as its argv[0], as a native
# daemon gets its own. The binary is static: qemu needs no target libraries.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
exec qemu-ppc-static -cpu e500v2 -0 "$0" "$ROOT/build-board/vexlond" "$@"
