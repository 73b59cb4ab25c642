#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON [extras]
# Makes (or reuses) .venv-X.Y for PYTHON, installs vesh into it and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
py="$1"; extras="${2:-test}"
ver="$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
venv=".venv-$ver"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv" >&2
"$venv/bin/python" -m pip install -q --upgrade pip >&2
"$venv/bin/python" -m pip install -q ".[$extras]" >&2
echo "$venv"
