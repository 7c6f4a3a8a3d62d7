# Shared by tools/arm-tests.sh and tools/build-wheels.sh (sourced after lib.sh
# and wheels.sh, from the checkout): the tools and the Debian bookworm armhf
# root for 32-bit ARM, the cross build of the linux_armv6l wheel, and the check
# that its machine code is ARMv6 with VFPv2, hard-float, without Thumb-2.
#
# Each function returns non-zero after setting FI_ARMHF_ERROR to the reason, and
# FI_ARMHF_SKIP=1 when the reason is that this machine cannot do it at all (not
# x86_64 Linux, not root, no apt-get), so that the caller decides to skip or fail.

FI_ARMHF_CACHE=$(pwd)/.venvs/arm
FI_ARMHF_ROOT=$FI_ARMHF_CACHE/bookworm-armhf
FI_ARMHF_FLAGS="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm"
FI_ARMHF_TRIPLET=arm-linux-gnueabihf
fi_armhf_root_packages=python3,python3-dev,python3-magic,libstdc++6
fi_armhf_test_requirements=(pytest hypothesis openpyxl "xlrd>=2" xlwt)
# A root made by another recipe is made afresh (bump the 1 when the steps change).
fi_armhf_recipe="1: bookworm armhf: $fi_armhf_root_packages; ${fi_armhf_test_requirements[*]}"

FI_ARMHF_ERROR=
FI_ARMHF_SKIP=0
fi_armhf_cannot() {
  FI_ARMHF_ERROR=$*
  FI_ARMHF_SKIP=1
  return 1
}
fi_armhf_failed() {
  FI_ARMHF_ERROR=$*
  FI_ARMHF_SKIP=0
  return 1
}

# fi_armhf_tools LOG: installs qemu, debootstrap and the armhf cross compiler
# with apt-get when they are missing.
fi_armhf_tools() {
  local log=$1 missing t
  [ "$(uname -s)/$(uname -m)" = Linux/x86_64 ] ||
    fi_armhf_cannot "needs an x86_64 Linux host, this is $(uname -sm)" || return 1
  missing=$(for t in qemu-arm-static debootstrap dpkg-deb $FI_ARMHF_TRIPLET-g++ $FI_ARMHF_TRIPLET-readelf \
    $FI_ARMHF_TRIPLET-objdump; do command -v "$t" >/dev/null || echo "$t"; done)
  [ -n "$missing" ] || return 0
  command -v apt-get >/dev/null || fi_armhf_cannot "no apt-get to install:" $missing || return 1
  [ "$(id -u)" = 0 ] || fi_armhf_cannot "not root, cannot install:" $missing || return 1
  echo "$FI_SCRIPT: installing qemu, debootstrap and the armhf cross compiler with apt-get ..."
  { apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static debootstrap g++-$FI_ARMHF_TRIPLET binutils-$FI_ARMHF_TRIPLET; } >>"$log" 2>&1 ||
    fi_armhf_failed "apt-get could not install the tools (log: $log)"
}

