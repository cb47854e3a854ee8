#!/usr/bin/env bash
# Builds one cp312-abi3 wheel (compiler warnings are errors), installs it into
# a fresh virtual environment for every Python >= 3.12 found, and runs the
# test suite against the installed module in each of them.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/pythons.sh

mapfile -t pythons < <(brevan_pythons)
if [ "${#pythons[@]}" -eq 0 ]; then
    echo "no Python >= 3.12 found (set PYTHON=/path/to/python3.12)" >&2
    exit 1
fi
echo "Pythons: ${pythons[*]}"

venv() {  # venv NAME PYTHON: a fresh virtual environment with a current pip
    local dir=".venv/$1"
    rm -rf "$dir"
    "$2" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    echo "$dir/bin/python"
}

builder=$(venv build "${pythons[0]}")
rm -rf dist
BREVAN_WERROR=ON "$builder" -m pip wheel --quiet --disable-pip-version-check \
    --no-deps --wheel-dir dist .
wheel=$(ls dist/*.whl)
echo "Built $wheel"

status=0
for py in "${pythons[@]}"; do
    tag=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    vpy=$(venv "test-$tag" "$py")
    "$vpy" -m pip install --quiet --disable-pip-version-check "$wheel[test]"
    echo "== Python $tag"
    # Run from the tests directory so the source tree never shadows the
    # installed module.
    (cd tests && BREVAN_WHEEL="$PWD/../$wheel" "../$vpy" -m pytest -q "$@") || status=$?
done
exit $status
