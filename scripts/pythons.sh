# Sourced through common.sh by every script: lists the Python interpreters
# (>= 3.12) on this machine, one real path per line, best first: python3.14
# .. python3.12 on PATH, then pyenv's versions. PYTHON, when set, selects
# instead: the interpreters it names (commands or paths, separated by
# spaces), in that order, each of which must run and be CPython 3.12 or
# newer. A pyenv shim that is on PATH but not active for the current
# directory fails when run, so every candidate is asked for its own path.
# Safe to use under `set -euo pipefail`.

_brevan_probe() {
    "$1" - <<'PY' 2>/dev/null
import os, sys
if sys.version_info >= (3, 12) and sys.implementation.name == "cpython":
    print(os.path.realpath(sys.executable))
PY
}

brevan_pythons() {
    local seen="" cand real root
    {
        for v in 3.14 3.13 3.12; do
            command -v "python$v" 2>/dev/null || true
        done
        if command -v pyenv >/dev/null 2>&1; then
            root=$(pyenv root 2>/dev/null || true)
        else
            root="${PYENV_ROOT:-$HOME/.pyenv}"
        fi
        for v in 3.14 3.13 3.12; do
            ls -d "$root"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -Vr || true
        done
    } | while read -r cand; do
        real=$(_brevan_probe "$cand") || continue
        [ -n "$real" ] || continue
        case " $seen " in *" $real "*) continue ;; esac
        seen="$seen $real"
        echo "$real"
    done
}

# _brevan_pyenv_version NAME: for a bare name such as python3.13 whose pyenv
# shim does not run here (that version is not active in this directory), the
# newest of pyenv's versions that has it; nothing when there is none.
_brevan_pyenv_version() {
    local root cand
    case $1 in */*) return 0 ;; esac
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    else
        root="${PYENV_ROOT:-$HOME/.pyenv}"
    fi
    [ -n "$root" ] || return 0
    for cand in $(ls -d "$root"/versions/*/bin/"$1" 2>/dev/null | sort -Vr); do
        if "$cand" -c '' 2>/dev/null; then
            echo "$cand"
            return 0
        fi
    done
}

# brevan_selected_pythons: the interpreters PYTHON names (a command on PATH,
# a pyenv shim, a path), as real paths; exits naming the first that does not
# run or is too old.
brevan_selected_pythons() {
    local cand real version seen="" found
    pythons=()
    for cand in $PYTHON; do
        if ! "$cand" -c '' 2>/dev/null; then
            found=$(_brevan_pyenv_version "$cand")
            [ -z "$found" ] || cand=$found
        fi
        version=$("$cand" -c 'import sys; print("%d.%d %s" % (*sys.version_info[:2], sys.implementation.name))' 2>/dev/null) || {
            echo "PYTHON names $cand, which does not run" >&2
            exit 1
        }
        real=$(_brevan_probe "$cand")
        if [ -z "$real" ]; then
            echo "PYTHON names $cand, which is ${version% *} (${version#* }): CPython 3.12 or newer is needed" >&2
            exit 1
        fi
        case " $seen " in *" $real "*) continue ;; esac
        seen="$seen $real"
        pythons+=("$real")
    done
    if [ "${#pythons[@]}" -eq 0 ]; then
        echo "PYTHON is set but names no interpreter" >&2
        exit 1
    fi
}

# brevan_require_pythons: fills the array `pythons` (best first, or those a
# non-empty PYTHON selects), or exits with a hint when there is none.
brevan_require_pythons() {
    if [ -n "${PYTHON:-}" ]; then
        brevan_selected_pythons
        return
    fi
    mapfile -t pythons < <(brevan_pythons)
    if [ "${#pythons[@]}" -eq 0 ]; then
        echo "no Python >= 3.12 found (set PYTHON=/path/to/python3.12)" >&2
        exit 1
    fi
}
