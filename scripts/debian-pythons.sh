#!/usr/bin/env bash
# The Pythons that only Debian unstable packages here (3.14 and 3.15): they
# need a newer C library than this machine's, so they run inside a minimal
# Debian root, made once with debootstrap outside the clone and entered with
# chroot. Needs root.
#
#   scripts/debian-pythons.sh [test] [PYTEST_ARGS...]
#       installs the wheel into a virtual environment per version and runs
#       the whole suite from tests/ on each, as is and with the fast paths
#       refused (BREVAN_TEST_GENERAL_PATH=1); then on each version's debug
#       build (python3.14d: Py_DEBUG, the interpreter's own assertions on),
#       in the development mode with the debug allocator, as is (the newest
#       also with the fast paths refused)
#   scripts/debian-pythons.sh run VERSION COMMAND [ARGS...]
#       runs COMMAND in the checkout (the same directory as outside) with
#       that version's environment first on PATH, the wheel installed; a
#       VERSION such as 3.14d names the debug build
#   scripts/debian-pythons.sh can
#       exits 0 when this machine can do the above, else prints why not
#
# The wheel is $BREVAN_WHEEL, or the one scripts/wheel.sh builds now. The
# environments live in the checkout (.venv/debian-3.x, reused while their
# stamp matches, like the others); the root is reused while its stamp says it
# is complete. Settings: BREVAN_DEBIAN_ROOT (/var/cache/brevan/sid-root),
# BREVAN_DEBIAN_MIRROR, BREVAN_DEBIAN_VERSIONS ("3.14 3.15"),
# BREVAN_DEBIAN_DEBUG ("0": no debug builds, neither installed nor run).
#
# The root is shared by concurrent runs. Whatever changes it (making it,
# adding the debug builds) holds $root.lock, one at a time, and waits for the
# runs using the root to end: each run holds a shared lock on $root.in-use
# while it does, which the change takes exclusively.
#
# Everything mounted for a run (/proc, a fresh /tmp, the local package
# directories pip's configuration names, the checkout) is mounted in a
# private mount namespace when the kernel allows one, so that concurrent runs
# never see each other's mounts and nothing outlives the run, and is
# unmounted on every exit in any case.
set -euo pipefail
. "$(dirname "$(realpath "$0")")/roots.sh"
brevan_enter_checkout "${BREVAN_DEBIAN_CWD:-$PWD}"
root=${BREVAN_DEBIAN_ROOT:-/var/cache/brevan/sid-root}
mirror=${BREVAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
read -r -a versions <<<"${BREVAN_DEBIAN_VERSIONS:-3.14 3.15}"
log=$(dirname "$root")/debootstrap.log
packages=$(for v in "${versions[@]}"; do printf 'python%s,python%s-venv,' "$v" "$v"; done)
packages=${packages%,}
# What the root was made from: a different list makes it anew.
root_stamp="debootstrap --variant=minbase --include=$packages sid"
# The debug builds, added to a finished root with apt-get (a second stamp, so
# that a root made without them is extended, never made anew).
debug=${BREVAN_DEBIAN_DEBUG:-1}
debug_packages=()
for v in "${versions[@]}"; do debug_packages+=("python$v-dbg"); done
debug_stamp="apt-get install ${debug_packages[*]}"
debug_log=$(dirname "$root")/apt-dbg.log

# Why this machine cannot make or enter the root; nothing when it can.
cannot() {
    if [ "$(id -u)" != 0 ]; then echo "needs root (chroot, mount)"; return; fi
    if [ "$(uname -s)" != Linux ]; then echo "needs Linux"; return; fi
    if [ "$(uname -m)" != x86_64 ]; then echo "needs an x86_64 machine"; return; fi
    if brevan_root_unmakable "Debian root"; then return; fi
}

# root_command COMMAND...: sets `cmd` to COMMAND inside the root, in a clean
# environment.
root_command() {
    local keep=() name
    # pip's settings, the tests' switches and CI's flag pass through.
    while IFS= read -r name; do
        case $name in PIP_* | BREVAN_* | PYTEST_* | CI) keep+=("$name=${!name}") ;; esac
    done < <(compgen -e)
    cmd=(chroot "$root" /usr/bin/env -i HOME=/root TMPDIR=/tmp LANG=C.UTF-8 TERM="${TERM:-dumb}"
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${keep[@]}" "$@")
}
in_root() {
    root_command "$@"
    "${cmd[@]}" 8>&-  # the lock stays with this script
}

pythons_run() {  # pythons_run [SUFFIX]: each version's python3.xSUFFIX runs
    local v
    for v in "${versions[@]}"; do
        chroot "$root" "/usr/bin/python$v${1:-}" -c pass 2>/dev/null || return 1
    done
}

# A root that debootstrap finished (its log ends with rc=0, its own work
# directory is gone) and whose Pythons run is complete: adopt it.
adoptable() {
    [ -d "$root" ] && [ ! -e "$root/debootstrap" ] && [ -f "$log" ] &&
        [ "$(tail -n 1 "$log")" = rc=0 ] && pythons_run
}

make_root() {  # under the exclusive lock
    if brevan_root_ready; then return; fi
    if adoptable; then
        brevan_root_made
        return
    fi
    brevan_debootstrap "Debian root" "a few minutes" --variant=minbase --include="$packages" sid "$root" "$mirror"
    pythons_run || die "the Pythons in $root do not run"
    brevan_root_made
}

debug_ready() {
    [ "$debug" = 0 ] || { [ -f "$root/.brevan-debug" ] && [ "$(cat "$root/.brevan-debug")" = "$debug_stamp" ]; }
}

# Installs the debug builds into the finished root, at the versions of the
# release builds there when the mirror still has them (a debug build needs
# its release build's exact version: this way the release builds stay as
# they are), else at the mirror's, which moves the release builds along.
add_debug() {
    if debug_ready; then return; fi
    echo "Adding the debug builds to $root: ${debug_packages[*]} (once; log: $debug_log)"
    put /etc/resolv.conf
    local v version pinned=()
    for v in "${versions[@]}"; do
        version=$(chroot "$root" dpkg-query -W -f '${Version}' "python$v")
        pinned+=("python$v-dbg=$version")
    done
    # debootstrap took the mirror's Release file without its Valid-Until:
    # apt-get takes it alike, or a mirror that serves a fixed snapshot would
    # make the root and then refuse to extend it.
    local apt=(DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends -o Acquire::Check-Valid-Until=false)
    {
        in_root "${apt[@]}" update &&
            { in_root "${apt[@]}" install "${pinned[@]}" || in_root "${apt[@]}" install "${debug_packages[@]}"; } &&
            in_root apt-get clean
    } >"$debug_log" 2>&1 || { tail -n 20 "$debug_log" >&2; die "installing the debug builds failed"; }
    pythons_run d || die "the debug builds in $root do not run"
    # Written last: an interrupted install leaves no stamp and is redone.
    echo "$debug_stamp" >"$root/.brevan-debug"
}

# Leaves the root complete and a shared lock on $root.in-use held on
# descriptor 8 for as long as this run uses it.
prepare_root() {
    mkdir -p "$(dirname "$root")"
    exec 8>>"$root.in-use"
    flock -s 8
    if brevan_root_ready && debug_ready; then return; fi
    flock -u 8  # a maker that holds $root.lock may be waiting for it
    exec 9>"$root.lock"
    flock 9  # one maker at a time; the others wait, then find it ready
    flock 8  # waits for the runs using the root to end
    make_root
    add_debug
    flock -s 8
    exec 9>&-
}

put() {  # put FILE: the file copied to the same path in the root, when it differs
    local dest=$root$1
    if cmp -s "$1" "$dest"; then return; fi
    mkdir -p "$(dirname "$dest")"
    cp -L "$1" "$dest.$$" && mv -f "$dest.$$" "$dest"
}

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" || umount -l "${mounted[i]}" || true
    done
    mounted=()
}
mount_in() {  # mount_in TARGET_IN_ROOT MOUNT_ARGS...
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}
bind_ro() {
    mount_in "$1" --bind "$1"
    mount -o remount,bind,ro "$root$1"
}

