#!/usr/bin/env bash
# Prints the newest CPython (3.11 or later) found on PATH or under pyenv, or
# the one named by $PYTHON. With an argument N, prints the N newest instead.
set -euo pipefail
count="${1:-1}"
if [[ -n "${PYTHON:-}" ]]; then
  echo "$PYTHON"
  exit 0
fi
found=()
for minor in 14 13 12 11; do
  for candidate in "python3.$minor" /root/.pyenv/versions/3."$minor".*/bin/python3."$minor" \
      /usr/local/bin/python3."$minor" /usr/bin/python3."$minor"; do
    if path="$(command -v "$candidate" 2>/dev/null)" && "$path" -c 'import sys' 2>/dev/null; then
      found+=("$path")
      break
    fi
  done
done
if [[ ${#found[@]} -eq 0 ]]; then
  echo "no CPython 3.11 or newer found; set PYTHON" >&2
  exit 1
fi
printf '%s\n' "${found[@]:0:$count}"
