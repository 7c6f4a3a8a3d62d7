#!/usr/bin/env bash
# Cross-builds the extension for 32-bit ARM (armv6, hard-float) from the same
# setup.py as the native build, checks that the machine code is armv6, and runs
# the whole test suite in Debian bookworm's armhf CPython under qemu user-mode
# emulation. Ends with one summary line; exits non-zero when anything fails.
#
#   tools/arm-tests.sh [pytest arguments...]
#
# Installs its tools with apt-get when they are missing and keeps the armhf
# root (with the test dependencies) under .venvs/arm/ for the next run. On a
# machine that cannot do this it prints "arm-tests: SKIPPED: <reason>" and
# exits 0; with CI=true a machine that should manage but fails to, fails.
# FILEINSPECT_BIG_FILE_MB (default here 50) sizes the memory test's big file.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
here=$(pwd)
started=$SECONDS

cache=$here/.venvs/arm
root=$cache/bookworm-armhf
work=$cache/build
log=$cache/tests.log
target_flags="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm"
root_packages=python3,python3-dev,python3-magic,libstdc++6
test_requirements=(pytest hypothesis openpyxl "xlrd>=2" xlwt)
# A root made by another recipe is made afresh (bump the 1 when the steps change).
recipe="1: bookworm armhf: $root_packages; ${test_requirements[*]}"

say() { echo "arm-tests: $*"; }
fail() { say "FAILED: $*"; exit 1; }
skip() { say "SKIPPED: $*"; exit 0; }
# A machine that cannot be set up skips, except on CI where it must work.
setup_failed() { if [ "${CI:-}" = true ]; then fail "$@"; else skip "$@"; fi; }
trap 'say "FAILED: unexpected error at line $LINENO (log: $log)"' ERR

[ "$(uname -s)/$(uname -m)" = Linux/x86_64 ] || skip "needs an x86_64 Linux host, this is $(uname -sm)"
mkdir -p "$cache"
: >"$log"

# --- tools -----------------------------------------------------------------
tools=(qemu-arm-static debootstrap dpkg-deb arm-linux-gnueabihf-g++ arm-linux-gnueabihf-readelf
  arm-linux-gnueabihf-objdump)
missing=$(for t in "${tools[@]}"; do command -v "$t" >/dev/null || echo "$t"; done)
# Debian's own python3 (the root's CPython minor version) drives setup.py,
# byte-compiles the root and installs the test dependencies.
host_python=/usr/bin/python3
if [ -n "$missing" ] || ! "$host_python" -c 'import setuptools, pip, wheel' 2>/dev/null; then
  command -v apt-get >/dev/null || skip "no apt-get to install:" $missing
  [ "$(id -u)" = 0 ] || skip "not root, cannot install:" $missing
  say "installing qemu, debootstrap and the armhf cross compiler with apt-get ..."
  { apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static debootstrap g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
      python3 python3-setuptools python3-pip python3-wheel; } >>"$log" 2>&1 ||
    setup_failed "apt-get could not install the tools (log: $log)"
fi
"$host_python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' ||
  skip "$host_python is $("$host_python" -V 2>&1), the armhf root has 3.11"