# The files and directories that pip's configuration (files and PIP_*
# variables) names on this machine: paths and file:// URLs.
pip_paths() {
    local files=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
    if [ -n "${PIP_CONFIG_FILE:-}" ]; then files+=("$PIP_CONFIG_FILE"); fi
    {
        for f in "${files[@]}"; do
            if [ -f "$f" ]; then sed -n 's/^[^#;=]*=//p' "$f"; fi
        done
        env | sed -n 's/^PIP_[A-Z_]*=//p'
    } | tr -s ' \t,"' '\n' | sed -n 's|^file://||; \|^/|p' | sort -u
}

# The suites run as background jobs waited for, so that a signal stops them
# and unmounts at once (bash defers traps while a foreground job runs).
child=""
stop() {
    if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null || true; wait "$child" || true; fi
    exit "$1"
}
waited() {  # waited COMMAND...: in_root COMMAND..., as a job of its own
    root_command "$@"
    "${cmd[@]}" 8>&- &
    child=$!
    local rc=0
    wait "$child" || rc=$?
    child=""
    return $rc
}

# Copies in what the root needs from this machine and mounts what the run
# uses; records the mounts for unmount_all.
enter() {
    local path seen=" "
    put /etc/resolv.conf
    if [ -f /etc/ssl/certs/ca-certificates.crt ]; then put /etc/ssl/certs/ca-certificates.crt; fi
    for path in /etc/pip.conf /etc/xdg/pip/pip.conf; do
        if [ -f "$path" ]; then put "$path"; fi
    done
    # Root's own pip configuration, for HOME=/root inside.
    for path in .config/pip/pip.conf .pip/pip.conf; do
        if [ -f "$HOME/$path" ]; then
            mkdir -p "$(dirname "$root/root/$path")"
            cmp -s "$HOME/$path" "$root/root/$path" || cp -L "$HOME/$path" "$root/root/$path"
        fi
    done
    trap unmount_all EXIT
    trap 'stop 130' INT
    trap 'stop 143' TERM
    if [ -n "${BREVAN_DEBIAN_NS:-}" ]; then
        # The root made a mount point of its own, so that "/" inside is one
        # (tests hide /proc in a mount namespace of their own, which starts
        # with `mount --make-rprivate /`), and other runs' mounts in the
        # root stay out of sight.
        mount --bind "$root" "$root"
        mounted+=("$root")
    fi
    mount_in /proc --bind /proc
    # A fresh tmpfs, as Debian's own /tmp: private to the run (tests make
    # FIFOs, O_TMPFILE files and pytest's numbered directories there) and
    # gone when it ends, rather than piling up inside the shared root.
    mount_in /tmp -t tmpfs -o mode=1777,size=4g tmpfs
    mount_in /dev/shm -t tmpfs -o mode=1777 tmpfs
    while IFS= read -r path; do
        if [ -f "$path" ]; then
            put "$path"  # a certificate bundle, a constraints file
        elif [ -d "$path" ]; then
            # An index's simple/ pages link to files beside it.
            if [ "$(basename "$path")" = simple ]; then path=$(dirname "$path"); fi
            case $seen in *" $path "*) continue ;; esac
            seen="$seen$path "
            bind_ro "$path"
        fi
    done < <(pip_paths)
    mount_in "$checkout" --bind "$checkout"
    # The JSON test corpus beside the checkout, where there is one, so that
    # the tests that use it run here too.
    if [ -d "$checkout/../shared" ]; then
        bind_ro "$(cd "$checkout/../shared" && pwd -P)"
    fi
}

