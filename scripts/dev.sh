#!/usr/bin/env bash
# Developer build: compiles the extension in place (python/vesh) and the
# native tests for one Python, without installing.
#   scripts/dev.sh [PYTHON] [BUILD_DIR]
# Then: PYTHONPATH=python $PYTHON -m pytest tests
set -euo pipefail
# A relative PYTHON is taken from where the script was called (not resolved
# through symlinks: a venv's python must stay the venv's).
case "${1:-}" in
  "" | /*) py="${1:-}" ;;
  */*) py="$PWD/$1" ;;
  *) py="$(command -v "$1")" ;;
esac
cd "$(dirname "$0")/.."
py="${py:-$(scripts/pythons.sh | head -n1)}"
ver="$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
build="${2:-build/dev-$ver}"
cmake -S . -B "$build" -G Ninja -DVESH_BUILD_TESTS=ON -DVESH_INPLACE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
