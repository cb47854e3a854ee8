# Sourced first by every script here, as `. "$(dirname "$0")/common.sh"`
# (those that use roots.sh through brevan_enter_checkout, which first notes
# where they were called from): the strict mode they all run in, the
# checkout's top as the working directory (the paths they name are relative
# to it), and the functions of pythons.sh and venv.sh. Those two stay files
# of their own, each about one thing (debian-pythons.sh sources venv.sh
# alone inside its Debian root); this one only says how a script starts, so
# that each script keeps only what is its own.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/pythons.sh
. scripts/venv.sh
