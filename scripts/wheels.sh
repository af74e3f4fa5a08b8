#!/usr/bin/env bash
# wheels.sh [SDIST]: builds the release wheels into dist/, tagged
# manylinux_2_28 for x86_64 and aarch64, for CPython 3.11 to 3.15 and the
# free-threaded 3.14t, from SDIST or else from a fresh sdist of the files git
# sees. The compiler is zig's clang, which targets glibc 2.28 from this
# machine and links libc++ statically, for both processors (README, "Wheels
# for release"). Fails when auditwheel finds a wheel that needs more than
# manylinux_2_28 or links a library other than the C runtime. 3.14 and 3.15
# are Debian's, in the sid root (needs root); 3.14t is $PYTHON_FT or
# scripts/free_threaded_python.sh's. An interpreter that is not there is
# skipped, loudly.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
root="$PWD"
work="$root/build/wheels"
arches=(x86_64 aarch64)
zig_version=0.17.1
# The C runtime: glibc 2.28 still keeps threads, dlopen and the maths in
# libraries of their own.
c_runtime="libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 ld-linux-x86-64.so.2 ld-linux-aarch64.so.1"
mkdir -p "$work"
started=$SECONDS

mapfile -t pythons < <(scripts/find_python.sh 3)
tools="$work/tools"
# zig lives outside the clone, beside its cache, which it keys by the path
# of its own library sources: every clone on the machine shares both.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/gapwright"
zig="$cache/ziglang-$zig_version/ziglang/zig"
if [[ ! -x "$tools/bin/wheel" || ! -x "$zig" ]]; then
  step "wheel tools (zig $zig_version, auditwheel, wheel, build) in build/wheels" "under a minute"
  logged wheels "${pythons[0]}" -m venv "$tools"
  logged wheels "$tools/bin/pip" install auditwheel wheel build
  rm -rf "$cache/ziglang-$zig_version"
  logged wheels "$tools/bin/pip" install --target "$cache/ziglang-$zig_version" "ziglang==$zig_version"
fi
packages_for "wheels built with a compiler cache" ccache || exit 0

sdist="${1:-}"
if [[ -z "$sdist" ]]; then
  step "source distribution" "seconds"
  # From a copy of the files git sees, as scripts/test.sh makes it: the
  # backend would walk build/, Debian roots and all.
  rm -rf "$work/sdist" "$work/sdist-source" && mkdir -p "$work/sdist-source"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do if [[ -e "$file" ]]; then printf '%s\0' "$file"; fi; done |
    tar --null -T - -cf - | tar -xf - -C "$work/sdist-source"
  logged wheels "$tools/bin/python" -m build --sdist -o "$work/sdist" "$work/sdist-source"
  sdist="$(ls "$work"/sdist/gapwright-*.tar.gz)"
fi
sdist="$(realpath "$sdist")"
# Every timestamp in a wheel is this one, so that the same sources give the
# same bytes: the last commit's time, or the sdist's own.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || stat -c %Y "$sdist")"
fi
export SOURCE_DATE_EPOCH
# Unpacked at one fixed path, so that the compiler cache finds the native
# core, which never includes Python.h, already built for each processor
# whichever interpreter asks; only the Python-facing units compile again.
rm -rf "$work/src" "$work/raw" "$work/out" && mkdir -p "$work/src" "$work/raw" "$work/out"
tar -xzf "$sdist" -C "$work/src" --strip-components=1

mkdir -p "$work/toolchain"
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$work/toolchain/$tool"
done
for arch in "${arches[@]}"; do
  printf '#!/bin/sh\nexec %q c++ -target %s-linux-gnu.2.28 "$@"\n' "$zig" "$arch" \
    >"$work/toolchain/$arch-c++"
  # A build for this machine's processor is not a cross build, so that CMake
  # may ask the interpreter what it is (a free-threaded one, say).
  if [[ "$arch" == "$(uname -m)" ]]; then
    : >"$work/toolchain/$arch.cmake"
  else
    printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR %s)\n' "$arch" >"$work/toolchain/$arch.cmake"
  fi
  # No debug information in a release wheel, whatever flags an interpreter's
  # build configuration brings (Debian's made the aarch64 module 14 MB).
  cat >>"$work/toolchain/$arch.cmake" <<EOF
