#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests through CTest,
# then the Python suite (with the mypy check of the stubs) on CPython 3.14 in a
# Debian sid root (scripts/python314.sh) and on the three newest interpreters
# found here, each in its own virtual environment with the package installed
# from a wheel built from a fresh sdist; then the sanitizer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

# GoogleTest for the C++ unit tests: CMake finds Debian's package on its own.
bash scripts/need_packages.sh libgtest-dev

mapfile -t pythons < <(scripts/find_python.sh 3)
tools="$root/build/tools-venv"
if [[ ! -x "$tools/bin/cmake" ]]; then
  "${pythons[0]}" -m venv "$tools"
  "$tools/bin/pip" install -q --upgrade pip
  "$tools/bin/pip" install -q cmake ninja build
fi

echo "== C++ unit tests"
"$tools/bin/cmake" -S . -B build/native-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
  -DGAPWRIGHT_BUILD_TESTS=ON -DGAPWRIGHT_BUILD_MODULE=OFF >/dev/null
"$tools/bin/cmake" --build build/native-tests
(cd build/native-tests && "$tools/bin/ctest" --output-on-failure)

echo "== source distribution"
# Wheels are built from the sdist, so a file missing from either fails here.
rm -rf build/dist
"$tools/bin/python" -m build --sdist -o build/dist . >/dev/null
sdist="$(ls build/dist/gapwright-*.tar.gz)"
echo "built $sdist"

echo "== Python 3.14"
if [[ "$(id -u)" -eq 0 ]]; then
  bash scripts/python314.sh "$sdist"
else
  sudo bash scripts/python314.sh "$sdist"
fi

for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  venv="$root/build/venv-$version"
  echo "== Python $version"
  if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
  fi
  "$venv/bin/pip" install -q "numpy>=1.25" "pandas>=2.0" "pytest>=7" "hypothesis>=6" "mypy>=1.8" pandas-stubs basedpyright \
    jupyter_client ipykernel pytest-run-parallel joblib "dask[distributed]"
  rm -rf "build/wheel-$version"
  "$venv/bin/pip" wheel -q --no-deps -w "build/wheel-$version" "$sdist"
  "$venv/bin/pip" install -q --force-reinstall --no-deps "build/wheel-$version"/gapwright-*.whl
  (cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider python)
done
bash scripts/cross_arm.sh
bash scripts/clang_libcxx.sh
bash scripts/sanitize.sh
