#!/usr/bin/env bash
# Builds, installs and tests the package on every CPython from 3.7 on that
# pyenv provides, each in a virtual environment of its own under .venvs/, then
# on 32-bit ARM under emulation (tools/arm-tests.sh), and ends with one summary
# line. Exits non-zero when any stage fails.
#
#   tools/run-tests.sh [pytest arguments...]
#
# FILEINSPECT_PYTHONS="3.7 3.13" limits the run to the versions named;
# FILEINSPECT_ARM=0 leaves the ARM stage out.
set -u
cd "$(dirname "$0")/.."
here=$(pwd)

pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
mapfile -t versions < <(ls "$pyenv_root/versions" 2>/dev/null |
  grep -E '^3\.([7-9]|[1-9][0-9])\.[0-9]+$' | sort -V)
if [ -n "${FILEINSPECT_PYTHONS:-}" ]; then
  wanted=()
  for v in "${versions[@]}"; do
    for w in $FILEINSPECT_PYTHONS; do [[ $v == "$w" || $v == "$w".* ]] && wanted+=("$v"); done
  done
  versions=("${wanted[@]}")
fi
if [ ${#versions[@]} -eq 0 ]; then
  echo "run-tests: no CPython 3.7 or newer found under $pyenv_root/versions" >&2
  exit 1
fi
if ! printf '%s\n' "${versions[@]}" | grep -q '^3\.7\.'; then
  echo "run-tests: NOTE: CPython 3.7, the first target, is not installed here; testing the others"
fi

logs="$here/.venvs/logs"
mkdir -p "$logs"
results=()
failed=0
for v in "${versions[@]}"; do
  venv="$here/.venvs/$v"
  log="$logs/$v.log"
  echo "run-tests: CPython $v ..."
  {
    { [ -x "$venv/bin/python" ] || "$pyenv_root/versions/$v/bin/python" -m venv "$venv"; } &&
      "$venv/bin/python" -m pip install -q ".[magic,excel,test]" &&
      "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
  } >"$log" 2>&1
  status=$?
  summary=$(grep -E '[0-9]+ (passed|failed|errors?|skipped).* in [0-9.]+s' "$log" | tail -n 1 | tr -d '=' | xargs)
  if [ $status -eq 0 ]; then
    results+=("$v ok (${summary:-no tests})")
  else
    failed=1
    results+=("$v FAILED (${summary:-see $log})")
    tail -n 60 "$log"
  fi
  echo "run-tests: CPython $v: ${results[-1]#"$v "}"
done

# The same suite on 32-bit ARM (armv6 hard-float) under emulation; the script
# itself says, in one line, when this machine cannot run it.
if [ "${FILEINSPECT_ARM:-1}" != 0 ]; then
  echo "run-tests: 32-bit ARM ..."
  tools/arm-tests.sh "$@" >"$logs/arm.log" 2>&1
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

if [ $failed -eq 0 ]; then
  echo "run-tests: all passed: $(IFS=';'; echo "${results[*]}")"
else
  echo "run-tests: FAILED: $(IFS=';'; echo "${results[*]}")"
fi
exit $failed
