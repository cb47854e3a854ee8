#!/usr/bin/env bash
# Builds both modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (any undefined behaviour is fatal) and runs the whole test suite against
# them on one Python (the first found; PYTHON chooses another), twice: as is,
# and with the fast paths refused. Pytest arguments after the command pass
# through.
#
# The sanitized modules use the shared C++ runtime. libasan is preloaded into
# the (uninstrumented) interpreter together with libstdc++: libasan alone
# intercepts the C++ runtime's exception machinery before libstdc++ is loaded
# and breaks the first throw. Leak detection is off, since the interpreter
# keeps its objects until exit.
. "$(dirname "$0")/common.sh"

brevan_require_pythons
python=${pythons[0]}
mapfile -t requires < <(brevan_requirements "$python" test)
brevan_venv .venv/sanitize "$python" "$(brevan_hash pyproject.toml)" "${requires[@]}"
# A new environment (another Python, other build requirements) starts the
# CMake tree afresh too.
if [ "$BREVAN_VENV_REUSED" = 0 ]; then rm -rf build/sanitize; fi
vpy=.venv/sanitize/bin/python
brevan_backend_extras "$vpy"
# Debug information, unstripped, so that reports name functions and lines.
BREVAN_SANITIZE=ON BREVAN_WERROR=ON "$vpy" -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall -C build-dir=build/sanitize \
    -C cmake.build-type=RelWithDebInfo -C install.strip=false .

cxx=${CXX:-g++}
preload="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so.6)"
tag=$("$vpy" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
cd tests
status=0
for general in 0 1; do
    # The second run refuses the fast paths, so the general ones run too.
    echo "== Python $tag with ASan and UBSan$([ $general = 1 ] && echo ", general paths only")"
    env $([ $general = 1 ] && echo BREVAN_TEST_GENERAL_PATH=1) LD_PRELOAD="$preload" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "../$vpy" -m pytest -q "$@" || status=$?
done
exit $status
