#!/usr/bin/env bash
# free_threaded_python.sh [--bullseye | --thread-sanitizer]: prints the path of
# a free-threaded CPython 3.14 interpreter (python3.14t) and nothing else on
# standard output; progress goes to standard error, the tools' output to
# build/logs/free-threaded-python.log.
#
# Where it comes from, in order: $PYTHON_FT (which must be a free-threaded
# 3.14, or the script fails); python3.14t on PATH, under pyenv's root or in
# /usr/local/bin and /usr/bin; an earlier build in the cache; a build from
# ../shared/cpython/Python-3.14.7.tar.xz once its checksum matches SHA256SUMS.
# The build lands outside the clone, in
# ${XDG_CACHE_HOME:-~/.cache}/gapwright/cpython-<checksum>-ft[-bullseye], so
# every clone on the machine shares it and only the first run pays for it
# (about 12 minutes on two cores). It is made in a staging directory beside
# the cache entry and renamed into place only once it runs and imports ssl, so
# an interrupted build is never taken for a finished one. Its venvs come with
# pip.
#
# As root it is built in a Debian bullseye root (scripts/bullseye_build_root.sh)
# against glibc 2.31, with the three libraries whose names changed since
# (OpenSSL 1.1 and libffi 7) copied beside it: the same interpreter then runs
# here and in the bullseye root where the release wheels are installed
# (scripts/bullseye_wheels.sh), and serves as the build interpreter of the
# aarch64 cross build (scripts/arm64_python.sh). --bullseye asks for that
# build whatever else there is, and fails with status 3 without root.
#
# --thread-sanitizer asks for an interpreter built here with ThreadSanitizer
# instead; it is never looked for elsewhere, only built (into
# cpython-<checksum>-ft-tsan), and $PYTHON_FT does not apply.
#
# Exit status 3: no interpreter here and nothing to build one from (or the
# packages the build needs cannot be installed); the reason is on standard
# error, and the caller says loudly what it leaves out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
mode=any
case "${1:-}" in
  "") ;;
  --bullseye) mode=bullseye ;;
  --thread-sanitizer) mode=tsan ;;
  *) echo "usage: scripts/free_threaded_python.sh [--bullseye | --thread-sanitizer]" >&2; exit 2 ;;
esac

# is_free_threaded_314 PYTHON: whether PYTHON runs and is a 3.14 built without the GIL.
is_free_threaded_314() {
  "$1" -c 'import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")))' \
    2>/dev/null
}

if [[ "$mode" == any && -n "${PYTHON_FT:-}" ]]; then
  if ! is_free_threaded_314 "$PYTHON_FT"; then
    echo "PYTHON_FT=$PYTHON_FT is not a free-threaded CPython 3.14" >&2
    exit 1
  fi
  echo "$PYTHON_FT"
  exit 0
fi

if [[ "$mode" == any ]]; then
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

source scripts/cpython_source.sh
prefix_of() {
  echo "$cache/cpython-${checksum:0:16}-ft$1"
}
case "$mode" in
  any)
    for built in -bullseye ""; do
      if is_free_threaded_314 "$(prefix_of "$built")/bin/python3.14t"; then
        echo "$(prefix_of "$built")/bin/python3.14t"
        exit 0
      fi
    done
    suffix=""
    if root_steps; then
      suffix=-bullseye
    fi
    ;;
  bullseye) suffix=-bullseye ;;
  tsan) suffix=-tsan ;;
esac
if [[ "$suffix" == -bullseye ]] && ! root_steps; then
  echo "building CPython in a Debian bullseye root $(why_no_root_steps)" >&2
  exit 3
fi
log="free-threaded-python$suffix"
prefix="$(prefix_of "$suffix")"
python="$prefix/bin/python3.14t"
# Two runs at once on one machine build it once: the second waits here.
exec 9>"$prefix.lock"
flock 9
if is_free_threaded_314 "$python"; then
  echo "$python"
  exit 0
fi

what="free-threaded CPython 3.14.7"
case "$suffix" in
  -bullseye) what+=" for Debian bullseye" ;;
  -tsan) what+=" with ThreadSanitizer" ;;
esac
# What a killed build left behind; no other build runs while the lock is held.
rm -rf "$prefix" "$prefix".staging.*
staging="$(mktemp -d "$prefix.staging.XXXXXX")"
cleanup() {
  rm -rf "$staging"
}
trap cleanup EXIT

if [[ "$suffix" == -bullseye ]]; then
  source scripts/debian_root.sh
  trap 'unmount_all; cleanup' EXIT
  source scripts/bullseye_build_root.sh
  bullseye_build_root "$staging" >&2
  step "building $what into $prefix, once per machine" "about 12 minutes on two cores" >&2
  cp "$tarball" "$staging/"
  in_root PREFIX="$prefix" JOBS="$(nproc)" >&2 <<'INSIDE'
source /project/scripts/steps.sh
rm -rf /tmp/cpython && mkdir /tmp/cpython && cd /tmp/cpython
logged free-threaded-python-bullseye tar -xJf /out/Python-3.14.7.tar.xz --strip-components=1
logged free-threaded-python-bullseye ./configure --disable-gil --prefix="$PREFIX"
logged free-threaded-python-bullseye nice -n 10 make -j"$JOBS"
logged free-threaded-python-bullseye make install DESTDIR=/out/root
# Debian 12 and later ship OpenSSL 3 and libffi 8 under other names: the
# modules that link them find bullseye's copies beside the interpreter.
lib="/out/root$PREFIX/lib"
arch="$(gcc -print-multiarch)"
cp -L "/usr/lib/$arch/libssl.so.1.1" "/usr/lib/$arch/libcrypto.so.1.1" "/usr/lib/$arch/libffi.so.7" "$lib/"
for module in "$lib"/python3.14t/lib-dynload/{_ssl,_hashlib,_ctypes}.*.so; do
  logged free-threaded-python-bullseye patchelf --set-rpath '$ORIGIN/../..' "$module"
done
rm -rf /tmp/cpython
INSIDE
  unmount_all
else
  # ssl is what pip needs to reach the package index; the others are
  # standard-library modules the test packages import.
  if ! packages_for "building a free-threaded CPython 3.14" \
    gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev >&2; then
    echo "the packages needed to build a free-threaded CPython 3.14 are missing" >&2
    exit 3
  fi
  step "building $what into $prefix, once per machine" "about 12 minutes on two cores" >&2
  configure=(--disable-gil --prefix="$prefix")
  if [[ "$suffix" == -tsan ]]; then
    configure+=(--with-thread-sanitizer)
  fi
  logged "$log" tar -xJf "$tarball" -C "$staging"
  (
    cd "$staging/Python-3.14.7"
    logged "$log" ./configure "${configure[@]}"
    logged "$log" nice -n 10 make -j"$(nproc)"
    logged "$log" make install DESTDIR="$staging/root"
  )
fi
staged="$staging/root$prefix/bin/python3.14t"
if ! is_free_threaded_314 "$staged" || ! "$staged" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3'; then
  echo "the $staged just built is not a free-threaded 3.14 with ssl, zlib, ctypes, bz2, lzma and sqlite3" >&2
  exit 1
fi
mv -T "$staging/root$prefix" "$prefix"
echo "$python"
