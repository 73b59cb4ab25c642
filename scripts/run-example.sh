#!/usr/bin/env bash
# The main job: builds vesh into a venv for the newest Python >= 3.12 and
# checks that the native module loads.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
py="$(scripts/pythons.sh | tail -n1)"
venv="$(scripts/venv.sh "$py" test)"
exec "$venv/bin/python" -c 'import vesh._vesh as m; print("vesh._vesh loaded from", m.__file__)'
