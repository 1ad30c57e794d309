#!/usr/bin/env bash
# The Debian roots the suite runs in beside the host, each made once with debootstrap (a
# minute or two) and reused while it exists:
#   sid       Debian unstable: CPython 3.14 and 3.15 and redis-server 8, whose binaries need
#             a newer C library than the host's (~/.cache/quorbel/sid-root)
#   bullseye  Debian 11: its own python3 (3.9, glibc 2.31) and redis-server 6, where the
#             wheel is installed as a user of an older distribution would
#             (~/.cache/quorbel/bullseye-root)
#
#   bash scripts/debian_root.sh SUITE              # make the root unless it is there
#   bash scripts/debian_root.sh SUITE run CMD...   # run CMD inside it, in the current directory
#
# QUORBEL_SID_ROOT and QUORBEL_BULLSEYE_ROOT override the places; remove a root to start
# over. Packages come from the host's own Debian mirror, read from /etc/apt/sources.list*,
# or from QUORBEL_DEBIAN_MIRROR. Making a root needs root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

suite="${1:-}"
case "$suite" in
    sid) where=root ;;
    bullseye) where=bullseye ;;
    *) die "usage: debian_root.sh sid|bullseye [run CMD...]" ;;
esac
shift
ROOT="$(root_dir "$where")"
if [ "${1:-}" = run ]; then
    shift
    [ "$#" -gt 0 ] || die "run needs a command"
    in_debian_root "$ROOT" "$@"
    exit
fi
[ "$#" -eq 0 ] || die "unknown argument $1"
LOG="$REPO_ROOT/build/logs/$suite-root.log"

# gdb names where a crash of the allocation sweep happened; an unstable root made before it
# was on the list below gets it now.
if [ -f "$ROOT/.quorbel-pythons" ]; then
    [ "$suite" = sid ] || exit 0
    in_debian_root "$ROOT" sh -c 'command -v gdb >/dev/null' && exit 0
    [ "$(id -u)" = 0 ] || die "adding gdb to the root needs root"
    log "adding gdb to the Debian unstable root"
    { in_debian_root "$ROOT" apt-get update -q && in_debian_root "$ROOT" \
        env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends gdb; } >>"$LOG" 2>&1 \
        || die "installing gdb in the root failed (log: build/logs/$suite-root.log)"
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

mkdir -p "$(dirname "$ROOT")" "$REPO_ROOT/build/logs"
exec 9>"$ROOT.lock"
flock 9
[ ! -f "$ROOT/.quorbel-pythons" ] || exit 0

# Built beside the final place and moved there only when complete. Every mount made
# in a root belongs to a private mount namespace; refuse to delete a tree that still
# has one (someone else's) rather than reach through it.
new="$ROOT.new"
for dir in "$new" "$ROOT"; do
    if grep -qF " $dir/" /proc/self/mounts; then die "something is mounted under $dir"; fi
    rm -rf "$dir"
done
if [ "$suite" = sid ]; then
    packages=(redis-server redis-tools binutils gcc openssl gdb)
    pythons=()
    for minor in $ROOT_MINORS; do
        # -venv brings ensurepip; -dev and gcc let the ABI tests compile modules there.
        packages+=("python$minor" "python$minor-venv" "python$minor-dev")
        pythons+=("/usr/bin/python$minor")
    done
    title="Debian unstable"
else
    # The system's python3 with its own pip (python3-venv brings it into a venv).
    packages=(redis-server python3 python3-venv)
    pythons=(/usr/bin/python3)
    title="Debian 11"
fi

log "making the $title root in $ROOT (log: build/logs/$suite-root.log)"
unshare --mount --fork -- debootstrap --variant=minbase --include=ca-certificates \
    "$suite" "$new" "$mirror" >"$LOG" 2>&1 \
    || { tail -n 30 "$LOG" >&2; die "debootstrap failed"; }
# The suite's Release file may be past its validity date on a mirror snapshot.
printf 'Acquire::Check-Valid-Until "false";\n' >"$new/etc/apt/apt.conf.d/99quorbel"
{
    in_debian_root "$new" apt-get update -q \
        && in_debian_root "$new" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${packages[@]}"
} >>"$LOG" 2>&1 || { tail -n 30 "$LOG" >&2; die "installing ${packages[*]} in the root failed"; }

versions=""
for py in "${pythons[@]}"; do
    version="$(in_debian_root "$new" "$py" -c 'import platform; print(platform.python_version())')" \
        || die "$py does not run in the root"
    versions+="$version $where $py"$'\n'
done
server="$(in_debian_root "$new" redis-server --version | sed -n 's/.* v=\([0-9.]*\).*/\1/p')"
printf '%s' "$versions" >"$new/.quorbel-pythons"
mv "$new" "$ROOT"
log "root ready: CPython $(printf '%s' "$versions" | awk '{ print $1 }' | paste -sd ' ') and redis-server $server"