# fi_armhf_root LOG: makes the armhf root under .venvs/arm/ unless the one there
# was made by the same recipe: Debian's CPython with its headers, and the test
# dependencies in /opt/test-site.
fi_armhf_root() {
  local log=$1 root=$FI_ARMHF_ROOT mirror deb host_python
  [ "$(cat "$root/.recipe" 2>/dev/null)" != "$fi_armhf_recipe" ] || return 0
  [ "$(id -u)" = 0 ] || fi_armhf_cannot "not root, cannot debootstrap the armhf root" || return 1
  mirror=$(fi_debian_mirror)
  echo "$FI_SCRIPT: making the armhf root from $mirror ..."
  mkdir -p "$FI_ARMHF_CACHE"
  rm -rf "$root" "$root.new"
  # --foreign only downloads and unpacks; qemu runs the programs straight from
  # the unpacked files, so no second stage (chroot, maintainer scripts) is needed.
  debootstrap --arch=armhf --foreign --variant=minbase --include="$fi_armhf_root_packages" \
    bookworm "$root.new" "$mirror" >>"$log" 2>&1 ||
    fi_armhf_failed "debootstrap could not fetch the armhf root (log: $log)" || return 1
  for deb in "$root.new"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root.new" || fi_armhf_failed "could not unpack $deb" || return 1
  done
  # Without the root's own device nodes, /dev paths reach the host's devices
  # (a pseudo-terminal from the root's /dev/ptmx would not work).
  rm -rf "$root.new"/var/cache/apt/archives/*.deb "$root.new/dev"
  "$FI_DRIVER" -m pip install -qq --disable-pip-version-check --target "$root.new/opt/test-site" \
    --only-binary=:all: --platform linux_armv7l --implementation cp --python-version 3.11 --abi cp311 \
    "${fi_armhf_test_requirements[@]}" >>"$log" 2>&1 ||
    fi_armhf_failed "pip could not fetch the test dependencies (log: $log)" || return 1
  # Byte-compiling on the host, when it has the root's CPython version, spares
  # every emulated start-up a compile.
  host_python=/usr/bin/python3
  if [ "$("$host_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = 3.11 ]; then
    "$host_python" -m compileall -q -j 0 "$root.new/usr/lib/python3.11" "$root.new/usr/lib/python3" \
      "$root.new/opt/test-site" >/dev/null 2>&1 || true
  fi
  echo "$fi_armhf_recipe" >"$root.new/.recipe"
  mv "$root.new" "$root"
}

# The CPython versions of the root that have headers (3.11 in bookworm).
fi_armhf_versions() {
  local include
  for include in "$FI_ARMHF_ROOT"/usr/include/python3.*; do
    [ -f "$include/Python.h" ] && basename "$include" | sed 's/^python//'
  done
}

# fi_armhf_wheel VERSION SRC WORK: cross-builds the linux_armv6l wheel of the
# source tree SRC for the root's CPython VERSION (3.11) and sets FI_ARMHF_WHEEL
# to its path.
# ARMv6 code runs on every later 32-bit ARM core with VFP, so the wheel is
# tagged linux_armv7l too, which is what pip asks for on those boards (the
# Raspberry Pi 2 and later with a 32-bit system).
fi_armhf_wheel() {
  local version=$1 src=$2 work=$3 include_flags
  rm -rf "$work"
  mkdir -p "$work"
  include_flags=$(fi_stage_headers "$FI_ARMHF_ROOT/usr/include/python$version" "$work/headers")
  # The cross toolchain's start-up files (crti.o, crtbeginS.o, crtendS.o, crtn.o)
  # are ARMv7 Thumb-2 code (as are Debian armhf's own) and would make the module
  # ARMv7, so it links without them. Of what they provide the module needs only
  # __dso_handle, the key under which static destructors are registered, defined
  # here as crtbeginS.o does; constructors run from .init_array, exceptions
  # unwind through .ARM.exidx, and the rest serves unloading, which CPython
  # never does to an extension.
  echo '__attribute__((visibility("hidden"))) void *__dso_handle = &__dso_handle;' >"$work/dso_handle.c"
  $FI_ARMHF_TRIPLET-gcc $FI_ARMHF_FLAGS -fPIC -O2 -c "$work/dso_handle.c" -o "$work/dso_handle.o" ||
    fi_armhf_failed "could not compile dso_handle.c" || return 1
  FI_ARMHF_WHEEL=$(fi_build_wheel "$src" "$work/wheel" \
    "$FI_ARMHF_ROOT/usr/lib/python$version/_sysconfigdata__linux_$FI_ARMHF_TRIPLET.py" \
    linux_armv6l.linux_armv7l $FI_ARMHF_TRIPLET-g++ "$FI_BUILD_CFLAGS $FI_ARMHF_FLAGS -g0 $include_flags" \
    "-nostartfiles $work/dso_handle.o -s") || fi_armhf_failed "the cross build for CPython $version failed" ||
    return 1
}

# fi_armhf_check WHEEL WORK: checks the ELF attributes and the instructions of
# every extension module in WHEEL (unpacked in WORK) and prints a line for each.
fi_armhf_check() {
  local wheel=$1 work=$2 so attributes tag newer
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && "$FI_DRIVER" -m zipfile -e "$wheel" .) || fi_armhf_failed "cannot unpack $wheel" || return 1
  for so in $(find "$work" -name '*.so' | sort); do
    attributes=$($FI_ARMHF_TRIPLET-readelf -A "$so")
    for tag in 'Tag_CPU_arch: v6' 'Tag_FP_arch: VFPv2' 'Tag_ABI_VFP_args: VFP registers'; do
      grep -qx " *$tag" <<<"$attributes" ||
        fi_armhf_failed "$(basename "$so") lacks '$tag':"$'\n'"$attributes" || return 1
    done
    ! grep -q 'Tag_THUMB_ISA_use: Thumb-2' <<<"$attributes" ||
      fi_armhf_failed "$(basename "$so") holds Thumb-2 code:"$'\n'"$attributes" || return 1
    # Instructions an ARMv6 core with VFPv2 lacks: ARMv6K/ARMv7 ones by name, Thumb-2
    # ones, VFPv3 immediates and fixed-point conversions, d16-d31, NEON loads/stores.
    newer=$($FI_ARMHF_TRIPLET-objdump -d --no-show-raw-insn "$so" | awk -F'\t' '
      NF >= 2 {
        split($2, m, " "); op = m[1]; args = $3
        # Branch targets and literal-pool notes name addresses, not registers.
        gsub(/[0-9a-f]+ <[^>]*>/, "", args); sub(/@.*/, "", args)
        if (op ~ /^(movw|movt|dmb|dsb|isb|clrex|ldrex[bhd]|strex[bhd]|sdiv|udiv|bfi|bfc|ubfx|sbfx|rbit|mls|pldw|yield|wfe|wfi|sev|vld[1-4]|vst[1-4])/ ||
            op ~ /^(cbn?z|tb[bh]|it[te]?[te]?[te]?)$/ || op ~ /\.w$/ ||
            (op ~ /^(vmov|vcvt)/ && args ~ /#/) || args ~ /(^|[^a-z0-9_])d(1[6-9]|2[0-9]|3[01])([^0-9]|$)/)
          if (++found <= 20) print
      }')
    [ -z "$newer" ] ||
      fi_armhf_failed "$(basename "$so") holds instructions newer than ARMv6/VFPv2:"$'\n'"$newer" || return 1
    echo "$(basename "$so"): $(grep -E 'Tag_(CPU_arch|FP_arch|THUMB_ISA_use|ABI_VFP_args):' <<<"$attributes" |
      sed 's/^ *Tag_//' | paste -sd, - | sed 's/,/, /g'); no newer instructions"
  done
  for so in fileInspect _sheetscan; do
    [ -n "$(find "$work" -name "$so.*.so")" ] || fi_armhf_failed "$(basename "$wheel") holds no $so module" ||
      return 1
  done
}
