#!/usr/bin/env bash
# Builds the module with clang 19 and libc++, the toolchain of macOS (which
# cannot run here), warnings as errors, and runs the Python suite against it on
# the newest interpreter, in a virtual environment of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
bash scripts/need_packages.sh clang-19 libc++-19-dev libc++abi-19-dev

python="$(scripts/find_python.sh 1)"
version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
venv="$root/build/venv-clang-$version"
echo "== Python $version suite against a clang 19 + libc++ build"
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip
fi
"$venv/bin/pip" install -q "numpy>=1.25" "pandas>=2.0" "pytest>=7" "hypothesis>=6" "mypy>=1.8" pandas-stubs
wheels="$root/build/wheel-clang-$version"
rm -rf "$wheels"
# Unstripped, so that the compiler's mark in .comment stays for the check below.
CC=clang-19 CXX=clang++-19 CXXFLAGS="-stdlib=libc++ -Werror" LDFLAGS="-stdlib=libc++" \
  "$venv/bin/pip" wheel -q --no-deps -C install.strip=false -w "$wheels" .
"$venv/bin/pip" install -q --force-reinstall --no-deps "$wheels"/gapwright-*.whl

# Flags that the build ignored would leave a gcc / libstdc++ module that
# passes every test, so check what was built.
module="$("$venv/bin/python" -c 'import gapwright; print(gapwright.__file__)')"
if ! readelf -p .comment "$module" | grep -q "clang version 19"; then
  echo "$module was not compiled by clang 19" >&2
  exit 1
fi
needed="$(readelf -d "$module" | grep NEEDED)"
if ! grep -q "libc++.so" <<<"$needed" || grep -q "libstdc++" <<<"$needed"; then
  echo "$module does not link libc++ alone:" >&2
  echo "$needed" >&2
  exit 1
fi
(cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider python)
