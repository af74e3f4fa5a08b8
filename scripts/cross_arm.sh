#!/usr/bin/env bash
# Cross-builds the C++ unit tests for aarch64 with Debian's cross compiler,
# warnings as errors, and runs them under qemu-user. GoogleTest is built for
# the target from Debian's googletest sources. Relies on build/tools-venv
# (cmake, ninja) from scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
tools="$PWD/build/tools-venv"
if [[ ! -x "$tools/bin/cmake" ]]; then
  echo "$tools/bin/cmake is missing; run scripts/test.sh first" >&2
  exit 1
fi
what="C++ unit tests built for aarch64, run under qemu-user"
packages_for "$what" g++-aarch64-linux-gnu qemu-user-static googletest || exit 0

step "$what" "about 4 minutes"
logged arm-tests "$tools/bin/cmake" -S . -B build/arm-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_CXX_FLAGS=-Werror \
  -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64-static;-L;/usr/aarch64-linux-gnu" \
  -DGAPWRIGHT_BUILD_MODULE=OFF -DGAPWRIGHT_BUILD_TESTS=ON
logged arm-tests "$tools/bin/cmake" --build build/arm-tests
(cd build/arm-tests && logged arm-tests "$tools/bin/ctest" --output-on-failure -j "$(nproc)")
grep "tests passed" "$logs_dir/arm-tests.log" | tail -n 1
