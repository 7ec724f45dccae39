#!/bin/sh
# The board's cross toolchain: 32-bit big-endian PowerPC, soft-float, tuned for
# the P1025's e500v2 core, with musl as a static C library. It is built once
# from Debian's own packages and cached outside the clone; every later call
# (another clone, CI) finds it and only prints its directory, the one line this
# script writes to standard output. Progress and timings go to standard error.
#
#   VEXLOND_TOOLCHAIN_CACHE   where toolchains are kept
#                             (default ${XDG_CACHE_HOME:-$HOME/.cache}/vexlond)
#
# What it is made of, all from Debian 12:
# - the compiler proper (cc1, cc1plus, lto1) of Debian's powerpc cross compiler,
#   gcc-12-powerpc-linux-gnu: building GCC's own compilers would take longer
#   than CI can give, and these accept every option the target needs
#   (-mcpu=8548 -msoft-float -mlong-double-64 -mmusl);
# - the assembler and linker of binutils-powerpc-linux-gnu;
# - from gcc-12-source, the driver (gcc, g++), configured for
#   powerpc-linux-musl with the board's defaults, and the target libraries that
#   Debian's hard-float ones cannot stand in for: libgcc (soft-float arithmetic
#   and the unwinder), libstdc++ and libatomic (64-bit atomics on ppc32);
# - musl from Debian's musl source package (its powerpc-sf port);
# - the kernel's headers from linux-libc-dev-powerpc-cross.
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TRIPLE=powerpc-linux-musl
CROSS=powerpc-linux-gnu

say() { echo "board-toolchain: $*" >&2; }
version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }

GCC_SRC_VER=$(version gcc-12-source)
CC1_VER=$(version gcc-12-powerpc-linux-gnu)
CC1PLUS_VER=$(version g++-12-powerpc-linux-gnu)
BINUTILS_VER=$(version binutils-powerpc-linux-gnu)
KERNEL_VER=$(version linux-libc-dev-powerpc-cross)
for v in "$GCC_SRC_VER" "$CC1_VER" "$CC1PLUS_VER" "$BINUTILS_VER" "$KERNEL_VER"; do
    [ -n "$v" ] || {
        say "missing gcc-12-source, g++-12-powerpc-linux-gnu, binutils-powerpc-linux-gnu or linux-libc-dev-powerpc-cross"
        exit 1
    }
done
if [ "$CC1_VER" != "$CC1PLUS_VER" ]; then
    say "gcc-12-powerpc-linux-gnu $CC1_VER and g++-12-powerpc-linux-gnu $CC1PLUS_VER differ"
    exit 1
fi
MUSL_VER=$(apt-cache policy musl 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
case "$MUSL_VER" in "" | "(none)")
    say "apt knows no musl package: run apt-get update"
    exit 1
    ;;
esac

# The directory is named by every version it is built from and by this
# recipe, so a Debian update or a change here builds a new one beside the old.
RECIPE=$(cksum <"$ROOT/scripts/board-toolchain.sh" | cut -d' ' -f1)
CACHE=${VEXLOND_TOOLCHAIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vexlond}
NAME=e500v2-musl$MUSL_VER-gcc$GCC_SRC_VER-cc1_$CC1_VER-binutils$BINUTILS_VER-linux$KERNEL_VER-$RECIPE
TC=$CACHE/$NAME
if [ -f "$TC/.complete" ]; then
    echo "$TC"
    exit 0
fi

# --- a build from scratch -------------------------------------------------------
JOBS=${JOBS:-$(nproc)}
WORK=$CACHE/.work-$NAME
LOGS=$WORK/logs
rm -rf "$TC" "$WORK"
mkdir -p "$TC" "$LOGS"
say "building $TC (logs in $LOGS)"
START=$(date +%s)
TIMES=$WORK/times
: >"$TIMES"

# Runs a step at low priority with its output in a log, timed; on failure the
# log's tail is shown and the half-built toolchain is removed.
step() {
    name=$1
    shift
    t0=$(date +%s)
    say "$name..."
    if ! nice -n 10 "$@" >"$LOGS/$name.log" 2>&1; then
        tail -n 40 "$LOGS/$name.log" >&2
        say "$name failed: see $LOGS/$name.log"
        rm -rf "$TC"
        exit 1
    fi
    echo "$name $(($(date +%s) - t0)) s" >>"$TIMES"
}

