#!/usr/bin/env bash
# Builds the wheels and the sdist (tools/build-wheels.sh, into .venvs/dist),
# then on every CPython from 3.7 on that pyenv provides (without pyenv: the
# python3 on PATH) installs the wheel built for it, with no compiler
# reachable, into a virtual environment of its own under .venvs/ and runs the
# whole suite against it; builds and installs the sdist from source once, on
# the newest interpreter, and runs the suite against that too; lints the
# Python sources with flake8; then runs the suite on 32-bit ARM under
# emulation with the armv6l wheel (tools/arm-tests.sh). Ends with one summary
# line naming every interpreter tested. Exits non-zero when any stage fails.
#
#   tools/run-tests.sh [pytest arguments...]
#
# FILEINSPECT_PYTHONS="3.7 3.13" limits the run (and the wheels built) to the
# versions named; FILEINSPECT_ARM=0 leaves the ARM stage out, FILEINSPECT_SDIST=0
# the source build.
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
results=()
failed=0
newest_venv=
newest_python=

# stage LABEL LOG COMMAND...: runs COMMAND (a pytest run last) with its output
# in LOG, and records the stage's result with the pytest summary and its time.
stage() {
  local label=$1 log=$2 status began=$SECONDS summary
  shift 2
  fi_say "$label ..."
  # In a subshell, so that fi_fail ends the stage, not the run.
  ("$@") >"$log" 2>&1
  status=$?
  summary=$(fi_pytest_summary "$log")
  if [ $status -eq 0 ]; then
    results+=("$label ok (${summary:-no tests}; $((SECONDS - began))s)")
  else
    failed=1
    results+=("$label FAILED (${summary:-see $log})")
    tail -n 60 "$log"
  fi
  fi_say "${results[-1]}"
}

# The wheels of the interpreters tested, the ARM one and the sdist. The
# cp314/cp315 wheels are built when the Debian sid root is there.
fi_say "building the wheels and the sdist ..."
began=$SECONDS
if tools/build-wheels.sh "$dist" >"$logs/build-wheels.log" 2>&1; then
  results+=("wheels ok ($(ls "$dist"/*.whl | wc -l) wheels and the sdist; $((SECONDS - began))s)")
else
  failed=1
  results+=("wheels FAILED (see $logs/build-wheels.log)")
  tail -n 60 "$logs/build-wheels.log"
fi
grep -E '^build-wheels: (cp|armhf)' "$logs/build-wheels.log" || true
fi_say "${results[-1]}"

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
for entry in "${interpreters[@]}"; do
  IFS='|' read -r label python venv <<<"$entry"
  stage "$label" "$logs/$(basename "$venv").log" test_wheel "$python" "$venv" "$@"
  [ -x "$venv/bin/flake8" ] && newest_venv=$venv && newest_python=$python
done

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
if [ "${FILEINSPECT_SDIST:-1}" != 0 ] && [ -n "$newest_python" ]; then
  version=$(basename "$newest_venv")
  stage "sdist (built from source on CPython ${version#python3-})" "$logs/sdist.log" \
    test_sdist "$newest_python" "$here/.venvs/sdist-$version" "$@"
fi

# The Python sources against .flake8, with the flake8 of the newest interpreter.
if [ -n "$newest_venv" ]; then
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

# The same suite on 32-bit ARM (armv6 hard-float) under emulation; the script
# itself says, in one line, when this machine cannot run it.
if [ "${FILEINSPECT_ARM:-1}" != 0 ]; then
  fi_say "32-bit ARM ..."
  FILEINSPECT_DIST=$dist tools/arm-tests.sh "$@" >"$logs/arm.log" 2>&1
  status=$?
  arm=$(grep -E '^arm-tests: ' "$logs/arm.log" | tail -n 1)
  echo "${arm:-arm-tests: no summary, see $logs/arm.log}"
  if [ $status -ne 0 ]; then
    failed=1
    tail -n 60 "$logs/arm.log"
  fi
  arm=${arm#arm-tests: }
  arm=${arm#all passed: }
  arm=${arm#FAILED: }
  [[ $arm == armv6hf* ]] || arm="armv6hf $arm"
  results+=("$arm")
fi

joined=$(printf '%s; ' "${results[@]}")
if [ $failed -eq 0 ]; then
  fi_say "all passed: ${joined%; }"
else
  fi_say "FAILED: ${joined%; }"
fi
exit $failed
