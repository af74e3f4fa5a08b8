# Sourced by the steps that run after scripts/test.sh has set up the build
# tools: sets root, tools (build/tools-venv: cmake, ninja), version and venv
# (build/venv-X.Y for the newest interpreter: numpy, pandas, pytest), and
# stops the caller when any of them is missing.
root="$PWD"
tools="$root/build/tools-venv"
python="$(scripts/find_python.sh 1)"
version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
venv="$root/build/venv-$version"
for needed in "$tools/bin/cmake" "$tools/bin/ninja" "$venv/bin/python"; do
  if [[ ! -x "$needed" ]]; then
    echo "$needed is missing; run scripts/test.sh first" >&2
    exit 1
  fi
done
