#!/usr/bin/env bash
# Builds the module into the benchmark's own environment, with the peer
# (pyampute) beside it, and prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
python="$(scripts/find_python.sh)"
venv="$PWD/build/venv-bench"
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip
fi
"$venv/bin/pip" install -q "numpy>=1.25" "pandas>=2.0" pyampute
"$venv/bin/pip" install -q --force-reinstall --no-deps .
"$venv/bin/python" benchmarks/bench.py "$@"
"$venv/bin/python" benchmarks/threads.py