# --- armhf root ------------------------------------------------------------
if [ "$(cat "$root/.recipe" 2>/dev/null)" != "$recipe" ]; then
  [ "$(id -u)" = 0 ] || skip "not root, cannot debootstrap the armhf root"
  mirror=$(fi_debian_mirror)
  say "making the armhf root from $mirror ..."
  rm -rf "$root" "$root.new"
  # --foreign only downloads and unpacks; qemu runs the programs straight from
  # the unpacked files, so no second stage (chroot, maintainer scripts) is needed.
  debootstrap --arch=armhf --foreign --variant=minbase --include="$root_packages" \
    bookworm "$root.new" "$mirror" >>"$log" 2>&1 ||
    setup_failed "debootstrap could not fetch the armhf root (log: $log)"
  for deb in "$root.new"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root.new" || fail "could not unpack $deb"
  done
  # Without the root's own device nodes, /dev paths reach the host's devices
  # (a pseudo-terminal from the root's /dev/ptmx would not work).
  rm -rf "$root.new"/var/cache/apt/archives/*.deb "$root.new/dev"
  site=$root.new/opt/test-site
  "$host_python" -m pip install -qq --disable-pip-version-check --target "$site" --only-binary=:all: \
    --platform linux_armv7l --implementation cp --python-version 3.11 --abi cp311 \
    "${test_requirements[@]}" >>"$log" 2>&1 ||
    setup_failed "pip could not fetch the test dependencies (log: $log)"
  # Byte-compiling on the host spares every emulated start-up a compile.
  "$host_python" -m compileall -q -j 0 "$root.new/usr/lib/python3.11" "$root.new/usr/lib/python3" \
    "$site" >/dev/null 2>&1 || true
  echo "$recipe" >"$root.new/.recipe"
  mv "$root.new" "$root"
fi

python=$root/usr/bin/python3-qemu
python_version=$(qemu-arm-static -L "$root" "$root/usr/bin/python3" -c \
  'import platform; print(platform.python_version())') || fail "the emulated python3 does not start"

# --- cross build -----------------------------------------------------------
say "cross-building for armv6 hard-float ..."
rm -rf "$work"
mkdir -p "$work/sysconfig"
# The target's build variables (compiler flags, extension suffix) replace the host's.
sysconfig_name=_sysconfigdata__linux_arm-linux-gnueabihf
cp "$root/usr/lib/python3.11/$sysconfig_name.py" "$work/sysconfig/"
# The cross toolchain's start-up files (crti.o, crtbeginS.o, crtendS.o, crtn.o)
# are ARMv7 Thumb-2 code (as are Debian armhf's own) and would make the module
# ARMv7, so it links without them. Of what they provide the module needs only __dso_handle, the key under
# which static destructors are registered, defined here as crtbeginS.o does;
# constructors run from .init_array, exceptions unwind through .ARM.exidx, and
# the rest serves unloading, which CPython never does to an extension.
echo '__attribute__((visibility("hidden"))) void *__dso_handle = &__dso_handle;' >"$work/dso_handle.c"
arm-linux-gnueabihf-gcc $target_flags -fPIC -O2 -c "$work/dso_handle.c" -o "$work/dso_handle.o"
_PYTHON_SYSCONFIGDATA_NAME=$sysconfig_name PYTHONPATH=$work/sysconfig \
  CC=arm-linux-gnueabihf-gcc CXX=arm-linux-gnueabihf-g++ LDSHARED="arm-linux-gnueabihf-g++ -shared" \
  CFLAGS="$FI_BUILD_CFLAGS $target_flags -I$root/usr/include/python3.11 -idirafter $root/usr/include" \
  LDFLAGS="-nostartfiles $work/dso_handle.o" \
  "$host_python" setup.py egg_info --egg-base "$work" \
  build --build-base "$work/build" --build-temp "$work/tmp" \
  bdist_wheel --bdist-dir "$work/bdist" --dist-dir "$work/dist" --plat-name linux_armv6l \
  >>"$log" 2>&1 || fail "the cross build failed (log: $log)"
# Installed with its metadata, as the tests look up the version and entry points.
"$host_python" -m pip install -qq --disable-pip-version-check --no-deps --no-index --target "$work/pkg" \
  --only-binary=:all: --platform linux_armv6l --implementation cp --python-version 3.11 --abi cp311 \
  "$work"/dist/*.whl >>"$log" 2>&1 || fail "pip could not install the wheel (log: $log)"
# --- machine code checks ---------------------------------------------------
# Both extension modules: fileInspect and the workbook scanner.
for module in fileInspect _sheetscan; do
  so=$work/pkg/veltrane/corvalest/datareader/$module.cpython-311-arm-linux-gnueabihf.so
  [ -f "$so" ] || fail "the build made no $(basename "$so")"
  attributes=$(arm-linux-gnueabihf-readelf -A "$so")
  printf '%s\n' "$attributes" >>"$log"
  for tag in 'Tag_CPU_arch: v6' 'Tag_FP_arch: VFPv2' 'Tag_ABI_VFP_args: VFP registers'; do
    grep -qx " *$tag" <<<"$attributes" || fail "$(basename "$so") lacks '$tag':"$'\n'"$attributes"
  done
  ! grep -q 'Tag_THUMB_ISA_use: Thumb-2' <<<"$attributes" ||
    fail "$(basename "$so") holds Thumb-2 code:"$'\n'"$attributes"
  # Instructions an ARMv6 core with VFPv2 lacks: ARMv6K/ARMv7 ones by name, Thumb-2
  # ones, VFPv3 immediates and fixed-point conversions, d16-d31, NEON loads/stores.
  newer=$(arm-linux-gnueabihf-objdump -d --no-show-raw-insn "$so" | awk -F'\t' '
    NF >= 2 {
      split($2, m, " "); op = m[1]; args = $3
      # Branch targets and literal-pool notes name addresses, not registers.
      gsub(/[0-9a-f]+ <[^>]*>/, "", args); sub(/@.*/, "", args)
      if (op ~ /^(movw|movt|dmb|dsb|isb|clrex|ldrex[bhd]|strex[bhd]|sdiv|udiv|bfi|bfc|ubfx|sbfx|rbit|mls|pldw|yield|wfe|wfi|sev|vld[1-4]|vst[1-4])/ ||
          op ~ /^(cbn?z|tb[bh]|it[te]?[te]?[te]?)$/ || op ~ /\.w$/ ||
          (op ~ /^(vmov|vcvt)/ && args ~ /#/) || args ~ /(^|[^a-z0-9_])d(1[6-9]|2[0-9]|3[01])([^0-9]|$)/)
        if (++found <= 20) print
    }')
  [ -z "$newer" ] || fail "$(basename "$so") holds instructions newer than ARMv6/VFPv2:"$'\n'"$newer"
  say "$(basename "$so"): $(grep -E 'Tag_(CPU_arch|FP_arch|THUMB_ISA_use|ABI_VFP_args):' <<<"$attributes" |
    sed 's/^ *Tag_//' | paste -sd, - | sed 's/,/, /g'); no newer instructions"
