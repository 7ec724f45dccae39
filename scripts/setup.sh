#!/bin/sh
# Installs the Debian packages the build and the tests need, when they are missing.
# As root it runs apt-get itself; otherwise it prints the command to run and fails,
# so that `make` never half-builds against a missing library.
set -e
PACKAGES="g++ cmake make pkg-config libzmq3-dev cppzmq-dev libgtest-dev libgmock-dev libbenchmark-dev valgrind"
# Packaging and its tests: man pages rendered with man and groff, the Debian
# package built with dpkg-deb and its dependencies found with dpkg-shlibdeps
# (which needs file), installed by a user other than root under fakeroot, and
# the init script run under BusyBox's shell and start-stop-daemon as on the board.
PACKAGES="$PACKAGES man-db groff-base dpkg-dev file fakeroot busybox"
# Targets that need more name it: `setup.sh fuzz` brings the libFuzzer toolchain,
# `setup.sh bench` the relay the benchmarks compare the endpoints with (socat),
# any other argument is a package name (make board passes its own).
for extra in "$@"; do
    case "$extra" in
    fuzz) PACKAGES="$PACKAGES clang-14 libfuzzer-14-dev libclang-rt-14-dev" ;;
    bench) PACKAGES="$PACKAGES socat" ;;
    *) PACKAGES="$PACKAGES $extra" ;;
    esac
done
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing </dev/null
else
    echo "Missing packages:$missing" >&2
    echo "Run: sudo apt-get install -y$missing" >&2
    exit 1
fi
