#!/usr/bin/env bash
# Builds the source distribution, dist/brevan_setting-<version>.tar.gz, with
# the first Python pythons.sh finds (or the one PYTHON names), in an
# environment of its own (.venv/sdist: the build requirements and the
# "sdist-build" dependency group of pyproject.toml, remade when that file
# changes). Python runs with -P: started in the checkout, it would otherwise
# take the CMake trees under build/ for the `build` package. The last line
# printed is the path of the source distribution.
. "$(dirname "$0")/common.sh"

brevan_require_pythons
mapfile -t requires < <(brevan_requirements "${pythons[0]}")
mapfile -t tools < <("${pythons[0]}" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["dependency-groups"]["sdist-build"]))')
brevan_venv .venv/sdist "${pythons[0]}" "$(brevan_hash pyproject.toml)" "${requires[@]}" "${tools[@]}"
rm -f dist/brevan_setting-*.tar.gz
.venv/sdist/bin/python -P -m build --sdist --no-isolation --outdir dist . >&2
ls dist/brevan_setting-*.tar.gz
