#!/usr/bin/env bash
# Installs the package with python-magic and the workbook readers into a
# virtual environment of its own (.venvs/demo) and inspects the shipped sample
# files with the command-line front end (the same as the fileinspect command):
# first as a table, then as JSON lines.
set -euo pipefail
cd "$(dirname "$0")/.."
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
newest=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)
python=${newest:+$pyenv_root/versions/$newest/bin/python}
python=${python:-python3}
venv=.venvs/demo
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q ".[magic,excel]"
python=$(pwd)/$venv/bin/python
cd src/veltrane/corvalest/datareader/samples
"$python" -m veltrane.corvalest.datareader ./*
"$python" -m veltrane.corvalest.datareader --json ./*
