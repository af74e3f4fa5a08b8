#!/usr/bin/env bash
# Installs those of the named Debian packages that are not installed yet; needs
# root or sudo when one is missing. Waits for another apt run to finish rather
# than fail on its lock.
set -euo pipefail
missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi
echo "== installing ${missing[*]}"
as_root=()
if [[ "$(id -u)" -ne 0 ]]; then
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
