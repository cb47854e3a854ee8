#!/usr/bin/env bash
# The aarch64 wheel where it runs, under emulation: Debian's Python in an
# arm64 Debian root, each of its programs run by qemu-aarch64-static through
# binfmt_misc. Nothing is registered for the machine: the run takes a user
# namespace of its own (Linux 6.7 or newer gives each one its own
# binfmt_misc), with every user and group mapped to itself, and mount and PID
# namespaces of its own, so the registration, every mount and every process
# go when it ends. Needs root.
#
#   scripts/aarch64.sh [test] [PYTEST_ARGS...]
#       installs the wheel into .venv/aarch64-3.13 and runs the whole suite
#       from tests/ there, as is and with the fast paths refused
#       (BREVAN_TEST_GENERAL_PATH=1)
#   scripts/aarch64.sh ci [PYTEST_ARGS...]
#       the same with the tests CI runs on every commit (CI_TESTS below)
#   scripts/aarch64.sh run COMMAND [ARGS...]
#       runs COMMAND in the root, in the checkout (the same directory as
#       outside), with that environment first on PATH, the wheel installed
#   scripts/aarch64.sh prepare
#       makes the root and fetches qemu, and nothing else
#   scripts/aarch64.sh can
#       exits 0 when this machine can do the above, else prints why not
#
# The wheel is $BREVAN_WHEEL, or the aarch64 one scripts/wheel.sh builds; it
# must lie in the checkout. The tests see BREVAN_TEST_EMULATED=1 unless it is
# set, and draw a fifth of their generated examples (see tests/conftest.py;
# BREVAN_TEST_EMULATED=0 draws them all). On two cores or more the two passes
# run side by side (BREVAN_AARCH64_PARALLEL=0: one after the other).
#
# What is kept, under /var/cache/brevan (BREVAN_AARCH64_CACHE):
#   qemu/          qemu-aarch64-static, taken from Debian's qemu-user-static
#                  package with apt-get download and dpkg-deb (not
#                  installed); remade when the package's version changes
#   arm64-root/    the root: debootstrap's first stage (--foreign) for arm64
#                  with Debian's python3.13 ($BREVAN_AARCH64_SUITE, trixie),
#                  then the packages that its second stage would install
#                  unpacked here, natively: the second stage runs every
#                  maintainer script under emulation (over 5 minutes of CPU),
#                  and nothing here needs what they do. Reused while its
#                  stamp says it is complete
#   arm64-root/opt/brevan-deps-HASH/
#                  the test dependencies (pyproject.toml's "test" extra, and
#                  pip) as aarch64 wheels, installed by this machine's pip;
#                  HASH is of what was asked for
# The environment in the checkout has no packages of its own but the wheel:
# a .pth file puts the dependencies on its path.
set -euo pipefail
. "$(dirname "$(realpath "$0")")/roots.sh"
brevan_enter_checkout "${BREVAN_AARCH64_CWD:-$PWD}"
cache=${BREVAN_AARCH64_CACHE:-/var/cache/brevan}
root=$cache/arm64-root
qemu_dir=$cache/qemu
suite=${BREVAN_AARCH64_SUITE:-trixie}
mirror=${BREVAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
version=3.13
venv=.venv/aarch64-$version
log=$cache/arm64-debootstrap.log
# What the root was made from: a different list makes it anew.
root_stamp="debootstrap --foreign --arch=arm64 --variant=minbase --include=python$version $suite, unpacked natively, /proc a directory"

# The tests CI runs on every commit: the import and the wheel, the calls into
# the system (reading, saving, replacing and cleaning files), the fast paths
# against the general one, the module's rules, and vexil's parser and writer,
# whose portable code (no SSE2) runs only here. The rest runs on demand.
CI_TESTS=(test_wheel.py test_module.py test_store.py test_startup.py test_packages.py
    test_fast_paths.py test_vexil.py test_vexil_parser.py test_vexil_fuzz.py)

kernel_has_binfmt_namespaces() {  # Linux 6.7 or newer
    local major minor
    IFS=. read -r major minor _ <<<"$(uname -r)"
    [ "$major" -gt 6 ] || { [ "$major" = 6 ] && [ "${minor%%[!0-9]*}" -ge 7 ]; }
}

# Why this machine cannot do it; nothing when it can.
cannot() {
    if [ "$(id -u)" != 0 ]; then echo "needs root (user namespace with every id mapped, chroot)"; return; fi
    if [ "$(uname -s)" != Linux ] || [ "$(uname -m)" != x86_64 ]; then echo "needs an x86_64 Linux machine"; return; fi
    if ! kernel_has_binfmt_namespaces; then echo "needs Linux 6.7 or newer (binfmt_misc per user namespace); this is $(uname -r)"; return; fi
    if ! command -v unshare >/dev/null; then echo "needs unshare (util-linux)"; return; fi
    if ! unshare --user --mount true 2>/dev/null; then echo "cannot make a user namespace here"; return; fi
    if brevan_root_unmakable "arm64 root"; then return; fi
    if ! [ -x "$(cat "$qemu_dir/path" 2>/dev/null)" ] && ! command -v apt-get >/dev/null; then
        echo "no qemu-aarch64-static in $qemu_dir and no apt-get to fetch it"
    fi
}

# qemu-aarch64-static from Debian's package, unpacked, never installed.
ensure_qemu() {
    local candidate deb
    candidate=$(apt-cache policy qemu-user-static 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [ -x "$(cat "$qemu_dir/path" 2>/dev/null)" ] &&
        { [ -z "$candidate" ] || [ "$candidate" = "(none)" ] || [ "$(cat "$qemu_dir/version")" = "$candidate" ]; }; then
        return
    fi
    echo "Fetching qemu-aarch64-static from Debian's qemu-user-static"
    rm -rf "$qemu_dir"
    mkdir -p "$qemu_dir/deb"
    if ! (cd "$qemu_dir/deb" && apt-get -q -o APT::Sandbox::User=root download qemu-user-static >/dev/null 2>&1); then
        apt-get update -qq
        (cd "$qemu_dir/deb" && apt-get -q -o APT::Sandbox::User=root download qemu-user-static >/dev/null)
    fi
    deb=$(ls "$qemu_dir"/deb/qemu-user-static_*.deb)
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$qemu_dir" ./usr/bin/qemu-aarch64-static
    dpkg-deb -f "$deb" Version >"$qemu_dir/version"
    rm -rf "$qemu_dir/deb"
    echo "$qemu_dir/usr/bin/qemu-aarch64-static" >"$qemu_dir/path"
}

ensure_root() {
    if brevan_root_ready; then return; fi
    brevan_debootstrap "arm64 Debian root" "a minute" \
        --foreign --arch=arm64 --variant=minbase --include="python$version" "$suite" "$root" "$mirror"
    local package deb
    # What the first stage left for the second: the base packages, downloaded
    # but not unpacked. The accounts come from base-passwd's master files, as
    # its maintainer script would copy them.
    for package in $(cat "$root/debootstrap/base"); do
        deb=$(awk -v p="$package" '$1 == p { print $2 }' "$root/debootstrap/debpaths")
        dpkg-deb -x "$root$deb" "$root"
    done
    # The first stage points /proc at the machine's; the second stage would
    # make it the directory the run mounts its own on.
    rm -f "$root/proc"
    mkdir -p "$root/proc"
    cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
    cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
    rm -rf "$root/debootstrap" "$root"/var/cache/apt/archives/*.deb
    brevan_root_made
}

# The test dependencies as aarch64 wheels, installed by this machine's pip
# into the root; `deps` is their directory as seen inside it.
ensure_deps() {
    brevan_test_deps "$root/opt/brevan-deps" manylinux_2_28_aarch64 manylinux_2_17_aarch64
    deps=${deps#"$root"}
}

# in_userns COMMAND...: replaces this shell with COMMAND in new user, mount
# and PID namespaces. Every user and group is mapped to itself (unshare maps
# one, or needs newuidmap for more, so the map is written from out here by a
# helper), and everything started inside ends with it.
in_userns() {
    local sync me pid=$$
    sync=$(mktemp -u) && mkfifo "$sync"
    me=$(readlink /proc/self/ns/user)
    (
        while [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null || echo gone)" = "$me" ]; do sleep 0.01; done
        echo "0 0 4294967295" >"/proc/$pid/uid_map" && echo "0 0 4294967295" >"/proc/$pid/gid_map" &&
            timeout 60 sh -c 'echo go >"$0"' "$sync" || rm -f "$sync"
    ) &
    exec unshare --user --mount --propagation private --pid --fork --kill-child -- /bin/sh -c \
        'read -r go <"$0"; rm -f "$0"; [ "$go" = go ] || exit 1; exec "$@"' "$sync" "$@"
}

# Inside the namespaces: qemu registered, the root's mounts made. They go
# with the namespaces.
enter() {
    local binfmt=$cache/arm64-binfmt_misc
    mkdir -p "$binfmt"
    mount -t binfmt_misc binfmt_misc "$binfmt"
    # F: the interpreter is opened now, so it runs inside the root too.
    printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$(cat "$qemu_dir/path")"':F' \
        >"$binfmt/register"
    # The root made a mount point of its own, so that "/" inside is one
    # (tests hide /proc in a mount namespace of their own, which starts with
    # `mount --make-rprivate /`).
    mount --bind "$root" "$root"
    # The run's own /proc, for its own PID namespace; where the machine's
    # /proc has something mounted over part of it, the kernel refuses a new
    # one, and the machine's is bound instead.
    mount -t proc proc "$root/proc" 2>/dev/null || mount --rbind /proc "$root/proc"
    # A fresh /tmp and /dev/shm, private to the run and gone when it ends.
    mount -t tmpfs -o mode=1777,size=4g tmpfs "$root/tmp"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mkdir -p "$root$checkout"
    mount --bind "$checkout" "$root$checkout"
    # The JSON test corpus beside the checkout, where there is one.
    if [ -d "$checkout/../shared" ]; then
        local shared
        shared=$(cd "$checkout/../shared" && pwd -P)
        mkdir -p "$root$shared"
        mount --rbind "$shared" "$root$shared"
        mount -o remount,bind,ro "$root$shared" 2>/dev/null || true
    fi
}

# in_root COMMAND...: COMMAND inside the root in a clean environment, the
# tests' switches and CI's flag passed through.
in_root() {
    local keep=() name
    while IFS= read -r name; do
        case $name in BREVAN_* | PYTEST_* | CI) keep+=("$name=${!name}") ;; esac
    done < <(compgen -e)
    chroot "$root" /usr/bin/env -i HOME=/root TMPDIR=/tmp LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${keep[@]}" "$@" 9>&-
}

# The environment in the checkout, made by the root's Python, the
# dependencies on its path; the wheel installed by this machine's pip (the
# same files the environment's own pip would write, without the minute that
# pip takes under emulation). Inside the namespaces.
ensure_venv() {
    local stamp site=$venv/lib/python$version/site-packages
    stamp="python$version $(cat "$root/.brevan-root") $deps"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.brevan-stamp" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$venv"
        in_root "/usr/bin/python$version" -m venv --without-pip "$checkout/$venv"
        echo "$deps" >"$site/brevan-test-deps.pth"
        echo "$stamp" >"$venv/.brevan-stamp"
    fi
    rm -rf "$site"/brevan "$site"/vexil.* "$site"/brevan_setting-*
    "$host_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-index --no-deps --target "$site" \
        --platform manylinux_2_17_aarch64 --python-version "$version" --implementation cp "$wheel"
}

if brevan_command "test ci run prepare can inside" "${1:-}"; then shift; fi
# The run inside the namespaces (below) was checked before it started them.
if [ "$command" != inside ]; then brevan_can; fi

if [ "$command" = inside ]; then
    # The part below, run again in the namespaces: "inside SUBCOMMAND ARGS...".
    command=$1
    shift
    host_python=$BREVAN_AARCH64_HOST_PYTHON deps=$BREVAN_AARCH64_DEPS wheel=$BREVAN_WHEEL
    unset BREVAN_AARCH64_HOST_PYTHON BREVAN_AARCH64_DEPS BREVAN_AARCH64_CWD
    # This shell is the PID namespace's first process: stopped, it stops
    # everything in it.
    trap 'kill -KILL -1 2>/dev/null; exit 130' INT
    trap 'kill -KILL -1 2>/dev/null; exit 143' TERM
    enter
    ensure_venv
    if [ "$command" = run ]; then
        here=$caller
        case $here in "$checkout" | "$checkout"/*) ;; *) here=$checkout ;; esac
        in_root VIRTUAL_ENV="$checkout/$venv" /bin/bash -c \
            'cd "$1" && PATH="$VIRTUAL_ENV/bin:$PATH" && shift && exec "$@"' run "$here" "$@"
        exit
    fi
    in_root "$checkout/$venv/bin/python" -VV
    # The two passes at once where there are two cores: each is one
    # process, and emulation is the slow part. Each keeps its output until
    # it ends, and its own pytest directory.
    parallel=0
    if [ "${BREVAN_AARCH64_PARALLEL:-$(($(nproc) > 1))}" = 1 ]; then parallel=1; fi
    pids=()
    status=0
    for general in 0 1; do
        label="Python $version (aarch64, emulated)"
        if [ "$command" = ci ]; then label="$label, CI's tests"; fi
        if [ $general = 1 ]; then label="$label, general paths only"; fi
        pass=(in_root BREVAN_TEST_GENERAL_PATH=$general /bin/bash -c 'cd "$1/tests" && shift && exec "$@"' suite
            "$checkout" "$checkout/$venv/bin/python" -m pytest -q -p no:cacheprovider
            --basetemp="/tmp/pytest-pass-$general" "$@")
        if [ $parallel = 1 ]; then
            { echo "== $label"; "${pass[@]}"; } >"$root/tmp/pass-$general.log" 2>&1 &
            pids+=($!)
        else
            echo "== $label"
            "${pass[@]}" || status=$?
        fi
    done
    for general in "${!pids[@]}"; do
        wait "${pids[general]}" || status=$?
        cat "$root/tmp/pass-$general.log"
    done
    exit $status
fi

[ "$command" != run ] || [ $# -ge 1 ] || die "usage: $0 run COMMAND [ARGS...]"

mkdir -p "$cache"
exec 9>"$root.lock"
flock 9  # one maker at a time; the others wait, then find it made
ensure_qemu
ensure_root
if [ "$command" = prepare ]; then exit 0; fi

brevan_require_pythons
host_python=${pythons[0]}
ensure_deps
# Runs hold the root shared: remaking it waits for them to end.
flock -s 9

brevan_wheel aarch64 "an aarch64 wheel"
case $wheel in "$checkout"/*) ;; *) die "the wheel must lie in the checkout ($checkout)" ;; esac

if [ "$command" = ci ]; then set -- "${CI_TESTS[@]}" "$@"; fi
export BREVAN_AARCH64_CWD=$caller BREVAN_WHEEL=$wheel BREVAN_TEST_EMULATED=${BREVAN_TEST_EMULATED:-1}
export BREVAN_AARCH64_HOST_PYTHON=$host_python BREVAN_AARCH64_DEPS=$deps
in_userns bash "$self" inside "$command" "$@"
