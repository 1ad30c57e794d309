#!/usr/bin/env bash
# Creates .venvs/<X.Y> with the test requirements for every CPython 3.7+ available
# (or only the versions given, e.g. `bash scripts/venvs.sh 3.11 3.7`), without
# installing the module: pair them with the dev build,
#   PYTHONPATH="$(bash scripts/dev.sh)" .venvs/3.11/bin/python -m pytest tests
# Venvs of 3.14 and 3.15 run inside the root that holds those interpreters:
#   bash scripts/debian_root.sh sid run env PYTHONPATH="$(bash scripts/dev.sh)" .venvs/3.14/bin/python -m pytest tests
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"
mkdir -p build/logs
! wants_root "$@" || bash scripts/debian_root.sh sid
lines=()
out="$(wanted_pythons "$@")"
[ -z "$out" ] || mapfile -t lines <<<"$out"
for line in "${lines[@]}"; do
    read -r version where py <<<"$line"
    err="build/logs/venv-$version.log"
    prepare_venv "$line" >"$err" 2>&1 || { cat "$err" >&2; die "venv for $version failed"; }
    log ".venvs/${version%.*} ready ($version, $where)"
done
