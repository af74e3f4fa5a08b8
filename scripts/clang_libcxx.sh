#!/usr/bin/env bash
# Builds the module with clang 19 and libc++, the toolchain of macOS (which
# cannot run here), warnings as errors, and runs the Python suite against it on
# the newest interpreter. Relies on what scripts/test.sh sets up:
# build/tools-venv (cmake, ninja) and build/venv-X.Y (numpy, pandas, pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
source scripts/built_tools.sh
what="Python $version suite against a clang 19 + libc++ module"
packages_for "$what" clang-19 libc++-19-dev libc++abi-19-dev || exit 0

step "$what" "about 2 minutes"
build="$root/build/clang-libcxx"
logged clang-libcxx "$tools/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
  -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_CXX_FLAGS="-stdlib=libc++ -Werror" \
  -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ -DGAPWRIGHT_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$venv/bin/python"
logged clang-libcxx "$tools/bin/cmake" --build "$build" --target gapwright
module="$build/gapwright$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"

# Flags that the build ignored would leave a gcc or libstdc++ module that
# passes every test, so check what was built and that it is what gets loaded.
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
loaded="$(PYTHONPATH="$build" "$venv/bin/python" -c 'import gapwright; print(gapwright.__file__)')"
if [[ "$(readlink -f "$loaded")" != "$(readlink -f "$module")" ]]; then
  echo "gapwright was imported from $loaded instead of $module" >&2
  exit 1
fi
# On this glibc machine the unwinding by which CPython 3.13 and older end a
# daemon thread at exit (pthread_exit) is driven by libgcc's unwinder, and
# Debian's libc++abi personality answers it by calling LLVM's libunwind with
# libgcc's context: any frame of a libc++ build on that thread's stack
# segfaults there, ours or not. macOS has one unwinder; the ordinary builds
# run this test in every suite.
exits_at_shutdown="tests/python/test_concurrency.py::test_interpreter_exits_cleanly_with_daemon_threads_inside_calls"
(cd tests && PYTHONPATH="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python \
  --deselect "$exits_at_shutdown")
