#!/bin/sh
# Builds libzmq for the board from Debian's own source package (zeromq3) into
# build-board/prefix, with the repository's toolchain file and the toolchain it
# names (VEXLOND_TOOLCHAIN_ROOT and the other settings it reads, from the
# environment). Done once: a later run finds the stamp and returns at once.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$ROOT/build-board
PREFIX=${VEXLOND_TARGET_PREFIX:-$OUT/prefix}
STAMP=$PREFIX/.zeromq3-built
TOOLCHAIN=$ROOT/cmake/powerpc-e500v2.cmake

# The stamp names what the prefix was built with: another toolchain, or a
# change to this script or to the toolchain file, builds it again.
RECIPE=$( (cat "$ROOT/scripts/board-zmq.sh" "$TOOLCHAIN"
    env | grep '^VEXLOND_' | sort) | cksum | cut -d' ' -f1)
if [ -f "$STAMP" ] && [ "$(cut -d' ' -f2 "$STAMP")" = "$RECIPE" ]; then
    echo "Target libzmq: $(cut -d' ' -f1 "$STAMP") in $PREFIX"
    exit 0
fi

SRC=$(sh "$ROOT/scripts/debian-source.sh" zeromq3 "$OUT" | tail -n 1)
VERSION=$(cd "$SRC" && dpkg-parsechangelog -S Version)
echo "Building libzmq $VERSION for the board"

# --- libzmq for the target ----------------------------------------------------
# Only what the daemon uses: TCP and IPC transports, as a static archive for the
# self-contained daemon. CURVE (libsodium), PGM, NORM, GSSAPI, WebSocket and
# libbsd would each pull another target library in; the perf tools and the
# shared object would only cost build time.
# With VEXLOND_LTO=ON (make board's default) the archive holds the compiler's
# intermediate code, and the daemon's link optimises libzmq and the daemon as
# one program: a sixth smaller.
# libzmq's CMake skips its run-time feature checks when cross-compiling and
# would then leave out close-on-exec sockets and TCP keep-alive. Every Linux
# kernel since 2.6.37 has them, and musl passes them through, so they are
# stated here. getrandom (kernel 3.17) stays off: the board's kernel may be
# older, and only CURVE, left out above, would use it.
ZB=$OUT/zmq-build
rm -rf "$ZB"
# A prefix of our own starts empty; one named from outside is installed over.
case "$PREFIX" in "$OUT"/*) rm -rf "$PREFIX" ;; esac
# Long steps keep their output in a log and show its tail when they fail.
logged() {
    log=$1
    shift
    nice -n 10 "$@" >"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        echo "failed: see $log" >&2
        exit 1
    }
}
logged "$OUT/zmq-configure.log" cmake -S "$SRC" -B "$ZB" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_DOCS=OFF -DWITH_PERF_TOOL=OFF \
    -DENABLE_DRAFTS=OFF -DENABLE_WS=OFF -DWITH_NSS=OFF \
    -DENABLE_CURVE=OFF -DWITH_LIBSODIUM=OFF -DWITH_LIBBSD=OFF \
    -DWITH_OPENPGM=OFF -DWITH_NORM=OFF -DWITH_VMCI=OFF \
    -DZMQ_HAVE_SOCK_CLOEXEC=1 -DZMQ_HAVE_O_CLOEXEC=1 -DZMQ_HAVE_EVENTFD_CLOEXEC=1 \
    -DZMQ_HAVE_SO_KEEPALIVE=1 -DZMQ_HAVE_TCP_KEEPCNT=1 -DZMQ_HAVE_TCP_KEEPIDLE=1 \
    -DZMQ_HAVE_TCP_KEEPINTVL=1 -DZMQ_HAVE_SO_BINDTODEVICE=1 -DZMQ_HAVE_SO_PRIORITY=1 \
    -DZMQ_HAVE_PTHREAD_SETNAME_2=1 -DZMQ_HAVE_PTHREAD_SET_AFFINITY=1 \
    -DENABLE_PRECOMPILED=OFF -DENABLE_CPACK=OFF -DLIBZMQ_WERROR=OFF \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION="${VEXLOND_LTO:-OFF}" -DCMAKE_POLICY_DEFAULT_CMP0069=NEW
logged "$OUT/zmq-build.log" cmake --build "$ZB" -j "$(nproc)"
cmake --install "$ZB" >/dev/null

# cppzmq is header-only: the host's copy (cppzmq-dev) serves the target too. It
# is linked beside the target's zmq.h, where the cross compiler, which never
# searches the host's /usr/include, finds both.
for h in zmq.hpp zmq_addon.hpp; do
    ln -sf "/usr/include/$h" "$PREFIX/include/$h"
done

echo "$VERSION $RECIPE" >"$STAMP"
echo "Target libzmq: $VERSION in $PREFIX"
