#!/usr/bin/env bash
# wheel_build.sh PYTHON ARCH WORK [RAW]: builds one manylinux_2_28 wheel of the
# sources unpacked in WORK/src for the interpreter PYTHON and the processor
# ARCH (x86_64 or aarch64) into RAW (WORK/raw), tagged linux_ARCH, with the
# compiler that scripts/wheels.sh put in WORK/toolchain; auditwheel gives it
# its manylinux tag once it has checked it. Runs on this machine for the
# interpreters found here and inside the sid root for Debian's; WORK is the
# same path in both. PYTHON itself never runs code for ARCH: it only drives
# the build backend, so an aarch64 wheel takes the headers of the x86-64
# interpreter of the same version (see README, "Wheels for release").
set -euo pipefail
python="$1" arch="$2" work="$3" raw="${4:-$3/raw}"
tag="$("$python" -c 'import sys, sysconfig
print(sys.implementation.cache_tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')"
env="$work/env-$tag"
# The backend and the headers it builds against, once per interpreter; not in
# an isolated environment per build, which would download them every time.
if [[ ! -x "$env/bin/python" ]]; then
  "$python" -m venv "$env"
  "$env/bin/pip" install -q "scikit-build-core>=1.0" "numpy>=2.0" cmake ninja
fi

include="$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
suffix="$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
defines=()
# Debian's pyconfig.h includes the one for the processor by a path below
# /usr/include, which zig's clang, with a libc of its own, does not search:
# the headers are copied with that one in its place. An aarch64 wheel takes
# the x86-64 one: the two differ only in what CPython's own build uses (x87
# and x86-64 assembly, its hash library's vector units, the support tier) and
# in HAVE_USABLE_WCHAR_T, which the public headers read only to define
# HAVE_WCHAR_H, defined on Linux anyway.
multiarch="$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')"
concrete="$(dirname "$include")/$multiarch/$(basename "$include")/pyconfig.h"
if [[ -n "$multiarch" && -f "$concrete" ]]; then
  headers="$work/headers-$tag"
  rm -rf "$headers" && cp -rL "$include" "$headers"
  cp "$concrete" "$headers/pyconfig.h"
  defines+=(-C "cmake.define.Python_INCLUDE_DIR=$headers")
elif [[ "$arch" != "$(uname -m)" ]]; then
  defines+=(-C "cmake.define.Python_INCLUDE_DIR=$include")
fi
if [[ "$arch" != "$(uname -m)" ]]; then
  suffix="${suffix/$(uname -m)/$arch}"
fi

build="$work/build-$tag-$arch"
rm -rf "$build"
# The backend tags the wheel from the interpreter's own tags, the first one
# that is not a manylinux tag, so a manylinux platform here would leave
# none with the interpreter's ABI.
env _PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$suffix" \
  "$env/bin/pip" wheel --no-deps --no-build-isolation -w "$raw" "$work/src" \
  -C wheel.reproducible=true -C "build-dir=$build" \
  -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$work/toolchain/$arch.cmake" \
  -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache "${defines[@]}"
rm -rf "$build"
