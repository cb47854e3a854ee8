# Sourced by the three scripts that run a wheel on a Python kept outside the
# checkout, under /var/cache/brevan: debian-pythons.sh and aarch64.sh in a
# Debian root they make with debootstrap, musl.sh on a CPython it builds for
# musl. What they do alike lives here: how they start (from the directory
# they were called in, which a script that runs itself again passes on),
# their commands and `can`, which wheel they test, the test dependencies as
# another platform's wheels, and making a Debian root and knowing it made.
# Apart from common.sh, which every script sources, since only these need it.
#
# The functions read what the script sets: `cannot`, a function printing why
# this machine cannot do what the script does (nothing when it can); for a
# Debian root `root`, `root_stamp` (what it was made from: a root made from
# anything else is made anew), `log` (debootstrap's output); for the test
# dependencies `host_python` and `version`.

# brevan_enter_checkout CALLER: the start of such a script, before anything
# else and after `set -euo pipefail`. Sets `self` (the script's real path,
# for running it again), `caller` (CALLER: the directory it was called in,
# whatever directory it runs in now) and `checkout` (the checkout's top, the
# working directory from here on, common.sh sourced); a relative
# $BREVAN_WHEEL names a file in CALLER, and is made absolute.
brevan_enter_checkout() {
    self=$(realpath "$0")
    caller=$1
    if [ -n "${BREVAN_WHEEL:-}" ]; then BREVAN_WHEEL=$(cd "$caller" && realpath -m -- "$BREVAN_WHEEL"); fi
    . "$(dirname "$self")/common.sh"
    checkout=$PWD
}

die() { echo "$(basename "$self" .sh): $*" >&2; exit 1; }

# brevan_command NAMES [ARG]: sets `command` to ARG, the script's first
# argument, when the space-separated NAMES hold it, else to the default,
# test, and fails then, so that
#   if brevan_command "test run can" "${1:-}"; then shift; fi
# takes a command off the arguments only where one was given.
brevan_command() {
    local name
    command=test
    for name in $1; do
        if [ "${2:-}" = "$name" ]; then
            command=$name
            return 0
        fi
    done
    return 1
}

# brevan_can: the `can` command answered (exit 0, or 1 after printing why
# not, which `cannot` says); any other dies when this machine cannot do it.
brevan_can() {
    local reason
    reason=$(cannot)
    if [ "$command" = can ]; then
        if [ -n "$reason" ]; then echo "$reason"; exit 1; fi
        exit 0
    fi
    [ -z "$reason" ] || die "$reason"
}

# brevan_wheel [PLATFORM DESCRIPTION]: sets `wheel`, an absolute path, to the
# wheel to test: $BREVAN_WHEEL, or else one that scripts/wheel.sh builds now:
# the one of its "other: " lines that names PLATFORM, or without PLATFORM
# the x86_64 glibc one, its last line. Dies when there is no such file, or
# when its name lacks PLATFORM ("WHEEL is not DESCRIPTION").
brevan_wheel() {
    wheel=${BREVAN_WHEEL:-}
    if [ -z "$wheel" ] && [ $# = 0 ]; then
        wheel=$(bash scripts/wheel.sh | tail -n 1)
    elif [ -z "$wheel" ]; then
        wheel=$(bash scripts/wheel.sh | sed -n "s/^other: \(.*$1.*\)/\1/p")
    fi
    case $wheel in /*) ;; *) wheel=$checkout/$wheel ;; esac
    [ -f "$wheel" ] || die "no wheel at $wheel"
    if [ $# != 0 ]; then
        case $(basename "$wheel") in *"$1"*) ;; *) die "$wheel is not $2" ;; esac
    fi
}

# brevan_test_deps DIR PLATFORM...: pyproject.toml's "test" extra and pip as
# wheels for CPython $version on PLATFORM (pip's --platform tags), installed
# by this machine's pip ($host_python) into DIR-KEY, KEY a hash of what was
# asked for, unless there already; sets `deps` to DIR-KEY. Any DIR-* of other
# requirements is removed.
brevan_test_deps() {
    local dir=$1 requires key platforms=() platform
    shift
    for platform in "$@"; do platforms+=(--platform "$platform"); done
    mapfile -t requires < <(brevan_test_requirements "$host_python")
    key=$(printf '%s\n' "${requires[@]}" pip | sha256sum | cut -c1-16)
    deps=$dir-$key
    [ -f "$deps/.brevan-stamp" ] && return
    echo "Installing the test dependencies into $deps"
    rm -rf "$dir"-*
    "$host_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --target "$deps" --only-binary=:all: \
        "${platforms[@]}" --python-version "$version" --implementation cp --abi "cp${version/./}" "${requires[@]}" pip
    date >"$deps/.brevan-stamp"
}

# A Debian root is made once and reused while its stamp matches: the stamp is
# written last, so an interrupted making leaves none and is redone.
brevan_root_ready() {
    [ -f "$root/.brevan-root" ] && [ "$(cat "$root/.brevan-root")" = "$root_stamp" ]
}
brevan_root_made() {
    echo "$root_stamp" >"$root/.brevan-root"
}

# brevan_root_unmakable NAME: for `cannot`: when there is no finished root
# and no debootstrap to make one, says so (NAME: what the root is called
# there) and succeeds; otherwise fails, silent.
brevan_root_unmakable() {
    if ! brevan_root_ready && ! command -v debootstrap >/dev/null; then
        echo "no $1 at $root and no debootstrap to make one (apt-get install debootstrap)"
        return 0
    fi
    return 1
}

# brevan_debootstrap NAME DURATION DEBOOTSTRAP_ARGS...: runs debootstrap
# with those arguments (which make $root) into $log, its exit status last,
# after removing what an unfinished making, or one from other packages, left
# at $root; says what it makes (NAME, the root) and how long that takes,
# and dies when it fails. The script finishes the root, then
# brevan_root_made.
brevan_debootstrap() {
    local name=$1 duration=$2 rc=0
    shift 2
    command -v debootstrap >/dev/null || die "no debootstrap to make $root (apt-get install debootstrap)"
    if [ -d "$root" ]; then
        if grep -qE " $root(/| )" /proc/mounts; then die "$root has something mounted in it; unmount it first"; fi
        echo "Making $root anew (unfinished or made from other packages)"
        rm -rf "$root"
    fi
    echo "Making the $name $root ($duration, once; log: $log)"
    debootstrap "$@" >"$log" 2>&1 || rc=$?
    echo "rc=$rc" >>"$log"
    if [ $rc != 0 ]; then
        tail -n 20 "$log" >&2
        die "debootstrap failed (rc=$rc)"
    fi
}
