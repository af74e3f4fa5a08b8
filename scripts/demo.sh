#!/usr/bin/env bash
# Sets everything up and runs the demo: masks the Palmer penguins table.
set -euo pipefail
cd "$(dirname "$0")/.."
python="$(scripts/find_python.sh)"
venv="$PWD/build/venv-demo"
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip
fi
"$venv/bin/pip" install -q "numpy>=1.25" "pandas>=2.0" "matplotlib>=3.7"
"$venv/bin/pip" install -q --force-reinstall --no-deps .
"$venv/bin/python" examples/demo.py "$@"
