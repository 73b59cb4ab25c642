#!/usr/bin/env bash
# Builds vesh and runs every test (native and Python) on each Python >= 3.12.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
status=0
for py in $(scripts/pythons.sh); do
  venv="$(scripts/venv.sh "$py" test)"
  ver="${venv#.venv-}"
  echo "=== Python $ver: native tests"
  build="build/native-$ver"
  cmake -S . -B "$build" -G Ninja -DVESH_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
  cmake --build "$build" --target vesh_native_tests -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
  VESH_TEST_PYTHON="$PWD/$venv/bin/python" ctest --test-dir "$build" --output-on-failure -j"$(nproc)" || status=1
  echo "=== Python $ver: pytest"
  (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider .) || status=1
done
exit $status
