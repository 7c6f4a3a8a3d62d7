#!/usr/bin/env bash
# Builds the sdist and, from it, the binary wheels into OUT:
#   - manylinux_2_17 x86_64 wheels (cp37 ... cp313 for pyenv's interpreters,
#     cp314 and cp315, and cp313 where pyenv has no 3.13, for those of a
#     Debian sid root), compiled by zig against glibc 2.17 with its libc++
#     linked in, so that they need nothing but the interpreter and glibc 2.17
#     or newer; `auditwheel show` must agree;
#   - linux_armv6l wheels (hard-float, ARMv6 + VFPv2, no Thumb-2) for every
#     CPython of the Debian bookworm armhf root (tools/armhf.sh).
# Each interpreter's extensions are compiled once, two builds at a time.
# Ends with a table of what OUT holds; exits non-zero when anything failed.
#
#   tools/build-wheels.sh OUT
#
# FILEINSPECT_PYTHONS="3.7 3.13" limits the x86_64 wheels of pyenv's
# interpreters to those versions (without pyenv: the python3 on PATH);
# FILEINSPECT_NEWEST_ROOT names the Debian sid root whose python3.13-dev,
# python3.14-dev and python3.15-dev headers those wheels are built against
# (default .venvs/newest/sid-amd64, where tools/newest-tests.sh makes it); without it
# those wheels are left out, saying so (an error with FILEINSPECT_NEWEST=1);
# FILEINSPECT_NEWEST=0 and FILEINSPECT_ARM=0 leave the cp314/cp315 and the
# ARM wheels out. The build tools (tools/build-requirements.txt), zig's cache
# and the logs are kept under .venvs/wheels/.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
. tools/wheels.sh
. tools/armhf.sh
fi_report_errors
here=$(pwd)
started=$SECONDS

[ $# -eq 1 ] || fi_fail "usage: tools/build-wheels.sh OUT"
out=$(realpath -m "$1")
work=$FI_WHEEL_CACHE/work
logs=$FI_WHEEL_CACHE/logs
jobs=${FILEINSPECT_BUILD_JOBS:-$(nproc)}
newest_root=${FILEINSPECT_NEWEST_ROOT:-$here/.venvs/newest/sid-amd64}
rm -rf "$work" "$logs"
mkdir -p "$out" "$work" "$logs"
rm -f "$out"/veltrane_fileinspect-*

fi_say "build tools (tools/build-requirements.txt) ..."
fi_wheel_tools >"$logs/tools.log" 2>&1 || fi_fail "could not set up the build tools (log: $logs/tools.log)"

# --- the sdist, and the tree every wheel is built from ------------------------
# Building the wheels from the unpacked sdist proves that it holds what a build needs.
"$FI_DRIVER" setup.py -q egg_info --egg-base "$work" sdist --dist-dir "$out" >"$logs/sdist.log" 2>&1 ||
  fi_fail "could not make the sdist (log: $logs/sdist.log)"
sdist=$(ls "$out"/veltrane_fileinspect-*.tar.gz)
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/veltrane_fileinspect-*/)
fi_say "sdist: $(basename "$sdist")"

