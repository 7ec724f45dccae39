#!/bin/sh
# Builds libzmq for the board from Debian's own source package (zeromq3) into
# build-ppc/prefix, with the repository's toolchain file. Done once: a later run
# finds the stamp and returns at once.
#
# The machine's apt sources carry binary packages only. The matching source
# entries are derived from them into a private apt state under build-ppc/apt,
# so neither the system's lists nor its configuration change, and no root is
# needed for this step.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$ROOT/build-ppc
PREFIX=${VEXLOND_TARGET_PREFIX:-$OUT/prefix}
STAMP=$PREFIX/.zeromq3-built
TOOLCHAIN=$ROOT/cmake/powerpc-linux-gnu.cmake

# The stamp names what the prefix was built with: a change to this script or to
# the toolchain file builds it again.
RECIPE=$(cat "$ROOT/scripts/cross-zmq.sh" "$TOOLCHAIN" | cksum | cut -d' ' -f1)
if [ -f "$STAMP" ] && [ "$(cut -d' ' -f2 "$STAMP")" = "$RECIPE" ]; then
    echo "Target libzmq: $(cut -d' ' -f1 "$STAMP") in $PREFIX"
    exit 0
fi

# --- deb-src entries derived from the system's deb entries -------------------
. /etc/os-release
CODENAME=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
APTDIR=$OUT/apt
PARTS=$APTDIR/sources.list.d
rm -rf "$PARTS"
mkdir -p "$PARTS" "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial" "$OUT/src"
: >"$APTDIR/sources.list"
LIST=$PARTS/derived.list
: >"$LIST"

# Only the distribution's own suites (the codename and its -updates, -security,
# ... pockets) carry zeromq3; third-party repositories are left out.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v cn="$CODENAME" '
        $1 != "deb" { next }
        {
            i = 2
            if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            suite = $(i + 1)
            if (suite != cn && index(suite, cn "-") != 1) next
            sub(/^deb/, "deb-src"); print
        }' "$f" >>"$LIST"
done
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v cn="$CODENAME" '
        function flush(   n, s, i, ok) {
            if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "" && suites != "") {
                n = split(suites, s, " "); ok = 1
                for (i = 1; i <= n; i++)
                    if (s[i] != cn && index(s[i], cn "-") != 1) ok = 0
                if (ok) {
                    print "Types: deb-src"; print "URIs: " uris; print "Suites: " suites
                    print "Components: " comps
                    if (signed != "") print "Signed-By: " signed
                    print ""
                }
            }
            types = uris = suites = comps = signed = enabled = ""
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        {
            key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[ \t]*/, "", val)
            if (key == "Types") types = val
            else if (key == "URIs") uris = val
            else if (key == "Suites") suites = val
            else if (key == "Components") comps = val
            else if (key == "Signed-By") signed = val
            else if (key == "Enabled") enabled = val
        }
        END { flush() }' "$f" >"$PARTS/$(basename "$f")"
done
if ! cat "$PARTS"/* | grep -q .; then
    echo "No $CODENAME entries in /etc/apt/sources.list(.d): cannot derive deb-src" >&2
    exit 1
fi

# A private apt state: its own source list, index lists and cache, the system's
# keyrings and dpkg status read only.
APT_OPTS="-o Dir::Etc::SourceList=$APTDIR/sources.list -o Dir::Etc::SourceParts=$PARTS
 -o Dir::State::Lists=$APTDIR/lists -o Dir::Cache=$APTDIR/cache
 -o Debug::NoLocking=1 -o APT::Sandbox::User=$(id -un)"
apt-get $APT_OPTS -qq update
rm -rf "$OUT/src"/zeromq3-* "$OUT/src"/zeromq3_*
(cd "$OUT/src" && apt-get $APT_OPTS -qq source zeromq3)
SRC=$(ls -d "$OUT/src"/zeromq3-*/ | head -n 1)
VERSION=$(cd "$SRC" && dpkg-parsechangelog -S Version)
echo "Building libzmq $VERSION for powerpc-linux-gnu"

# --- libzmq for the target ----------------------------------------------------
# Only what the daemon uses: TCP and IPC transports. CURVE (libsodium), PGM,
# NORM, GSSAPI, WebSocket and libbsd would each pull another target library in.
# Both a static archive (for the self-contained daemon, the default) and a
# shared object (for a board that ships libzmq.so.5).
# libzmq's CMake skips its run-time feature checks when cross-compiling and
# would then leave out close-on-exec sockets and TCP keep-alive. Every Linux
# kernel since 2.6.37 with glibc has them (Debian's native build detects them),
# so they are stated here. getrandom (kernel 3.17) stays off: the board's kernel
# may be older, and only CURVE, left out above, would use it.
ZB=$OUT/zmq-build
rm -rf "$ZB"
# A prefix of our own starts empty; one named from outside is installed over.
case "$PREFIX" in "$OUT"/*) rm -rf "$PREFIX" ;; esac
cmake -S "$SRC" -B "$ZB" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED=ON -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_DOCS=OFF \
    -DENABLE_DRAFTS=OFF -DENABLE_WS=OFF -DWITH_NSS=OFF \
    -DENABLE_CURVE=OFF -DWITH_LIBSODIUM=OFF -DWITH_LIBBSD=OFF \
    -DWITH_OPENPGM=OFF -DWITH_NORM=OFF -DWITH_VMCI=OFF \
    -DZMQ_HAVE_SOCK_CLOEXEC=1 -DZMQ_HAVE_O_CLOEXEC=1 -DZMQ_HAVE_EVENTFD_CLOEXEC=1 \
    -DZMQ_HAVE_SO_KEEPALIVE=1 -DZMQ_HAVE_TCP_KEEPCNT=1 -DZMQ_HAVE_TCP_KEEPIDLE=1 \
    -DZMQ_HAVE_TCP_KEEPINTVL=1 -DZMQ_HAVE_SO_BINDTODEVICE=1 -DZMQ_HAVE_SO_PRIORITY=1 \
    -DZMQ_HAVE_PTHREAD_SETNAME_2=1 -DZMQ_HAVE_PTHREAD_SET_AFFINITY=1 \
    -DENABLE_PRECOMPILED=OFF -DENABLE_CPACK=OFF -DLIBZMQ_WERROR=OFF >"$OUT/zmq-configure.log"
cmake --build "$ZB" -j "$(nproc)" >"$OUT/zmq-build.log"
cmake --install "$ZB" >/dev/null

# cppzmq is header-only: the host's copy (cppzmq-dev) serves the target too. It
# is linked beside the target's zmq.h so that both come from one directory,
# searched before the host's /usr/include.
for h in zmq.hpp zmq_addon.hpp; do
    ln -sf "/usr/include/$h" "$PREFIX/include/$h"
done

echo "$VERSION $RECIPE" >"$STAMP"
echo "Target libzmq: $VERSION in $PREFIX"
