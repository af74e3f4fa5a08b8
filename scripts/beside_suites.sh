#!/usr/bin/env bash
# The steps of scripts/test.sh that run beside the Python suites, which keep
# one core of two busy: the Debian roots made for the later steps
# (scripts/roots.sh), the C++ unit tests built here and for aarch64, the
# clang + libc++ build and the sanitizer runs. The last two need the newest
# interpreter's venv, and wait until scripts/test.sh has made it
# ($logs_dir/newest-venv.ready). Relies on build/tools-venv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
tools="$PWD/build/tools-venv"

bash scripts/roots.sh

# GoogleTest for the C++ unit tests: CMake finds Debian's package on its own.
if packages_for "C++ unit tests" libgtest-dev; then
  step "C++ unit tests" "about 3 minutes"
  logged native-tests "$tools/bin/cmake" -S . -B build/native-tests -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" -DGAPWRIGHT_BUILD_TESTS=ON -DGAPWRIGHT_BUILD_MODULE=OFF
  logged native-tests "$tools/bin/cmake" --build build/native-tests
  (cd build/native-tests && logged native-tests "$tools/bin/ctest" --output-on-failure)
  grep "tests passed" "$logs_dir/native-tests.log" | tail -n 1
fi
bash scripts/cross_arm.sh

while [[ ! -e "$logs_dir/newest-venv.ready" ]]; do
  sleep 5
done
bash scripts/clang_libcxx.sh
bash scripts/sanitize.sh