# --- the x86_64 targets: "tag|python that knows its build variables|root" ------
# The root prefix is empty for this machine's interpreters; for a Debian root's,
# their interpreter cannot run here, so its files are read from the root.
targets=()
mapfile -t installed < <(fi_pyenv_versions)
if [ ${#installed[@]} -gt 0 ]; then
  for v in "${installed[@]}"; do
    if [ -n "${FILEINSPECT_PYTHONS:-}" ]; then
      wanted=0
      for w in $FILEINSPECT_PYTHONS; do fi_matches "$v" "$w" && wanted=1; done
      [ $wanted = 1 ] || continue
    fi
    minor=${v%.*}
    targets+=("cp${minor/./}|$(fi_pyenv_root)/versions/$v/bin/python|")
  done
else
  path_python=$(fi_path_python)
  [ -n "$path_python" ] || fi_fail "no CPython 3.7 or newer: $(fi_describe_pythons)"
  minor=${path_python%% *}
  minor=${minor%.*}
  targets+=("cp${minor/./}|${path_python#* }|")
fi
if [ "${FILEINSPECT_NEWEST:-}" != 0 ]; then
  for v in 3.13 3.14 3.15; do
    # The root's 3.13 (Debian's patch release) takes pyenv's cp313 wheel when
    # there is one: a wheel serves every patch release.
    ! printf '%s\n' "${targets[@]}" | grep -q "^cp${v/./}|" || continue
    if [ -f "$newest_root/usr/include/python$v/Python.h" ]; then
      targets+=("cp${v/./}||$newest_root")
    elif [ "${FILEINSPECT_NEWEST:-}" = 1 ]; then
      fi_fail "no Debian sid root with python$v-dev at $newest_root (FILEINSPECT_NEWEST_ROOT)"
    else
      fi_say "cp${v/./}: SKIPPED: no Debian sid root with python$v-dev at $newest_root" \
        "(tools/newest-tests.sh makes it; FILEINSPECT_NEWEST_ROOT names another)"
    fi
  done
fi

# The compiler: zig's clang for x86_64 with glibc 2.17's headers and link stubs.
mkdir -p "$work/bin" "$work/stand-ins"
zigcxx=$work/bin/zig-c++
printf '#!/bin/sh\nexec "%s" c++ -target x86_64-linux-gnu.2.17 "$@"\n' "$FI_ZIG" >"$zigcxx"
chmod +x "$zigcxx"
# 3.7's Python.h includes <crypt.h>, which zig's glibc headers do not have;
# nothing of it is used.
: >"$work/stand-ins/crypt.h"
# -g0 and -s: no debugging information or symbol table in the wheels. The
# module exports its initialisation functions alone, not those of the static
# libc++ (operator new and delete above all).
x86_flags="$FI_BUILD_CFLAGS -g0 -I$work/stand-ins"
echo '{ global: PyInit_*; local: *; };' >"$work/exports.map"
x86_ldflags="-s -Wl,--version-script=$work/exports.map"

# build_x86 TAG PYTHON ROOT: the manylinux wheel for one interpreter, into $out.
build_x86() {
  local tag=$1 python=$2 root=$3 dir=$work/$1 sysconfig= include= wheel verdict platform minor needed
  mkdir -p "$dir"
  if [ -z "$root" ]; then
    read -r sysconfig include < <("$python" -c 'import importlib.util, sysconfig
print(importlib.util.find_spec(sysconfig._get_sysconfigdata_name()).origin, sysconfig.get_paths()["include"])')
    [ -f "$include/Python.h" ] || { echo "$python names no build variables and headers"; return 1; }
  else
    minor=${tag#cp3}
    sysconfig=$root/usr/lib/python3.$minor/_sysconfigdata__linux_x86_64-linux-gnu.py
    include=$root/usr/include/python3.$minor
  fi
  wheel=$(fi_build_wheel "$src" "$dir/wheel" "$sysconfig" linux_x86_64 "$zigcxx" \
    "$x86_flags $(fi_stage_headers "$include" "$dir/headers")" "$x86_ldflags") || return 1
  # Only glibc's own libraries may be needed (auditwheel would also let
  # libstdc++ pass, which a wheel must not rely on).
  "$FI_DRIVER" -m zipfile -e "$wheel" "$dir/unpacked"
  needed=$(find "$dir/unpacked" -name '*.so' -exec readelf -d {} + | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    sort -u | grep -vxE 'lib(c|m|dl|pthread|rt)\.so\.[0-9]+|ld-linux-x86-64\.so\.2' || true)
  [ -z "$needed" ] || { echo "needs more than glibc: $needed"; return 1; }
  verdict=$("$FI_WHEEL_TOOLS/bin/auditwheel" show "$wheel" 2>&1 | tr '\n' ' ' | tr -s ' ')
  platform=$(grep -oE 'platform tag: "manylinux_2_[0-9]+_x86_64"' <<<"$verdict" | cut -d'"' -f2) ||
    { echo "auditwheel show: $verdict"; return 1; }
  minor=${platform#manylinux_2_}
  minor=${minor%_x86_64}
  [ "$minor" -le 17 ] || { echo "auditwheel show: needs $platform, newer than manylinux_2_17"; return 1; }
  # The legacy alias lets pip before 20.3 take it too.
  [ "$minor" != 17 ] || platform+=.manylinux2014_x86_64
  "$FI_DRIVER" -m wheel tags --remove --platform-tag "$platform" "$wheel" >/dev/null
  wheel=$(ls "$dir"/wheel/built/*.whl)
  "$FI_WHEEL_TOOLS/bin/auditwheel" show "$wheel" 2>&1 | tr '\n' ' ' | tr -s ' ' >"$dir/verdict"
  mv "$wheel" "$out/"
}

# build_armhf: the linux_armv6l wheels of the armhf root's interpreters, into $out.
build_armhf() {
  local version
  if ! { fi_armhf_tools "$logs/armhf.log" && fi_armhf_root "$logs/armhf.log"; }; then
    [ "$FI_ARMHF_SKIP" = 1 ] && [ "${CI:-}" != true ] && { echo "SKIPPED: $FI_ARMHF_ERROR"; return 0; }
    echo "$FI_ARMHF_ERROR"
    return 1
  fi
  for version in $(fi_armhf_versions); do
    fi_armhf_wheel "$version" "$src" "$work/armhf-$version" || { echo "$FI_ARMHF_ERROR"; return 1; }
    fi_armhf_check "$FI_ARMHF_WHEEL" "$work/armhf-$version/check" || { echo "$FI_ARMHF_ERROR"; return 1; }
    mv "$FI_ARMHF_WHEEL" "$out/"
  done
}

# --- the builds, $jobs at a time -----------------------------------------------
# Each writes its log; a failed one leaves its last lines in $logs/NAME.failed.
run_build() {
  local name=$1 began=$SECONDS
  shift
  if "$@" >"$logs/$name.log" 2>&1; then
    echo "$((SECONDS - began))" >"$logs/$name.seconds"
  else
    tail -n 30 "$logs/$name.log" >"$logs/$name.failed"
  fi
}
names=()
if [ "${FILEINSPECT_ARM:-1}" != 0 ]; then
  # First, as it is the longest (it may have to make the armhf root).
  names+=(armhf)
  run_build armhf build_armhf &
fi
for target in "${targets[@]}"; do
  IFS='|' read -r tag python root <<<"$target"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  names+=("$tag")
  run_build "$tag" build_x86 "$tag" "$python" "$root" &
done
wait

# --- what was built -------------------------------------------------------------
failed=()
for name in "${names[@]}"; do
  if [ -f "$logs/$name.failed" ]; then
    failed+=("$name")
    echo "--- $name ($logs/$name.log):"
    cat "$logs/$name.failed"
  elif [ "$name" = armhf ] && grep -q '^SKIPPED: ' "$logs/$name.log"; then
    fi_say "$name: $(grep '^SKIPPED: ' "$logs/$name.log" | tail -n 1)"
  else
    fi_say "$name: built in $(cat "$logs/$name.seconds")s$(
      [ ! -f "$work/$name/verdict" ] || echo "; auditwheel: $(grep -oE 'consistent with the following platform tag: "[^"]+"' \
        "$work/$name/verdict" | cut -d'"' -f2)")"
    [ "$name" != armhf ] || grep 'no newer instructions$' "$logs/$name.log" | sed "s/^/$FI_SCRIPT: armhf: /"
  fi
done
for f in "$out"/veltrane_fileinspect-*; do
  printf '%8s  %s\n' "$(du -k "$f" | cut -f1) kB" "$(basename "$f")"
done
if [ ${#failed[@]} -gt 0 ]; then
  fi_fail "the builds of ${failed[*]} failed ($((SECONDS - started))s)"
fi
fi_say "built $(ls "$out"/*.whl | wc -l) wheels and the sdist into $out in $((SECONDS - started))s"
