#!/usr/bin/env bash
# system_python.sh SDIST TESTED...: runs the Python suite once more on the
# system's own python3 (/usr/bin/python3, or $SYSTEM_PYTHON), the interpreter
# a newcomer has, when it is a CPython 3.11 or newer that is none of the
# interpreters TESTED already: Debian 12's 3.11.2, say, beside a pyenv 3.11.7.
# Patch releases of one minor version differ in the C API's error paths (how
# an exception is set when its message cannot be allocated, for one). The
# venv module and the headers that the wheel needs come from Debian's packages
# when they are missing; when they cannot, the step is skipped, loudly.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
sdist="$(realpath "$1")"
shift
root="$PWD"
python="${SYSTEM_PYTHON:-/usr/bin/python3}"
what="Python suite on the system's python3 ($python)"

# The interpreter's own executable: a pyenv shim or a symlink names another file.
executable() {
  "$1" -c 'import os, sys; print(os.path.realpath(sys.executable))'
}

if [[ ! -x "$python" ]] ||
  ! "$python" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 11))' \
    2>/dev/null; then
  skip "$what" "it is missing or not a CPython 3.11 or newer"
  exit 0
fi
own="$(executable "$python")"
for tested in "$@"; do
  if [[ "$(executable "$tested")" == "$own" ]]; then
    echo "== $what: the same interpreter as $tested, tested above"
    exit 0
  fi
done

# What the wheel needs: venv with its ensurepip (Debian ships them apart, in
# python3-venv) and Python.h (in python3-dev).
ready() {
  "$python" -c '
import ensurepip, os, sys, sysconfig, venv
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}
if ! ready; then
  if [[ "$own" != /usr/bin/* ]] || ! command -v dpkg-query >/dev/null 2>&1; then
    skip "$what" "its venv module or its headers are missing, and it is not Debian's python3 to install them for"
    exit 0
  fi
  packages_for "$what" python3-venv python3-dev || true
  if ! ready; then
    # Without root, packages_for has said so already.
    if [[ "$(id -u)" -eq 0 ]]; then
      skip "$what" "its venv module or its headers are missing even with python3-venv and python3-dev installed"
    fi
    exit 0
  fi
fi

version="$("$python" -c 'import sys; print(".".join(map(str, sys.version_info[:3])))')"
bash scripts/wheel_venv.sh "$python" "$root/build/venv-system" "$sdist" "$root/build/wheel-system" system
step "Python $version (system) suite" "about a minute"
cd tests
"$root/build/venv-system/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python
