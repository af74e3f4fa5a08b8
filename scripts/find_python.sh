#!/usr/bin/env bash
# Prints the newest CPython (3.11 or later) found on PATH, under pyenv's root
# or in /usr/local/bin and /usr/bin, or
# the one named by $PYTHON. With an argument N, prints the N newest instead.
set -euo pipefail
count="${1:-1}"
if [[ -n "${PYTHON:-}" ]]; then
  echo "$PYTHON"
  exit 0
fi
# pyenv's interpreters count only where pyenv is installed, wherever its root is.
pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
  pyenv_root="$(pyenv root)"
fi
found=()
for minor in 14 13 12 11; do
  candidates=("python3.$minor")
  if [[ -n "$pyenv_root" ]]; then
    candidates+=("$pyenv_root"/versions/3."$minor".*/bin/python3."$minor")
  fi
  candidates+=(/usr/local/bin/python3."$minor" /usr/bin/python3."$minor")
  for candidate in "${candidates[@]}"; do
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