set(CMAKE_CXX_COMPILER "$work/toolchain/$arch-c++")
set(CMAKE_AR "$work/toolchain/ar")
set(CMAKE_RANLIB "$work/toolchain/ranlib")
set(CMAKE_CXX_FLAGS_INIT "-Werror")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-debug")
EOF
done
chmod +x "$work"/toolchain/*-c++ "$work/toolchain/ar" "$work/toolchain/ranlib"
# zig's own cache holds libc++ and the glibc 2.28 stubs built per target;
# both caches live outside the clone, so that every clone on the machine
# shares them. The compiler is known by zig's version (the wrapper scripts are
# written anew each run). The sources' paths are a clone's own, and stay so
# in the module's messages, so a new clone compiles its first wheel for each
# processor afresh.
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-$zig_version" CCACHE_DIR="$cache/ccache-wheels" \
  CCACHE_COMPILERCHECK="string:zig-$zig_version"
mkdir -p "$ZIG_GLOBAL_CACHE_DIR" "$CCACHE_DIR"

# built PYTHON SHOWN: its wheels, for every processor.
built() {
  local python="$1" shown="$2" arch log
  for arch in "${arches[@]}"; do
    log="wheel-${shown// /-}-$arch"
    rm -f "$logs_dir/$log.log"
    step "$shown wheel for $arch" "about a minute; seconds with the core in the compiler cache"
    logged "$log" bash scripts/wheel_build.sh "$python" "$arch" "$work"
  done
}
for python in "${pythons[@]}"; do
  built "$python" "Python $("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
done
# $PYTHON_FT, one found here, or one built once per machine (status 3:
# none, and nothing to build one from).
status=0
free_threaded="$(bash scripts/free_threaded_python.sh)" || status=$?
if [[ "$status" -ne 0 && "$status" -ne 3 ]]; then
  exit "$status"
fi
if [[ "$status" -eq 0 ]]; then
  built "$free_threaded" "Python 3.14t"
else
  skip "the Python 3.14t wheels" "no free-threaded interpreter (see above): set PYTHON_FT to a python3.14t"
fi

if root_steps; then
  source scripts/debian_root.sh
  source scripts/sid_root.sh
  sid_root "$root/build/sid-out"
  if [[ ! -x "$sid/usr/bin/ccache" ]]; then
    in_root <<<"source /project/scripts/steps.sh; logged sid-root apt-get install -y -q ccache"
  fi
  # The work folder at its own path inside the root, where the wheels built
  # there name the same compiler and sources as those built here.
  mkdir -p "$sid$work" "$sid$cache"
  mount --bind "$work" "$sid$work" && mounted+=("$sid$work")
  mount --bind "$cache" "$sid$cache" && mounted+=("$sid$cache")
  in_root WORK="$work" SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
    CCACHE_DIR="$CCACHE_DIR" CCACHE_COMPILERCHECK="$CCACHE_COMPILERCHECK" ARCHES="${arches[*]}" <<'INSIDE'
source /project/scripts/steps.sh
for version in 3.15 3.14; do
  for arch in $ARCHES; do
    step "Python $version wheel for $arch (in the sid root)" "about a minute; seconds with the core cached"
    logged "wheel-Python-$version-$arch" bash /project/scripts/wheel_build.sh "python$version" "$arch" "$WORK"
  done
done
INSIDE
  unmount_all
else
  skip "the Python 3.15 and 3.14 wheels, built in the Debian sid root" "$(why_no_root_steps)"
fi

step "auditwheel: manylinux_2_28 or older, no library but the C runtime" "seconds"
failed=0
for wheel in "$work"/raw/gapwright-*.whl; do
  arch="${wheel%.whl}" arch="${arch##*linux_}"
  # Tagged for the policy the check below holds it to. auditwheel repair
  # would tag it too, but takes only this machine's processor.
  cp "$wheel" "$work/out/"
  logged wheels "$tools/bin/wheel" tags --remove --platform-tag "manylinux_2_28_$arch" "$work/out/${wheel##*/}"
