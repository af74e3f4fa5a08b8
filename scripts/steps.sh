# Sourced by the scripts under scripts/: one line per step as it starts, the
# tools' own output kept in build/logs (shown from its end when a step fails),
# and steps that cannot run here recorded, so that the end of the run says
# again what it left out. A skipped step is never reported as a pass.
logs_dir="${GAPWRIGHT_LOGS:-$PWD/build/logs}"
# Where the logs are as the user sees them: inside the sid root they are
# written through a mount, under another name.
logs_shown="${GAPWRIGHT_LOGS_SHOWN:-$logs_dir}"
mkdir -p "$logs_dir"

# Where the whole run stands, shown on every step line: the run's start is
# passed down to the scripts it calls (and into the Debian roots).
export GAPWRIGHT_RUN_START="${GAPWRIGHT_RUN_START:-$(date +%s)}"

# step WHAT [HOW LONG]: announces a step before it starts, with the minutes
# and seconds the run has taken so far.
step() {
  local elapsed=$(($(date +%s) - GAPWRIGHT_RUN_START))
  printf '== [%d:%02d] %s\n' $((elapsed / 60)) $((elapsed % 60)) "$1${2:+ ($2)}"
}

# logged NAME COMMAND...: runs the command with its output appended to
# NAME.log; on failure prints the log's last lines and where the whole log is.
logged() {
  local log="$logs_dir/$1.log" status=0
  shift
  echo "\$ $*" >>"$log"
  "$@" >>"$log" 2>&1 || status=$?
  if [[ "$status" -ne 0 ]]; then
    echo "!! failed (exit status $status): $*" >&2
    echo "!! the end of $logs_shown/${log##*/}:" >&2
    tail -n 25 "$log" | sed 's/^/   /' >&2
    echo "!! whole log: $logs_shown/${log##*/}" >&2
  fi
  return "$status"
}

# skip WHAT WHY: says loudly that a step did not run, and keeps the line for
# the end of the run.
skip() {
  local line="!! SKIPPED: $1 -- $2"
  echo "$line"
  echo "$line" >>"$logs_dir/skipped"
}

# root_steps: whether the steps that need root (debootstrap, mount, chroot,
# binfmt_misc) run: only as root, and not when GAPWRIGHT_NO_ROOT_STEPS=1.
root_steps() {
  [[ "$(id -u)" -eq 0 && "${GAPWRIGHT_NO_ROOT_STEPS:-0}" != 1 ]]
}

why_no_root_steps() {
  if [[ "$(id -u)" -ne 0 ]]; then
    echo "it needs root (debootstrap, mount, chroot) and this run is not root"
  else
    echo "GAPWRIGHT_NO_ROOT_STEPS=1 (scripts/test.sh --no-root-steps)"
  fi
}

# packages_for WHAT PACKAGE...: installs those of the Debian packages that are
# missing (as root), or records WHAT as skipped and returns 1 when some are
# missing and this run is not root. Waits for another apt run to finish
# rather than fail on its lock.
packages_for() {
  local what="$1" package missing=()
  shift
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [[ ${#missing[@]} -eq 0 ]]; then
    return 0
  fi
  if [[ "$(id -u)" -ne 0 ]]; then
    skip "$what" "needs the Debian packages ${missing[*]}, which are not installed; installing them needs root"
    return 1
  fi
  step "installing ${missing[*]} from Debian's packages" "about a minute"
  logged apt apt-get update -q
  logged apt env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
}
