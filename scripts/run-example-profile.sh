#!/usr/bin/env bash
# The main job with the profile-hook recorder: builds vesh into a venv for
# the newest Python >= 3.12, records an example program (examples/inventory.py
# unless --program PATH is given) through the interpreter's profile hook into
# a SQLite trace database under DIRECTORY (a new temporary directory by
# default) and prints the trace id and the trace file's path and size.
#   scripts/run-example-profile.sh [DIRECTORY] [--program PATH]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
py="$(scripts/pythons.sh | tail -n1)"
venv="$(scripts/venv.sh "$py" test)"
exec "$venv/bin/python" scripts/record-example-profile.py "$@"
