#!/usr/bin/env bash
# Sets everything up and runs the demo: masks the Palmer penguins table.
# Options go to examples/demo.py (--help lists them). The tools' own output
# goes to build/logs/demo.log.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
rm -f "$logs_dir/demo.log"
python="$(scripts/find_python.sh)"
venv="$PWD/build/venv-demo"
if [[ ! -x "$venv/bin/python" ]]; then
  step "virtual environment build/venv-demo with numpy, pandas and matplotlib" "about a minute"
  logged demo "$python" -m venv "$venv"
  logged demo "$venv/bin/pip" install --upgrade pip
fi
logged demo "$venv/bin/pip" install "numpy>=1.25" "pandas>=2.0" "matplotlib>=3.7"
step "building the module into build/venv-demo" "about 2 minutes"
logged demo "$venv/bin/pip" install --force-reinstall --no-deps .
step "masking the penguins" "seconds"
"$venv/bin/python" examples/demo.py "$@"
