# Sourced, as root, after scripts/steps.sh, by the steps that install the
# release wheels where users do: bullseye_root ARCH makes (once) the clean
# Debian bullseye root build/bullseye-ARCH (amd64 or arm64; glibc 2.31) with
# the runtime libraries of CPython's extension modules and the certificate
# authorities pip needs, and no compiler and no Python: the interpreter is
# copied in by the step. For arm64 it registers qemu-user-static with
# binfmt_misc, and the root's programs run under emulation. Sets
# bullseye_root_dir. Holds the root's lock until the caller exits, as
# scripts/sid_root.sh does.
bullseye_root() {
  local arch="$1" binfmt=/proc/sys/fs/binfmt_misc entry
  local packages=ca-certificates,libssl1.1,libffi7,libsqlite3-0,libbz2-1.0,liblzma5,zlib1g,libstdc++6
  bullseye_root_dir="$PWD/build/bullseye-$arch"
  if [[ "$arch" == arm64 ]]; then
    # The F flag opens the emulator when it is registered, so that it runs
    # inside the root, where the host's path to it does not exist;
    # qemu-user-static's own entry carries it, qemu-user-binfmt's does not.
    # An entry that has it already stays, as programs may be running under it.
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
  fi
  exec {bullseye_root_lock}>"$bullseye_root_dir.lock"
  flock -w 1800 "$bullseye_root_lock"
  if [[ -e "$bullseye_root_dir/.complete" ]]; then
    return 0
  fi
  step "making a clean Debian bullseye root for $arch in build/bullseye-$arch" "about 2 minutes; 5 for arm64"
  rm -rf "$bullseye_root_dir"
  # mmdebstrap, not debootstrap --foreign, for arm64: that one's second stage,
  # run under emulation, reads the whole package index with perl again and
  # again, and took 43 minutes here. mmdebstrap resolves and downloads on the
  # host and runs only dpkg and the packages' scripts under emulation.
  logged "bullseye-$arch-root" mmdebstrap --mode=root --arch="$arch" --variant=minbase \
    --include="$packages" bullseye "$bullseye_root_dir" "deb $(bash scripts/debian_mirror.sh) bullseye main"
  touch "$bullseye_root_dir/.complete"
}
