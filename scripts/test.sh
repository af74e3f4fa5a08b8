#!/usr/bin/env bash
# Sets everything up and runs every test: the Python suite on the three
# newest interpreters found here, each in its own virtual environment with the
# package installed from a wheel built from a fresh sdist, on the system's
# python3 when it is another interpreter (scripts/system_python.sh), and on
# CPython 3.15 and 3.14 in a Debian sid root (scripts/sid_pythons.sh); the
# suite, a multi-threaded pass and a thread stress run on free-threaded
# CPython 3.14, built here once per machine when there is none
# (scripts/free_threaded.sh); the release wheels (scripts/wheels.sh),
# installed and tested in clean Debian bullseye roots for x86-64 and, under
# emulation, aarch64 (scripts/bullseye_wheels.sh). Beside the suites, which keep one core
# busy, run the making of the Debian roots, the C++ unit tests through CTest,
# here and cross-built for aarch64, a clang + libc++ build and the sanitizer
# runs (scripts/beside_suites.sh). One line per step; the tools' own output is
# in build/logs.
#
# --no-root-steps leaves out the steps that need root (the sid and arm64
# roots); without root they are left out anyway. Either way each
# skipped step is named when it is skipped and again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
for arg in "$@"; do
  case "$arg" in
    --no-root-steps) export GAPWRIGHT_NO_ROOT_STEPS=1 ;;
    *) echo "usage: scripts/test.sh [--no-root-steps]" >&2; exit 2 ;;
  esac
done
rm -rf build/logs
source scripts/steps.sh
root="$PWD"

# Every Debian package the steps use, in one go where this run may install
# them; a step whose packages still miss says so itself.
if [[ "$(id -u)" -eq 0 ]]; then
  packages_for "the Debian packages of the steps" libgtest-dev googletest ccache python3-venv python3-dev \
    debootstrap mmdebstrap arch-test qemu-user-static g++-aarch64-linux-gnu \
    clang-19 libc++-19-dev libc++abi-19-dev \
    gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev || true
fi

# The free-threaded interpreter takes about eight minutes to build the first
# time on a machine: it builds (niced) beside the steps that leave a core
# idle, and its own step waits for it (scripts/free_threaded_python.sh holds
# a lock while it builds). Its step line shows when it starts; a run that
# stops early stops it too.
setsid bash scripts/free_threaded_python.sh >/dev/null &
free_threaded_pid=$!
# As root that interpreter is built in a Debian bullseye root, and then the
# build interpreter of CPython 3.14 cross-built for aarch64 bullseye, where
# the release wheels are installed at the end (scripts/bullseye_wheels.sh).
arm64_python_pid=""
if root_steps; then
  setsid bash scripts/arm64_python.sh >/dev/null &
  arm64_python_pid=$!
fi
beside_pid=""
trap 'kill -TERM -- "-$free_threaded_pid" ${arm64_python_pid:+"-$arm64_python_pid"} \
  ${beside_pid:+"-$beside_pid"} 2>/dev/null || true' EXIT

mapfile -t pythons < <(scripts/find_python.sh 3)
tools="$root/build/tools-venv"
if [[ ! -x "$tools/bin/cmake" ]]; then
  step "build tools (cmake, ninja, build) in build/tools-venv" "under a minute"
  logged tools "${pythons[0]}" -m venv "$tools"
  logged tools "$tools/bin/pip" install --upgrade pip
  logged tools "$tools/bin/pip" install cmake ninja build
fi

step "source distribution" "seconds"
# Wheels are built from the sdist, so a file missing from either fails here.
# It is made from a copy of the files git sees (tracked, or new and not
# ignored), as the build backend would pick them, because the backend first
# walks the whole tree: build/ holds the Debian roots, and a root's /proc
# while it is mounted.
rm -rf build/dist build/sdist-source
source_tree=.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  source_tree=build/sdist-source
  mkdir -p "$source_tree"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do if [[ -e "$file" ]]; then printf '%s\0' "$file"; fi; done |
    tar --null -T - -cf - | tar -xf - -C "$source_tree"
