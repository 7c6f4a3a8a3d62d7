# Shared by the scripts in tools/ (sourced, not run): messages that name the
# script, the CPython interpreters to use, virtual environments, the compiler
# flags of our own builds and the summary line of a pytest run.
#
# Every message starts with "<script>: "; fi_fail ends the script saying why.

FI_SCRIPT=$(basename "$0" .sh)
# Our builds treat warnings as errors; setup.py does not, so that a user's
# newer compiler cannot fail an installation. The flags reach the compiler
# through fi_build_flags_env.
FI_BUILD_CFLAGS="-Werror"

fi_say() { echo "$FI_SCRIPT: $*"; }
fi_fail() {
  echo "$FI_SCRIPT: FAILED: $*" >&2
  exit 1
}

# With `set -e`, a command that fails ends the script: say which one.
fi_report_errors() {
  set -o errtrace
  trap 'fi_fail "\"$BASH_COMMAND\" failed (status $?, line $LINENO)"' ERR
}

fi_pyenv_root() { pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}"; }

# The CPython versions from 3.7 on that pyenv holds, oldest first.
fi_pyenv_versions() {
  { ls "$(fi_pyenv_root)/versions" 2>/dev/null | grep -E '^3\.([7-9]|[1-9][0-9])\.[0-9]+$' |
    sort -V; } || true
}

# fi_matches VERSION WANTED: whether VERSION (3.11.7) is WANTED (3.11 or 3.11.7).
fi_matches() { [[ $1 == "$2" || $1 == "$2".* ]]; }

# The version of an interpreter when it is CPython 3.7 or newer, else nothing.
fi_version_of() {
  "$1" -c 'import platform, sys
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 7):
    print(platform.python_version())' 2>/dev/null || true
}

# The python3 on PATH as "VERSION PATH" when it is CPython 3.7 or newer, else nothing.
fi_path_python() {
  local python version
  python=$(command -v python3) || return 0
  version=$(fi_version_of "$python")
  # pyenv's shim names no interpreter of its own: record the one it runs.
  [ -z "$version" ] || echo "$version $("$python" -c 'import sys; print(sys.executable)')"
}

# What this machine offers, for messages.
fi_describe_pythons() {
  local installed path_python
  installed=$(fi_pyenv_versions | paste -sd' ' -)
  path_python=$(command -v python3 || true)
  echo "pyenv has ${installed:-no CPython 3.7 or newer} under $(fi_pyenv_root)/versions;" \
    "python3 on PATH is ${path_python:+$path_python, }$(
      [ -n "$path_python" ] && { "$path_python" -V 2>&1 || true; } || echo absent)"
}

# fi_python WANTED: sets FI_PYTHON_VERSION and FI_PYTHON to the newest pyenv
# CPython that is WANTED (3.11), else to the python3 on PATH when it is; fails
# saying what there is.
fi_python() {
  local wanted=$1 version path_python
  version=$(for v in $(fi_pyenv_versions); do if fi_matches "$v" "$wanted"; then echo "$v"; fi; done |
    tail -n 1)
  if [ -n "$version" ]; then
    FI_PYTHON_VERSION=$version
    FI_PYTHON=$(fi_pyenv_root)/versions/$version/bin/python
    return
  fi
  path_python=$(fi_path_python)
  if [ -n "$path_python" ] && fi_matches "${path_python%% *}" "$wanted"; then
    FI_PYTHON_VERSION=${path_python%% *}
    FI_PYTHON=${path_python#* }
    return
  fi
  fi_fail "no CPython $wanted: $(fi_describe_pythons)"
}

# fi_venv PYTHON FOLDER: makes the virtual environment unless it is there.
fi_venv() {
  [ -x "$2/bin/python" ] && return
  "$1" -m venv "$2" || fi_fail "$1 could not make a virtual environment in $2" \
    "(on Debian, install the python3-venv package)"
}

# fi_build_flags_env FLAGS COMMAND...: runs COMMAND with FLAGS added to every
# compile and link command of a setuptools build. Since setuptools 72, C++
# sources are compiled with CXX and CXXFLAGS (which, when set, replace the
# interpreter's own flags, -O3 and -DNDEBUG among them), so CFLAGS alone no
# longer reaches them; CPPFLAGS is added to both in every version.
fi_build_flags_env() {
  local flags=$1
  shift
  CPPFLAGS="${CPPFLAGS:-} $flags" "$@"
}

# fi_install VENV EXTRAS: builds and installs the checkout into VENV with the
# extras named ("magic,excel,test"), warnings failing the build.
fi_install() {
  fi_build_flags_env "$FI_BUILD_CFLAGS" "$1/bin/python" -m pip install -q ".[$2]" ||
    fi_fail "could not build and install the package with [$2] into $1"
}

# fi_install_wheel VENV WHEEL EXTRAS: installs the wheel file WHEEL into VENV
# with the extras named, in place of any installed copy, with no compiler
# reachable (CC and CXX name `false`, PATH holds only the environment's bin):
# a wheel that needed one would fail here instead of building from source.
fi_install_wheel() {
  local venv=$1 wheel=$2 extras=$3 compiler
  compiler=$(PATH="$venv/bin" command -v g++ gcc c++ cc clang || true)
  [ -z "$compiler" ] || fi_fail "a compiler is reachable from $venv/bin: $compiler"
  { CC=false CXX=false PATH="$venv/bin" "$venv/bin/python" -m pip uninstall -q -y veltrane-fileinspect &&
    CC=false CXX=false PATH="$venv/bin" "$venv/bin/python" -m pip install -q "$wheel[$extras]"; } ||
    fi_fail "could not install $(basename "$wheel") with [$extras] into $1 without a compiler"
}

# fi_apt_install PACKAGE...: installs Debian packages (as root), trying again
# while another apt-get holds its lock.
fi_apt_install() {
  local try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; } && return 0
    [ $try = 10 ] || { fi_say "apt-get failed (try $try; its lock may be held): again in 30 s"; sleep 30; }
  done
  return 1
}

# fi_check_instrumented VENV PREFIX: fails unless both extension modules
# installed in VENV call a function whose name starts with PREFIX
# (__asan_report_: built with AddressSanitizer).
fi_check_instrumented() {
  local module path
  for module in fileInspect _sheetscan; do
    path=$("$1/bin/python" -c 'import importlib.util, sys
print(importlib.util.find_spec(sys.argv[1]).origin)' "veltrane.corvalest.datareader.$module") ||
      fi_fail "no $module in $1"
    # grep reads all (no -q), so that nm never meets a closed pipe under pipefail.
    nm -D --undefined-only "$path" | grep -E " U $2" >/dev/null ||
      fi_fail "$path does not call $2: the build did not take the instrumentation flags"
  done
}

# The last pytest summary in a log ("12 passed, 1 skipped in 3.1s"), or nothing.
fi_pytest_summary() {
  { grep -E '[0-9]+ (passed|failed|errors?|skipped|deselected).* in [0-9.]+s' "$1" || true; } |
    tail -n 1 | tr -d '=' | xargs
}

# The Debian mirror this machine's apt uses (from its sources), else Debian's own.
fi_debian_mirror() {
  local files=() f mirror=
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -eq 0 ] || mirror=$(awk '
    $1 == "URIs:" || $1 == "deb" {
      for (i = 2; i <= NF; i++) if ($i ~ /^https?:\/\/.*\/debian\/?$/) { print $i; exit }
    }' "${files[@]}")
  echo "${mirror:-http://deb.debian.org/debian}"
}