# venv VERSION: the environment of python$VERSION (3.14, 3.14d) with the
# test extras and the wheel.
venv() {
    local v=$1 dir=.venv/debian-$1
    # PYTHONWARNINGS: pip's own warnings, which a debug build shows, are no concern here.
    in_root PYTHONWARNINGS=ignore /bin/bash -c 'set -euo pipefail; cd "$1"; . scripts/venv.sh
        brevan_venv "$2" "$3" "$(brevan_hash pyproject.toml)" "$4[test]"
        "$2/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$4"' \
        venv "$checkout" "$dir" "/usr/bin/python$v" "$wheel"
}

if brevan_command "test run can" "${1:-}"; then shift; fi
brevan_can

if [ "$command" = run ]; then
    [ $# -ge 2 ] || die "usage: $0 run VERSION COMMAND [ARGS...]"
    case " ${versions[*]} " in
    *" $1 "*) ;;
    *" ${1%d} "*) [ "$debug" != 0 ] || die "no Python $1 here: BREVAN_DEBIAN_DEBUG=0" ;;
    *) die "no Python $1 here (BREVAN_DEBIAN_VERSIONS: ${versions[*]})" ;;
    esac
fi

# The run that the namespace below re-enters holds the lock already (descriptor 8).
if [ -z "${BREVAN_DEBIAN_NS:-}" ]; then
    prepare_root
    # The mounts go in a private mount namespace, when there is one to be had.
    if unshare --mount --propagation private true 2>/dev/null 8>&-; then
        BREVAN_DEBIAN_NS=1 BREVAN_DEBIAN_CWD=$caller exec unshare --mount --propagation private bash "$self" "$command" "$@"
    fi