fi
logged sdist "$tools/bin/python" -m build --sdist -o build/dist "$source_tree"
sdist="$(ls build/dist/gapwright-*.tar.gz)"
echo "built $sdist"

# The Python suites keep one core busy; the C++ builds and tests and the
# making of the Debian roots run beside them, on the other
# (scripts/beside_suites.sh), their output kept and shown at the end.
step "started beside the suites: the Debian roots, the C++ unit tests (here and for aarch64), the clang + libc++
   build and the sanitizer runs; their output is shown at the end, and is in $logs_dir/beside-suites.log"
setsid bash scripts/beside_suites.sh >"$logs_dir/beside-suites.log" 2>&1 &
beside_pid=$!

for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  bash scripts/wheel_venv.sh "$python" "$root/build/venv-$version" "$sdist" "$root/build/wheel-$version"
  if [[ "$python" == "${pythons[0]}" ]]; then
    touch "$logs_dir/newest-venv.ready"
  fi
  step "Python $version suite" "about a minute"
  (cd tests && "$root/build/venv-$version/bin/python" -m pytest -q -p no:cacheprovider \
    -p no:run-parallel python)
done
bash scripts/system_python.sh "$sdist" "${pythons[@]}"
bash scripts/sid_pythons.sh "$sdist"
# Status 3: nothing to build it from, which the step says as it skips.
# wait_for_build PID WHAT
wait_for_build() {
  local status=0
  wait "$1" || status=$?
  if [[ "$status" -ne 0 && "$status" -ne 3 ]]; then
    echo "!! building $2 failed (see above, and its log in $logs_dir)" >&2
    exit 1
  fi
}
wait_for_build "$free_threaded_pid" "the free-threaded CPython 3.14"
bash scripts/free_threaded.sh "$sdist"

# The suites above run the kernels this processor picks (the widest it has).
# The masking tests, which compare the holes with the reference model, run
# once more with each build of the kernels forced that the processor can run:
# portable everywhere, AVX2 and AVX-512 where /proc/cpuinfo lists them (a
# forced build that cannot run here would quietly give way to the widest).
# The kernels do not depend on the interpreter: the newest one's venv will do.
kernels=(portable)
if [[ "$(uname -m)" == x86_64 ]]; then
  flags="$(grep -m1 '^flags' /proc/cpuinfo || true)"
  if [[ " $flags " == *" avx2 "* ]]; then kernels+=(avx2); fi
  if [[ " $flags " == *" avx2 "* && " $flags " == *" avx512f "* ]]; then kernels+=(avx512); fi
fi
version="$("${pythons[0]}" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
for kernel in "${kernels[@]}"; do
  step "Python $version masking tests with the $kernel kernels forced" "under half a minute"
  (cd tests && GAPWRIGHT_KERNELS="$kernel" "$root/build/venv-$version/bin/python" -m pytest -q \
    -p no:cacheprovider -p no:run-parallel python/test_masking.py python/test_properties.py)
done

# The release wheels, checked by auditwheel and built twice to the same bytes,
# then installed and tested in clean bullseye roots, the aarch64 one under
# emulation.
bash scripts/wheels.sh "$sdist"
if [[ -n "$arm64_python_pid" ]]; then
  wait_for_build "$arm64_python_pid" "CPython 3.14 for aarch64 bullseye"
fi
bash scripts/bullseye_wheels.sh

step "waiting for the steps beside the suites"
beside_status=0
wait "$beside_pid" || beside_status=$?
beside_pid=""
echo "== the steps beside the suites ($logs_dir/beside-suites.log):"
sed 's/^/   /' "$logs_dir/beside-suites.log"
if [[ "$beside_status" -ne 0 ]]; then
  echo "!! the steps beside the suites failed (exit status $beside_status; see above)" >&2
  exit 1
fi

minutes=$(((SECONDS + 30) / 60))
if [[ -s "$logs_dir/skipped" ]]; then
  echo "== every test that ran passed, in about $minutes min; these steps did NOT run:"
  cat "$logs_dir/skipped"
else
  echo "== every test passed, in about $minutes min"
fi
