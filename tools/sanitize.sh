#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite under them, with the sanitizer runtimes preloaded
# into the (uninstrumented) interpreter and PYTHONMALLOC=malloc so that every
# object allocation goes through the sanitizer. Fails on any memory error, any
# undefined behaviour, and any leak whose allocation stack passes through the
# extension; what the interpreter and libmagic keep until exit is counted, not
# failed (tools/memory_report.py reads the logs).
#
#   tools/sanitize.sh [pytest arguments...]
#
# FILEINSPECT_SANITIZE_PYTHON=3.x picks the pyenv interpreter (default 3.11).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
wanted=${FILEINSPECT_SANITIZE_PYTHON:-3.11}
version=$(ls "$pyenv_root/versions" | grep -E "^${wanted//./\\.}\.[0-9]+$" | sort -V | tail -n 1)
python="$pyenv_root/versions/$version/bin/python"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Build from a copy of the tracked files, so that sanitized objects never mix
# with those of the normal build in ./build.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"

venv="$here/.venvs/sanitize-$version"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$work[magic,excel,test]"
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
CFLAGS="$flags" LDFLAGS="-fsanitize=address,undefined" \
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$work"

logs="$work/logs"
mkdir -p "$logs"
run_tests() {
  env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$1:log_path=$logs/asan" \
    LSAN_OPTIONS="exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$logs/ubsan" \
    FILEINSPECT_SANITIZED=1 FILEINSPECT_BIG_FILE_MB=20 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:2}"
}
status=0
# First the whole suite for memory errors and undefined behaviour (the slow
# packaging tests build an uninstrumented copy, so they are left out).
run_tests "detect_leaks=0" -m "not slow" "$@" || status=$?
# Then the leak tests, which call every path many times, with leak detection.
# Telling our leaks from the interpreter's needs full allocation stacks, and
# the frame-pointer unwinder stops inside the interpreter, hence the slow one.
run_tests "detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16" -m leaks || status=$?
"$python" tools/memory_report.py "$logs" || status=1
if [ $status -eq 0 ]; then
  echo "sanitize: clean (CPython $version)"
else
  echo "sanitize: FAILED (CPython $version)"
fi
exit $status
