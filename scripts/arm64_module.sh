#!/usr/bin/env bash
# Builds the module for aarch64 and tests it under emulation. An arm64 Debian
# sid root in build/arm64 holds CPython (Debian's python3.14 and its headers)
# and, in /opt/site, the package index's aarch64 wheels of numpy, pandas and
# pytest. The module is cross-built against them with Debian's cross compiler
# and loaded by that interpreter, which runs inside the root under
# qemu-user-static through binfmt_misc. There the masking, text and rebuild
# tests run (the whole suite takes far longer under emulation), and the holes
# of the fixed calls in tests/python/holes_digest.py must equal those that
# the newest interpreter here makes on x86-64. Relies on scripts/test.sh's
# build tools and venv; needs root (mmdebstrap, binfmt_misc, mount, chroot).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
source scripts/built_tools.sh
what="the module built for aarch64, tested under emulation"
if ! root_steps; then
  skip "$what" "$(why_no_root_steps)"
  exit 0
fi
packages_for "$what" mmdebstrap arch-test qemu-user-static g++-aarch64-linux-gnu || exit 0
arm="$root/build/arm64"
python_version=3.14

# The F flag opens the emulator when it is registered, so that it runs inside
# the root, where the host's path to it does not exist; qemu-user-static's own
# entry carries it, qemu-user-binfmt's does not.
binfmt=/proc/sys/fs/binfmt_misc
if [[ ! -e "$binfmt/register" ]]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [[ -e "$binfmt/qemu-aarch64" ]]; then
  echo -1 >"$binfmt/qemu-aarch64"
fi
entry="$(cat /usr/lib/binfmt.d/qemu-aarch64.conf)"
if [[ "${entry##*:}" != *F* ]]; then
  entry="${entry}F"
fi
echo "$entry" >"$binfmt/register"

if [[ ! -x "$arm/usr/bin/python$python_version" ]]; then
  # Not debootstrap --foreign: its second stage, run under emulation, reads
  # the whole package index with perl again and again, and took 43 minutes
  # here. mmdebstrap resolves and downloads on the host and runs only dpkg and
  # the packages' scripts under emulation.
  step "making an arm64 Debian sid root in build/arm64 with CPython $python_version" \
    "about 6 minutes, 250 MB"
  rm -rf "$arm"
  logged arm64-root mmdebstrap --mode=root --arch=arm64 --variant=minbase \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="python$python_version,libpython$python_version-dev,libstdc++6" \
    sid "$arm" "deb $(bash scripts/debian_mirror.sh) sid main"
fi
# The emulated interpreter, from the host: qemu looks for absolute paths in
# the root first, so it finds its libraries and standard library there.
emulated=(qemu-aarch64-static -L "$arm" "$arm/usr/bin/python$python_version")
if [[ ! -d "$arm/opt/site/numpy" ]]; then
  step "aarch64 wheels of numpy, pandas and pytest into build/arm64/opt/site" "under a minute"
  logged arm64-root "$tools/bin/pip" install --target "$arm/opt/site" --only-binary=:all: \
    --implementation cp --python-version "$python_version" \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 \
    "numpy>=1.25" "pandas>=2.0" "pytest>=7"
fi

step "cross-building the module for aarch64 against the root's CPython and numpy" "about 2 minutes"
mapfile -t found < <(PYTHONPATH="$arm/opt/site" "${emulated[@]}" -c '
import numpy, sysconfig
print(sysconfig.get_path("include"))
print(numpy.get_include())
print(sysconfig.get_config_var("SOABI"))')
# Debian's pyconfig.h includes the one for the architecture by a path below
# the root's /usr/include, searched after the cross compiler's own headers.
wrapper="$root/build/arm64-python"
printf '#!/bin/sh\nPYTHONPATH=%q exec %q -L %q %q "$@"\n' "$arm/opt/site" qemu-aarch64-static "$arm" \
  "$arm/usr/bin/python$python_version" >"$wrapper"
chmod +x "$wrapper"
logged arm64-module "$tools/bin/cmake" -S . -B build/arm64-module -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_CXX_FLAGS="-Werror -idirafter $arm/usr/include" \
  -DGAPWRIGHT_BUILD_TESTS=OFF -DPython_EXECUTABLE="$wrapper" -DPython_INCLUDE_DIR="${found[0]}" \
  -DPython_NumPy_INCLUDE_DIR="${found[1]}" -DPython_SOABI="${found[2]}"
logged arm64-module "$tools/bin/cmake" --build build/arm64-module --target gapwright

source scripts/debian_root.sh
enter_root "$arm" "$root/build/arm64-module"
# Bytecode is written into /opt/site as modules are first imported, which
# under emulation costs a minute and a half once, instead of at every start.
step "Python $python_version on aarch64 (emulated): masking, text and rebuild tests" "about 3 minutes"
in_root PYTHONPATH=/out:/opt/site <<INSIDE
cd /project/tests
python$python_version -c 'import gapwright, platform; print("gapwright from", gapwright.__file__, "on", platform.machine())'
python$python_version -m pytest -q -p no:cacheprovider python/test_masking.py python/test_encoding.py \
  python/test_rebuild.py
INSIDE

step "the holes of fixed calls on aarch64 (emulated) against x86-64" "under a minute"
(cd tests && "$venv/bin/python" python/holes_digest.py) >"$logs_dir/holes-x86_64.txt"
in_root PYTHONPATH=/out:/opt/site >"$logs_dir/holes-aarch64.txt" <<INSIDE
cd /project/tests
python$python_version python/holes_digest.py
INSIDE
if ! diff "$logs_dir/holes-x86_64.txt" "$logs_dir/holes-aarch64.txt"; then
  echo "!! the holes differ between x86-64 and aarch64 (< x86-64, > aarch64)" >&2
  exit 1
fi
echo "the same holes on both for all $(wc -l <"$logs_dir/holes-x86_64.txt") calls"
