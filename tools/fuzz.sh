#!/usr/bin/env bash
# Coverage-guided fuzzing of the native code. Builds both extension modules
# with clang, instrumented for libFuzzer (-fsanitize=fuzzer-no-link) with
# AddressSanitizer and UndefinedBehaviorSanitizer, from a copy of the tracked
# files into a virtual environment of their own; then runs each harness of
# fuzz/harnesses.py under atheris for a bounded time, one after another, with
# the sanitizer runtimes and libFuzzer preloaded (one library made here from
# clang's own runtimes). Fails on a crash, a sanitizer report, an uncaught
# exception or a differential mismatch (both raise in the harness), an input
# that takes longer than the per-input timeout, or memory beyond the limit;
# the failing input is saved and printed. Ends with one summary line.
#
#   tools/fuzz.sh [HARNESS...]            (default: all of them)
#
# FILEINSPECT_FUZZ_SECONDS   time per harness (default 60; 3600 for a long run)
# FILEINSPECT_FUZZ_TIMEOUT   seconds one input may take (default 10)
# FILEINSPECT_FUZZ_RSS_MB    memory limit of the fuzzing process (default 2048)
# FILEINSPECT_FUZZ_PYTHON    the interpreter (default 3.11; atheris supports 3.11 to 3.13)
#
# State under .venvs/fuzz-VERSION/: corpus/HARNESS (what the fuzzer found
# worth keeping, taken up again by the next run), findings/HARNESS (failing
# inputs), logs/HARNESS.log (libFuzzer's output, with the covered edges of
# each function at its end) and coverage.txt (covered edges per source file).
# A failing input belongs in fuzz/regressions/HARNESS/ once understood: the
# test suite replays that folder on every interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
fi_report_errors
here=$(pwd)
seconds=${FILEINSPECT_FUZZ_SECONDS:-60}
per_input=${FILEINSPECT_FUZZ_TIMEOUT:-10}
rss_mb=${FILEINSPECT_FUZZ_RSS_MB:-2048}
atheris_version=3.0.0
fi_python "${FILEINSPECT_FUZZ_PYTHON:-3.11}"
version=$FI_PYTHON_VERSION

# --- clang with its runtimes (Debian's packages) ----------------------------
runtimes() { echo "$(clang++ -print-resource-dir 2>/dev/null)/lib/linux"; }
if ! command -v clang++ >/dev/null || [ ! -f "$(runtimes)/libclang_rt.fuzzer_no_main-x86_64.a" ]; then
  command -v apt-get >/dev/null && [ "$(id -u)" = 0 ] ||
    fi_fail "clang with libFuzzer is missing (on Debian: apt-get install clang libclang-rt-14-dev)"
  fi_say "clang or its libFuzzer runtime is missing: installing them with apt-get ..."
  fi_apt_install clang libclang-rt-14-dev llvm ||
    fi_fail "apt-get could not install clang, libclang-rt-14-dev and llvm"
fi
for archive in fuzzer_no_main asan asan_cxx; do
  [ -f "$(runtimes)/libclang_rt.$archive-x86_64.a" ] ||
    fi_fail "clang has no libclang_rt.$archive-x86_64.a in $(runtimes)"
done

# --- the instrumented build, in a folder of its own --------------------------
state="$here/.venvs/fuzz-$version"
venv="$state/venv"
fi_venv "$FI_PYTHON" "$venv"
"$venv/bin/python" -m pip install -q "atheris==$atheris_version" openpyxl xlrd xlwt hypothesis \
  pytest || fi_fail "pip could not install atheris $atheris_version and the harnesses' needs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/source"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work/source"
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
# clang alone warns of char-typed subscripts, which here are character constants
# (a warning left on: setup.py's -Wall comes after these flags).
flags="$FI_BUILD_CFLAGS $instrument -fno-omit-frame-pointer -g -O1"
fi_say "building the instrumented extension modules with $(clang++ --version | head -n 1) ..."
CC=clang CXX=clang++ LDSHARED="clang++ -shared" LDCXXSHARED="clang++ -shared" LDFLAGS="$instrument" \
  fi_build_flags_env "$flags" "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$work/source" \
  >"$work/build.log" 2>&1 || { cat "$work/build.log"; fi_fail "the instrumented build failed"; }
