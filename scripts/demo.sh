#!/usr/bin/env bash
# One command from a fresh checkout to a running demo: installs what is missing
# (redis-server and the build prerequisites through apt, quorbel and the Redis
# client into .venvs/demo), then runs examples/demo.py (under 30 seconds). Safe to
# run again: steps whose result is already there are skipped.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
VENV=.venvs/demo

say() { printf 'demo.sh: %s\n' "$*" >&2; }

# Runs a command quietly; shows its output only when it fails.
quiet() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        say "failed: $*"
        return 1
    fi
    rm -f "$log"
}

missing=()
command -v redis-server >/dev/null 2>&1 || missing+=(redis-server)
command -v "$PYTHON" >/dev/null 2>&1 || missing+=(python3)
if command -v "$PYTHON" >/dev/null 2>&1; then
    "$PYTHON" -c 'import venv, ensurepip' >/dev/null 2>&1 || missing+=(python3-venv)
    "$PYTHON" - <<'EOF' >/dev/null 2>&1 || missing+=(python3-dev)
import os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
EOF
fi
command -v g++ >/dev/null 2>&1 || missing+=(g++)

if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    quiet "${sudo[@]}" apt-get update
    quiet "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [ ! -x "$VENV/bin/python" ]; then
    say "creating $VENV"
    quiet "$PYTHON" -m venv "$VENV"
fi

# Rebuild only when what the wheel is made of changed since the last install into this venv.
wheel_sources() {
    local path
    for path in pyproject.toml CMakeLists.txt module handler facade batch quorbel_tools \
        quorbel-stubs quorbel_batch-stubs; do
        [ ! -e "$path" ] || find "$path" -type f ! -name '*.pyc'
    done | LC_ALL=C sort
}
stamp=$(wheel_sources | xargs cat | sha256sum | cut -d' ' -f1)
if [ "$(cat "$VENV/.quorbel-stamp" 2>/dev/null)" != "$stamp" ] ||
    ! "$VENV/bin/python" -c 'import quorbel, quorbel_batch, redis' >/dev/null 2>&1; then
    say "building and installing quorbel into $VENV"
    quiet "$VENV/bin/python" -m pip install --disable-pip-version-check -q . redis
    echo "$stamp" >"$VENV/.quorbel-stamp"
fi

exec "$VENV/bin/python" examples/demo.py
