#!/bin/sh
# Resident memory of the board's daemon (build-board/vexlond) run idle under
# qemu-user, counting the target process's own pages only: qemu places the
# 32-bit target in a 4 GiB window of its own address space, and the Rss of the
# mappings inside that window is the target's; qemu's code, heap and
# translation cache lie outside it.
#   sh scripts/board-rss.sh [daemon options]
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build-board/vexlond
DIR=$(mktemp -d)
mkdir "$DIR/tmp"
cd "$DIR"
# Standard input stays open and silent, as a terminal would.
mkfifo in
qemu-ppc-static -cpu e500v2 "$BIN" "$@" <in >out 2>&1 &
PID=$!
exec 3>in
trap 'kill $PID 2>/dev/null; wait $PID 2>/dev/null; rm -rf "$DIR"' EXIT
# Idle means the forwarders are up: both PUB ports answer.
for i in $(seq 100); do
    ss -ltnp 2>/dev/null | grep "pid=$PID," | grep -q ':5551 ' &&
        ss -ltnp 2>/dev/null | grep "pid=$PID," | grep -q ':5552 ' && break
    sleep 0.1
done
sleep 1
# The window starts where the binary's first segment (linked at 0x10000000) is.
awk -v bin="$BIN" '
    function hex(s,   n, i) { n = 0; s = tolower(s)
        for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
        return n }
    /^[0-9a-f]+-[0-9a-f]+ / { split($1, r, "-"); start = hex(r[1]); path = $6
        n++; starts[n] = start
        if (path == bin && base == "") base = start - hex("10000000") }
    /^Rss:/ { rss[n] = $2 }
    END { for (i = 1; i <= n; i++) if (starts[i] >= base && starts[i] < base + 4294967296) kb += rss[i]
          printf "resident, target pages: %d KiB\n", kb }' "/proc/$PID/smaps"
