# Sourced, as root, after scripts/steps.sh and scripts/debian_root.sh, by the
# steps that build CPython for Debian bullseye (glibc 2.31), the oldest system
# the release wheels are checked on: makes (once) the root $bullseye_build
# (build/bullseye-build) with gcc, the -dev packages of the standard
# library's extension modules for amd64 and arm64, and the aarch64 cross
# compiler, and enters it with enter_root, its output folder OUT mounted at
# /out. Holds the root's lock until the caller exits, as scripts/sid_root.sh
# does.
# bullseye_build_root OUT
bullseye_build="$PWD/build/bullseye-build"
bullseye_build_root() {
  local mirror dev=(libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev)
  packages_for "the Debian bullseye build root" debootstrap
  mirror="$(bash scripts/debian_mirror.sh)"
  exec {bullseye_build_lock}>"$bullseye_build.lock"
  flock -w 1800 "$bullseye_build_lock"
  if [[ ! -e "$bullseye_build/.complete" ]]; then
    step "making a Debian bullseye root in build/bullseye-build with gcc and the aarch64 cross compiler" \
      "about 3 minutes, 900 MB"
    rm -rf "$bullseye_build"
    logged bullseye-build-root debootstrap --variant=minbase \
      --include="build-essential,xz-utils,patchelf,$(IFS=,; echo "${dev[*]}")" \
      bullseye "$bullseye_build" "$mirror"
    enter_root "$bullseye_build" "$1"
    in_root PACKAGES="gcc-aarch64-linux-gnu libc6-dev-arm64-cross ${dev[*]/%/:arm64}" <<'INSIDE'
source /project/scripts/steps.sh
dpkg --add-architecture arm64
logged bullseye-build-root apt-get update -q
logged bullseye-build-root apt-get install -y -q --no-install-recommends $PACKAGES
INSIDE
    touch "$bullseye_build/.complete"
  else
    enter_root "$bullseye_build" "$1"
  fi
}
