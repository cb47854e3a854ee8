#!/usr/bin/env bash
# The musllinux wheel where it runs: a CPython built for musl, made once from
# Debian's source tarballs with Debian's musl-gcc outside the clone, runs the
# wheel and the whole suite directly on this machine (musl's loader,
# /lib/ld-musl-x86_64.so.1, from Debian's musl package, also answers for
# libc.musl-x86_64.so.1, the C library the wheel's modules name). Needs root
# the first time (apt-get, and the cache under /var/cache).
#
#   scripts/musl.sh [test] [PYTEST_ARGS...]
#       installs the wheel into .venv/musl-3.13 and runs the whole suite from
#       tests/ there, as is and with the fast paths refused
#       (BREVAN_TEST_GENERAL_PATH=1)
#   scripts/musl.sh run COMMAND [ARGS...]
#       runs COMMAND with that environment first on PATH, the wheel installed
#   scripts/musl.sh can
#       exits 0 when this machine can do the above, else prints why not
#
# The wheel is $BREVAN_WHEEL, or the musllinux one scripts/wheel.sh builds.
#
# What is kept in $BREVAN_MUSL_CACHE (/var/cache/brevan/musl):
#   sources/      the upstream tarballs of CPython, zlib and libffi from
#                 Debian's source packages ($BREVAN_MUSL_SUITE, trixie),
#                 fetched once through a private apt state (apt/) and checked
#                 against the signed index; remove the directory to take
#                 newer ones
#   python/       CPython, built with zlib and libffi linked in statically;
#                 remade when its stamp changes: the tarballs' SHA-256, the
#                 build functions below and the musl-dev package's version
#   deps-HASH/    the test dependencies (pyproject.toml's "test" extra, and
#                 pip) as musllinux wheels, installed by this machine's pip;
#                 HASH is of what was asked for
# The environment in the checkout has no packages of its own but the wheel:
# a .pth file puts deps-HASH on its path. The Python has no ssl module (no
# OpenSSL is built), so nothing in the environment downloads.
set -euo pipefail
. "$(dirname "$(realpath "$0")")/roots.sh"
brevan_enter_checkout "$PWD"
cache=${BREVAN_MUSL_CACHE:-/var/cache/brevan/musl}
suite=${BREVAN_MUSL_SUITE:-trixie}
mirror=${BREVAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
version=3.13
# Debian's source packages whose upstream tarballs are built.
sources=(python$version zlib libffi)
# What building needs from this machine (running needs musl alone).
build_packages=(musl musl-dev musl-tools autoconf automake libtool make xz-utils)
python=$cache/python/bin/python$version
venv=.venv/musl-$version

python_ready() {
    [ -x "$python" ] && [ -f "$cache/python/.brevan-stamp" ] && [ -e /lib/ld-musl-x86_64.so.1 ]
}

# Why this machine cannot build or run the musl Python; nothing when it can.
cannot() {
    if [ "$(uname -s)" != Linux ] || [ "$(uname -m)" != x86_64 ]; then echo "needs x86_64 Linux"; return; fi
    if python_ready; then return; fi
    if [ "$(id -u)" != 0 ]; then echo "no musl Python in $cache, and making one needs root"; return; fi
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        echo "no musl Python in $cache, and making one needs Debian's apt-get"
    fi
}

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || echo "$p"
    done
}
install_packages() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} = 0 ] && return
    echo "Installing ${missing[*]}"
    # A machine whose package lists are old or absent gets them first.
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# apt-get with a state of its own under the cache: the machine's package lists
# and sources stay as they are.
private_apt() {
    local dir=$cache/apt
    mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$mirror" "$suite" >"$dir/sources.list"
    apt-get -q -o Dir::State="$dir" -o Dir::State::Lists="$dir/lists" -o Dir::State::status=/dev/null \
        -o Dir::Cache="$dir" -o Dir::Cache::archives="$dir/archives" \
        -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
        -o APT::Sandbox::User=root "$@"
}

sources_present() {
    local name
    [ -f "$cache/sources/list" ] || return 1
    while read -r name; do [ -f "$cache/sources/$name" ] || return 1; done <"$cache/sources/list"
}

