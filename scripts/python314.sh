#!/usr/bin/env bash
# Runs the Python suite on CPython 3.14, which Debian ships only in sid: a
# minimal sid root under build/sid holds the interpreter and a compiler, and
# the suite runs inside it against a cp314 wheel built from the given sdist.
# The project is mounted read-only inside the root and everything written
# lands in build/py314, so a half-finished run can never delete sources.
# Needs root (debootstrap, mount, chroot).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
sdist="$(realpath "$1")"
sid="$root/build/sid"
out="$root/build/py314"

if [[ ! -x "$sid/usr/bin/python3.14" ]]; then
  echo "== making a Debian sid root for Python 3.14 (build/sid)"
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  rm -rf "$sid"
  debootstrap --variant=minbase \
    --include=python3.14,python3.14-dev,python3.14-venv,g++,ca-certificates \
    sid "$sid" http://deb.debian.org/debian >"$root/build/sid.log" 2>&1 \
    || { tail -20 "$root/build/sid.log"; exit 1; }
  # sid's index may be past its Valid-Until stamp by the time apt reads it again.
  echo 'Acquire::Check-Valid-Until "false";' >"$sid/etc/apt/apt.conf.d/99no-check-valid-until"
fi
# pip inside the root reaches the package index through the host's network,
# which may need the host's extra certificate authorities.
cp /etc/resolv.conf "$sid/etc/resolv.conf"
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  cp /usr/local/share/ca-certificates/*.crt "$sid/usr/local/share/ca-certificates/"
fi
chroot "$sid" /usr/sbin/update-ca-certificates >/dev/null

mkdir -p "$out" "$sid/project" "$sid/out"
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || umount -l "${mounted[i]}"; done
}
trap unmount_all EXIT
mount -t proc proc "$sid/proc" && mounted+=("$sid/proc")
mount --bind /dev "$sid/dev" && mounted+=("$sid/dev")
mount --bind /dev/pts "$sid/dev/pts" && mounted+=("$sid/dev/pts")
mount --bind "$root" "$sid/project" && mounted+=("$sid/project")
mount -o remount,bind,ro "$sid/project"
mount --bind "$out" "$sid/out" && mounted+=("$sid/out")

# A clean environment: the host's PIP_* settings name paths that do not
# exist inside the root.
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 SDIST="/project/${sdist#"$root"/}" \
  chroot "$sid" /bin/bash -euo pipefail -s <<'INSIDE'
cd /out
if [[ ! -x venv/bin/python ]]; then
  python3.14 -m venv venv
  venv/bin/pip install -q --upgrade pip
fi
venv/bin/pip install -q "numpy>=1.25" "pandas>=2.0" "pytest>=7" "hypothesis>=6" "mypy>=1.8" \
  pandas-stubs basedpyright pytest-run-parallel jupyter_client ipykernel joblib "dask[distributed]"
rm -rf wheel src
venv/bin/pip wheel -q --no-deps -w wheel "$SDIST"
venv/bin/pip install -q --force-reinstall --no-deps wheel/gapwright-*.whl
echo "built $(ls wheel/gapwright-*.whl)"
mkdir src && tar -xzf "$SDIST" -C src --strip-components=1
cd src/tests
/out/venv/bin/python -m pytest -q -p no:cacheprovider python
echo "== Python 3.14: the suite again, each test in 4 threads at once (pytest-run-parallel)"
/out/venv/bin/python -m pytest -q -p no:cacheprovider --parallel-threads=4 \
  python --ignore=python/test_typing.py
INSIDE
