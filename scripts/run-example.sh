#!/usr/bin/env bash
# The main job: builds vesh into a venv for the newest Python >= 3.12, records
# examples/inventory.py with the sys.monitoring recorder into a SQLite trace
# database under DIRECTORY (a new temporary directory by default) and prints
# the trace id and the trace file's path and size.
#   scripts/run-example.sh [DIRECTORY] [--profile] [--program PATH]
# --profile records through the profile hook instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
py="$(scripts/pythons.sh | tail -n1)"
venv="$(scripts/venv.sh "$py" test)"
exec "$venv/bin/python" scripts/record-example.py "$@"
