#!/usr/bin/env bash
# Runs the suite (or part of it) against an ASan + UBSan build of the module.
#
#   bash scripts/sanitize.sh                       # all of tests/ under CPython 3.11
#   bash scripts/sanitize.sh --python 3.13 -- tests/handler -x
#
# The module is built into build/asan with -fsanitize=address,undefined and
# -fno-sanitize-recover=undefined, against the same 3.7 headers as the wheel.
# The interpreter itself is not instrumented, so libasan is preloaded to own
# malloc from the first allocation, and PYTHONMALLOC=malloc sends every Python
# object through it (pymalloc's arenas would hide overruns inside them).
# Leak detection is off: CPython keeps interned strings, types and module
# state alive until exit by design, and those would drown out anything real.
#
# The same run under valgrind instead (slower, no rebuild needed):
#   PYTHONMALLOC=malloc PYTHONPATH="$(bash scripts/dev.sh)" \
#     valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=none \
#     .venvs/3.11/bin/python -m pytest tests -p no:cacheprovider
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"

version=3.11
PYTEST_ARGS=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --python) [ "$#" -ge 2 ] || die "--python needs a version"; version="$2"; shift 2 ;;
        --python=*) version="${1#*=}"; shift ;;
        --) shift; PYTEST_ARGS=("$@"); break ;;
        *) PYTEST_ARGS+=("$1"); shift ;;
    esac
done
[ "${#PYTEST_ARGS[@]}" -gt 0 ] || PYTEST_ARGS=(tests)

line="$(pythons "$version")" || die "CPython $version is not available"
read -r py_version where _ <<<"$line"
# libasan is the host compiler's, built for the host's C library.
[ "$where" = host ] || die "CPython $py_version runs in the Debian unstable root: sanitize under 3.7 to 3.13"

started=$SECONDS
out="$REPO_ROOT/build/asan"
(
    lock_build
    ensure_build_tools
    if [ ! -f "$out/build.ninja" ]; then
        cmake -S . -B "$out" -G Ninja \
            -DPython_EXECUTABLE="$(oldest_python)" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DQUORBEL_SANITIZE=ON -DQUORBEL_WERROR=ON >&2
    fi
    cmake --build "$out" >&2
)
[ -f "$out/quorbel.abi3.so" ] || die "sanitizer build produced no module"

mkdir -p build/logs
prepare_venv "$line" >build/logs/venv-asan.log 2>&1 \
    || { cat build/logs/venv-asan.log >&2; die "venv for $py_version failed"; }
python="$REPO_ROOT/.venvs/${py_version%.*}/bin/python"

libasan="$(g++ -print-file-name=libasan.so)"
[ -f "$libasan" ] || die "libasan not found (apt-get install libasan8)"

report="$REPO_ROOT/build/logs/sanitize.log"
log "running ${PYTEST_ARGS[*]} under CPython $py_version with ASan + UBSan (log: build/logs/sanitize.log)"
set +e
# --capture=sys leaves file descriptor 2 alone: a sanitizer writes its report
# there and then ends the process, and fd-level capture would swallow it.
LD_PRELOAD="$libasan" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$out" \
    "$python" -m pytest -p no:cacheprovider --capture=sys "${PYTEST_ARGS[@]}" 2>&1 | tee "$report"
rc=${PIPESTATUS[0]}
set -e

reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|UndefinedBehaviorSanitizer' "$report" || true)
ours=0
if [ "$reports" -gt 0 ] && grep -qE '/(module|handler|facade|batch)/[A-Za-z0-9_]+\.(cpp|h)' "$report"; then
    ours=1
fi
elapsed=$((SECONDS - started))
if [ "$ours" = 1 ]; then
    log "sanitize: FAILED, a report names the module's sources (${elapsed}s)"
    exit 1
fi
if [ "$reports" -gt 0 ]; then
    log "sanitize: FAILED, $reports sanitizer report(s) outside the module's sources (${elapsed}s)"
    exit 1
fi
if [ "$rc" -ne 0 ]; then
    log "sanitize: FAILED, pytest exit $rc without a sanitizer report (${elapsed}s)"
    exit "$rc"
fi
log "sanitize: OK, no sanitizer report (${elapsed}s)"
