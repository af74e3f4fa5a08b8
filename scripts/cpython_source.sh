# Sourced by the scripts that build CPython from the source release beside the
# project (../shared/cpython): sets tarball, checksum (checked against its
# SHA256SUMS) and cache, the folder outside the clone where every clone on the
# machine finds the builds: ${XDG_CACHE_HOME:-~/.cache}/gapwright. Exits with
# status 3, saying why on standard error, when there is no source to build
# from.
source_dir="$(realpath -m ../shared/cpython)"
tarball="$source_dir/Python-3.14.7.tar.xz"
if [[ ! -f "$tarball" || ! -f "$source_dir/SHA256SUMS" ]]; then
  echo "no $tarball with its SHA256SUMS to build CPython 3.14 from" >&2
  exit 3
fi
checksum="$(sha256sum "$tarball" | cut -d' ' -f1)"
if ! grep -q "^$checksum  Python-3.14.7.tar.xz\$" "$source_dir/SHA256SUMS"; then
  echo "$tarball does not match $source_dir/SHA256SUMS" >&2
  exit 1
fi
cache="${XDG_CACHE_HOME:-$HOME/.cache}/gapwright"
mkdir -p "$cache"