# Binutils: Debian's, under the triple's names, where the driver looks for them.
mkdir -p "$TC/bin" "$TC/$TRIPLE/bin"
for t in as ld ld.bfd ar ranlib nm strip objdump objcopy readelf size strings addr2line c++filt; do
    ln -s "/usr/bin/$CROSS-$t" "$TC/bin/$TRIPLE-$t"
    case "$t" in as | ld | ld.bfd | ar | ranlib | nm | strip | objdump | objcopy | readelf)
        ln -s "/usr/bin/$CROSS-$t" "$TC/$TRIPLE/bin/$t"
        ;;
    esac
done

# Sources: musl through a private apt state, GCC from gcc-12-source with the
# Debian branch update that Debian's compilers are built from.
MUSL_SRC=$(sh "$ROOT/scripts/debian-source.sh" musl "$WORK" | tail -n 1)
step unpack-gcc tar -C "$WORK/src" -xf /usr/src/gcc-12/gcc-12.2.0-dfsg.tar.xz
GCC_SRC=$WORK/src/gcc-12.2.0
step patch-gcc patch -d "$GCC_SRC" -p2 -i /usr/src/gcc-12/patches/git-updates.diff

# The C library's headers and the kernel's, in the toolchain's sysroot.
SYSROOT=$TC/sysroot
step musl-headers make -C "$MUSL_SRC" ARCH=powerpc prefix=/usr DESTDIR="$SYSROOT" install-headers
for d in $(dpkg -L linux-libc-dev-powerpc-cross | sed -n "s|^/usr/$CROSS/include/\([^/]*\)$|\1|p"); do
    cp -R "/usr/$CROSS/include/$d" "$SYSROOT/usr/include/"
done

# GCC, configured as the board's compiler: e500v2 (8548) scheduling, soft
# float, 64-bit long double (musl's), static only. libstdc++ is made small: C
# locale only, no verbose terminate handler (and its demangler), and one string
# ABI, the C++11 one; the pre-C++11 copies of its locale facets would
# otherwise come into every program that touches a stream (a sixth of the
# daemon). Debian's compiler proper was
# built with other defaults, so the driver states them on every call: musl,
# long double and code that is not position-independent (a static board
# binary has no use for PIC, which costs size on ppc32).
NOPIE='%{!fpie:%{!fPIE:%{!fpic:%{!fPIC:%{!fno-pie:%{!fno-PIE:%{!fno-pic:%{!fno-PIC:-fno-PIE}}}}}}}}'
SPECS="%{!mglibc:%{!muclibc:%{!mbionic:-mmusl}}} %{!mlong-double-*:-mlong-double-64} $NOPIE"
TARGET_FLAGS="-Os -ffunction-sections -fdata-sections"
GB=$WORK/gcc-build
mkdir -p "$GB"
cd "$GB"
step gcc-configure "$GCC_SRC/configure" --target=$TRIPLE --prefix="$TC" --with-sysroot="$SYSROOT" \
    --with-as="$TC/bin/$TRIPLE-as" --with-ld="$TC/bin/$TRIPLE-ld" \
    --with-cpu=8548 --with-float=soft --with-long-double-64 --enable-secureplt \
    --with-specs="$SPECS" \
    --enable-languages=c,c++ --enable-threads=posix --enable-tls --enable-lto \
    --disable-multilib --disable-shared --disable-nls --disable-bootstrap --disable-plugin \
    --disable-libsanitizer --disable-libgomp --disable-libquadmath --disable-libssp \
    --disable-libitm --disable-libvtv --disable-decimal-float --disable-gcov \
    --enable-clocale=generic --disable-libstdcxx-pch --disable-libstdcxx-verbose \
    --disable-libstdcxx-dual-abi --with-default-libstdcxx-abi=new --with-gxx-include-dir="$SYSROOT/usr/include/c++/12" \
    CFLAGS="-O2" CXXFLAGS="-O2" CFLAGS_FOR_TARGET="$TARGET_FLAGS" CXXFLAGS_FOR_TARGET="$TARGET_FLAGS"
step gcc-host-libs make -j"$JOBS" configure-gcc all-libiberty all-build-libiberty \
    all-build-fixincludes all-build-libcpp all-libbacktrace all-libcpp all-libcody \
    all-libdecnumber all-lto-plugin maybe-all-zlib maybe-all-fixincludes

