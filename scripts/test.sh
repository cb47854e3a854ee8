#!/usr/bin/env bash
# Builds the wheel from the current tree with scripts/wheel.sh (compiler
# warnings are errors; on Linux repaired into a manylinux wheel), installs it
# into a virtual environment for every Python >= 3.12 found (or those PYTHON
# selects), and runs the test suite against the installed module in each of
# them twice: as is, and with the fast paths refused
# (BREVAN_TEST_GENERAL_PATH=1), so both paths are tested everywhere.
#
# Then the same on Debian unstable's Python 3.14 and 3.15, inside a Debian
# root (scripts/debian-pythons.sh), when this machine can (root, and
# debootstrap or a root made before). BREVAN_DEBIAN chooses: unset, run it
# when possible and say why not otherwise (skipped when PYTHON selects);
# "require", run it or fail; "0", skip it.
#
# The environments keep their test dependencies between runs (remade when
# their Python or pyproject.toml changes); the wheel is always built and
# installed afresh.
. "$(dirname "$0")/common.sh"

brevan_require_pythons
echo "Pythons: ${pythons[*]}"

wheel=$(bash scripts/wheel.sh | tail -n 1)
echo "Built $wheel"

status=0
suite() {  # suite LABEL VENV_PYTHON [ENV=VALUE...]: one pytest run, from tests/
    local label=$1 vpy=$2
    shift 2
    echo "== $label"
    # Run from the tests directory so the source tree never shadows the
    # installed module.
    (cd tests && env "$@" BREVAN_WHEEL="$PWD/../$wheel" "../$vpy" -m pytest -q "${pytest_args[@]}") ||
        status=$?
}
pytest_args=("$@")
for py in "${pythons[@]}"; do
    tag=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    dir=.venv/test-$tag
    brevan_venv "$dir" "$py" "$(brevan_hash pyproject.toml)" "$wheel[test]"
    # CI's FUSE case of test_gil.py (it skips without fusepy, which has no wheel).
    if [ "${BREVAN_FUSE:-0}" != 0 ] && ! "$dir/bin/python" -c 'import fuse' 2>/dev/null; then
        "$dir/bin/python" -m pip install --quiet --disable-pip-version-check fusepy
    fi
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check \
        --force-reinstall --no-deps "$wheel"
    suite "Python $tag" "$dir/bin/python"
    suite "Python $tag, general paths only" "$dir/bin/python" BREVAN_TEST_GENERAL_PATH=1
done

debian=${BREVAN_DEBIAN:-}
if [ "$debian" = 0 ]; then
    echo "Skipping Debian's Python 3.14 and 3.15: BREVAN_DEBIAN=0"
elif [ -z "$debian" ] && [ -n "${PYTHON:-}" ]; then
    echo "Skipping Debian's Python 3.14 and 3.15: PYTHON selects the interpreters"
elif why=$(bash scripts/debian-pythons.sh can); then
    BREVAN_WHEEL="$PWD/$wheel" bash scripts/debian-pythons.sh test "${pytest_args[@]}" || status=$?
elif [ "$debian" = require ]; then
    echo "Cannot run Debian's Python 3.14 and 3.15: $why" >&2
    status=1
else
    echo "Skipping Debian's Python 3.14 and 3.15: $why"
fi
exit $status
