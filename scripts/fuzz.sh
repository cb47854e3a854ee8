#!/usr/bin/env bash
# Coverage-guided fuzzing of vexil.loads (fuzz/fuzz_loads.py) with atheris,
# json.loads being the oracle. vexil is built with clang for the fuzzer's
# coverage and with AddressSanitizer and UndefinedBehaviorSanitizer (any
# finding is fatal), and loaded by a Python 3.12 or newer whose allocator is
# plain malloc, so ASan sees every object.
#
# Usage:
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
#       A long run (default 3600 s). The corpus grows in build/fuzz/corpus
#       and is reused by the next run; inputs that fail are written to
#       build/fuzz/artifacts/ and reproduce with
#       scripts/fuzz.sh 0 build/fuzz/artifacts/<file>.
#   scripts/fuzz.sh --ci
#       A short run for CI: 60 s, a fixed seed, starting from fuzz/seeds and
#       the JSON test corpus when it is present, in a scratch corpus.
#
# It installs what it needs: clang through apt-get when it is missing, and
# atheris into .venv/fuzz. PYTHON chooses the interpreter.
. "$(dirname "$0")/common.sh"

ci=0
seconds=3600
if [ "${1:-}" = --ci ]; then
    ci=1
    seconds=60
    shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi

if ! command -v clang++ >/dev/null 2>&1; then
    echo "Installing clang"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi

brevan_require_pythons
python=${pythons[${#pythons[@]}-1]}  # the oldest supported: atheris is built for it first
# atheris compiles its runtime with the clang found here.
export CLANG_BIN
CLANG_BIN=$(command -v clang)
brevan_venv .venv/fuzz "$python" "$(clang --version | head -n 1)" atheris
vpy=.venv/fuzz/bin/python

# The module, instrumented. The atheris runtime lacks UBSan's handler for
# calls through mismatched function types (and vptr checks, which need the
# C++ part of UBSan), so those two checks are left out.
out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"
include=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
clang++ -std=c++20 -O1 -g -fPIC -shared -fno-omit-frame-pointer \
    -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function,vptr -fno-sanitize-recover=undefined \
    -DPy_LIMITED_API=0x030C0000 -I"$include" -Icommon vexil/*.cpp -o "$out/vexil.abi3.so"

runtime=$("$vpy" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
seeds=(fuzz/seeds)
for dir in $(for p in "$PWD" "$(dirname "$PWD")" "$(dirname "$(dirname "$PWD")")"; do
    echo "$p/shared/jsontestsuite/test_parsing"; done); do
    if [ -d "$dir" ]; then seeds+=("$dir"); break; fi
done

# Inputs up to 64 KB (the test corpus holds larger ones, which would slow
# every run down), mutated with JSON's tokens too.
args=(-max_total_time="$seconds" -max_len=65536 -dict=fuzz/json.dict -artifact_prefix="$out/artifacts/"
    -print_final_stats=1)
if [ $ci = 1 ]; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    corpus=("$scratch" "${seeds[@]}")
    args+=(-seed=1)
else
    corpus=("$out/corpus" "${seeds[@]}")
fi
# Inputs named on the command line (artifacts) are run once instead.
if [ $# -gt 0 ] && [ -f "${!#}" ]; then corpus=(); fi

echo "Fuzzing vexil.loads for $seconds s with $("$vpy" -V)"
PYTHONPATH="$out" PYTHONMALLOC=malloc LD_PRELOAD="$runtime" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$vpy" fuzz/fuzz_loads.py "${args[@]}" "$@" "${corpus[@]}"
