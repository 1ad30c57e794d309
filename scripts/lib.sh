# Helpers shared by the build and test scripts (sourced, not run).

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

log() { printf '%s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

in_ci() { case "${CI:-}" in true|TRUE|True|1|yes) return 0 ;; *) return 1 ;; esac; }

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore

# ---- interpreters -------------------------------------------------------------------

# CPython 3.7 to 3.13 come from pyenv. 3.14 and 3.15 come from Debian unstable, whose
# binaries need a newer C library than the host's: they live, with that suite's
# redis-server 8, in a root of their own made by scripts/debian_root.sh sid ("root" in the
# lines of `pythons`). Debian 11's python3 and redis-server 6 live in another
# (scripts/debian_root.sh bullseye, "bullseye"), which `pythons` does not list.
HOST_MINORS="3.7 3.8 3.9 3.10 3.11 3.12 3.13"
ROOT_MINORS="3.14 3.15"
ROOTS_DIR="${XDG_CACHE_HOME:-$HOME/.cache}/quorbel"
SID_ROOT="${QUORBEL_SID_ROOT:-$ROOTS_DIR/sid-root}"
BULLSEYE_ROOT="${QUORBEL_BULLSEYE_ROOT:-$ROOTS_DIR/bullseye-root}"
# Written by scripts/debian_root.sh once a root is complete: one `pythons` line per interpreter.
SID_ROOT_PYTHONS="$SID_ROOT/.quorbel-pythons"
BULLSEYE_PYTHONS="$BULLSEYE_ROOT/.quorbel-pythons"

pyenv_root() {
    if command -v pyenv >/dev/null 2>&1; then
        pyenv root
    else
        printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"
    fi
}

# The one version lookup. Prints "VERSION WHERE PYTHON" for every CPython 3.7+ the
# suite can run under, oldest first, the newest patch release of each minor version:
#   3.11.7 host $(pyenv root)/versions/3.11.7/bin/python
#   3.14.10 root /usr/bin/python3.14          (a path inside the root)
# With arguments ("3.11", "3.14.10", ...), only the lines matching one of them, in
# the order asked; fails when one matches nothing.
pythons() {
    local root all want line
    root="$(pyenv_root)/versions"
    all="$(
        {
            if [ -d "$root" ]; then
                ls -1 "$root" | grep -E '^3\.[0-9]+\.[0-9]+$' \
                    | while read -r v; do printf '%s host %s\n' "$v" "$root/$v/bin/python"; done
            fi
            [ ! -f "$SID_ROOT_PYTHONS" ] || cat "$SID_ROOT_PYTHONS"
        } | sort -V | awk '{ split($1, v, ".") } v[2] >= 7 {
            minor = v[1] "." v[2]
            if (!(minor in last)) order[n++] = minor
            last[minor] = $0
        } END { for (i = 0; i < n; i++) print last[order[i]] }'
    )"
    if [ "$#" -eq 0 ]; then
        [ -z "$all" ] || printf '%s\n' "$all"
        return 0
    fi
    for want in "$@"; do
        line="$(printf '%s\n' "$all" | awk -v w="$want" '
            { split($1, v, "."); if ($1 == w || v[1] "." v[2] == w) print }')"
        [ -n "$line" ] || return 1
        printf '%s\n' "$line"
    done
}

# As `pythons`, but dies naming the first version asked for that is not available.
wanted_pythons() {
    local want
    for want in "$@"; do
        pythons "$want" >/dev/null \
            || die "CPython $want is not available (have: $(pythons | awk '{ print $1 }' | paste -sd ' '))"
    done
    pythons "$@"
}

# Whether one of the versions given ("3.14", "3.15.2", ...) lives in the Debian unstable root.
wants_root() {
    local want minor
    for want in "$@"; do
        for minor in $ROOT_MINORS; do
            case "$want" in "$minor" | "$minor".*) return 0 ;; esac
        done
    done
    return 1
}

