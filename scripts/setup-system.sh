#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
# On a fresh machine apt-get often runs by itself for a while after boot
# (daily updates): while another process holds the package manager's locks,
# this waits for them (VESH_APT_LOCK_WAIT seconds, 600 by default), saying so
# once, instead of failing at once.
set -euo pipefail
need=()
# exfatprogs and exfat-fuse give the tests a filesystem without hard links.
for pkg in libmsgpack-cxx-dev libabsl-dev zlib1g-dev libgtest-dev g++ cmake ninja-build exfatprogs exfat-fuse; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -gt 0 ] || exit 0

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
deadline=$((SECONDS + ${VESH_APT_LOCK_WAIT:-600}))
said=0

# Runs apt-get with ARGS, again every few seconds while it fails only because
# a lock is held elsewhere. apt-get's own DPkg::Lock::Timeout does not cover
# "update", whose lists lock fails at once.
apt_get() {
  local out
  while :; do
    if out="$($SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@" 2>&1 >/dev/null)"; then
      return 0
    fi
    if grep -q "Could not get lock" <<<"$out" && [ "$SECONDS" -lt "$deadline" ]; then
      if [ "$said" = 0 ]; then
        echo "setup: waiting for the package manager: $(grep -m1 'Could not get lock' <<<"$out" | sed 's/^E: //')" >&2
        said=1
      fi
      sleep 5
      continue
    fi
    printf '%s\n' "$out" >&2
    return 1
  done
}

apt_get update -qq
apt_get install -y -qq "${need[@]}"
[ "$said" = 0 ] || echo "setup: the package manager is free again; the packages are installed" >&2
