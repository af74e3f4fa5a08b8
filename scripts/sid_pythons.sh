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
sid="$PWD/build/sid"
versions=(3.15 3.14)

if ! root_steps; then
  skip "Python ${versions[*]} suites in the Debian sid root" "$(why_no_root_steps)"
  exit 0
fi
packages_for "Python ${versions[*]} suites in the Debian sid root" debootstrap
mirror="$(bash scripts/debian_mirror.sh)"
source scripts/debian_root.sh

if [[ ! -x "$sid/usr/bin/python3.14" ]]; then
  step "making a Debian sid root in build/sid with CPython 3.14" "about 2 minutes, 1 GB"
  rm -rf "$sid"
  logged sid-root debootstrap --variant=minbase \
    --include=python3.14,python3.14-dev,python3.14-venv,g++,ca-certificates sid "$sid" "$mirror"
  # sid's index may be past its Valid-Until stamp by the time apt reads it again.
  echo 'Acquire::Check-Valid-Until "false";' >"$sid/etc/apt/apt.conf.d/99no-check-valid-until"
fi
enter_root "$sid" "$PWD/build/sid-out"
if [[ ! -x "$sid/usr/bin/python3.15" ]]; then
  step "adding CPython 3.15 from Debian experimental to the sid root" "about a minute"
  echo "deb $mirror experimental main" >"$sid/etc/apt/sources.list.d/experimental.list"
  in_root <<'INSIDE'
source /project/scripts/steps.sh
logged sid-root apt-get update -q
logged sid-root apt-get install -y -q -t experimental python3.15 python3.15-dev python3.15-venv
INSIDE
fi

in_root SDIST="/project/${sdist#"$PWD"/}" VERSIONS="${versions[*]}" <<'INSIDE'
source /project/scripts/steps.sh
for version in $VERSIONS; do
  bash /project/scripts/wheel_venv.sh "python$version" "/out/venv-$version" "$SDIST" "/out/wheel-$version"
  # The tests run from the sdist's copy, outside the read-only project.
  rm -rf /out/src && mkdir /out/src && tar -xzf "$SDIST" -C /out/src --strip-components=1
  cd /out/src/tests
  step "Python $version suite" "about a minute"
  "/out/venv-$version/bin/python" -m pytest -q -p no:cacheprovider -p no:run-parallel python
  step "Python $version: the suite again, each test in 4 threads at once (pytest-run-parallel;
   a · is a test run in 4 threads, a . one marked thread_unsafe or using a fixture that is, run once)" \
    "about a minute"
  "/out/venv-$version/bin/python" -m pytest -q -p no:cacheprovider --parallel-threads=4 \
    python --ignore=python/test_typing.py
  cd /
done
INSIDE
