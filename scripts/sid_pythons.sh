#!/usr/bin/env bash
# sid_pythons.sh SDIST: runs the Python suite on CPython 3.15 and 3.14, which
# Debian ships only in experimental and sid: one minimal sid root under
# build/sid holds both interpreters and a compiler, and the suite runs inside
# it against a wheel built there from SDIST for each. Everything written lands
# in build/sid-out. Needs root (debootstrap, mount, chroot); without it the
# step is skipped, loudly.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
sdist="$(realpath "$1")"
versions=(3.15 3.14)

if ! root_steps; then
  skip "Python ${versions[*]} suites in the Debian sid root" "$(why_no_root_steps)"
  exit 0
fi
source scripts/debian_root.sh
source scripts/sid_root.sh
sid_root "$PWD/build/sid-out"

in_root SDIST="/project/${sdist#"$PWD"/}" VERSIONS="${versions[*]}" <<'INSIDE'
source /project/scripts/steps.sh
for version in $VERSIONS; do
  bash /project/scripts/wheel_venv.sh "python$version" "/out/venv-$version" "$SDIST" "/out/wheel-$version"
  # The tests run from the sdist's copy, outside the read-only project.
  rm -rf /out/src && mkdir /out/src && tar -xzf "$SDIST" -C /out/src --strip-components=1
  cd /out/src/tests
  step "Python $version suite" "about a minute"
  "/out/venv-$version/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python
  # With the GIL the threads mostly take turns, so one GIL build will do:
  # free-threaded 3.14 runs the pass again truly in parallel.
  if [[ "$version" == 3.15 ]]; then
    step "Python $version: the suite again, each test in 4 threads at once (pytest-run-parallel;
   a · is a test run in 4 threads, a . one marked thread_unsafe or using a fixture that is, run once)" \
      "about a minute"
    "/out/venv-$version/bin/python" -m pytest -q -p no:cacheprovider --parallel-threads=4 \
      python --ignore=python/test_typing.py
  fi
  cd /
done
INSIDE
