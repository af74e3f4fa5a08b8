# Sourced, as root, after scripts/steps.sh, by the steps that run aarch64
# programs inside an arm64 Debian root: arm64_root registers qemu-user-static
# with binfmt_misc and makes (once) the arm64 sid root $arm (build/arm64)
# with CPython $arm_python and the C++ runtime pandas' wheels link, and, in
# /opt/site, the package index's aarch64 wheels of numpy, pandas and pytest.
# Relies on build/tools-venv (pip) from scripts/test.sh.
arm="$PWD/build/arm64"
arm_python=3.14
arm64_root() {
  # The F flag opens the emulator when it is registered, so that it runs
  # inside the root, where the host's path to it does not exist;
  # qemu-user-static's own entry carries it, qemu-user-binfmt's does not. An
  # entry that has it already stays, as programs may be running under it.
  local binfmt=/proc/sys/fs/binfmt_misc entry
  if [[ ! -e "$binfmt/register" ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if ! grep -qs '^flags:.*F' "$binfmt/qemu-aarch64"; then
    if [[ -e "$binfmt/qemu-aarch64" ]]; then
      echo -1 >"$binfmt/qemu-aarch64"
    fi
    entry="$(cat /usr/lib/binfmt.d/qemu-aarch64.conf)"
    if [[ "${entry##*:}" != *F* ]]; then
      entry="${entry}F"
    fi
    echo "$entry" >"$binfmt/register"
  fi

  # The run makes the root early, beside the suites (scripts/roots.sh); a step
  # that needs it meanwhile waits here rather than start another. The lock
  # is held until the caller exits, as it is for the sid root.
  exec {arm_lock}>"$arm.lock"
  flock -w 1800 "$arm_lock"
  if [[ ! -x "$arm/usr/bin/python$arm_python" ]]; then
    # Not debootstrap --foreign: its second stage, run under emulation, reads
    # the whole package index with perl again and again, and took 43 minutes
    # here. mmdebstrap resolves and downloads on the host and runs only dpkg
    # and the packages' scripts under emulation.
    step "making an arm64 Debian sid root in build/arm64 with CPython $arm_python" \
      "about 6 minutes, 250 MB"
    rm -rf "$arm"
    logged arm64-root mmdebstrap --mode=root --arch=arm64 --variant=minbase \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="python$arm_python,libstdc++6" \
      sid "$arm" "deb $(bash scripts/debian_mirror.sh) sid main"
  fi
  if [[ ! -d "$arm/opt/site/numpy" ]]; then
    step "aarch64 wheels of numpy, pandas and pytest into build/arm64/opt/site" "under a minute"
    logged arm64-root "$PWD/build/tools-venv/bin/pip" install --target "$arm/opt/site" \
      --only-binary=:all: --implementation cp --python-version "$arm_python" \
      --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 \
      "numpy>=1.25" "pandas>=2.0" "pytest>=7"
  fi
}
