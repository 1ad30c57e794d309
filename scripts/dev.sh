#!/usr/bin/env bash
# Fast incremental build of quorbel.abi3.so and quorbel_batch.abi3.so into build/dev (cmake +
# ninja, no pip). Prints the directory holding the modules, e.g.:
#   PYTHONPATH="$(bash scripts/dev.sh)" "$(pyenv root)/versions/3.11.7/bin/python" -m pytest tests/handler
# Extra arguments go to the CMake configure step (e.g. -DCMAKE_BUILD_TYPE=Debug).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"

lock_build
ensure_build_tools
py="$(oldest_python)"
out="$REPO_ROOT/build/dev"

if [ ! -f "$out/build.ninja" ] || [ "$#" -gt 0 ]; then
    cmake -S . -B "$out" -G Ninja \
        -DPython_EXECUTABLE="$py" \
        -DQUORBEL_WERROR=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        "$@" >&2
fi
cmake --build "$out" >&2
for module in quorbel quorbel_batch; do
    [ -f "$out/$module.abi3.so" ] || die "build finished without $out/$module.abi3.so"
done
printf '%s\n' "$out"
