#!/usr/bin/env bash
# Sets up a virtual environment with brevan.setting installed and shows its
# main job: a host tool starting twice in a scratch home directory (settings
# created, then loaded), then a package lookup with find("pip").
# The environment (.venv/demo) is reused while its Python and the sources are
# unchanged, so a second run only runs the demo.
. "$(dirname "$0")/common.sh"

brevan_require_pythons
python=${pythons[0]}
echo "Using $python"
brevan_venv .venv/demo "$python" "$(brevan_sources_hash)" .
if [ "$BREVAN_VENV_REUSED" = 1 ]; then
    echo "Reusing .venv/demo (same Python, same sources)"
fi

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