done
for wheel in "$work"/out/gapwright-*.whl; do
  name="${wheel##*/}"
  # The interpreter's own ABI in the tag, free-threaded or not: never none
  # or abi3, which would let pip put the module under another interpreter.
  if [[ ! "$name" =~ -cp3([0-9]+)-cp3([0-9]+)(t?)-manylinux_2_28_(x86_64|aarch64)\.whl$ ||
    "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ]]; then
    echo "!! $name: not tagged cpXY-cpXY[t]-manylinux_2_28_<processor>" >&2
    failed=1
  else
    # The module's own name says which interpreter may load it, as the tag does.
    module="gapwright.cpython-3${BASH_REMATCH[2]}${BASH_REMATCH[3]}-${BASH_REMATCH[4]}-linux-gnu.so"
    if [[ "$("$tools/bin/python" -m zipfile -l "$wheel" | awk '/\.so /{print $1}')" != "$module" ]]; then
      echo "!! $name: the module in it is not named $module" >&2
      failed=1
    fi
  fi
  report="$("$tools/bin/auditwheel" show "$wheel" 2>&1)" || { echo "$report" >&2; failed=1; continue; }
  echo "$report" >>"$logs_dir/auditwheel.log"
  # auditwheel names the newest policy the wheel satisfies; a 2_28 tag or an
  # older one (2_17, 2_5, ...) will do.
  policy="$(grep -o 'manylinux_2_[0-9]*' <<<"$report" | head -n 1)"
  if [[ -z "$policy" || "${policy#manylinux_2_}" -gt 28 ]]; then
    echo "!! $name: auditwheel finds no manylinux_2_28 policy it satisfies:" >&2
    echo "$report" | sed 's/^/   /' >&2
    failed=1
  fi
  # What the extension module asks the dynamic linker for.
  needed="$("$tools/bin/python" - "$wheel" <<'PY'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for member in wheel.namelist():
        if member.endswith(".so"):
            elf = ELFFile(io.BytesIO(wheel.read(member)))
            for tag in elf.get_section_by_name(".dynamic").iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    print(tag.needed)
PY
)"
  for library in $needed; do
    if [[ " $c_runtime " != *" $library "* ]]; then
      echo "!! $name links $library, which is not part of the C runtime" >&2
      failed=1
    fi
  done
  echo "$name: ${policy:-no policy}, $(du -k "$wheel" | cut -f1) kB, links $(echo $needed)"
done
if [[ "$failed" -ne 0 ]]; then
  exit 1
fi

step "the same wheel built again, byte for byte" "under a minute"
again="$work/again" arch="$(uname -m)"
rm -rf "$again" && mkdir -p "$again/raw" "$again/out"
logged wheel-again bash scripts/wheel_build.sh "${pythons[0]}" "$arch" "$work" "$again/raw"
cp "$again"/raw/gapwright-*.whl "$again/out/"
logged wheel-again "$tools/bin/wheel" tags --remove --platform-tag "manylinux_2_28_$arch" "$again"/out/gapwright-*.whl
rebuilt="$(ls "$again"/out/gapwright-*.whl)"
if ! cmp "$rebuilt" "$work/out/${rebuilt##*/}"; then
  echo "!! ${rebuilt##*/} differs from the one built before it" >&2
  exit 1
fi
echo "${rebuilt##*/}: the same $(stat -c %s "$rebuilt") bytes"
mkdir -p dist
rm -f dist/gapwright-*.whl
cp "$work"/out/gapwright-*.whl dist/
echo "$(ls "$work"/out/gapwright-*.whl | wc -l) wheels in dist/, in about $(((SECONDS - started + 30) / 60)) min"
