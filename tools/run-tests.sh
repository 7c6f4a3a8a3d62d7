#!/usr/bin/env bash
# Makes the Debian roots of the 32-bit ARM and the newest-CPython stages (both
# at once: they mostly wait for downloads), builds the wheels and the sdist
# (tools/build-wheels.sh, into .venvs/dist), then runs the test stages two at a
# time (each is one process on one core): on every CPython from 3.7 on that
# pyenv provides (without pyenv: the python3 on PATH) the wheel built for it,
# installed with no compiler reachable into a virtual environment of its own
# under .venvs/; the sdist built from source once, on the newest of them; the
# armv6l wheel on 32-bit ARM under emulation (tools/arm-tests.sh); the cp313,
# cp314 and cp315 wheels on Debian sid's 3.13, 3.14 and 3.15 in a root of their
# own (tools/newest-tests.sh), each with the whole suite. Lints the Python
# sources with flake8 and ends with one summary line naming every interpreter
# tested. Exits non-zero when any stage fails.
#
#   tools/run-tests.sh [pytest arguments...]
#
# FILEINSPECT_PYTHONS="3.7 3.13" limits the pyenv interpreters (and their
# wheels) to the versions named; FILEINSPECT_ARM=0 leaves the ARM wheel and
# stage out, FILEINSPECT_NEWEST=0 the Debian sid ones, FILEINSPECT_SDIST=0 the
# source build; FILEINSPECT_JOBS (default 2) sets how many stages run at once.
set -u
cd "$(dirname "$0")/.."
. tools/lib.sh
here=$(pwd)