# The driver and its helpers are built; the compilers are Debian's, which the
# build tree then takes for its own (make -o: present and never remade).
D=/usr/lib/gcc-cross/$CROSS/12
for p in cc1 cc1plus lto1; do
    ln -s "$D/$p" "gcc/$p"
done
NOREMAKE="-o cc1 -o cc1plus -o lto1 -o lto-dump -o doc -o selftest -o lto.install-common"
step gcc-driver make -C gcc -j"$JOBS" $NOREMAKE all
# Debian's compilers search their own places for headers first: Debian's
# glibc for powerpc and its libstdc++. A specs file beside the driver replaces
# those with this toolchain's own, for the build tree's driver and the
# installed one alike: C++ headers, then GCC's, then musl's and the kernel's.
cat >"$WORK/specs" <<EOF
*cpp:
+ %{!nostdinc:-nostdinc -idirafter %:find-file(include) -idirafter %:find-file(include-fixed) -idirafter %R/usr/include}

*cc1plus:
+ %{!nostdinc:%{!nostdinc++:-isystem %R/usr/include/c++/12 -isystem %R/usr/include/c++/12/$TRIPLE -isystem %R/usr/include/c++/12/backward}}
EOF
cat "$WORK/specs" >>gcc/specs
# GCC's install less its manuals: Debian's source tarball leaves them out.
step gcc-install make -C gcc $NOREMAKE install-common install-headers install-cpp \
    install-driver install-lto-wrapper install-gcc-ar
step lto-plugin-install make install-lto-plugin
# A specs file found beside the driver replaces its built-in specs whole.
"$TC/bin/$TRIPLE-gcc" -dumpspecs | cat - "$WORK/specs" >"$WORK/specs.full"
mv "$WORK/specs.full" "$TC/lib/gcc/$TRIPLE/12.2.0/specs"

# libgcc needs the C library's headers only; musl then needs the compiler
# only; libstdc++ and libatomic last, against both.
step libgcc make -j"$JOBS" -o all-gcc all-target-libgcc
step libgcc-install make -o all-gcc install-target-libgcc

MB=$WORK/musl-build
mkdir -p "$MB"
cd "$MB"
step musl-configure "$MUSL_SRC/configure" --target=$TRIPLE --prefix=/usr --disable-shared \
    CC="$TC/bin/$TRIPLE-gcc" AR="$TC/bin/$TRIPLE-ar" RANLIB="$TC/bin/$TRIPLE-ranlib"
grep -q '^SUBARCH = -sf$' config.mak || {
    say "musl did not take its soft-float port (powerpc-sf): see $MB/config.mak"
    rm -rf "$TC"
    exit 1
}
step musl make -j"$JOBS"
step musl-install make DESTDIR="$SYSROOT" install

cd "$GB"
step libstdc++ make -j"$JOBS" -o all-gcc -o all-target-libgcc all-target-libstdc++-v3 \
    all-target-libatomic
step libstdc++-install make -o all-gcc -o all-target-libgcc install-target-libstdc++-v3 \
    install-target-libatomic

# Every header a C++ program sees, and every library it links, must be this
# toolchain's: nothing of Debian's glibc or its hard-float libraries.
printf '#include <cstdio>\n#include <thread>\nint main() { std::puts("x"); }\n' >"$WORK/probe.cpp"
"$TC/bin/$TRIPLE-g++" -MD -c "$WORK/probe.cpp" -o "$WORK/probe.o"
"$TC/bin/$TRIPLE-g++" -static -pthread "$WORK/probe.o" -o "$WORK/probe" -Wl,--trace >"$WORK/probe.trace"
cat "$WORK/probe.d" "$WORK/probe.trace" | tr ' \\()' '\n\n\n\n' | grep '^/' |
    grep -v -e "^$TC/" -e "^$WORK/" >"$WORK/foreign" || true
if [ -s "$WORK/foreign" ]; then
    say "files from outside the toolchain:"
    cat "$WORK/foreign" >&2
    rm -rf "$TC"
    exit 1
fi

cp "$TIMES" "$TC/build-times.txt"
echo "total $(($(date +%s) - START)) s" >>"$TC/build-times.txt"
date -u +%FT%TZ >"$TC/.complete"
cd "$CACHE"
rm -rf "$WORK"
say "built in $(($(date +%s) - START)) s: $TC"
echo "$TC"
