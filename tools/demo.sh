#!/usr/bin/env bash
# Installs the package with python-magic and the workbook readers into a
# virtual environment of its own (.venvs/demo) and inspects the shipped sample
# files with the command-line front end (the same as the fileinspect command):
# first as a table, then as JSON lines. Uses the newest CPython that pyenv
# provides, else the python3 on PATH (3.7 or newer). Installs the wheel that
# tools/run-tests.sh built for that interpreter into .venvs/dist when there is
# one newer than the sources, else builds from source (on a fresh machine, faster than setting up the
# wheels' compiler first).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
fi_report_errors
newest=$(fi_pyenv_versions | tail -n 1)
if [ -n "$newest" ]; then
  python=$(fi_pyenv_root)/versions/$newest/bin/python
else
  path_python=$(fi_path_python)
  [ -n "$path_python" ] || fi_fail "no CPython 3.7 or newer: $(fi_describe_pythons)"
  python=${path_python#* }
fi
venv=.venvs/demo
fi_venv "$python" "$venv"
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls .venvs/dist/veltrane_fileinspect-*-"$tag-$tag"*-manylinux*.whl 2>/dev/null | tail -n 1 || true)
# A wheel older than any source is not what the checkout would build.
if [ -n "$wheel" ] && [ -z "$(find src setup.py pyproject.toml -newer "$wheel" -print -quit)" ]; then
  fi_install_wheel "$venv" "$wheel" magic,excel
else
  fi_install "$venv" magic,excel
fi
python=$(pwd)/$venv/bin/python
cd src/veltrane/corvalest/datareader/samples
"$python" -m veltrane.corvalest.datareader ./*
"$python" -m veltrane.corvalest.datareader --json ./*
