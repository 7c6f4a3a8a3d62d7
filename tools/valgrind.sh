#!/usr/bin/env bash
# Runs the tests of the extension's three functions under valgrind's memcheck,
# with PYTHONMALLOC=malloc so that every object allocation is checked. Fails
# on an invalid access, a use of uninitialised memory or a definite leak whose
# stack passes through the extension (tools/memory_report.py reads the logs).
#
#   tools/valgrind.sh [pytest arguments...]    (default: the module's own tests)
#
# FILEINSPECT_VALGRIND_PYTHON=3.x picks the interpreter (default 3.11; pyenv's,
# else the python3 on PATH when it is that version). When valgrind is missing
# it says so and installs it with apt-get (as root), or fails saying how to.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
fi_report_errors
here=$(pwd)
fi_python "${FILEINSPECT_VALGRIND_PYTHON:-3.11}"
version=$FI_PYTHON_VERSION
if ! command -v valgrind >/dev/null; then
  command -v apt-get >/dev/null && [ "$(id -u)" = 0 ] ||
    fi_fail "valgrind is not installed (on Debian: apt-get install valgrind)"
  fi_say "valgrind is not installed: installing it with apt-get ..."
  fi_apt_install valgrind ||
    fi_fail "apt-get could not install valgrind"
fi

venv="$here/.venvs/valgrind-$version"
fi_venv "$FI_PYTHON" "$venv"
fi_install "$venv" magic,excel,test

logs=$(mktemp -d)
output=$(mktemp)
trap 'rm -rf "$logs" "$output"' EXIT
[ $# -gt 0 ] || set -- tests/test_filetype.py tests/test_ranges.py tests/test_inspect.py -m "not slow"
status=0
PYTHONMALLOC=malloc FILEINSPECT_SANITIZED=1 FILEINSPECT_BIG_FILE_MB=2 \
  valgrind --tool=memcheck --trace-children=yes --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=30 --log-file="$logs/memcheck.%p" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" 2>&1 | tee "$output" || status=1
fi_say "pytest under memcheck ($*): $(fi_pytest_summary "$output")"
if "$venv/bin/python" tools/memory_report.py "$logs"; then
  fi_say "memcheck logs: nothing in the extension"
else
  fi_say "memcheck logs: FAILED (findings in the extension, above)"
  status=1
fi
if [ $status -eq 0 ]; then
  fi_say "clean (CPython $version)"
else
  fi_say "FAILED (CPython $version)"
fi
exit $status
