# Shared by tools/build-wheels.sh and tools/arm-tests.sh (sourced after
# lib.sh, from the checkout): the pinned build tools and the build of one
# wheel for a CPython that need not be the one running setuptools.
#
# setup.py always runs in the tools' own Python, with the build variables of
# the target interpreter (its _sysconfigdata module: extension suffix, ABI,
# compiler flags) in place of its own, and with only that interpreter's
# headers in sight. So one pinned setuptools builds for pyenv's interpreters,
# for those of a Debian root and for 32-bit ARM alike, each compiled once.

FI_WHEEL_CACHE=$(pwd)/.venvs/wheels
FI_WHEEL_TOOLS=$FI_WHEEL_CACHE/tools

# fi_wheel_tools: makes (or reuses) the virtual environment of the tools pinned
# in tools/build-requirements.txt, made afresh when that file changes, and sets
# FI_DRIVER (its python) and FI_ZIG (the zig compiler). The tools need 3.9 or
# newer: the newest pyenv interpreter, else the python3 on PATH.
fi_wheel_tools() {
  local python version
  if ! cmp -s tools/build-requirements.txt "$FI_WHEEL_TOOLS/build-requirements.txt"; then
    version=$(fi_pyenv_versions | tail -n 1)
    if [ -n "$version" ]; then
      python=$(fi_pyenv_root)/versions/$version/bin/python
    else
      python=$(fi_path_python)
      python=${python#* }
    fi
    [ -n "$python" ] && "$python" -c 'import sys; sys.exit(sys.version_info < (3, 9))' ||
      fi_fail "the build tools need CPython 3.9 or newer: $(fi_describe_pythons)"
    rm -rf "$FI_WHEEL_TOOLS"
    fi_venv "$python" "$FI_WHEEL_TOOLS"
    "$FI_WHEEL_TOOLS/bin/python" -m pip install -q --disable-pip-version-check \
      -r tools/build-requirements.txt || fi_fail "pip could not install tools/build-requirements.txt"
    cp tools/build-requirements.txt "$FI_WHEEL_TOOLS/"
  fi
  FI_DRIVER=$FI_WHEEL_TOOLS/bin/python
  FI_ZIG=$("$FI_DRIVER" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  # zig keeps what it compiled once (its libc++ for each target above all) here.
  export ZIG_GLOBAL_CACHE_DIR=$FI_WHEEL_CACHE/zig-cache
}

# fi_stage_headers INCLUDE DEST: copies the folder holding an interpreter's
# Python.h to DEST/include/<its name>, with the pyconfig.h that a Debian layout
# keeps in the multiarch folder beside it (<triplet>/python3.X/pyconfig.h, which
# its own pyconfig.h includes), so that a compiler can be given these headers
# and none of that system's others. Prints the -I flags.
fi_stage_headers() {
  local include=$1 dest=$2 name triplet
  name=$(basename "$include")
  mkdir -p "$dest/include"
  cp -RL "$include" "$dest/include/$name"
  for triplet in "$(dirname "$include")"/*-linux-gnu*/"$name"; do
    [ -f "$triplet/pyconfig.h" ] || continue
    mkdir -p "$dest/include/$(basename "$(dirname "$triplet")")"
    cp -RL "$triplet" "$dest/include/$(basename "$(dirname "$triplet")")/"
  done
  echo "-I$dest/include/$name -I$dest/include"
}

# fi_build_wheel SRC WORK SYSCONFIG PLATFORM CXX FLAGS LDFLAGS: builds the
# wheel of the source tree SRC for the CPython whose _sysconfigdata module is
# the file SYSCONFIG, with the compiler command CXX for compiling and linking,
# FLAGS added to every compile and LDFLAGS to the link; tags it for that
# interpreter and ABI and for PLATFORM (cp37-cp37m-linux_x86_64; several joined
# by dots: linux_armv6l.linux_armv7l) and prints its path. WORK is made afresh.
#
# setuptools' bdist_wheel refuses to tag a wheel for another interpreter than
# the one running it, so the wheel is put together from its parts: the
# packages and extension modules that `build` makes, the metadata that
# `dist_info` makes (the same as bdist_wheel's), the WHEEL file, and `wheel
# pack`, which adds the RECORD.
fi_build_wheel() {
  local src=$1 work=$2 sysconfig=$3 platform=$4 cxx=$5 flags=$6 ldflags=$7 tag
  rm -rf "$work"
  mkdir -p "$work/sysconfig" "$work/root" "$work/built"
  cp "$sysconfig" "$work/sysconfig/"
  # cp37-cp37m: the version and the ABI (from SOABI, cpython-37m-x86_64-linux-gnu).
  tag=$(_PYTHON_SYSCONFIGDATA_NAME="$(basename "$sysconfig" .py)" PYTHONPATH="$work/sysconfig" \
    "$FI_DRIVER" -c 'import sysconfig; v = sysconfig.get_config_var
print("cp%s-cp%s" % (v("VERSION").replace(".", ""), v("SOABI").split("-")[1]))') || return 1
  # The compiler and flags are named for both generations of setuptools'
  # compiler set-up: the C compiler's command compiles C++ before setuptools 72,
  # CXX's since (fi_build_flags_env); CFLAGS and CXXFLAGS stay unset, as either
  # would replace or extend the target's own flags differently in each.
  (cd "$src" && env -u CFLAGS -u CXXFLAGS \
    _PYTHON_SYSCONFIGDATA_NAME="$(basename "$sysconfig" .py)" PYTHONPATH="$work/sysconfig" \
    CC="$cxx" CXX="$cxx" LDSHARED="$cxx -shared" LDCXXSHARED="$cxx -shared" \
    CPPFLAGS="$flags" LDFLAGS="$ldflags" \
    "$FI_DRIVER" setup.py egg_info --egg-base "$work" \
    build --build-base "$work/build" --build-lib "$work/root" --build-temp "$work/temp" \
    dist_info --output-dir "$work/root") >&2 || return 1
  {
    printf 'Wheel-Version: 1.0\nGenerator: tools/build-wheels.sh\nRoot-Is-Purelib: false\n'
    for platform in ${platform//./ }; do echo "Tag: $tag-$platform"; done
  } >"$(ls -d "$work"/root/*.dist-info)/WHEEL"
  "$FI_DRIVER" -m wheel pack --dest-dir "$work/built" "$work/root" >&2 || return 1
  ls "$work"/built/*.whl
}
