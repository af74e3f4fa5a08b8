#!/usr/bin/env bash
# Tests the aarch64 release wheel under emulation. An arm64 Debian
# sid root in build/arm64 (scripts/arm64_root.sh) holds CPython (Debian's
# python3.14, and the C++ runtime pandas' wheels link) and, in /opt/site, the
# package index's aarch64 wheels of numpy, pandas and
# pytest. The wheel of scripts/wheels.sh is unpacked beside them and loaded
# by that interpreter, which runs inside the root under
# qemu-user-static through binfmt_misc. There the masking, text and rebuild
# tests run (the whole suite takes far longer under emulation), and the holes
# of the fixed calls in tests/python/holes_digest.py must equal those that
# the newest interpreter here makes on x86-64. Relies on scripts/test.sh's
# build tools and venv; needs root (mmdebstrap, binfmt_misc, mount, chroot).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
source scripts/built_tools.sh
what="the aarch64 wheel, tested under emulation"
if ! root_steps; then
  skip "$what" "$(why_no_root_steps)"
  exit 0
fi
packages_for "$what" mmdebstrap arch-test qemu-user-static || exit 0
source scripts/arm64_root.sh
arm64_root
python_version="$arm_python"

# The release wheel for this interpreter and processor (scripts/wheels.sh,
# run before this step), unpacked where the root's interpreter finds it.
wheel="$(ls dist/gapwright-*-cp${python_version/./}-cp${python_version/./}-manylinux_2_28_aarch64.whl 2>/dev/null || true)"
if [[ -z "$wheel" ]]; then
  skip "$what" "no CPython $python_version wheel for aarch64 in dist/ (scripts/wheels.sh makes it)"
  exit 0
fi
step "the release wheel ${wheel#dist/} into build/arm64-module" "seconds"
rm -rf build/arm64-module
logged arm64-module "$tools/bin/pip" install --target build/arm64-module --no-deps --only-binary=:all: \
  --implementation cp --python-version "$python_version" --abi "cp${python_version/./}" \
  --platform manylinux_2_28_aarch64 "$wheel"

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
