#!/usr/bin/env bash
# arm64_python.sh: prints the path of a CPython 3.14 for aarch64 Debian
# bullseye (glibc 2.31) and nothing else on standard output; progress goes to
# standard error, the tools' output to build/logs/arm64-python.log. It is
# cross-built once per machine from ../shared/cpython in the bullseye build
# root (scripts/bullseye_build_root.sh), against that root's arm64 libraries,
# with the free-threaded 3.14 made there (scripts/free_threaded_python.sh
# --bullseye) as the build interpreter: under emulation the build would take
# hours. The printed folder is the installation's whole tree, made for
# /opt/cpython-3.14, in ${XDG_CACHE_HOME:-~/.cache}/gapwright/
# cpython-<checksum>-aarch64-bullseye. Needs root; status 3 when it cannot
# run here, with the reason on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
if ! root_steps; then
  echo "cross-building CPython for aarch64 in a Debian bullseye root $(why_no_root_steps)" >&2
  exit 3
fi
source scripts/cpython_source.sh
entry="$cache/cpython-${checksum:0:16}-aarch64-bullseye"
installed_at=/opt/cpython-3.14
exec 9>"$entry.lock"
flock 9
if [[ -x "$entry/bin/python3.14" ]]; then
  echo "$entry"
  exit 0
fi

build_python="$(bash scripts/free_threaded_python.sh --bullseye)"
rm -rf "$entry" "$entry".staging.*
staging="$(mktemp -d "$entry.staging.XXXXXX")"
source scripts/debian_root.sh
trap 'unmount_all; rm -rf "$staging"' EXIT
source scripts/bullseye_build_root.sh
bullseye_build_root "$staging" >&2
build_prefix="${build_python%/bin/python3.14t}"
mkdir -p "$bullseye_build$build_prefix"
mount --bind "$build_prefix" "$bullseye_build$build_prefix" && mounted+=("$bullseye_build$build_prefix")
mount -o remount,bind,ro "$bullseye_build$build_prefix"

step "cross-building CPython 3.14.7 for aarch64 Debian bullseye into $entry, once per machine" \
  "about 10 minutes on two cores" >&2
cp "$tarball" "$staging/"
in_root BUILD_PYTHON="$build_python" PREFIX="$installed_at" JOBS="$(nproc)" >&2 <<'INSIDE'
source /project/scripts/steps.sh
rm -rf /tmp/cpython-arm64 && mkdir /tmp/cpython-arm64 && cd /tmp/cpython-arm64
logged arm64-python tar -xJf /out/Python-3.14.7.tar.xz --strip-components=1
# What configure cannot find out by running a program for another processor,
# answered as it is on Linux.
logged arm64-python ./configure --host=aarch64-linux-gnu --build=x86_64-linux-gnu --prefix="$PREFIX" \
  --with-build-python="$BUILD_PYTHON" --with-ensurepip=no \
  ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no
logged arm64-python nice -n 10 make -j"$JOBS"
logged arm64-python make install DESTDIR=/out/root
# Neither the static library nor CPython's own test suite is needed to run
# it: without them the tree copied into the root is a third of the size.
rm -rf "/out/root$PREFIX/lib/libpython3.14.a" "/out/root$PREFIX/lib/python3.14/test" \
  "/out/root$PREFIX/lib/python3.14/config-3.14-aarch64-linux-gnu/libpython3.14.a"
rm -rf /tmp/cpython-arm64
INSIDE
staged="$staging/root$installed_at"
if ! readelf -h "$staged/bin/python3.14" | grep -q "AArch64" ||
  ! ls "$staged"/lib/python3.14/lib-dynload/_ssl.*aarch64*.so >/dev/null 2>&1; then
  echo "the $staged/bin/python3.14 just built is not an aarch64 CPython with ssl" >&2
  exit 1
fi
mv -T "$staged" "$entry"
echo "$entry"
