#!/usr/bin/env bash
# Compiles every source file of both modules for the systems the wheels do
# not cover but `pip install .` should build on (macOS on x86-64 and Arm,
# FreeBSD on x86-64), with zig's clang, the build's warning flags and
# warnings as errors. Objects only: nothing is linked or run, so this catches
# what the compiler sees (a missing field, header or declaration, a warning)
# and nothing beyond.
#
#   bash scripts/compile-check.sh [TARGET...]   # zig targets; default: all three
#
# zig comes from .venv/build (made as wheel.sh makes it). The headers are
# Python 3.12's, found as scripts/pythons.sh finds interpreters, with the
# limited API's version defined as the build defines it; their pyconfig.h is
# this machine's, whose feature macros, type sizes and standard headers hold
# on these 64-bit targets too. common/*.cpp is left out: those runtime pieces are
# linked into Linux builds alone (see CMakeLists.txt). zig caches each object
# by its inputs, so a rerun compiles only what changed.
. "$(dirname "$0")/common.sh"
shopt -s inherit_errexit

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(x86_64-macos aarch64-macos x86_64-freebsd); fi

brevan_require_pythons
brevan_build_venv "${pythons[0]}"
zig=$(.venv/build/bin/python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}

include=
while read -r py; do
    if "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
        include=$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')
        break
    fi
done < <(brevan_pythons)
if [ -z "$include" ]; then
    echo "compile-check.sh: needs Python 3.12's headers: no python3.12 found" >&2
    exit 1
fi

# As CMakeLists.txt compiles the modules (a Release build), plus -Werror.
flags=(-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -DPy_LIMITED_API=0x030C0000
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
    -isystem "$include" -Ibrevan/setting -Icommon)
sources=(brevan/setting/*.cpp vexil/*.cpp)

out=build/compile-check
rm -rf "$out"
jobs=()
for target in "${targets[@]}"; do
    mkdir -p "$out/$target"
    for source in "${sources[@]}"; do
        jobs+=("$target" "$source")
    done
done
# One compiler per job, as many at once as there are processors. xargs puts
# each job's target and source after the flags; each job's messages go to a
# log of its own, printed once all are done.
export zig out
printf '%s\0' "${jobs[@]}" | xargs -0 -n 2 -P "$(nproc)" bash -c '
    target=${@: -2:1} source=${@: -1}
    object=$out/$target/${source//\//_}
    object=${object%.cpp}
    "$zig" c++ -target "$target" "${@:1:$#-2}" -c "$source" -o "$object.o" >"$object.log" 2>&1 ||
        mv "$object.log" "$object.failed"' compile-one "${flags[@]}"

failed=0
for log in "$out"/*/*.failed; do
    [ -e "$log" ] || continue
    failed=$((failed + 1))
    echo "== $(basename "$(dirname "$log")"): $(basename "$log" .failed)" >&2
    cat "$log" >&2
done
if [ $failed -gt 0 ]; then
    echo "compile-check.sh: $failed of $((${#jobs[@]} / 2)) compilations failed" >&2
    exit 1
fi
echo "compile-check.sh: ${#sources[@]} sources compiled for ${targets[*]}, no warnings"
