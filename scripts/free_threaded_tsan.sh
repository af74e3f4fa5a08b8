#!/usr/bin/env bash
# free_threaded_tsan.sh: runs tests/python/test_concurrency.py and the thread
# stress run (tests/python/thread_stress.py) under ThreadSanitizer, on a
# free-threaded CPython 3.14 built with it and a module built with
# -DGAPWRIGHT_SANITIZE=thread, so that races between the interpreter's threads
# and the module's own are seen, not only those between the pool's threads
# that the C++ unit tests under scripts/sanitize.sh see. Any report fails the
# script.
#
# Not part of scripts/test.sh: the instrumented interpreter took 36 minutes
# to build the first time on two busy cores (it is cached outside the clone,
# as scripts/free_threaded_python.sh says). numpy and
# pandas come as the ordinary wheels, uninstrumented: their own memory
# accesses are invisible to ThreadSanitizer, the module's and the
# interpreter's are not.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
root="$PWD"
what="the concurrency tests under ThreadSanitizer on free-threaded CPython 3.14"

status=0
python="$(bash scripts/free_threaded_python.sh --thread-sanitizer)" || status=$?
if [[ "$status" -eq 3 ]]; then
  skip "$what" "no CPython source to build an instrumented python3.14t from (see above)"
  exit 0
elif [[ "$status" -ne 0 ]]; then
  exit "$status"
fi

venv="$root/build/venv-3.14t-tsan"
build="$root/build/tsan-module"
if [[ ! -x "$venv/bin/cmake" ]]; then
  step "venv for the instrumented interpreter: cmake, ninja, numpy, pandas, pytest" "about 2 minutes"
  logged tsan-module "$python" -m venv "$venv"
  logged tsan-module "$venv/bin/pip" install cmake ninja numpy pandas pytest
fi
step "the module built with ThreadSanitizer" "about 3 minutes"
logged tsan-module "$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAPWRIGHT_SANITIZE=thread -DGAPWRIGHT_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$venv/bin/python"
logged tsan-module nice -n 10 "$venv/bin/cmake" --build "$build" --target gapwright

# The interpreter's own known races, as its developers list them for its
# free-threaded build.
suppressions="$build/cpython-suppressions.txt"
tar -xJOf ../shared/cpython/Python-3.14.7.tar.xz Python-3.14.7/Tools/tsan/suppressions_free_threading.txt \
  >"$suppressions"
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
sanitized() {
  # Reports go to files, so that one from a child process surfaces here
  # whatever the test that started it makes of how the child ended.
  env PYTHONPATH="$build" \
    TSAN_OPTIONS="suppressions=$suppressions:log_path=$reports/tsan:second_deadlock_stack=1" "$@"
}
loaded="$(sanitized "$venv/bin/python" -c 'import gapwright; print(gapwright.__file__)')"
if [[ "$loaded" != "$build"/* ]]; then
  echo "gapwright was imported from $loaded instead of from $build" >&2
  exit 1
fi

step "$what" "several minutes"
status=0
(cd tests && sanitized "$venv/bin/python" -m pytest -q -p no:cacheprovider python/test_concurrency.py) ||
  status=$?
(cd tests && sanitized "$venv/bin/python" python/thread_stress.py 20 --no-buffer-writers) || status=$?
if [[ -n "$(ls -A "$reports")" ]]; then
  for report in "$reports"/*; do
    echo "-- $report"
    cat "$report"
  done
  echo "ThreadSanitizer wrote reports; failing" >&2
  exit 1
fi
if [[ "$status" -ne 0 ]]; then
  echo "the tests failed under ThreadSanitizer (exit status $status)" >&2
  exit "$status"
fi
echo "== ThreadSanitizer: no reports"
