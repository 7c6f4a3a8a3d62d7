#!/usr/bin/env bash
# Builds, installs and tests the package on every CPython from 3.7 on that
# pyenv provides (without pyenv: the python3 on PATH), each in a virtual
# environment of its own under .venvs/, lints the Python sources with flake8,
# then runs the suite on 32-bit ARM under emulation (tools/arm-tests.sh) and on
# the newest CPython releases, 3.14 and 3.15, in a Debian sid root
# (tools/newest-tests.sh), and ends with one summary line naming every
# interpreter tested. Exits non-zero when any stage fails.
#
#   tools/run-tests.sh [pytest arguments...]
#
# FILEINSPECT_PYTHONS="3.7 3.13" limits the run to the versions named;
# FILEINSPECT_ARM=0 leaves the ARM stage out, FILEINSPECT_NEWEST=0 the 3.14/3.15 one.
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
mkdir -p "$logs"
results=()
failed=0
newest_venv=
for entry in "${interpreters[@]}"; do
  IFS='|' read -r label python venv <<<"$entry"
  log="$logs/$(basename "$venv").log"
  fi_say "$label ..."
  # In a subshell, so that fi_fail ends the stage, not the run.
  (fi_venv "$python" "$venv" && fi_install "$venv" magic,excel,test &&
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@") >"$log" 2>&1
  status=$?
  summary=$(fi_pytest_summary "$log")
  if [ $status -eq 0 ]; then
    results+=("$label ok (${summary:-no tests})")
  else
    failed=1
    results+=("$label FAILED (${summary:-see $log})")
    tail -n 60 "$log"
  fi
  [ -x "$venv/bin/flake8" ] && newest_venv=$venv
  fi_say "${results[-1]}"
done

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

# stage SCRIPT LABEL [pytest arguments...]: runs a script that tests in a
# root of its own and ends with one summary line "<script>: ..."; shows that
# line, and adds it (without the script's name and verdict) to the results.
# The script itself says, in that line, when this machine cannot run it.
stage() {
  local script=$1 label=$2 name summary status=0
  shift 2
  name=$(basename "$script" .sh)
  fi_say "$label ..."
  "$script" "$@" >"$logs/$name.log" 2>&1 || status=$?
  summary=$(grep -E "^$name: " "$logs/$name.log" | tail -n 1)
  echo "${summary:-$name: no summary, see $logs/$name.log}"
  if [ $status -ne 0 ]; then
    failed=1
    tail -n 60 "$logs/$name.log"
  fi
  summary=${summary#"$name: "}
  summary=${summary#all passed: }
  summary=${summary#FAILED: }
  STAGE_SUMMARY=${summary:-$name FAILED (no summary, see $logs/$name.log)}
}

# The same suite on 32-bit ARM (armv6 hard-float) under emulation.
if [ "${FILEINSPECT_ARM:-1}" != 0 ]; then
  stage tools/arm-tests.sh "32-bit ARM" "$@"
  [[ $STAGE_SUMMARY == armv6hf* ]] || STAGE_SUMMARY="armv6hf $STAGE_SUMMARY"
  results+=("$STAGE_SUMMARY")
fi

# The same suite on CPython 3.14 and 3.15, Debian's, in a sid root.
if [ "${FILEINSPECT_NEWEST:-1}" != 0 ]; then
  stage tools/newest-tests.sh "CPython 3.14 and 3.15 (Debian sid)" "$@"
  [[ $STAGE_SUMMARY == CPython* ]] || STAGE_SUMMARY="CPython 3.14/3.15 $STAGE_SUMMARY"
  results+=("$STAGE_SUMMARY")
fi

joined=$(printf '%s; ' "${results[@]}")
if [ $failed -eq 0 ]; then
  fi_say "all passed: ${joined%; }"
else
  fi_say "FAILED: ${joined%; }"
fi
exit $failed