elif ! { brevan_root_ready && debug_ready; }; then
    die "$root is not ready (BREVAN_DEBIAN_NS is this script's own)"
fi

brevan_wheel
case $wheel in "$checkout"/*) ;; *) die "the wheel must lie in the checkout ($checkout)" ;; esac

enter

if [ "$command" = run ]; then
    v=$1
    shift
    venv "$v" >&2
    here=$caller
    case $here in "$checkout" | "$checkout"/*) ;; *) here=$checkout ;; esac
    # A throwaway home on the run's own /tmp, so that what the command writes
    # there (a startup() writes ~/tolvek.json) never lands in the shared root;
    # pip still reads root's configuration through XDG_CONFIG_HOME.
    in_root VIRTUAL_ENV="$checkout/.venv/debian-$v" HOME=/tmp/home XDG_CONFIG_HOME=/root/.config /bin/bash -c \
        'mkdir -p "$HOME" && cd "$1" && PATH="$VIRTUAL_ENV/bin:$PATH" && shift && exec "$@"' run "$here" "$@"
    exit
fi

status=0
for v in "${versions[@]}"; do
    venv "$v"
    in_root "/usr/bin/python$v" -VV
    for general in 0 1; do
        label="Python $v (Debian)"
        if [ $general = 1 ]; then label="$label, general paths only"; fi
        echo "== $label"
        waited BREVAN_TEST_GENERAL_PATH=$general BREVAN_WHEEL="$wheel" /bin/bash -c \
            'cd "$1/tests" && shift && exec "$@"' suite "$checkout" \
            "$checkout/.venv/debian-$v/bin/python" -m pytest -q "$@" || status=$?
    done
done
# The debug builds: the whole suite as is on each, in the development mode
# (-X dev) with the debug allocator, through the environment so that the
# children the tests start run so too; on the newest also with the fast paths
# refused (a pass costs as much again: one covers the general paths' C code).
for v in "${versions[@]}"; do
    if [ "$debug" = 0 ]; then break; fi
    venv "${v}d"
    in_root "/usr/bin/python${v}d" -VV
    for general in 0 1; do
        if [ $general = 1 ] && [ "$v" != "${versions[-1]}" ]; then continue; fi
        label="Python ${v}d (Debian's debug build)"
        if [ $general = 1 ]; then label="$label, general paths only"; fi
        echo "== $label"
        waited BREVAN_TEST_GENERAL_PATH=$general PYTHONDEVMODE=1 PYTHONMALLOC=debug BREVAN_WHEEL="$wheel" \
            /bin/bash -c 'cd "$1/tests" && shift && exec "$@"' suite "$checkout" \
            "$checkout/.venv/debian-${v}d/bin/python" -m pytest -q "$@" || status=$?
    done
done
exit $status
