#!/usr/bin/env bash
# Installs the release wheels where users do, and tests them there: in clean
# Debian bullseye roots (glibc 2.31; scripts/bullseye_root.sh), with no
# compiler and no Python headers, the wheel from dist/ goes in with plain
# `pip install`, and the masking, text, grids and README tests run against
# it. On x86-64 with the free-threaded 3.14 built for bullseye
# (scripts/free_threaded_python.sh --bullseye) and its cp314t wheel; on
# aarch64, under emulation, with CPython 3.14 cross-built for bullseye
# (scripts/arm64_python.sh) and its cp314 wheel, where the rebuild tests run
# too and the holes of the fixed calls in tests/python/holes_digest.py must
# equal those that the newest interpreter here makes on x86-64. The test
# packages come from the package index, unpacked into the root's /opt/site by
# pip here (under emulation that would take minutes). Relies on
# scripts/test.sh's build tools and venv and on scripts/wheels.sh's wheels;
# needs root (mmdebstrap, binfmt_misc, mount, chroot).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
source scripts/built_tools.sh
what="the release wheels installed and tested in clean Debian bullseye roots"
if ! root_steps; then
  skip "$what" "$(why_no_root_steps)"
  exit 0
fi
packages_for "$what" mmdebstrap arch-test qemu-user-static || exit 0
source scripts/debian_root.sh
source scripts/bullseye_root.sh

# check ARCH MACHINE TREE INSTALLED_AT PYTHON ABI TESTS...: copies the
# interpreter's installation TREE into the root at INSTALLED_AT, without its
# headers, and installs and tests the wheel for ABI there.
check() {
  local arch="$1" machine="$2" tree="$3" installed_at="$4" python="$5" abi="$6" wheel platforms=() abis minor
  shift 6
  # The stable ABI does not hold on a free-threaded interpreter.
  abis=(--abi "$abi" --abi none)
  if [[ "$abi" != *t ]]; then
    abis+=(--abi abi3)
  fi
  wheel="$(ls dist/gapwright-*-cp314-"$abi"-manylinux_2_28_"$machine".whl 2>/dev/null || true)"
  if [[ -z "$wheel" ]]; then
    skip "$what: $machine" "no $abi wheel for $machine in dist/ (scripts/wheels.sh makes it)"
    return 0
  fi
  bullseye_root "$arch"
  local target_root="$bullseye_root_dir"
  step "CPython 3.14 ($abi) and the test packages into build/bullseye-$arch" "under a minute"
  rm -rf "${target_root:?}$installed_at" "$target_root/opt/site" "$target_root/venv"
  mkdir -p "$target_root$installed_at"
  cp -a "$tree/." "$target_root$installed_at/"
  rm -rf "$target_root$installed_at/include"
  # glibc 2.31 runs wheels for any manylinux policy up to its own.
  for minor in $(seq 31 -1 17); do
    platforms+=(--platform "manylinux_2_${minor}_$machine")
  done
  platforms+=(--platform "manylinux2014_$machine")
  logged "bullseye-$arch" "$tools/bin/pip" install --target "$target_root/opt/site" --only-binary=:all: \
    --implementation cp --python-version 3.14 "${abis[@]}" "${platforms[@]}" \
    "numpy>=1.25" "pandas>=2.0" "pytest>=7" joblib "dask[distributed]"
  # What the examples use where it has a wheel for this interpreter. polars
  # publishes stable-ABI wheels only, which a free-threaded interpreter cannot
  # load, yet pip here picks them for one.
  local optional=(pyarrow) package
  if [[ "$abi" == *t ]]; then
    skip "$what: the tests that need polars on $machine" "it has no wheel for a free-threaded CPython"
  else
    optional+=(polars)
  fi
  for package in "${optional[@]}"; do
    if ! logged "bullseye-$arch" "$tools/bin/pip" install --target "$target_root/opt/site" --only-binary=:all: \
      --implementation cp --python-version 3.14 "${abis[@]}" "${platforms[@]}" \
      "$package" 2>/dev/null; then
      skip "$what: the tests that need $package on $machine" "it has no wheel for CPython 3.14 ($abi) there"
    fi
  done

  enter_root "$target_root" "$root/build/bullseye-$arch-out"
  local how_long="about a minute"
  if [[ "$machine" != "$(uname -m)" ]]; then
    how_long="emulated, about 8 minutes"
  fi
  step "the $machine wheel installed with plain pip in the clean bullseye root, and its tests" "$how_long"
  in_root PYTHONPATH=/opt/site PYTHON="$installed_at/bin/$python" TESTS="$*" <<'INSIDE'
for compiler in cc gcc c++ g++ clang; do
  if command -v "$compiler" >/dev/null; then
    echo "!! the clean root has a compiler: $(command -v "$compiler")" >&2
    exit 1
  fi
done
# The project and the logs are mounted from this machine, which has them.
if [[ -n "$(find / \( -path /project -o -path /out -o -path /logs -o -path /proc -o -path /dev \) -prune \
  -o -name Python.h -print -quit)" ]]; then
  echo "!! the clean root has Python headers" >&2
  exit 1
fi
"$PYTHON" -m venv /venv
/venv/bin/pip install --no-index --find-links /project/dist gapwright
if ! /venv/bin/pip show gapwright | grep '^Location: /venv/' >/dev/null; then
  echo "!! pip did not install gapwright into the venv" >&2
  exit 1
fi
/venv/bin/python -c 'import gapwright, platform, sys
print("gapwright", gapwright.__file__, "on", platform.machine(), "with glibc", platform.libc_ver()[1], "and Python", sys.version.split()[0])'
cd /project/tests
/venv/bin/python -m pytest -q -p no:cacheprovider $TESTS
INSIDE
  unmount_all
}

status=0
tree="$(bash scripts/free_threaded_python.sh --bullseye)" || status=$?
if [[ "$status" -eq 0 ]]; then
  tree="${tree%/bin/python3.14t}"
  check amd64 x86_64 "$tree" "$tree" python3.14t cp314t \
    python/test_masking.py python/test_encoding.py python/test_grids.py python/test_readme.py
elif [[ "$status" -eq 3 ]]; then
  skip "$what: x86_64" "no free-threaded CPython 3.14 for bullseye (see above)"
else
  exit "$status"
fi

status=0
tree="$(bash scripts/arm64_python.sh)" || status=$?
if [[ "$status" -eq 0 ]]; then
  check arm64 aarch64 "$tree" /opt/cpython-3.14 python3.14 cp314 \
    python/test_masking.py python/test_encoding.py python/test_grids.py python/test_readme.py python/test_rebuild.py
  step "the holes of fixed calls on aarch64 (emulated) against x86-64" "under a minute"
  (cd tests && "$venv/bin/python" python/holes_digest.py) >"$logs_dir/holes-x86_64.txt"
  enter_root "$bullseye_root_dir" "$root/build/bullseye-arm64-out"
  in_root PYTHONPATH=/opt/site >"$logs_dir/holes-aarch64.txt" <<'INSIDE'
cd /project/tests
/venv/bin/python python/holes_digest.py
INSIDE
  if ! diff "$logs_dir/holes-x86_64.txt" "$logs_dir/holes-aarch64.txt"; then
    echo "!! the holes differ between x86-64 and aarch64 (< x86-64, > aarch64)" >&2
    exit 1
  fi
  echo "the same holes on both for all $(wc -l <"$logs_dir/holes-x86_64.txt") calls"
elif [[ "$status" -eq 3 ]]; then
  skip "$what: aarch64" "no CPython 3.14 for aarch64 bullseye (see above)"
else
  exit "$status"
fi
