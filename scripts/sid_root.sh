# Sourced, as root, after scripts/steps.sh and scripts/debian_root.sh, by the
# steps that need CPython 3.15 and 3.14, which Debian ships only in
# experimental and sid: makes (once) the minimal sid root $sid (build/sid)
# with both interpreters, their headers and venv modules, and a compiler, and
# enters it with enter_root, its output folder OUT mounted at /out.
# sid_root OUT
sid="$PWD/build/sid"
sid_root() {
  local mirror
  packages_for "the Debian sid root" debootstrap
  mirror="$(bash scripts/debian_mirror.sh)"
  # The run makes the root early, beside the suites (scripts/roots.sh); a step
  # that needs it meanwhile waits here rather than start another. The lock
  # is held until the caller exits and its mounts are gone: a second set of
  # mounts on the same root would be undone by the first one's unmounting.
  exec {sid_lock}>"$sid.lock"
  flock -w 1800 "$sid_lock"
  if [[ ! -x "$sid/usr/bin/python3.14" ]]; then
    step "making a Debian sid root in build/sid with CPython 3.14" "about 2 minutes, 1 GB"
    rm -rf "$sid"
    logged sid-root debootstrap --variant=minbase \
      --include=python3.14,python3.14-dev,python3.14-venv,g++,ccache,ca-certificates sid "$sid" "$mirror"
    # sid's index may be past its Valid-Until stamp by the time apt reads it again.
    echo 'Acquire::Check-Valid-Until "false";' >"$sid/etc/apt/apt.conf.d/99no-check-valid-until"
  fi
  enter_root "$sid" "$1"
  if [[ ! -x "$sid/usr/bin/python3.15" ]]; then
    step "adding CPython 3.15 from Debian experimental to the sid root" "about a minute"
    echo "deb $mirror experimental main" >"$sid/etc/apt/sources.list.d/experimental.list"
    in_root <<'INSIDE'
source /project/scripts/steps.sh
logged sid-root apt-get update -q
logged sid-root apt-get install -y -q -t experimental python3.15 python3.15-dev python3.15-venv
INSIDE
  fi
}
