#!/usr/bin/env bash
# CPython 3.14 and 3.15 and redis-server 8 from Debian unstable ("sid"), in a root of
# their own: their binaries need a newer C library than the host's. Made once with
# debootstrap (a minute or two) and reused while it exists.
#
#   bash scripts/sid_root.sh              # make the root unless it is there
#   bash scripts/sid_root.sh run CMD...   # run CMD inside it, in the current directory
#
# The root is ~/.cache/quorbel/sid-root (QUORBEL_SID_ROOT overrides it); remove it to
# start over. Packages come from the host's own Debian mirror, read from
# /etc/apt/sources.list*, or from QUORBEL_DEBIAN_MIRROR. Making the root needs root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ "${1:-}" = run ]; then
    shift
    [ "$#" -gt 0 ] || die "run needs a command"
    in_root "$@"
    exit
fi
[ "$#" -eq 0 ] || die "unknown argument $1"

# gdb names where a crash of the allocation sweep happened; a root made before it was on the
# list below gets it now.
if [ -f "$SID_ROOT_PYTHONS" ]; then
    in_root sh -c 'command -v gdb >/dev/null' && exit 0
    [ "$(id -u)" = 0 ] || die "adding gdb to the root needs root"
    log "adding gdb to the Debian unstable root"
    { in_root apt-get update -q && in_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends gdb; } >>"$REPO_ROOT/build/logs/sid-root.log" 2>&1 \
        || die "installing gdb in the root failed (log: build/logs/sid-root.log)"
    exit 0
fi

# The URI of the host's Debian suite (not -updates, not -security), from either format
# of apt's source lists.
debian_mirror() {
    if [ -n "${QUORBEL_DEBIAN_MIRROR:-}" ]; then
        printf '%s\n' "$QUORBEL_DEBIAN_MIRROR"
        return 0
    fi
    local codename
    codename="$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")"
    [ -n "$codename" ] || return 1
    local files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    local existing=() f
    for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
    [ "${#existing[@]}" -gt 0 ] || return 1
    awk -v suite="$codename" '
        function stanza_end() {
            if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uri != "") found = found ? found : uri
            types = suites = uri = ""
        }
        FNR == 1 { stanza_end() }
        # One-line format: deb [options] URI SUITE COMPONENT...
        /^[ \t]*deb[ \t]/ {
            line = $0
            sub(/^[ \t]*deb[ \t]+/, "", line)
            if (line ~ /^\[/) sub(/^\[[^]]*\][ \t]*/, "", line)
            split(line, w, /[ \t]+/)
            if (w[2] == suite && !found) found = w[1]
            next
        }
        # deb822 format: stanzas of fields, separated by blank lines.
        /^[ \t]*$/ { stanza_end(); next }
        /^Types:/ { types = $0; sub(/^Types:[ \t]*/, "", types) }
        /^URIs:/ { uri = $2 }
        /^Suites:/ { suites = $0; sub(/^Suites:[ \t]*/, "", suites) }
        END { stanza_end(); if (found) print found; else exit 1 }
    ' "${existing[@]}"
}

[ "$(id -u)" = 0 ] || die "making the root needs root (debootstrap, chroot, mount)"
if ! command -v debootstrap >/dev/null 2>&1; then
    bash "$REPO_ROOT/scripts/bootstrap.sh" || die "debootstrap is missing and could not be installed"
fi
mirror="$(debian_mirror)" \
    || die "no Debian mirror found in /etc/apt/sources.list*; set QUORBEL_DEBIAN_MIRROR"

mkdir -p "$(dirname "$SID_ROOT")" "$REPO_ROOT/build/logs"
exec 9>"$SID_ROOT.lock"
flock 9
[ ! -f "$SID_ROOT_PYTHONS" ] || exit 0

# Built beside the final place and moved there only when complete. Every mount made
# in a root belongs to a private mount namespace; refuse to delete a tree that still
# has one (someone else's) rather than reach through it.
new="$SID_ROOT.new"
for dir in "$new" "$SID_ROOT"; do
    if grep -qF " $dir/" /proc/self/mounts; then die "something is mounted under $dir"; fi
    rm -rf "$dir"
done
LOG="$REPO_ROOT/build/logs/sid-root.log"
packages=(redis-server redis-tools binutils gcc openssl gdb)
for minor in $ROOT_MINORS; do
    # -venv brings ensurepip; -dev and gcc let the ABI tests compile modules there.
    packages+=("python$minor" "python$minor-venv" "python$minor-dev")
done

log "making the Debian unstable root in $SID_ROOT (log: build/logs/sid-root.log)"
unshare --mount --fork -- debootstrap --variant=minbase --include=ca-certificates \
    sid "$new" "$mirror" >"$LOG" 2>&1 \
    || { tail -n 30 "$LOG" >&2; die "debootstrap failed"; }
# The suite's Release file may be past its validity date on a mirror snapshot.
printf 'Acquire::Check-Valid-Until "false";\n' >"$new/etc/apt/apt.conf.d/99quorbel"
SID_ROOT="$new"
{
    in_root apt-get update -q \
        && in_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${packages[@]}"
} >>"$LOG" 2>&1 || { tail -n 30 "$LOG" >&2; die "installing ${packages[*]} in the root failed"; }

versions=""
for minor in $ROOT_MINORS; do
    version="$(in_root "python$minor" -c 'import platform; print(platform.python_version())')" \
        || die "python$minor does not run in the root"
    versions+="$version root /usr/bin/python$minor"$'\n'
done
server="$(in_root redis-server --version | sed -n 's/.* v=\([0-9.]*\).*/\1/p')"
printf '%s' "$versions" >"$new/.quorbel-pythons"
SID_ROOT="${new%.new}"
mv "$new" "$SID_ROOT"
log "root ready: CPython $(printf '%s' "$versions" | awk '{ print $1 }' | paste -sd ' ') and redis-server $server"
