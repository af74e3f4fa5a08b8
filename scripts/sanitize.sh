#!/usr/bin/env bash
# Runs the tests again under the sanitizers: the C++ unit tests with
# ThreadSanitizer and with AddressSanitizer + UndefinedBehaviorSanitizer, and
# the whole Python suite against an ASan + UBSan build of the extension module
# loaded into the ordinary interpreter. Any sanitizer report fails the script.
# Relies on what scripts/test.sh sets up: GoogleTest, build/tools-venv (cmake,
# ninja) and build/venv-X.Y for the newest interpreter (numpy, pandas, pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
source scripts/built_tools.sh
jobs="$(nproc)"

# configure_and_build LOG DIR CMAKE-ARGUMENT...
configure_and_build() {
  local log="$1" dir="$2"
  shift 2
  logged "$log" "$tools/bin/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  logged "$log" "$tools/bin/cmake" --build "$dir"
}

if packages_for "C++ unit tests under the sanitizers" libgtest-dev; then
  step "C++ unit tests under ThreadSanitizer" "about 3 minutes"
  configure_and_build tsan build/tsan -DGAPWRIGHT_SANITIZE=thread -DGAPWRIGHT_BUILD_TESTS=ON \
    -DGAPWRIGHT_BUILD_MODULE=OFF
  (cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    logged tsan "$tools/bin/ctest" --output-on-failure -j "$jobs")
  grep "tests passed" "$logs_dir/tsan.log" | tail -n 1

  step "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer" "about 3 minutes"
  configure_and_build asan-native build/asan-native -DGAPWRIGHT_SANITIZE=address,undefined \
    -DGAPWRIGHT_BUILD_TESTS=ON -DGAPWRIGHT_BUILD_MODULE=OFF
  (cd build/asan-native && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 logged asan-native "$tools/bin/ctest" --output-on-failure -j "$jobs")
  grep "tests passed" "$logs_dir/asan-native.log" | tail -n 1
fi

step "Python $version suite against an AddressSanitizer + UndefinedBehaviorSanitizer module" "about 3 minutes"
build="$root/build/asan-module"
configure_and_build asan-module "$build" -DGAPWRIGHT_SANITIZE=address,undefined -DGAPWRIGHT_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$venv/bin/python"
module="$build/gapwright$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"

# The interpreter is not instrumented, so the sanitizer runtimes must be
# loaded before anything else; they are the ones the module was linked with.
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
preload="$(readlink -f "$("$compiler" -print-file-name=libasan.so)"):$(readlink -f "$("$compiler" -print-file-name=libubsan.so)")"

# ASan reports go to files rather than stderr, so that one raised in a child
# process surfaces here even if the test that started it ignores how the child
# ended; ASan only creates a file when it has something to report. UBSan's
# runtime, loaded beside ASan's, keeps writing to stderr whatever log_path
# says, so it is made to abort: the process dies with SIGABRT, which fails the
# run, or the test whose child it was.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"

sanitized() {
  # detect_leaks=0: CPython never frees much of what it allocates (interned
  # objects, module state), so LeakSanitizer would report the interpreter
  # itself at every exit. PYTHONMALLOC=malloc routes Python objects through
  # the intercepted malloc instead of pymalloc arenas, so ASan sees them.
  env PYTHONPATH="$build" LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
    "$@"
}

fail_on_reports() {
  if [[ -n "$(ls -A "$reports")" ]]; then
    for report in "$reports"/*; do
      echo "-- $report"
      cat "$report"
    done
    echo "sanitizer reports were written; failing" >&2
    exit 1
  fi
}

loaded="$(sanitized "$venv/bin/python" -c 'import gapwright; print(gapwright.__file__)')" || fail_on_reports
if [[ "$(readlink -f "$loaded")" != "$(readlink -f "$module")" ]]; then
  echo "gapwright was imported from $loaded instead of $module" >&2
  exit 1
fi

# Two cases run out of memory on purpose and expect the failure to surface as
# an exception; both run in the ordinary suite. ASan cannot take part: its
# operator new reports out-of-memory and dies rather than throw
# std::bad_alloc, whatever allocator_may_return_null says, and under a capped
# address space its own per-thread setup in a new thread can be what fails,
# which it also answers by dying.
needs_bad_alloc="tests/python/test_hostile.py::test_hostile_call[frame-text-shape-huge]"
caps_address_space="tests/python/test_hostile.py::test_a_worker_the_system_refuses_to_start"
# The resident-memory test measures the allocator, and ASan's holds freed
# blocks back in its quarantine on purpose, so resident memory drifts by tens
# of MiB with what ran before; the test runs in every ordinary suite.
measures_resident_memory="tests/python/test_leaks.py::test_memory_and_objects_stay_flat"
# The interpreter ends a daemon thread at exit by pthread_exit, whose forced
# unwinding the sanitizers misread: UBSan reports the catch that lets it
# through as binding a reference to null (libstdc++'s __forced_unwind has no
# object), and ASan reports its own sigaltstack interceptor writing past a
# stack variable as the thread goes. The test runs in every ordinary suite.
exits_at_shutdown="tests/python/test_concurrency.py::test_interpreter_exits_cleanly_with_daemon_threads_inside_calls"
status=0
(cd tests && sanitized "$venv/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python \
  --deselect "$needs_bad_alloc" --deselect "$caps_address_space" \
  --deselect "$measures_resident_memory" --deselect "$exits_at_shutdown") || status=$?
fail_on_reports
if [[ "$status" -ne 0 ]]; then
  echo "pytest failed under the sanitizers (exit status $status)" >&2
  exit "$status"
fi
echo "== sanitizers: no reports"