# --- the interpreters: "label|python|virtual environment" -------------------
interpreters=()
mapfile -t installed < <(fi_pyenv_versions)
if [ ${#installed[@]} -gt 0 ]; then
  versions=("${installed[@]}")
  if [ -n "${FILEINSPECT_PYTHONS:-}" ]; then
    versions=()
    for w in $FILEINSPECT_PYTHONS; do
      found=0
      for v in "${installed[@]}"; do fi_matches "$v" "$w" && versions+=("$v") && found=1; done
      [ $found = 1 ] || fi_fail "FILEINSPECT_PYTHONS names $w, which is not installed: $(fi_describe_pythons)"
    done
  fi
  printf '%s\n' "${installed[@]}" | grep -q '^3\.7\.' ||
    fi_say "NOTE: CPython 3.7, the first target, is not installed here; testing the others"
  for v in "${versions[@]}"; do
    interpreters+=("CPython $v|$(fi_pyenv_root)/versions/$v/bin/python|$here/.venvs/$v")
  done
else
  path_python=$(fi_path_python)
  [ -n "$path_python" ] || fi_fail "no CPython 3.7 or newer: $(fi_describe_pythons)"
  v=${path_python%% *}
  for w in ${FILEINSPECT_PYTHONS:-$v}; do
    fi_matches "$v" "$w" || fi_fail "FILEINSPECT_PYTHONS names $w: $(fi_describe_pythons)"
  done
  fi_say "no pyenv interpreters: testing the python3 on PATH"
  interpreters+=("CPython $v (${path_python#* })|${path_python#* }|$here/.venvs/python3-$v")
fi

# --- the stages --------------------------------------------------------------
logs="$here/.venvs/logs"
dist="$here/.venvs/dist"
mkdir -p "$logs"
rm -f "$logs"/*.status
results=()
failed=0
max_jobs=${FILEINSPECT_JOBS:-2}

# record LABEL STATUS SUMMARY LOG: adds a stage's line to the results.
record() {
  if [ "$2" -eq 0 ]; then
    results+=("$1 ok ($3)")
  else
    failed=1
    results+=("$1 FAILED (${3:-see $4})")
    tail -n 60 "$4"
  fi
  fi_say "${results[-1]}"
}

# The stages of a script that tests in a root of its own end with one line
# "<script>: all passed: ...", "<script>: FAILED: ..." or "<script>: SKIPPED: ...".
script_summary() {
  local name=$1 log=$2 line
  line=$(grep -E "^$name: " "$log" | tail -n 1)
  line=${line#"$name: "}
  line=${line#all passed: }
  echo "${line#FAILED: }"
}

# --- the roots, made at once -----------------------------------------------------
prepare() {
  local script=$1 log=$logs/$(basename "$1" .sh)-prepare.log status=0
  "$script" --prepare >"$log" 2>&1 || status=$?
  echo "$status" >"$log.status"
}
fi_say "preparing the ARM and newest-CPython roots ..."
began=$SECONDS
[ "${FILEINSPECT_ARM:-1}" = 0 ] || prepare tools/arm-tests.sh &
[ "${FILEINSPECT_NEWEST:-1}" = 0 ] || prepare tools/newest-tests.sh &
wait
for name in arm-tests newest-tests; do
  log=$logs/$name-prepare.log
  [ -f "$log.status" ] || continue
  summary=$(script_summary "$name" "$log")
  if [ "$(cat "$log.status")" != 0 ]; then
    record "$name (preparing)" 1 "$summary" "$log"
  elif [[ $summary == SKIPPED* ]]; then
    fi_say "$name: $summary"
  fi
done
fi_say "roots ready in $((SECONDS - began))s"

# --- the wheels and the sdist ----------------------------------------------------
fi_say "building the wheels and the sdist ..."
began=$SECONDS
status=0
tools/build-wheels.sh "$dist" >"$logs/build-wheels.log" 2>&1 || status=$?
grep -E '^build-wheels: (cp|armhf)' "$logs/build-wheels.log" || true
record wheels $status "$(ls "$dist"/*.whl 2>/dev/null | wc -l) wheels and the sdist; $((SECONDS - began))s" \
  "$logs/build-wheels.log"

# --- the test stages, two at a time ------------------------------------------------
# Each job writes its log and, at its end, LOG.status; the results are read in
# the order the jobs were started.
jobs_started=()
start_job() {
  local label=$1 log=$2
  shift 2
  while [ "$(jobs -rp | wc -l)" -ge "$max_jobs" ]; do wait -n || true; done
  fi_say "$label ..."
  jobs_started+=("$label|$log")
  # In a subshell, so that fi_fail ends the job, not the run.
  ( began=$SECONDS; status=0; ("$@") >"$log" 2>&1 || status=$?
    echo "$status $((SECONDS - began))" >"$log.status" ) &
}

# test_wheel PYTHON VENV [pytest arguments...]: the suite against the wheel
# built for PYTHON, installed into VENV.
test_wheel() {
  local python=$1 venv=$2 tag wheel
  shift 2
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls "$dist"/veltrane_fileinspect-*-"$tag"-"$tag"*-manylinux*.whl 2>/dev/null | tail -n 1)
  [ -n "$wheel" ] || fi_fail "no $tag wheel in $dist"
  fi_venv "$python" "$venv"
  fi_install_wheel "$venv" "$wheel" magic,excel,test
  FILEINSPECT_DIST=$dist "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
}

# The sdist built from source once, warnings failing it, on the newest
# interpreter, and the suite against what it installed.
test_sdist() {
  local python=$1 venv=$2 sdist compiles
  shift 2
  sdist=$(ls "$dist"/veltrane_fileinspect-*.tar.gz 2>/dev/null) || fi_fail "no sdist in $dist"
  fi_venv "$python" "$venv"
  "$venv/bin/python" -m pip uninstall -q -y veltrane-fileinspect
  fi_build_flags_env "$FI_BUILD_CFLAGS" "$venv/bin/python" -m pip install -v --no-binary veltrane-fileinspect \
    "$sdist[magic,excel,test]" >"$venv.build.log" 2>&1 || fi_fail "could not build $sdist (log: $venv.build.log)"
  compiles=$(grep -E '^ *(g\+\+|gcc|c\+\+|cc) .* -c ' "$venv.build.log" || true)
  [ -n "$compiles" ] || fi_fail "the sdist build compiled nothing (log: $venv.build.log)"
  ! grep -qv -- "$FI_BUILD_CFLAGS" <<<"$compiles" ||
    fi_fail "compiles without $FI_BUILD_CFLAGS (log: $venv.build.log)"
  echo "built from $(basename "$sdist"): $(wc -l <<<"$compiles") compiles with $FI_BUILD_CFLAGS"
  # The packaging tests, about the dists themselves, ran with every wheel.
  "$venv/bin/python" -m pytest -p no:cacheprovider --ignore=tests/test_packaging.py "$@"
}

# The slowest stages first, so that the two workers end close together.
if [ "${FILEINSPECT_ARM:-1}" != 0 ]; then
  start_job "32-bit ARM" "$logs/arm-tests.log" env FILEINSPECT_DIST="$dist" tools/arm-tests.sh "$@"
fi
if [ "${FILEINSPECT_NEWEST:-1}" != 0 ]; then
  for v in 3.13 3.14 3.15; do
    start_job "CPython $v (Debian sid)" "$logs/newest-tests-$v.log" \
      env FILEINSPECT_DIST="$dist" FILEINSPECT_NEWEST_VERSIONS="$v" tools/newest-tests.sh "$@"
  done
fi
newest_venv=
newest_python=
for entry in "${interpreters[@]}"; do
  IFS='|' read -r label python venv <<<"$entry"
  start_job "$label" "$logs/$(basename "$venv").log" test_wheel "$python" "$venv" "$@"
  newest_venv=$venv
  newest_python=$python
done
if [ "${FILEINSPECT_SDIST:-1}" != 0 ] && [ -n "$newest_python" ]; then
  version=$(basename "$newest_venv")
  start_job "sdist (built from source on CPython ${version#python3-})" "$logs/sdist.log" \
    test_sdist "$newest_python" "$here/.venvs/sdist-$version" "$@"
fi
wait

for job in "${jobs_started[@]}"; do
  IFS='|' read -r label log <<<"$job"
  read -r status seconds <"$log.status" 2>/dev/null || { status=1; seconds=?; }
  case $label in
    "32-bit ARM" | *"(Debian sid)")
      # The script's own line names the interpreter and says how it went.
      name=$(basename "$log" .log)
      summary=$(script_summary "${name%-3.1?}" "$log")
      [[ $label != "32-bit ARM" || $summary == armv6hf* ]] || summary="armv6hf $summary"
      results+=("${summary:-$label FAILED (no summary, see $log)}")
      if [ "$status" -ne 0 ]; then
        failed=1
        tail -n 60 "$log"
      fi
      fi_say "${results[-1]}"
      ;;
    *)
      summary=$(fi_pytest_summary "$log")
      record "$label" "$status" "${summary:-no tests}; ${seconds}s" "$log"
      ;;
  esac
done

# The Python sources against .flake8, with the flake8 of the newest interpreter.
if [ -n "$newest_venv" ] && [ -x "$newest_venv/bin/flake8" ]; then
  if "$newest_venv/bin/python" -m flake8 >"$logs/lint.log" 2>&1; then
    results+=("lint ok (flake8)")
  else
    failed=1
    results+=("lint FAILED ($(wc -l <"$logs/lint.log") flake8 findings, see $logs/lint.log)")
    head -n 40 "$logs/lint.log"
  fi
else
  failed=1
  results+=("lint FAILED (no interpreter installed flake8)")
fi
fi_say "${results[-1]}"

joined=$(printf '%s; ' "${results[@]}")
if [ $failed -eq 0 ]; then
  fi_say "all passed: ${joined%; }"
else
  fi_say "FAILED: ${joined%; }"
fi
exit $failed
