#!/bin/sh
# Lists the classic floating-point instructions in a PowerPC binary or object:
# the board's e500v2 core has no such unit and traps on every one of them.
#   no-classic-fp.sh OBJDUMP FILE              fails (1) if there is any
#   no-classic-fp.sh --expect-fp OBJDUMP FILE  fails (1) if there is none
# Exit status 2: FILE could not be disassembled.
# Matched: loads and stores of floating-point registers (lfd, lfsux, stfiwx,
# ...), f-prefixed arithmetic and moves (fadd, fmr, fctiwz, fcmpu, ...) and
# FPSCR moves (mffs, mtfsf, mtfsfi, mtfsb0/1). The e500's own floating point
# (efs*, efd*, ev*) starts otherwise and is not. objdump decodes every dialect
# (-M any): left to itself it picks the e500 dialect for a file with e500 notes,
# and that prints classic floating-point instructions as data. The word a `bl`
# jumps over to the instruction right after it is a literal the code loads
# through the link register (musl's _start has one), not an instruction.
EXPECT=0
if [ "$1" = --expect-fp ]; then
    EXPECT=1
    shift
fi
OBJDUMP=$1
FILE=$2
OUT=$(mktemp)
trap 'rm -f "$OUT"' EXIT
"$OBJDUMP" -d -M any --no-show-raw-insn "$FILE" >"$OUT" || exit 2
awk -F'\t' -v expect="$EXPECT" -v file="$FILE" '
    /^[0-9a-f]+ <.*>:$/ { fn = $0 }
    function report(line) { if (++fp <= 20) print line }
    NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {
        insns++
        at = $1
        gsub(/[ :]/, "", at)
        split($2, w, " ")
        # A word held as a possible literal: it was one if this is where its bl went.
        if (held != "" && at != held_to) report(held)
        held = ""
        if (w[1] ~ /^(f[a-z]|lf[a-z]|stf[a-z]|mffs|mtfs)/) {
            if (bl_to != "") { held = fn "  " $1 " " $2; held_to = bl_to }
            else report(fn "  " $1 " " $2)
        }
        bl_to = w[1] == "bl" ? w[2] : ""
    }
    END {
        if (held != "") report(held)
        if (insns == 0) { print file ": no instructions disassembled"; exit 2 }
        printf "%s: %d instructions, %d classic floating-point\n", file, insns, fp
        exit (fp > 0) != expect
    }' "$OUT"
