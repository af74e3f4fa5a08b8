#!/usr/bin/env bash
# Makes the Debian roots the later steps run in, the sid root
# (scripts/sid_root.sh) and the clean bullseye roots for amd64 and arm64
# (scripts/bullseye_root.sh), so that
# their downloads and package scripts run beside the suites rather than in
# the steps that need them. Leaves out without a word what is not to run
# here (no root, or its packages missing): the steps that need a root say so.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
if ! root_steps; then
  exit 0
fi
# Each in a process of its own, which holds the root's lock until it exits.
(
  source scripts/debian_root.sh
  source scripts/sid_root.sh
  sid_root "$PWD/build/sid-out"
)
if packages_for "the bullseye roots" mmdebstrap arch-test qemu-user-static; then
  for arch in amd64 arm64; do
    (
      source scripts/bullseye_root.sh
      bullseye_root "$arch"
    )
  done
fi
