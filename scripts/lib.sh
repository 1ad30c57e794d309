# Helpers shared by the build and test scripts (sourced, not run).

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

log() { printf '%s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

in_ci() { case "${CI:-}" in true|TRUE|True|1|yes) return 0 ;; *) return 1 ;; esac; }

pyenv_root() {
    if command -v pyenv >/dev/null 2>&1; then
        pyenv root
    else
        printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"
    fi
}

# Every installed CPython 3.7+ as "MAJOR.MINOR.PATCH", oldest first, newest patch per minor.
pyenv_versions() {
    local root
    root="$(pyenv_root)"
    [ -d "$root/versions" ] || return 0
    ls -1 "$root/versions" | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V | awk -F. '
        $2 >= 7 { last[$1"."$2] = $0; if (!($1"."$2 in seen)) { order[n++] = $1"."$2; seen[$1"."$2] = 1 } }
        END { for (i = 0; i < n; i++) print last[order[i]] }'
}

# Interpreter for a "3.X" or "3.X.Y" version; empty when not installed.
python_for() {
    local want="$1" v
    for v in $(pyenv_versions); do
        if [ "$v" = "$want" ] || [ "${v%.*}" = "$want" ]; then
            printf '%s\n' "$(pyenv_root)/versions/$v/bin/python"
            return 0
        fi
    done
    return 1
}

# The oldest interpreter present: the module is compiled against its headers.
oldest_python() {
    local v
    v="$(pyenv_versions | head -n 1)"
    [ -n "$v" ] || die "no CPython 3.7+ under $(pyenv_root)/versions"
    if [ "${v%.*}" != "3.7" ]; then
        if in_ci; then die "CPython 3.7 is missing: the module must be built against its headers"; fi
        log "warning: CPython 3.7 is missing; building against $v headers"
    fi
    printf '%s\n' "$(pyenv_root)/versions/$v/bin/python"
}

version_ge() { [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1)" = "$2" ]; }

# Puts cmake >= 3.26 and ninja on PATH, from pip into build/tools when the machine lacks them.
ensure_build_tools() {
    local have_cmake="" have_ninja=""
    if command -v cmake >/dev/null 2>&1; then
        local v
        v="$(cmake --version 2>/dev/null | awk 'NR == 1 { print $3 }')"
        if [ -n "$v" ] && version_ge "$v" 3.26; then have_cmake=1; fi
    fi
    if command -v ninja >/dev/null 2>&1 && ninja --version >/dev/null 2>&1; then have_ninja=1; fi
    [ -n "$have_cmake" ] && [ -n "$have_ninja" ] && return 0
    local tools="$REPO_ROOT/build/tools"
    if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
        log "installing cmake and ninja into build/tools"
        local py
        py="$(pyenv_versions | tail -n 1)"
        py="$(pyenv_root)/versions/$py/bin/python"
        "$py" -m venv "$tools" >&2
        "$tools/bin/python" -m pip install -q "cmake>=3.26" "ninja>=1.10" >&2
    fi
    export PATH="$tools/bin:$PATH"
}

# Serialises builds that share build/ (several helpers may build at once).
lock_build() {
    mkdir -p "$REPO_ROOT/build"
    exec 9>"$REPO_ROOT/build/.lock"
    flock 9
}

# The oldest redis client release that the suite is run against (on 3.7): older
# 3.x releases lack Redis.close() and ACL user names, which the tests rely on.
REDIS_OLDEST="${QUORBEL_REDIS_OLDEST:-3.4.1}"

# Puts the Redis client library of a venv into one configuration:
#   ""            the newest redis release that installs on the interpreter
#   redis-oldest  redis $REDIS_OLDEST
#   hiredis       the newest redis plus the hiredis parser
#   noredis       no redis package at all
client_library() {
    local python="$1/bin/python" config="$2"
    case "$config" in
        "") "$python" -m pip install -q --upgrade redis ;;
        redis-oldest) "$python" -m pip install -q "redis==$REDIS_OLDEST" ;;
        hiredis) "$python" -m pip install -q --upgrade redis hiredis ;;
        noredis) "$python" -m pip uninstall -q -y redis ;;
        *) log "unknown client library configuration $config"; return 1 ;;
    esac
}

# The redis version importable in a venv, or "absent".
redis_version() {
    env -u PYTHONPATH "$1/bin/python" -c '
try:
    import redis
    print(redis.__version__)
except ImportError:
    print("absent")
'
}

# Creates or refreshes .venvs/<X.Y> for a pyenv version "X.Y.Z" with the test
# requirements (reinstalled when any tests/requirements*.txt changes) and the
# newest redis, then installs the given wheel (if any) and checks that
# `import quorbel` finds it. A third argument names another client library
# configuration (see client_library), kept in .venvs/<X.Y>-<configuration> with
# the base requirements only. Several scripts may share a venv, hence the lock.
prepare_venv() {
    local version="$1" wheel="${2:-}" config="${3:-}" py venv req_hash
    py="$(pyenv_root)/versions/$version/bin/python"
    venv="$REPO_ROOT/.venvs/${version%.*}${config:+-$config}"
    # Every tests/requirements*.txt: the base set plus optional tool sets; the
    # extra configurations only run tests that need the base set.
    local reqs=("$REPO_ROOT"/tests/requirements*.txt) req_args=() r
    [ -z "$config" ] || reqs=("$REPO_ROOT/tests/requirements.txt")
    for r in "${reqs[@]}"; do req_args+=(-r "$r"); done
    req_hash="$(cat "${reqs[@]}" | sha256sum | cut -c1-16)"
    mkdir -p "$REPO_ROOT/.venvs"
    (
        flock 8
        if [ ! -x "$venv/bin/python" ] \
            || [ "$("$venv/bin/python" -c 'import platform; print(platform.python_version())' 2>/dev/null)" != "$version" ]; then
            rm -rf "$venv"
            "$py" -m venv "$venv" || exit 1
        fi
        if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$req_hash" ]; then
            "$venv/bin/python" -m pip install -q "${req_args[@]}" || exit 1
            printf '%s\n' "$req_hash" >"$venv/.requirements"
        fi
        if ! client_library "$venv" "$config"; then
            # Offline outside CI the newest release cannot be looked up: keep what is there.
            if in_ci || [ -n "$config" ]; then exit 1; fi
            log "warning: could not bring redis up to date in $venv"
        fi
        [ -n "$wheel" ] || exit 0
        "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel" || exit 1
        # The suite must see the installed file, never a build tree.
        cd / && env -u PYTHONPATH "$venv/bin/python" -c '
import sys, sysconfig, quorbel
where = quorbel.__file__
site = sysconfig.get_paths()["platlib"]
if not where.startswith(site):
    sys.exit("quorbel imported from %s, not from %s" % (where, site))
'
    ) 8>"$REPO_ROOT/.venvs/.lock-${version%.*}${config:+-$config}"
}
