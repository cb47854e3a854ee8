#!/usr/bin/env bash
# Sets up a virtual environment with brevan.setting installed and shows its
# main job: a host tool starting twice in a scratch home directory (settings
# created, then loaded), then a package lookup with find("pip").
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/pythons.sh

mapfile -t pythons < <(brevan_pythons)
python=${pythons[0]:-}
if [ -z "$python" ]; then
    echo "no Python >= 3.12 found (set PYTHON=/path/to/python3.12)" >&2
    exit 1
fi
echo "Using $python"
rm -rf .venv/demo
"$python" -m venv .venv/demo
.venv/demo/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip
.venv/demo/bin/python -m pip install --quiet --disable-pip-version-check .

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/work"
demo="$PWD/scripts/demo.py"
venv_python="$PWD/.venv/demo/bin/python"
cd "$scratch/work"
export HOME="$scratch/home" FORCE_COLOR=1
unset NO_COLOR
echo
echo "== First start (no settings file yet)"
"$venv_python" "$demo" start
echo
echo "== Second start (the file written by the first one is loaded)"
"$venv_python" "$demo" start
echo
echo "== Package lookup"
"$venv_python" "$demo" find
