#!/bin/sh
# usage: package_test.sh man|install|deb|init <source dir> <build dir>
set -eu
# The init theme's daemon takes fixed ports and IPC paths in /tmp: as root it runs
# in a network and a /tmp of its own, where it meets no other daemon.
if [ "$1" = init ] && [ -z "${VX_PACKAGE_NS:-}" ] && unshare --net --mount true 2>/dev/null; then
    # The source and build trees stay visible where they lie under /tmp.
    exec env VX_PACKAGE_NS=1 unshare --net --mount sh -c 'ip link set lo up &&
        mount --rbind /tmp /mnt && mount -t tmpfs tmpfs /tmp && for d in "$2" "$3"; do
        case $d in /tmp/?*) t=${d#/tmp/} t=${t%%/*}; mkdir -p /tmp/$t; mount --rbind /mnt/$t /tmp/$t;;
        esac; done && exec sh "$0" "$@"' "$0" "$@"
fi
theme=$1 src=$(cd "$2" && pwd) build=$(cd "$3" && pwd) work=$(mktemp -d /tmp/vexlond-package.XXXXXX)
# A daemon that a failed check left running is stopped too.
trap '[ ! -s "$work/pid" ] || kill "$(cat "$work/pid")"; rm -rf "$work" ${made:-}' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect TEST ROOT PATH...: each path below ROOT passes TEST ("-e", "-x", "! -e").
expect() { t=$1 r0=$2; shift 2; for f; do test $t "$r0$f" || fail "$f: not $t"; done; }
inst() { DESTDIR="$work/$1" cmake --install "$build" --prefix "$2" >/dev/null; }

case "$theme" in
man) # the pages render without a warning and document every option
    for page in "$src"/man/*.[0-9]; do
        groff -man -ww -z "$page" 2>"$work/err" || fail "groff failed on $page"
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>>"$work/err" >/dev/null
        [ ! -s "$work/err" ] || fail "$page: $(cat "$work/err")"
    done
    for opt in $("$build/vexlond" --help 2>&1 | grep -o -- '--[a-z_]*' | sort -u); do
        grep -q -- "$(echo $opt | sed 's/-/\\\\-/g')" "$src"/man/vexlond.8 || fail "vexlond.8: $opt"
    done
    ;;
install) # the layout under /usr/local and /usr
    inst local /usr/local && r="$work/local/usr/local" d=/share/doc/vexlond
    expect -e "$r" /share/man/man8/vexlond.8 /share/man/man1/vexlon-cat.1 /etc/vexlond.conf \
        $d/README.md $d/LICENSE $d/CHANGELOG.md $d/examples/vexlond.conf \
        /lib/systemd/system/vexlond.service
    expect -x "$r" /sbin/vexlond /bin/vexlon-cat /etc/init.d/vexlond /libexec/vexlond/service-config
    grep -qx "ExecStart=/usr/local/sbin/vexlond -c /usr/local/libexec/vexlond/service-config" \
        "$r/lib/systemd/system/vexlond.service" || fail "unit names other paths"
    ! grep -q "^PrivateTmp" "$r/lib/systemd/system/vexlond.service" || fail "unit hides /tmp"
    grep -q "^for file in /usr/local/etc/vexlond.conf " "$r/libexec/vexlond/service-config" ||
        fail "service-config reads another file"
    echo ctrl >"$r/etc/vexlond.conf" # a second install keeps the administrator's configuration
    inst local /usr/local
    [ "$(cat "$r/etc/vexlond.conf")" = ctrl ] || fail "reinstall replaced vexlond.conf"
    # Under /usr the unit, the init script and the configuration leave the prefix.
    inst usr /usr
    expect -e "$work/usr" /usr/sbin/vexlond /lib/systemd/system/vexlond.service \
        /etc/init.d/vexlond /etc/vexlond.conf /usr/libexec/vexlond/service-config
    grep -q "^DAEMON=/usr/sbin/vexlond$" "$work/usr/etc/init.d/vexlond" || fail "init script path"
    ;;
deb) # the package installs, removes and purges cleanly in a spare root
    (cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) || fail "cpack failed"
    deb=$(ls "$work"/out/vexlond_*.deb) root="$work/root" as=$([ "$(id -u)" = 0 ] || echo fakeroot)
    dpkg-deb -f "$deb" Depends | grep -q libzmq5 || fail "no dependency on libzmq5"
    # A root of its own: the admin directory only, no libraries (hence --force-depends),
    # and the maintainer scripts run outside it (DPKG_ROOT set).
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    dpkg_root() { $as dpkg --root="$root" --force-depends --force-script-chrootless "$@" \
        >/dev/null 2>&1 || fail "dpkg $*"; }
    files="/usr/sbin/vexlond /usr/share/man/man8/vexlond.8 /usr/share/doc/vexlond/README.md
        /usr/libexec/vexlond/service-config /lib/systemd/system/vexlond.service"
    conffiles="/etc/init.d/vexlond /etc/vexlond.conf"
    dpkg_root -i "$deb"
    expect -e "$root" $files $conffiles
    [ "$(sort "$root/var/lib/dpkg/info/vexlond.conffiles")" = "$(printf '%s\n' $conffiles)" ] ||
        fail "conffiles: $(cat "$root/var/lib/dpkg/info/vexlond.conffiles")"
    dpkg_root -r vexlond
    expect "! -e" "$root" $files && expect -e "$root" $conffiles
    dpkg_root -P vexlond
    ! find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print | grep . ||
        fail "left after purge (above)"
    ;;
init) # the init script under sh with start-stop-daemon, and under BusyBox
    if [ -z "${VX_PACKAGE_NS:-}" ]; then
        # Not isolated: one daemon at a time (the daemon must not inherit the lock, 9), and
        # the IPC files it leaves in /tmp (run from /) are removed when this test made them.
        exec 9>"$build/e2e.lock"
        flock -w 600 9 || fail "end-to-end lock"
        made=$(for f in pub_cmd pub_res pull_cmd pull_res; do
            [ -e /tmp/vexlond_$f ] || echo /tmp/vexlond_$f; done)
    fi
    # The installed script and service configuration, run on this build and this test's files.
    inst inst /usr
    mkdir -p "$work/etc" "$work/conf" "$work/bin" && echo "bind = 127.0.0.1" >"$work/etc/x"
    echo "tcpclient = 127.0.0.1:9" >"$work/conf/vexlond_tcpclient"
    cp "$work/inst/usr/libexec/vexlond/service-config" "$work"
    sed -i "s|/etc/vexlond.conf|$work/etc/x|; s| /conf/| $work/conf/|g" "$work/service-config"
    sed -e "s|^DAEMON=.*|DAEMON=$build/vexlond|; s|^CONFIG=.*|CONFIG=$work/service-config|" \
        -e "s|^PIDFILE=.*|PIDFILE=$work/pid|" "$work/inst/etc/init.d/vexlond" >"$work/init"
    ln -s "$(command -v busybox)" "$work/bin/start-stop-daemon"
    for shell in sh "busybox sh"; do # BusyBox's shell with BusyBox's start-stop-daemon
        [ "$shell" = sh ] && p=$PATH || p="$work/bin:$PATH"
        run() { PATH="$p" $shell "$work/init" "$@" 9>&- >/dev/null; }
        run start && pid=$(cat "$work/pid") || fail "$shell: start"
        [ "$(cat /proc/"$pid"/comm)" = vexlond ] || fail "$shell: pid file names $pid"
        run status || fail "$shell: status of a running daemon"
        # The saved link is made at start; the console may come up just after the pid file.
        timeout 5 sh -c "until printf 'list\nexit\n' | busybox nc 127.0.0.1 5550 |
            grep -q '127.0.0.1:9 '; do sleep 0.1; done" || fail "$shell: saved link missing"
        run restart && [ "$(cat "$work/pid")" != "$pid" ] || fail "$shell: restart kept $pid"
        ! kill -0 "$pid" 2>/dev/null && pid=$(cat "$work/pid") || fail "$shell: $pid still runs"
        run stop && ! kill -0 "$pid" 2>/dev/null && [ ! -e "$work/pid" ] || fail "$shell: stop"
        [ "$(run status || echo $?)" = 3 ] || fail "$shell: status of a stopped daemon is not 3"
    done
    ;;
*) fail "unknown theme $theme" ;;
esac
echo "$theme: ok"