# The oldest interpreter present: the module is compiled against its headers.
oldest_python() {
    local version where py
    read -r version where py < <(pythons) || die "no CPython 3.7+ under $(pyenv_root)/versions"
    if [ "${version%.*}" != "3.7" ]; then
        if in_ci; then die "CPython 3.7 is missing: the module must be built against its headers"; fi
        log "warning: CPython 3.7 is missing; building against $version headers"
    fi
    printf '%s\n' "$py"
}

# The newest interpreter on the host itself (for tools that run on the host).
newest_host_python() {
    pythons | awk '$2 == "host" { py = $3 } END { if (py == "") exit 1; print py }' \
        || die "no CPython 3.7+ under $(pyenv_root)/versions"
}

# The directory of the root where WHERE's interpreters live: "root" or "bullseye".
root_dir() {
    case "$1" in
        root) printf '%s\n' "$SID_ROOT" ;;
        bullseye) printf '%s\n' "$BULLSEYE_ROOT" ;;
        *) die "no root for $1" ;;
    esac
}

# Runs a command inside the root at DIR: in_debian_root DIR CMD... It runs in the current
# directory, with this checkout mounted at its own path and the host's /proc and /dev. The
# mounts belong to a private mount namespace and vanish with the command; the network is the
# host's (127.0.0.1 included).
in_debian_root() {
    local root="$1"
    shift
    [ -x "$root/usr/bin/env" ] || die "no root at $root (bash scripts/debian_root.sh makes it)"
    mkdir -p "$root$REPO_ROOT"
    unshare --mount --fork -- /bin/sh -c '
        root=$1 repo=$2 dir=$3
        shift 3
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" \
            && mount --bind "$repo" "$root$repo" || exit 125
        exec chroot "$root" /usr/bin/env TMPDIR=/tmp \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$dir" "$@"
    ' sh "$root" "$REPO_ROOT" "$PWD" "$@"
}

# Runs a command in the Debian unstable root.
in_root() { in_debian_root "$SID_ROOT" "$@"; }

# Runs a command where an interpreter lives: WHERE is "host", "root" or "bullseye".
run_on() {
    local where="$1"
    shift
    if [ "$where" = host ]; then "$@"; else in_debian_root "$(root_dir "$where")" "$@"; fi
}

# ---- build tools --------------------------------------------------------------------

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
        "$(newest_host_python)" -m venv "$tools" >&2
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

# ---- venvs --------------------------------------------------------------------------

# pip install into a venv: venv_install WHERE VERSION VENV [--upgrade] REQUIREMENT...
# (requirements as pip takes them, "-r FILE" included). pip inside a root cannot
# verify the package index's certificate, so for a root venv the host downloads the
# files for that CPython and that root's C library into build/wheels/<WHERE>-<X.Y> and
# the root installs from there.
venv_install() {
    local where="$1" version="$2" venv="$3" upgrade=()
    shift 3
    if [ "${1:-}" = --upgrade ]; then upgrade=(--upgrade); shift; fi
    if [ "$where" = host ]; then
        "$venv/bin/python" -m pip install -q "${upgrade[@]}" "$@"
        return
    fi
    local glibc platforms=() minor
    glibc="$(run_on "$where" getconf GNU_LIBC_VERSION)" || return 1
    for minor in 17 28 34; do
        [ "$minor" -gt "${glibc##*.}" ] || platforms+=(--platform "manylinux_2_${minor}_x86_64")
    done
    # pip evaluates environment markers (python_version < "3.11") for the interpreter it
    # runs under: a host interpreter of the same minor version downloads where there is one.
    local downloader
    downloader="$(pythons | awk -v m="${version%.*}" '$2 == "host" && index($1, m ".") == 1 { print $3 }')"
    [ -n "$downloader" ] || downloader="$(newest_host_python)"
    local wheels="$REPO_ROOT/build/wheels/$where-${version%.*}"
    "$downloader" -m pip download -q --only-binary=:all: -d "$wheels" \
        --implementation cp --python-version "${version%.*}" --platform manylinux2014_x86_64 \
        "${platforms[@]}" "$@" || return 1
    run_on "$where" "$venv/bin/python" -m pip install -q --no-index --find-links "$wheels" \
        "${upgrade[@]}" "$@"
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
    local where="$1" version="$2" venv="$3" config="$4"
    case "$config" in
        "") venv_install "$where" "$version" "$venv" --upgrade redis ;;
        redis-oldest) venv_install "$where" "$version" "$venv" "redis==$REDIS_OLDEST" ;;
        hiredis) venv_install "$where" "$version" "$venv" --upgrade redis hiredis ;;
        noredis) run_on "$where" "$venv/bin/python" -m pip uninstall -q -y redis ;;
        *) log "unknown client library configuration $config"; return 1 ;;
    esac
}

