#!/usr/bin/env bash
# free_threaded.sh SDIST: runs the Python suite on free-threaded CPython 3.14
# (python3.14t, from scripts/free_threaded_python.sh, which builds it once per
# machine when there is none), against a wheel built from SDIST in
# build/venv-3.14t: the suite as on the other interpreters, the suite again
# with each test in 4 threads at once (pytest-run-parallel), and the thread
# stress run of tests/python/thread_stress.py for longer than the suite runs
# it. Without such an interpreter or the source to build one, the step is
# skipped, loudly.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
sdist="$(realpath "$1")"
root="$PWD"
what="Python 3.14 free-threaded (3.14t) suites"

status=0
python="$(bash scripts/free_threaded_python.sh)" || status=$?
if [[ "$status" -eq 3 ]]; then
  skip "$what" "no python3.14t here and no CPython source to build one from (see above)"
  exit 0
elif [[ "$status" -ne 0 ]]; then
  exit "$status"
fi

venv="$root/build/venv-3.14t"
bash scripts/wheel_venv.sh "$python" "$venv" "$sdist" "$root/build/wheel-3.14t" free-threaded
cd tests
step "Python 3.14t suite" "about a minute"
"$venv/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python
step "Python 3.14t: the suite again, each test in 4 threads at once (pytest-run-parallel;
   a · is a test run in 4 threads, a . one marked thread_unsafe or using a fixture that is, run once)" \
  "about a minute"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --parallel-threads=4 python --ignore=python/test_typing.py
step "Python 3.14t: callers and writers of their inputs on threads at once (tests/python/thread_stress.py)" \
  "half a minute"
"$venv/bin/python" python/thread_stress.py 20