done

# --- tests -----------------------------------------------------------------
# sys.executable is this host script beside python3 in the root (so CPython
# finds its library from it): a subprocess that the tests start from
# sys.executable runs under qemu too, with no binfmt_misc registration needed,
# and FILEINSPECT_PYTHON_LAUNCHER stays unset as the script is the whole command.
# -P keeps the checkout's folders (build/ above all) from passing for modules.
# FILEINSPECT_EMULATED tells the leak tests that the resident size they watch
# includes the emulator's own memory.
cat >"$python" <<EOF
#!/bin/sh
exec qemu-arm-static -L "$root" -0 "\$0" "$root/usr/bin/python3.11" "\$@"
EOF
chmod +x "$python"
say "CPython $python_version (armhf) under qemu: running the tests ..."
status=0
env -u FILEINSPECT_PYTHON_LAUNCHER PYTHONPATH="$work/pkg:$root/opt/test-site" \
  FILEINSPECT_BIG_FILE_MB="${FILEINSPECT_BIG_FILE_MB:-50}" FILEINSPECT_EMULATED=1 \
  "$python" -P -m pytest -p no:cacheprovider "$@" >>"$log" 2>&1 || status=$?
summary=$(fi_pytest_summary "$log")
label="armv6hf (CPython $python_version under qemu)"
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  fail "$label FAILED (${summary:-see $log})"
fi
say "all passed: $label ok (${summary:-no tests}); $((SECONDS - started))s in all"
