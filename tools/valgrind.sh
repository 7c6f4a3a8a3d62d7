#!/usr/bin/env bash
# Runs the tests of the extension's three functions under valgrind's memcheck,
# with PYTHONMALLOC=malloc so that every object allocation is checked. Fails
# on an invalid access, a use of uninitialised memory or a definite leak whose
# stack passes through the extension (tools/memory_report.py reads the logs).
#
#   tools/valgrind.sh [pytest arguments...]    (default: the module's own tests)
#
# FILEINSPECT_VALGRIND_PYTHON=3.x picks the pyenv interpreter (default 3.11).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
wanted=${FILEINSPECT_VALGRIND_PYTHON:-3.11}
version=$(ls "$pyenv_root/versions" | grep -E "^${wanted//./\\.}\.[0-9]+$" | sort -V | tail -n 1)
command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }

venv="$here/.venvs/valgrind-$version"
[ -x "$venv/bin/python" ] || "$pyenv_root/versions/$version/bin/python" -m venv "$venv"
"$venv/bin/python" -m pip install -q ".[magic,excel,test]"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
[ $# -gt 0 ] || set -- tests/test_filetype.py tests/test_ranges.py tests/test_inspect.py -m "not slow"
status=0
PYTHONMALLOC=malloc FILEINSPECT_SANITIZED=1 FILEINSPECT_BIG_FILE_MB=2 \
  valgrind --tool=memcheck --trace-children=yes --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=30 --log-file="$logs/memcheck.%p" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
"$venv/bin/python" tools/memory_report.py "$logs" || status=1
if [ $status -eq 0 ]; then
  echo "valgrind: clean (CPython $version)"
else
  echo "valgrind: FAILED (CPython $version)"
fi
exit $status
