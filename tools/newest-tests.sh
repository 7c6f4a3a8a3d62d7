#!/usr/bin/env bash
# Runs the whole test suite on the newest CPython releases, which pyenv here
# does not offer: Debian unstable's python3.14 and python3.15, and its
# python3.13, a later patch release than pyenv's whose csv module follows
# 3.14's sniffer rules, in a Debian sid amd64 root made with debootstrap from
# Debian's packages. For each, a virtual environment in the root gets the
# package, built by the root's g++ with warnings as errors, and its extras
# magic, excel and test; then pytest runs from the checkout. Ends with one
# summary line naming the interpreters with their versions; exits non-zero
# when anything fails.
#
#   tools/newest-tests.sh [pytest arguments...]
#   tools/newest-tests.sh --prepare     # makes the root, runs nothing
#
# With FILEINSPECT_DIST naming a folder of wheels (tools/build-wheels.sh), the
# cp313, cp314 and cp315 wheels from there are installed with no compiler
# reachable instead of building the checkout. FILEINSPECT_NEWEST_VERSIONS="3.14"
# limits the run to the versions named.
#
# The root (about 760 MB, 1.3 GB with the three virtual environments; a
# minute to make) is kept under .venvs/newest/ for the next run and made
# afresh when its recipe below changes. Commands run as root in a chroot, in a
# mount namespace of their own that holds /dev (with /dev/pts, for the command
# line's terminal tests), /proc, the checkout, the corpus and whatever this
# machine's pip settings name; the mounts end with the command, so none
# outlives a run. On a machine that cannot do this it prints "newest-tests:
# SKIPPED: <reason>" and exits 0; with CI=true a machine that should manage
# but fails to, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
here=$(pwd)
started=$SECONDS

cache=$here/.venvs/newest
root=$cache/sid-amd64
setup_log=$cache/setup.log
all_versions=(3.13 3.14 3.15)
read -r -a versions <<<"${FILEINSPECT_NEWEST_VERSIONS:-${all_versions[*]}}"
prepare_only=0
if [ "${1:-}" = --prepare ]; then
  prepare_only=1
  shift
fi
dist=${FILEINSPECT_DIST:-}
root_packages=python3.13,python3.13-dev,python3.13-venv
root_packages+=,python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv
root_packages+=,g++,libmagic1t64,ca-certificates
# A root made by another recipe is made afresh (bump the number when the steps change).
recipe="2: sid amd64 minbase: $root_packages; byte-compiled"
# Inside the root: one virtual environment per interpreter.
venvs=/venvs

skip() {
  fi_say "SKIPPED: $*"
  exit 0
}
# A machine that cannot be set up skips, except on CI where it must work.
setup_failed() { if [ "${CI:-}" = true ]; then fi_fail "$@"; else skip "$@"; fi; }
trap 'fi_say "FAILED: unexpected error at line $LINENO (log: $setup_log)" >&2' ERR

[ "$(uname -s)/$(uname -m)" = Linux/x86_64 ] || skip "needs an x86_64 Linux host, this is $(uname -sm)"
[ "$(id -u)" = 0 ] || skip "needs root for debootstrap and chroot"
mkdir -p "$cache"
: >"$setup_log"

# --- tools -----------------------------------------------------------------
if ! command -v debootstrap >/dev/null; then
  command -v apt-get >/dev/null || skip "no debootstrap, and no apt-get to install it"
  fi_say "installing debootstrap with apt-get ..."
  { apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap; } \
    >>"$setup_log" 2>&1 || setup_failed "apt-get could not install debootstrap (log: $setup_log)"
fi
unshare --mount true 2>>"$setup_log" ||
  setup_failed "cannot make a mount namespace (unshare --mount): no bind mounts for the chroot"

# --- what the root needs from the host ---------------------------------------
# pip's settings: its configuration files and PIP_* variables (which the chroot
# inherits), and the files and folders they name (certificate, constraints,
# local indexes and wheel folders) at the same paths inside the root.
pip_config_files=()
for f in "${PIP_CONFIG_FILE:-}" /etc/pip.conf \
  $(IFS=:; for d in ${XDG_CONFIG_DIRS:-/etc/xdg}; do echo "$d/pip/pip.conf"; done) \
  "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
  if [ -n "$f" ] && [ -f "$f" ]; then pip_config_files+=("$f"); fi
done
# (with the certificate files that the environment names for Python's TLS)
copied=(/etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt "${pip_config_files[@]}"
  "${SSL_CERT_FILE:-}" "${REQUESTS_CA_BUNDLE:-}")
bound=()
# Every absolute path or file: URL in the settings; an index's simple/ pages
# link to files beside it, so the index's whole folder is bound.
pip_paths=$({ cat "${pip_config_files[@]}" /dev/null; env | grep '^PIP_' || true; } |
  grep -oE "(file://)?/[^[:space:]'\",;]+" | sed -E 's,^file://,,; s,/+$,,; s,/simple$,,' | sort -u)
for p in $pip_paths; do
  if [ -f "$p" ]; then
    copied+=("$p")
  elif [ -d "$p" ]; then
    bound+=("$p")
  fi
done
# The corpus the workbook tests read, where conftest.py looks for it.
corpus=${FILEINSPECT_CORPUS:-$(dirname "$here")/shared/corpus}
[ ! -d "$corpus" ] || bound+=("$(realpath "$corpus")")

