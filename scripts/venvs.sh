#!/usr/bin/env bash
# Creates .venvs/<X.Y> with the test requirements for every installed CPython 3.7+
# (or only the versions given, e.g. `bash scripts/venvs.sh 3.11 3.7`), without
# installing the module: pair them with the dev build,
#   PYTHONPATH="$(bash scripts/dev.sh)" .venvs/3.11/bin/python -m pytest tests
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"
mkdir -p build
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
versions=()
if [ "$#" -eq 0 ]; then
    versions=($(pyenv_versions))
else
    for want in "$@"; do
        py="$(python_for "$want")" || die "CPython $want is not installed"
        versions+=("$(basename "$(dirname "$(dirname "$py")")")")
    done
fi
for v in "${versions[@]}"; do
    prepare_venv "$v" >/dev/null 2>"$REPO_ROOT/build/venv-$v.err" || { cat "$REPO_ROOT/build/venv-$v.err" >&2; die "venv for $v failed"; }
    rm -f "$REPO_ROOT/build/venv-$v.err"
    log ".venvs/${v%.*} ready ($v)"
done
