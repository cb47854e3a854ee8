# Sourced through common.sh by every script, and alone by debian-pythons.sh
# inside its Debian root: making virtual environments under .venv/.
#
# A virtual environment is reused while its stamp still matches: the real
# path and full version of its Python, plus a key the caller gives (a hash of
# the inputs whose change must rebuild it, and the packages it holds). A fresh
# clone has no stamps, so every environment is made in full there.

# brevan_hash FILE_OR_DIR...: one hash of the names and contents of the files.
brevan_hash() {
    find "$@" -type f ! -name '*.pyc' -print0 2>/dev/null | LC_ALL=C sort -z |
        xargs -0 sha256sum | sha256sum | cut -c1-32
}

# brevan_sources_hash: the hash of everything the build reads.
brevan_sources_hash() {
    brevan_hash CMakeLists.txt pyproject.toml LICENSE README.md brevan vexil common stubs
}

_brevan_python_id() {
    "$1" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version.replace("\n", " "))'
}

# brevan_venv DIR PYTHON KEY [PIP_INSTALL_ARGS...]: makes DIR a virtual
# environment of PYTHON with a current pip and the given packages, unless the
# one there has the same stamp. Sets BREVAN_VENV_REUSED to 1 when the
# environment was reused, to 0 when it was made anew.
brevan_venv() {
    local dir=$1 python=$2 key=$3
    shift 3
    local stamp
    stamp="$(_brevan_python_id "$python") | $key | $*"
    if [ -x "$dir/bin/python" ] && [ -f "$dir/.brevan-stamp" ] &&
        [ "$(cat "$dir/.brevan-stamp")" = "$stamp" ]; then
        BREVAN_VENV_REUSED=1
        return
    fi
    BREVAN_VENV_REUSED=0
    rm -rf "$dir"
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    if [ $# -gt 0 ]; then
        "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
    fi
    # Written last: an interrupted set-up leaves no stamp and is redone.
    printf '%s\n' "$stamp" >"$dir/.brevan-stamp"
}

# brevan_requirements PYTHON [GROUP...]: the build requirements of
# pyproject.toml, then those of each optional-dependencies GROUP, a line each.
brevan_requirements() {
    "$1" - "${@:2}" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
groups = project["project"]["optional-dependencies"]
print("\n".join(project["build-system"]["requires"] + [r for g in sys.argv[1:] for r in groups[g]]))
PY
}

# brevan_test_requirements PYTHON: pyproject.toml's "test" extra, a line each,
# for installing into another interpreter's environment.
brevan_test_requirements() {
    "$1" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))'
}

# brevan_backend_extras VENV_PYTHON: installs what the build backend adds on
# this machine (CMake or Ninja from the package index when the system has
# none recent enough).
brevan_backend_extras() {
    local extra
    mapfile -t extra < <("$1" -c '
from scikit_build_core.build import get_requires_for_build_wheel
print("\n".join(get_requires_for_build_wheel()))')
    if [ -n "${extra[*]}" ]; then
        "$1" -m pip install --quiet --disable-pip-version-check "${extra[@]}"
    fi
}

# brevan_build_venv PYTHON: makes .venv/build, the environment wheel.sh and
# compile-check.sh build with: the build requirements and the "wheel-build"
# dependency group of pyproject.toml (ziglang among them). A new environment
# (another Python, other build requirements, another zig) starts wheel.sh's
# CMake trees under build/zig afresh too, whichever script made it.
brevan_build_venv() {
    local requires tools
    mapfile -t requires < <(brevan_requirements "$1")
    mapfile -t tools < <("$1" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["dependency-groups"]["wheel-build"]))')
    brevan_venv .venv/build "$1" "$(brevan_hash pyproject.toml)" "${requires[@]}" "${tools[@]}"
    if [ "$BREVAN_VENV_REUSED" = 0 ]; then rm -rf build/zig; fi
}