# The upstream tarball of each source package, checked against the SHA-256
# the signed source index gives (apt-helper refuses a file that differs).
fetch_sources() {
    local package line url name hash names=()
    echo "Fetching the sources of ${sources[*]} ($suite)"
    rm -rf "$cache/sources"
    mkdir -p "$cache/sources.new"
    private_apt update >/dev/null
    for package in "${sources[@]}"; do
        line=$(private_apt source --print-uris "$package" 2>/dev/null | grep "^'.*\.orig\.tar\.[a-z0-9]*' " | head -n 1) ||
            die "no upstream tarball of $package in $suite"
        read -r url name _ hash <<<"$line"
        url=${url//\'/}
        /usr/lib/apt/apt-helper -q -o APT::Sandbox::User=root download-file "$url" "$cache/sources.new/$name" "$hash" >/dev/null ||
            die "could not fetch $url"
        names+=("$name")
    done
    printf '%s\n' "${names[@]}" >"$cache/sources.new/list"
    mv "$cache/sources.new" "$cache/sources"
}

source_tarball() {  # source_tarball PACKAGE: the path of its tarball
    echo "$cache/sources/$(grep -m 1 "^${1}_" "$cache/sources/list")"
}

# The build, in the functions whose text is part of the stamp.
jobs=$(nproc)

# A compiler that is musl-gcc with the kernel's headers visible too (libffi
# includes <linux/limits.h>), and that names musl as its target when CPython's
# configure asks, so that the platform triplet agrees.
write_compiler() {
    local bin=$1 headers=$2
    mkdir -p "$bin" "$headers"
    ln -sfn /usr/include/linux "$headers/linux"
    ln -sfn /usr/include/asm-generic "$headers/asm-generic"
    ln -sfn "/usr/include/$(gcc -print-multiarch)/asm" "$headers/asm"
    cat >"$bin/cc" <<EOF
#!/bin/sh
if [ "\$*" = --print-multiarch ]; then echo x86_64-linux-musl; exit 0; fi
exec musl-gcc "\$@" -idirafter "$headers"
EOF
    chmod +x "$bin/cc"
}

build_zlib() {  # build_zlib TARBALL DEPS_PREFIX
    tar -xf "$1"
    (cd zlib-* && CC=$cc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$2" &&
        make -j"$jobs" libz.a && make install)
}

build_libffi() {  # build_libffi TARBALL DEPS_PREFIX
    tar -xf "$1"
    # The tarball carries no configure script.
    (cd libffi-* && ./autogen.sh &&
        CC=$cc ./configure --prefix="$2" --disable-shared --enable-static --with-pic --disable-docs \
            --disable-multi-os-directory &&
        make -j"$jobs" && make install)
}

build_cpython() {  # build_cpython TARBALL DEPS_PREFIX PREFIX
    tar -xf "$1"
    # pkg-config sees the dependencies built here alone: the machine's own
    # libraries (lzma, uuid, ...) are glibc's, and their modules would not
    # build. No debugging information: nothing here reads it.
    (cd Python-* && CC=$cc OPT="-DNDEBUG -O2" PKG_CONFIG_LIBDIR="$2/lib/pkgconfig" PKG_CONFIG_PATH= \
        ./configure --prefix="$3" --disable-test-modules --without-ensurepip &&
        make -j"$jobs" && make install COMPILEALL_OPTS=-j0) &&
        "$3/bin/python$version" -c "import ctypes, zlib"
}

build_key() {
    {
        declare -f write_compiler build_zlib build_libffi build_cpython
        dpkg-query -W musl-dev
        (cd "$cache/sources" && sha256sum $(cat list))
    } | sha256sum | cut -c1-32
}

ensure_python() {
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9  # one maker at a time; the others wait, then find it made
    if ! sources_present; then
        install_packages "${build_packages[@]}"
        fetch_sources
    fi
    local key
    install_packages musl musl-dev  # the loader to run it; the version for the key
    key=$(build_key)
    if [ -x "$python" ] && [ "$(cat "$cache/python/.brevan-stamp" 2>/dev/null)" = "$key" ]; then return; fi
    install_packages "${build_packages[@]}"
    echo "Building CPython $version for musl in $cache/python (a few minutes, once; log: $cache/build.log)"
    local build=$cache/build
    rm -rf "$build" "$cache/python"
    mkdir -p "$build"
    write_compiler "$build/bin" "$build/kernel-headers"
    cc=$build/bin/cc
    if ! (cd "$build" &&
        build_zlib "$(source_tarball zlib)" "$build/deps" &&
        build_libffi "$(source_tarball libffi)" "$build/deps" &&
        build_cpython "$(source_tarball "python$version")" "$build/deps" "$cache/python") >"$cache/build.log" 2>&1; then
        tail -n 30 "$cache/build.log" >&2
        die "the build failed (log: $cache/build.log)"
    fi
    rm -rf "$build"
    # Written last: an interrupted build leaves no stamp and is redone.
    echo "$key" >"$cache/python/.brevan-stamp"
}

# The environment in the checkout, with the dependencies on its path and the
# wheel installed by its own pip.
ensure_venv() {
    local stamp
    stamp="$(realpath "$python") $(cat "$cache/python/.brevan-stamp") $deps"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.brevan-stamp" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$venv"
        "$python" -m venv --without-pip "$venv"
        echo "$deps" >"$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/brevan-test-deps.pth"
        echo "$stamp" >"$venv/.brevan-stamp"
    fi
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index --force-reinstall --no-deps "$wheel"
}

if brevan_command "test run can" "${1:-}"; then shift; fi
brevan_can
[ "$command" != run ] || [ $# -ge 1 ] || die "usage: $0 run COMMAND [ARGS...]"

brevan_require_pythons
host_python=${pythons[0]}

brevan_wheel musllinux "a musllinux wheel"

ensure_python
# The test dependencies as musllinux wheels, installed by this machine's pip.
brevan_test_deps "$cache/deps" musllinux_1_2_x86_64
# Runs hold the cache shared: a rebuild waits for them to end.
flock -s 9
ensure_venv

if [ "$command" = run ]; then
    cd "$caller"
    PATH="$checkout/$venv/bin:$PATH" VIRTUAL_ENV="$checkout/$venv" exec "$@" 9>&-
fi

"$venv/bin/python" -VV
status=0
for general in 0 1; do
    label="Python $version (musl)"
    if [ $general = 1 ]; then label="$label, general paths only"; fi
    echo "== $label"
    (cd tests && BREVAN_TEST_GENERAL_PATH=$general BREVAN_WHEEL="$wheel" \
        "../$venv/bin/python" -m pytest -q "$@" 9>&-) || status=$?
done
exit $status
