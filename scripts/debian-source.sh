#!/bin/sh
# Fetches and unpacks a Debian source package: debian-source.sh PACKAGE WORKDIR.
# The unpacked tree lands in WORKDIR/src/PACKAGE-VERSION/ and its path is the
# last line printed.
#
# The machine's apt sources carry binary packages only. The matching source
# entries are derived from them into a private apt state under WORKDIR/apt, so
# neither the system's lists nor its configuration change, and no root is
# needed for this step.
set -e
PACKAGE=${1:?usage: debian-source.sh PACKAGE WORKDIR}
OUT=${2:?usage: debian-source.sh PACKAGE WORKDIR}

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
# ... pockets) carry its source packages; third-party repositories are left out.
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
rm -rf "$OUT/src/$PACKAGE"-* "$OUT/src/$PACKAGE"_*
(cd "$OUT/src" && apt-get $APT_OPTS -qq source "$PACKAGE" >/dev/null)
ls -d "$OUT/src/$PACKAGE"-*/ | head -n 1
