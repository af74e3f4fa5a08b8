#!/usr/bin/env bash
# wheel_venv.sh PYTHON VENV SDIST WHEELS [TAG]: makes the virtual environment
# VENV for the interpreter PYTHON (once), builds a wheel from SDIST into WHEELS and
# installs it with the packages the tests need, the `test` extra of
# pyproject.toml. When the extra does not install as a whole, as on an
# interpreter newer than some of its packages, installs what it can package
# by package and says loudly which are missing: the tests that need them skip,
# and pytest shows why. The tools' output goes to build/logs/python-X.Y.log, or
# python-X.Y-TAG.log for a second interpreter of the same minor version.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
python="$1" venv="$2" sdist="$3" wheels="$4" tag="${5:-}"
version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
log="python-$version${tag:+-$tag}"
shown="Python $version${tag:+ ($tag)}"
rm -f "$logs_dir/$log.log"

step "$shown: wheel from the sdist and the test packages" "about a minute; two the first time"
if [[ ! -x "$venv/bin/python" ]]; then
  logged "$log" "$python" -m venv "$venv"
  logged "$log" "$venv/bin/pip" install --upgrade pip
fi
rm -rf "$wheels"
logged "$log" "$venv/bin/pip" wheel --no-deps -w "$wheels" "$sdist"
wheel="$(ls "$wheels"/gapwright-*.whl)"
echo "built ${wheel#"$PWD"/}"

if ! "$venv/bin/pip" install "$wheel[test]" >>"$logs_dir/$log.log" 2>&1; then
  echo "!! $shown: the test extra does not install as a whole; installing its packages one by one"
  logged "$log" "$venv/bin/pip" install "$wheel"
  # The extra's requirements as the wheel declares them, without the marker.
  mapfile -t wanted < <("$venv/bin/python" -c '
import importlib.metadata as m
for r in m.requires("gapwright") or []:
    if "extra ==" in r:
        print(r.split(";")[0].strip())')
  for requirement in "${wanted[@]}"; do
    if ! "$venv/bin/pip" install "$requirement" >>"$logs_dir/$log.log" 2>&1; then
      skip "$shown: the tests that need $requirement" \
        "it does not install on this interpreter (see $logs_shown/$log.log)"
    fi
  done
fi
logged "$log" "$venv/bin/pip" install --force-reinstall --no-deps "$wheel"
