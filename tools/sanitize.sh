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
# FILEINSPECT_SANITIZE_PYTHON=3.x picks the interpreter (default 3.11; pyenv's,
# else the python3 on PATH when it is that version).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
fi_report_errors
here=$(pwd)
fi_python "${FILEINSPECT_SANITIZE_PYTHON:-3.11}"
version=$FI_PYTHON_VERSION
for runtime in libasan.so libubsan.so; do
  [ -f "$(gcc -print-file-name=$runtime)" ] || fi_fail "gcc has no $runtime (install gcc's sanitizer runtimes)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Build from a copy of the tracked files, so that sanitized objects never mix
# with those of the normal build in ./build.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"

venv="$here/.venvs/sanitize-$version"
fi_venv "$FI_PYTHON" "$venv"
(cd "$work" && fi_install "$venv" magic,excel,test)
flags="$FI_BUILD_CFLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined"
flags+=" -fno-omit-frame-pointer -g -O1"
# Without the first build's objects, which setuptools would otherwise take as up to date.
rm -rf "$work/build"
LDFLAGS="-fsanitize=address,undefined" fi_build_flags_env "$flags" \
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$work" ||
  fi_fail "could not build the sanitized extension"
# Both extension modules must call into the sanitizers, or the run would prove nothing.
fi_check_instrumented "$venv" __asan_report_
fi_check_instrumented "$venv" __ubsan_handle_

logs="$work/logs"
mkdir -p "$logs"
# run_tests LABEL ASAN_OPTIONS [pytest arguments...]: one pytest run, then its
# summary line labelled with what it ran.
run_tests() {
  local label=$1 output="$work/pytest-$RANDOM.out" status=0
  env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$2:log_path=$logs/asan" \
    LSAN_OPTIONS="exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$logs/ubsan" \
    FILEINSPECT_SANITIZED=1 FILEINSPECT_BIG_FILE_MB=20 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:3}" 2>&1 | tee "$output" || status=1
  local summary
  summary=$(fi_pytest_summary "$output")
  if [ $status -eq 0 ]; then
    fi_say "$label: ok (${summary:-no tests})"
  else
    fi_say "$label: FAILED (${summary:-pytest ended without a summary})"
  fi
  return $status
}
status=0
# First the whole suite for memory errors and undefined behaviour (the slow
# packaging tests build an uninstrumented copy, so they are left out).
run_tests "whole suite but the slow tests, for memory errors and undefined behaviour" \
  "detect_leaks=0" -m "not slow" "$@" || status=1
# Then the leak tests, which call every path many times, with leak detection.
# Telling our leaks from the interpreter's needs full allocation stacks, and
# the frame-pointer unwinder stops inside the interpreter, hence the slow one.
run_tests "leak tests, with leak detection" \
  "detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16" -m leaks || status=1
if "$FI_PYTHON" tools/memory_report.py "$logs"; then
  fi_say "sanitizer logs: nothing in the extension"
else
  fi_say "sanitizer logs: FAILED (findings in the extension, above)"
  status=1
fi
if [ $status -eq 0 ]; then
  fi_say "clean (CPython $version)"
else
  fi_say "FAILED (CPython $version)"
fi
exit $status
