#!/usr/bin/env bash
# free_threaded_python.sh [--thread-sanitizer]: prints the path of a
# free-threaded CPython 3.14 interpreter (python3.14t) and nothing else on
# standard output; progress goes to standard error, the tools' output to
# build/logs/free-threaded-python.log.
#
# Where it comes from, in order: $PYTHON_FT (which must be a free-threaded
# 3.14, or the script fails); python3.14t on PATH, under pyenv's root or in
# /usr/local/bin and /usr/bin; an earlier build in the cache; a build from
# ../shared/cpython/Python-3.14.7.tar.xz once its checksum matches SHA256SUMS.
# The build lands outside the clone, in
# ${XDG_CACHE_HOME:-~/.cache}/gapwright/cpython-<checksum>-ft, so every clone
# on the machine shares it and only the first run pays for it (about 12
# minutes on two cores). It is made in a staging directory beside the cache
# entry and renamed into place only once it runs and imports ssl, so an
# interrupted build is never taken for a finished one. Its venvs come with pip.
#
# --thread-sanitizer asks for an interpreter built with ThreadSanitizer
# instead; it is never looked for elsewhere, only built (into
# cpython-<checksum>-ft-tsan), and $PYTHON_FT does not apply.
#
# Exit status 3: no interpreter here and nothing to build one from (or the
# packages the build needs cannot be installed); the reason is on standard
# error, and the caller says loudly what it leaves out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
tsan=0 suffix=""
case "${1:-}" in
  "") ;;
  --thread-sanitizer) tsan=1 suffix=-tsan ;;
  *) echo "usage: scripts/free_threaded_python.sh [--thread-sanitizer]" >&2; exit 2 ;;
esac
log="free-threaded-python$suffix"

# is_free_threaded_314 PYTHON: whether PYTHON runs and is a 3.14 built without the GIL.
is_free_threaded_314() {
  "$1" -c 'import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")))' \
    2>/dev/null
}

if [[ "$tsan" -eq 0 && -n "${PYTHON_FT:-}" ]]; then
  if ! is_free_threaded_314 "$PYTHON_FT"; then
    echo "PYTHON_FT=$PYTHON_FT is not a free-threaded CPython 3.14" >&2
    exit 1
  fi
  echo "$PYTHON_FT"
  exit 0
fi

if [[ "$tsan" -eq 0 ]]; then
  candidates=(python3.14t)
  if command -v pyenv >/dev/null 2>&1; then
    candidates+=("$(pyenv root)"/versions/3.14*t/bin/python3.14t)
  fi
  candidates+=(/usr/local/bin/python3.14t /usr/bin/python3.14t)
  for candidate in "${candidates[@]}"; do
    if path="$(command -v "$candidate" 2>/dev/null)" && is_free_threaded_314 "$path"; then
      echo "$path"
      exit 0
    fi
  done
fi

source_dir="$(realpath -m ../shared/cpython)"
tarball="$source_dir/Python-3.14.7.tar.xz"
if [[ ! -f "$tarball" || ! -f "$source_dir/SHA256SUMS" ]]; then
  echo "no free-threaded CPython 3.14 on this machine, and no $tarball with its SHA256SUMS to build one" >&2
  exit 3
fi
checksum="$(sha256sum "$tarball" | cut -d' ' -f1)"
if ! grep -q "^$checksum  Python-3.14.7.tar.xz\$" "$source_dir/SHA256SUMS"; then
  echo "$tarball does not match $source_dir/SHA256SUMS" >&2
  exit 1
fi

cache="${XDG_CACHE_HOME:-$HOME/.cache}/gapwright"
prefix="$cache/cpython-${checksum:0:16}-ft$suffix"
python="$prefix/bin/python3.14t"
mkdir -p "$cache"
# Two runs at once on one machine build it once: the second waits here.
exec 9>"$prefix.lock"
flock 9
if is_free_threaded_314 "$python"; then
  echo "$python"
  exit 0
fi

# ssl is what pip needs to reach the package index; the others are
# standard-library modules the test packages import.
if ! packages_for "building a free-threaded CPython 3.14" \
  gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev >&2; then
  echo "the packages needed to build a free-threaded CPython 3.14 are missing" >&2
  exit 3
fi

what="free-threaded CPython 3.14.7"
if [[ "$tsan" -eq 1 ]]; then
  what+=" with ThreadSanitizer"
fi
step "building $what into $prefix, once per machine" "about 12 minutes on two cores" >&2
# What a killed build left behind; no other build runs while the lock is held.
rm -rf "$prefix" "$prefix".staging.*
staging="$(mktemp -d "$prefix.staging.XXXXXX")"
trap 'rm -rf "$staging"' EXIT
configure=(--disable-gil --prefix="$prefix")
if [[ "$tsan" -eq 1 ]]; then
  configure+=(--with-thread-sanitizer)
fi
logged "$log" tar -xJf "$tarball" -C "$staging"
(
  cd "$staging/Python-3.14.7"
  logged "$log" ./configure "${configure[@]}"
  logged "$log" nice -n 10 make -j"$(nproc)"
  logged "$log" make install DESTDIR="$staging/root"
)
staged="$staging/root$prefix/bin/python3.14t"
if ! is_free_threaded_314 "$staged" || ! "$staged" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3'; then
  echo "the $staged just built is not a free-threaded 3.14 with ssl, zlib, ctypes, bz2, lzma and sqlite3" >&2
  exit 1
fi
mv -T "$staging/root$prefix" "$prefix"
echo "$python"
