#!/usr/bin/env bash
# Runs the whole test suite on 32-bit ARM (armv6, hard-float): installs the
# linux_armv6l wheel (the one tools/build-wheels.sh made, or else one
# cross-built here from the checkout by the same code), checks that its machine
# code is armv6, and runs the suite in Debian bookworm's armhf CPython under
# qemu user-mode emulation. Ends with one summary line; exits non-zero when
# anything fails.
#
#   tools/arm-tests.sh [pytest arguments...]
#   tools/arm-tests.sh --prepare     # installs the tools, makes the root, runs nothing
#
# FILEINSPECT_DIST names the folder of tools/build-wheels.sh whose
# cp311-cp311-linux_armv6l wheel is tested (it must be there); unset, the
# wheel is built first. Installs its tools with apt-get when they are missing
# and keeps the armhf root (with the test dependencies) under .venvs/arm/ for
# the next run (tools/armhf.sh). On a machine that cannot do this it prints
# "arm-tests: SKIPPED: <reason>" and exits 0; with CI=true a machine that
# should manage but fails to, fails.
# FILEINSPECT_BIG_FILE_MB (default here 50) sizes the memory test's big file.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
. tools/wheels.sh
. tools/armhf.sh
here=$(pwd)
started=$SECONDS

root=$FI_ARMHF_ROOT
work=$FI_ARMHF_CACHE/build
log=$FI_ARMHF_CACHE/tests.log

say() { echo "arm-tests: $*"; }
fail() { say "FAILED: $*"; exit 1; }
skip() { say "SKIPPED: $*"; exit 0; }
# A machine that cannot be set up skips, except on CI where it must work.
setup_failed() { if [ "${CI:-}" = true ]; then fail "$@"; else skip "$@"; fi; }
# After a function of tools/armhf.sh failed: skip when this machine cannot do it.
armhf_failed() { if [ "$FI_ARMHF_SKIP" = 1 ]; then setup_failed "$FI_ARMHF_ERROR"; else fail "$FI_ARMHF_ERROR"; fi; }
trap 'say "FAILED: unexpected error at line $LINENO (log: $log)"' ERR

mkdir -p "$FI_ARMHF_CACHE"
: >"$log"
fi_armhf_tools "$log" || armhf_failed
fi_wheel_tools >>"$log" 2>&1
fi_armhf_root "$log" || armhf_failed
if [ "${1:-}" = --prepare ]; then
  say "all passed: the tools and the armhf root are ready ($((SECONDS - started))s)"
  exit 0
fi
python_version=$(qemu-arm-static -L "$root" "$root/usr/bin/python3" -c \
  'import platform; print(platform.python_version())') || fail "the emulated python3 does not start"
minor=${python_version%.*}
tag=cp${minor/./}

# --- the wheel -----------------------------------------------------------------
rm -rf "$work"
mkdir -p "$work"
if [ -n "${FILEINSPECT_DIST:-}" ]; then
  wheel=$(ls "$FILEINSPECT_DIST"/*-"$tag-$tag"-linux_armv6l*.whl 2>/dev/null | tail -n 1)
  [ -n "$wheel" ] || fail "no $tag linux_armv6l wheel in $FILEINSPECT_DIST"
else
  say "cross-building for armv6 hard-float ..."
  fi_armhf_wheel "$minor" "$here" "$work/cross" >>"$log" 2>&1 || armhf_failed
  wheel=$FI_ARMHF_WHEEL
fi
fi_armhf_check "$wheel" "$work/check" >"$work/check.txt" || armhf_failed
while read -r line; do say "$line"; done <"$work/check.txt"
# Installed with its metadata, as the tests look up the version and entry points;
# pip takes the wheel alone, with nothing to build.
"$FI_DRIVER" -m pip install -qq --disable-pip-version-check --no-deps --no-index --target "$work/pkg" \
  --only-binary=:all: --platform linux_armv6l --implementation cp --python-version "$minor" --abi "$tag" \
  "$wheel" >>"$log" 2>&1 || fail "pip could not install $(basename "$wheel") (log: $log)"

# --- tests -----------------------------------------------------------------
# sys.executable is this host script beside python3 in the root (so CPython
# finds its library from it): a subprocess that the tests start from
# sys.executable runs under qemu too, with no binfmt_misc registration needed,
# and FILEINSPECT_PYTHON_LAUNCHER stays unset as the script is the whole command.
# -P keeps the checkout's folders (build/ above all) from passing for modules.
# FILEINSPECT_EMULATED tells the leak tests that the resident size they watch
# includes the emulator's own memory.
python=$root/usr/bin/python3-qemu
cat >"$python" <<EOF
#!/bin/sh
exec qemu-arm-static -L "$root" -0 "\$0" "$root/usr/bin/python$minor" "\$@"
EOF
chmod +x "$python"
say "CPython $python_version (armhf) under qemu: running the tests ..."
status=0
env -u FILEINSPECT_PYTHON_LAUNCHER -u FILEINSPECT_DIST PYTHONPATH="$work/pkg:$root/opt/test-site" \
  FILEINSPECT_BIG_FILE_MB="${FILEINSPECT_BIG_FILE_MB:-50}" FILEINSPECT_EMULATED=1 \
  "$python" -P -m pytest -p no:cacheprovider "$@" >>"$log" 2>&1 || status=$?
summary=$(fi_pytest_summary "$log")
label="armv6hf (CPython $python_version under qemu)"
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  fail "$label FAILED (${summary:-see $log})"
fi
say "all passed: $label ok (${summary:-no tests}); $((SECONDS - started))s in all"
