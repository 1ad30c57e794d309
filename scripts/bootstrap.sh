#!/usr/bin/env bash
# Installs the host's system packages that building and testing need, through apt,
# when they are missing (nothing is done when all are there):
#   redis-server redis-tools                  Redis 7, which the suite runs on with 3.7 to 3.13
#   g++ binutils                              building the module; nm and readelf check its ABI
#   debootstrap                               making the Debian roots (scripts/debian_root.sh)
#   gdb                                       naming where a crash of the allocation sweep happened
# CPython 3.7 to 3.13 come from pyenv, not from here. Without root or apt-get it names
# what is missing and exits 1.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

missing=()
need() {  # need COMMAND PACKAGE
    if ! command -v "$1" >/dev/null 2>&1 && [[ " ${missing[*]-} " != *" $2 "* ]]; then
        missing+=("$2")
    fi
}
need redis-server redis-server
need redis-cli redis-tools
need g++ g++
need nm binutils
need readelf binutils
need debootstrap debootstrap
need gdb gdb
[ "${#missing[@]}" -gt 0 ] || exit 0

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    die "missing ${missing[*]}; installing them needs root and apt-get"
fi
mkdir -p "$REPO_ROOT/build/logs"
LOG="$REPO_ROOT/build/logs/apt.log"
log "apt-get install ${missing[*]} (log: build/logs/apt.log)"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >"$LOG" 2>&1 || { tail -n 30 "$LOG" >&2; die "apt-get update failed"; }
apt-get install -y -q "${missing[@]}" >>"$LOG" 2>&1 \
    || { tail -n 30 "$LOG" >&2; die "apt-get install ${missing[*]} failed"; }