# The redis version importable in a venv, or "absent": redis_version WHERE VENV.
redis_version() {
    run_on "$1" env -u PYTHONPATH "$2/bin/python" -c '
try:
    import redis
    print(redis.__version__)
except ImportError:
    print("absent")
'
}

# The name of a venv under .venvs: venv_name VERSION WHERE [CONFIGURATION], e.g. 3.11,
# 3.7-redis-oldest, bullseye-3.9 (Debian 11's python3 beside the host's 3.9).
venv_name() {
    local prefix=""
    [ "$2" != bullseye ] || prefix="bullseye-"
    printf '%s%s%s\n' "$prefix" "${1%.*}" "${3:+-$3}"
}

# Creates or refreshes .venvs/<X.Y> for one line of `pythons` ("VERSION WHERE PYTHON")
# with the test requirements (reinstalled when any tests/requirements*.txt changes)
# and the newest redis, then installs the given wheel (if any) and checks that
# `import quorbel` finds it. A third argument names another client library
# configuration (see client_library), kept in .venvs/<X.Y>-<configuration> with the
# base requirements only. Several scripts may share a venv, hence the lock.
prepare_venv() {
    local version where py wheel="${2:-}" config="${3:-}" venv req_hash name
    read -r version where py <<<"$1"
    name="$(venv_name "$version" "$where" "$config")"
    venv="$REPO_ROOT/.venvs/$name"
    # Every tests/requirements*.txt: the base set plus optional tool sets; the
    # extra configurations and Debian 11 only run tests that need the base set.
    local reqs=("$REPO_ROOT"/tests/requirements*.txt) req_args=() r
    [ -z "$config" ] && [ "$where" != bullseye ] || reqs=("$REPO_ROOT/tests/requirements.txt")
    for r in "${reqs[@]}"; do req_args+=(-r "$r"); done
    req_hash="$(cat "${reqs[@]}" | sha256sum | cut -c1-16)"
    mkdir -p "$REPO_ROOT/.venvs"
    (
        flock 8
        # A root venv's bin/python links to a path inside the root: ask the venv itself.
        if [ ! -f "$venv/pyvenv.cfg" ] || [ "$(run_on "$where" "$venv/bin/python" -c \
                'import platform; print(platform.python_version())' 2>/dev/null)" != "$version" ]; then
            rm -rf "$venv"
            run_on "$where" "$py" -m venv "$venv" || exit 1
        fi
        if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$req_hash" ]; then
            venv_install "$where" "$version" "$venv" "${req_args[@]}" || exit 1
            printf '%s\n' "$req_hash" >"$venv/.requirements"
        fi
        if ! client_library "$where" "$version" "$venv" "$config"; then
            # Offline outside CI the newest release cannot be looked up: keep what is there.
            if in_ci || [ -n "$config" ]; then exit 1; fi
            log "warning: could not bring redis up to date in $venv"
        fi
        [ -n "$wheel" ] || exit 0
        run_on "$where" "$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
            --no-index "$wheel" || exit 1
        # The suite must see the installed file, never a build tree.
        cd / && run_on "$where" env -u PYTHONPATH "$venv/bin/python" -c '
import sys, sysconfig, quorbel
where = quorbel.__file__
site = sysconfig.get_paths()["platlib"]
if not where.startswith(site):
    sys.exit("quorbel imported from %s, not from %s" % (where, site))
'
    ) 8>"$REPO_ROOT/.venvs/.lock-$name"
}
