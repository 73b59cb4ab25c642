#!/usr/bin/env bash
# Prints the interpreters to build and test on: every pyenv Python 3.12 or later.
set -euo pipefail
root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
found=0
for dir in "$root"/versions/*/; do
  py="$dir/bin/python"
  [ -x "$py" ] || continue
  if "$py" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else 1)' 2>/dev/null; then
    echo "$py"; found=1
  fi
done
if [ "$found" = 0 ]; then
  echo "no Python 3.12 or later found under $root/versions" >&2
  exit 1
fi
