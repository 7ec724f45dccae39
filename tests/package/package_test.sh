#!/bin/sh
# Packaging checks, one theme per run:
#   man      the man pages render without a single warning and name every option
#   install  the installed layout under /usr/local and under /usr
#   deb      the Debian package installs, removes and purges cleanly in a spare root
#   init     the init script starts, reports and stops the daemon, under the
#            system's sh and start-stop-daemon and under BusyBox's
# usage: package_test.sh <theme> <source dir> <build dir>
set -eu
theme=$1 src=$(cd "$2" && pwd) build=$(cd "$3" && pwd)
work=$(mktemp -d /tmp/vexlond-package.XXXXXX)
cleanup() {
    # A daemon that a failed check left running is stopped too.
    [ ! -s "$work/vexlond.pid" ] || kill "$(cat "$work/vexlond.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Each named path must exist below the root given first.
expect() {
    root=$1
    shift
    for f in "$@"; do [ -e "$root$f" ] || fail "missing $f"; done
}

case "$theme" in
man)
    for page in "$src"/man/*.[0-9]; do
        groff -man -ww -z "$page" 2>"$work/err" || fail "groff failed on $page"
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>>"$work/err" >/dev/null
        [ ! -s "$work/err" ] || fail "$page: $(cat "$work/err")"
    done
    # The usage text lists every option the daemon has.
    "$build/vexlond" --help >"$work/usage" 2>&1 || true
    for opt in $(grep -o -- '--[a-z_]*' "$work/usage" | sort -u); do
        esc=$(printf '%s' "$opt" | sed 's/-/\\\\-/g')
        grep -q -- "$esc" "$src/man/vexlond.8" || fail "vexlond.8 does not document $opt"
    done
    ;;
install)
    DESTDIR="$work/local" cmake --install "$build" --prefix /usr/local >/dev/null
    r="$work/local/usr/local"
    expect "$r" /sbin/vexlond /share/man/man8/vexlond.8 /share/doc/vexlond/README.md \
        /share/doc/vexlond/LICENSE /share/doc/vexlond/CHANGELOG.md \
        /share/doc/vexlond/examples/vexlond.conf /lib/systemd/system/vexlond.service \
        /etc/init.d/vexlond /etc/vexlond.conf /libexec/vexlond/service-config
    [ -x "$r/sbin/vexlond" ] && [ -x "$r/etc/init.d/vexlond" ] &&
        [ -x "$r/libexec/vexlond/service-config" ] || fail "programs not executable"
    [ ! -e "$src/man/vexlon-cat.1" ] || expect "$r" /share/man/man1/vexlon-cat.1
    [ -z "$(find "$build" -name vexlon-cat -type f)" ] || expect "$r" /bin/vexlon-cat
    grep -qx "ExecStart=/usr/local/sbin/vexlond -c /usr/local/libexec/vexlond/service-config" \
        "$r/lib/systemd/system/vexlond.service" || fail "unit names other paths"
    ! grep -q "^PrivateTmp" "$r/lib/systemd/system/vexlond.service" || fail "unit hides /tmp"
    grep -q "^for file in /usr/local/etc/vexlond.conf " "$r/libexec/vexlond/service-config" ||
        fail "service-config reads another file"
    # A second install keeps the administrator's configuration.
    echo "ctrl" >"$r/etc/vexlond.conf"
    DESTDIR="$work/local" cmake --install "$build" --prefix /usr/local >/dev/null
    [ "$(cat "$r/etc/vexlond.conf")" = ctrl ] || fail "reinstall replaced vexlond.conf"
    # Under /usr the unit, the init script and the configuration leave the prefix.
    DESTDIR="$work/usr" cmake --install "$build" --prefix /usr >/dev/null
    expect "$work/usr" /usr/sbin/vexlond /lib/systemd/system/vexlond.service \
        /etc/init.d/vexlond /etc/vexlond.conf /usr/libexec/vexlond/service-config
    grep -q "^DAEMON=/usr/sbin/vexlond$" "$work/usr/etc/init.d/vexlond" || fail "init script path"
    ;;
deb)
    (cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) || fail "cpack failed"
    deb=$(ls "$work"/out/vexlond_*.deb)
    dpkg-deb -f "$deb" Depends | grep -q libzmq5 || fail "no dependency on libzmq5"
    # A root of its own: the admin directory only, no libraries (hence
    # --force-depends), and the maintainer scripts run outside it (DPKG_ROOT set).
    root="$work/root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    as=""
    [ "$(id -u)" -eq 0 ] || as=fakeroot
    dpkg_root() {
        $as dpkg --root="$root" --force-depends --force-script-chrootless "$@" >/dev/null 2>&1 ||
            fail "dpkg $*"
    }
    files="/usr/sbin/vexlond /usr/share/man/man8/vexlond.8 /usr/share/doc/vexlond/README.md
        /usr/libexec/vexlond/service-config /lib/systemd/system/vexlond.service"
    conffiles="/etc/init.d/vexlond /etc/vexlond.conf"
    dpkg_root -i "$deb"
    expect "$root" $files $conffiles
    [ "$(sort "$root/var/lib/dpkg/info/vexlond.conffiles")" = "$(printf '%s\n' $conffiles)" ] ||
        fail "conffiles: $(cat "$root/var/lib/dpkg/info/vexlond.conffiles")"
    dpkg_root -r vexlond
    for f in $files; do [ ! -e "$root$f" ] || fail "$f left after remove"; done
    expect "$root" $conffiles
    dpkg_root -P vexlond
    left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print)
    [ -z "$left" ] || fail "left after purge: $left"
    ;;
init)
    "$build/vexlond" --help 2>&1 | grep -q -- --pidfile || {
        echo "the daemon has no --pidfile"
        exit 77
    }
    # The daemon takes the fixed ports: one daemon at a time across test programs.
    exec 9>/tmp/vexlond-e2e.lock
    flock -w 600 9 || fail "end-to-end lock"
    DESTDIR="$work/inst" cmake --install "$build" --prefix /usr >/dev/null
    # The installed script and service configuration, pointed at this build and
    # at files of this test instead of /etc and /conf.
    mkdir -p "$work/etc" "$work/conf" "$work/bin"
    echo "bind = 127.0.0.1" >"$work/etc/vexlond.conf"
    echo "tcpclient = 127.0.0.1:9" >"$work/conf/vexlond_tcpclient"
    sed -e "s|/etc/vexlond.conf|$work/etc/vexlond.conf|; s| /conf/| $work/conf/|g" \
        "$work/inst/usr/libexec/vexlond/service-config" >"$work/service-config"
    sed -e "s|^DAEMON=.*|DAEMON=$build/vexlond|; s|^CONFIG=.*|CONFIG=$work/service-config|" \
        -e "s|^PIDFILE=.*|PIDFILE=$work/vexlond.pid|" "$work/inst/etc/init.d/vexlond" >"$work/init"
    chmod +x "$work/service-config" "$work/init"
    # From / the daemon binds its IPC endpoints in /tmp, and leaves their socket
    # files at exit: those this test made are removed again.
    made=""
    for f in /tmp/vexlond_pub_cmd /tmp/vexlond_pub_res /tmp/vexlond_pull_cmd /tmp/vexlond_pull_res; do
        [ -e $f ] || made="$made $f"
    done
    ln -s "$(command -v busybox)" "$work/bin/start-stop-daemon"
    for shell in sh busybox; do
        # The daemon must not inherit the lock (descriptor 9).
        run() {
            if [ $shell = busybox ]; then
                PATH="$work/bin:$PATH" busybox sh "$work/init" "$@" 9>&-
            else
                sh "$work/init" "$@" 9>&-
            fi
        }
        run start >/dev/null || fail "$shell: start"
        pid=$(cat "$work/vexlond.pid")
        [ "$(cat /proc/"$pid"/comm)" = vexlond ] || fail "$shell: pid file names $pid"
        run status >/dev/null || fail "$shell: status of a running daemon"
        # The link saved under /conf is made at start (the console may come up
        # just after the pid file).
        : >"$work/list"
        for i in 1 2 3 4 5 6 7 8 9 10; do
            grep -q "127.0.0.1:9 " "$work/list" && break
            sleep 0.5
            printf 'list\nexit\n' | timeout 5 busybox nc 127.0.0.1 5550 >"$work/list" || true
        done
        grep -q "127.0.0.1:9 " "$work/list" || fail "$shell: saved link missing: $(cat "$work/list")"
        run restart >/dev/null || fail "$shell: restart"
        [ "$(cat "$work/vexlond.pid")" != "$pid" ] || fail "$shell: restart kept pid $pid"
        ! kill -0 "$pid" 2>/dev/null || fail "$shell: old daemon still running"
        pid=$(cat "$work/vexlond.pid")
        run stop >/dev/null || fail "$shell: stop"
        ! kill -0 "$pid" 2>/dev/null || fail "$shell: daemon still running after stop"
        [ ! -e "$work/vexlond.pid" ] || fail "$shell: pid file left"
        set +e
        run status >/dev/null
        rc=$?
        set -e
        [ $rc -eq 3 ] || fail "$shell: status of a stopped daemon gave $rc"
    done
    rm -f $made
    ;;
*) fail "unknown theme $theme" ;;
esac
echo "$theme: ok"
