#!/usr/bin/env bash
# Sets everything up and runs the demo: masks the Palmer penguins table.
# Installs the release wheel for this interpreter from dist/ when there is one
# (scripts/wheels.sh), and builds the module from the sources otherwise.
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
if compgen -G "dist/gapwright-*.whl" >/dev/null &&
  "$venv/bin/pip" install --force-reinstall --no-deps --no-index --find-links dist --only-binary=:all: \
    gapwright >>"$logs_dir/demo.log" 2>&1; then
  step "installed the release wheel for this interpreter from dist/ into build/venv-demo"
else
  step "building the module into build/venv-demo" "about 2 minutes"
  logged demo "$venv/bin/pip" install --force-reinstall --no-deps .
fi
step "masking the penguins" "seconds"
"$venv/bin/python" examples/demo.py "$@"