fi_check_instrumented "$venv" __sanitizer_cov_8bit_counters_init
# libFuzzer and the sanitizer runtimes in one library, preloaded so that its
# coverage hooks are the ones the modules find (as atheris's own build makes it).
cp "$(runtimes)/libclang_rt.asan-x86_64.a" "$work/asan.a"
ar d "$work/asan.a" asan_preinit.cpp.o
preload="$state/asan_with_fuzzer.so"
clang++ -shared -o "$preload" -Wl,--whole-archive "$(runtimes)/libclang_rt.fuzzer_no_main-x86_64.a" \
  "$work/asan.a" "$(runtimes)/libclang_rt.asan_cxx-x86_64.a" -Wl,--no-whole-archive \
  -lpthread -ldl -lrt -lm || fi_fail "could not link libFuzzer with the sanitizer runtimes"

fuzz_env=(env LD_PRELOAD="$preload" PYTHONMALLOC=malloc
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:symbolize=1"
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  ASAN_SYMBOLIZER_PATH="$(clang++ -print-prog-name=llvm-symbolizer)")
"${fuzz_env[@]}" "$venv/bin/python" fuzz/seeds.py "$work/seeds" || fi_fail "could not write the seeds"

# --- the harnesses -----------------------------------------------------------
names=$("${fuzz_env[@]}" "$venv/bin/python" -c 'import sys; sys.path[:0] = ["fuzz"]
from harnesses import HARNESSES; print("\n".join(HARNESSES))') || fi_fail "the harnesses do not load"
mapfile -t all <<<"$names"
harnesses=("$@")
[ $# -gt 0 ] || harnesses=("${all[@]}")
for name in "${harnesses[@]}"; do
  [[ " ${all[*]} " == *" $name "* ]] || fi_fail "no harness $name (there are: ${all[*]})"
done
mkdir -p "$state/logs"
: >"$state/coverage.txt"
failed=()
total_runs=0
for name in "${harnesses[@]}"; do
  corpus="$state/corpus/$name"
  findings="$state/findings/$name"
  log="$state/logs/$name.log"
  mkdir -p "$corpus" "$findings"
  folders=("$corpus" "$work/seeds/$name")
  [ -d "fuzz/regressions/$name" ] && folders+=("fuzz/regressions/$name")
  fi_say "$name: fuzzing for $seconds s ..."
  started=$(date +%s)
  status=0
  # The outer timeout only ends a run that libFuzzer's own clock failed to end.
  timeout -k 30 $((seconds + per_input + 600)) "${fuzz_env[@]}" "$venv/bin/python" fuzz/run.py \
    "$name" -max_total_time="$seconds" -timeout="$per_input" -rss_limit_mb="$rss_mb" \
    -print_final_stats=1 -print_coverage=1 -artifact_prefix="$findings/" "${folders[@]}" \
    >"$log" 2>&1 || status=$?
  elapsed="$(($(date +%s) - started)) s"
  if report=$("${fuzz_env[@]}" "$venv/bin/python" fuzz/report.py "$name" "$log" $status \
    "$state/coverage.txt"); then
    fi_say "$name: ok in $elapsed: $report"
    total_runs=$((total_runs + ${report%% runs*}))
    continue
  fi
  failed+=("$name")
  tail -n 80 "$log"
  fi_say "$name: FAILED in $elapsed: $(tr '\n' ' ' <<<"$report")"
  input=$(sed -n 's/^input: //p' <<<"$report")
  if [ -n "$input" ] && [ -f "$input" ]; then
    fi_say "$name: keep the input as fuzz/regressions/$name/$(basename "$input") once understood"
    [ "$(stat -c %s "$input")" -gt 4096 ] || fi_say "$name: the input in base64: $(base64 -w 0 "$input")"
  fi
done

if [ ${#failed[@]} -eq 0 ]; then
  fi_say "clean: ${#harnesses[@]} harnesses (${harnesses[*]}), $seconds s each, $total_runs runs," \
    "no findings" \
    "(CPython $version, atheris $atheris_version; edges per file in $state/coverage.txt)"
  exit 0
fi
fi_say "FAILED: ${failed[*]} (of ${harnesses[*]}; logs in $state/logs, inputs in $state/findings)"
exit 1