# in_root ROOT COMMAND...: runs COMMAND in ROOT, in a mount namespace of its
# own holding the host's /dev (with /dev/pts and /dev/shm), a /proc, the
# checkout read-write and the folders above read-only, all at their host paths.
in_root() {
  local script='
    root=$1
    shift
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mkdir -p "$root$here"
    mount --bind "$here" "$root$here"
    while IFS= read -r p; do
      [ -n "$p" ] || continue
      mkdir -p "$root$p"
      mount --bind "$p" "$root$p"
      mount -o remount,bind,ro "$root$p"
    done <<<"$bound"
    exec chroot "$root" "$@"'
  here=$here bound=$(printf '%s\n' "${bound[@]}") \
    env -u FILEINSPECT_PYTHON_LAUNCHER -u VIRTUAL_ENV LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    unshare --mount --propagation private /bin/bash -euc "$script" in_root "$@"
}

# A root is removed only with nothing mounted below it (no bind mount of the
# checkout or /dev can outlive in_root, but a killed debootstrap leaves its own).
remove_root() {
  local mounts
  mounts=$(findmnt -rn -o TARGET | grep -F "$1/" || true)
  [ -z "$mounts" ] || fi_fail "cannot remove $1: mounted below it:"$'\n'"$mounts"
  rm -rf --one-file-system "$1"
}

# --- the sid root --------------------------------------------------------------
if [ "$(cat "$root/.recipe" 2>/dev/null)" != "$recipe" ]; then
  mirror=$(fi_debian_mirror)
  fi_say "making the Debian sid root from $mirror (about a minute) ..."
  made=$SECONDS
  remove_root "$root"
  remove_root "$root.new"
  # In a mount namespace of its own, so that the /proc and /sys that its second
  # stage mounts cannot outlive it.
  unshare --mount --propagation private debootstrap --variant=minbase --include="$root_packages" \
    sid "$root.new" "$mirror" >>"$setup_log" 2>&1 ||
    setup_failed "debootstrap could not make the sid root from $mirror (log: $setup_log)"
  rm -f "$root.new"/var/cache/apt/archives/*.deb
  # Byte-compiled once here, so that no run compiles the standard library again
  # (and none can, with PYTHONDONTWRITEBYTECODE set).
  for v in "${all_versions[@]}"; do
    in_root "$root.new" "python$v" -m compileall -q -j 0 "/usr/lib/python$v" >>"$setup_log" 2>&1 ||
      fi_fail "python$v could not byte-compile its library (log: $setup_log)"
  done
  echo "$recipe" >"$root.new/.recipe"
  mv "$root.new" "$root"
  fi_say "made the root in $((SECONDS - made))s: $(du -sh --one-file-system "$root" | cut -f1)"
fi
for f in "${copied[@]}"; do
  [ -n "$f" ] && [ -f "$f" ] || continue
  mkdir -p "$root$(dirname "$f")"
  cp -L "$f" "$root$f"
done

if [ $prepare_only = 1 ]; then
  fi_say "all passed: the root is ready ($((SECONDS - started))s)"
  exit 0
fi

# --- the suite on each interpreter ------------------------------------------
# Run in the root from the checkout: make the virtual environment once, install
# the package with its extras (the wheel built for the interpreter, with no
# compiler reachable; or else the checkout, built with warnings as errors), test.
run_suite='
  v=$1
  venv=$2/$v
  shift 2
  [ -x "$venv/bin/python" ] || "python$v" -m venv "$venv"
  cd "$here"
  if [ -n "$dist" ]; then
    tag=cp${v/./}
    wheel=$(ls "$dist"/veltrane_fileinspect-*-$tag-$tag-manylinux*.whl | tail -n 1)
    CC=false CXX=false PATH="$venv/bin" "$venv/bin/python" -m pip uninstall -q -y veltrane-fileinspect
    CC=false CXX=false PATH="$venv/bin" "$venv/bin/python" -m pip install -q "$wheel[magic,excel,test]"
    echo "installed $(basename "$wheel")"
  else
    # Built from a copy, so that the root'"'"'s compiler leaves no objects in the
    # checkout'"'"'s build/ for the host'"'"'s builds of the same version to reuse.
    src=$(mktemp -d)
    tar -C "$here" --exclude=./.git --exclude=./.venvs --exclude=./build -cf - . | tar -C "$src" -xf -
    CPPFLAGS="${CPPFLAGS:-} $build_flags" "$venv/bin/python" -m pip install -q "$src[magic,excel,test]"
    rm -rf "$src"
  fi
  "$venv/bin/python" -VV
  FILEINSPECT_DIST=$dist exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"'
results=()
failed=0
for v in "${versions[@]}"; do
  log=$cache/$v.log
  version=$(in_root "$root" "python$v" -c 'import platform; print(platform.python_version())') ||
    fi_fail "python$v does not start in the root"
  label="CPython $version (Debian sid)"
  fi_say "$label: building and running the tests ..."
  began=$SECONDS
  status=0
  build_flags=$FI_BUILD_CFLAGS dist=$dist in_root "$root" /bin/bash -euc "$run_suite" run_suite \
    "$v" "$venvs" "$@" >"$log" 2>&1 || status=$?
  summary=$(fi_pytest_summary "$log")
  if [ $status -eq 0 ]; then
    results+=("$label ok (${summary:-no tests}; $((SECONDS - began))s)")
  else
    failed=1
    tail -n 60 "$log"
    results+=("$label FAILED (${summary:-see $log}; $((SECONDS - began))s)")
  fi
  fi_say "${results[-1]}"
done

joined=$(printf '%s; ' "${results[@]}")
if [ $failed -eq 0 ]; then
  fi_say "all passed: ${joined%; }; $((SECONDS - started))s in all"
else
  fi_say "FAILED: ${joined%; }; $((SECONDS - started))s in all"
fi
exit $failed
