# Sourced (after scripts/steps.sh) by the steps that run inside a Debian root
# under build/: the sid root for CPython 3.15 and 3.14, the bullseye build
# root and the clean bullseye roots.
# enter_root mounts the project read-only at /project, an output folder at
# /out and the logs at /logs, so that a half-finished run can never delete
# sources, and everything is unmounted when the script exits; in_root runs a
# script read from standard input inside, with a clean environment (the
# host's PIP_* settings name paths that do not exist there). Needs root.
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
  done
  mounted=()
}
trap unmount_all EXIT

# enter_root ROOT OUT
enter_root() {
  target="$1"
  local out="$2" project
  project="$(pwd -P)"
  # pip inside the root reaches the package index through the host's network,
  # which may need the host's extra certificate authorities.
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    mkdir -p "$target/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$target/usr/local/share/ca-certificates/"
  fi
  mkdir -p "$out" "$target/project" "$target/out" "$target/logs"
  mount -t proc proc "$target/proc" && mounted+=("$target/proc")
  mount --bind /dev "$target/dev" && mounted+=("$target/dev")
  mount --bind /dev/pts "$target/dev/pts" && mounted+=("$target/dev/pts")
  mount --bind "$project" "$target/project" && mounted+=("$target/project")
  mount -o remount,bind,ro "$target/project"
  mount --bind "$out" "$target/out" && mounted+=("$target/out")
  mount --bind "$logs_dir" "$target/logs" && mounted+=("$target/logs")
  if [[ -x "$target/usr/sbin/update-ca-certificates" ]]; then
    logged "${target##*/}-root" chroot "$target" /usr/sbin/update-ca-certificates
  fi
}

# in_root [NAME=VALUE...] <<'INSIDE' ... INSIDE
in_root() {
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive GAPWRIGHT_LOGS=/logs GAPWRIGHT_LOGS_SHOWN="$logs_shown" \
    GAPWRIGHT_RUN_START="$GAPWRIGHT_RUN_START" \
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$@" chroot "$target" /bin/bash -euo pipefail -s
}
