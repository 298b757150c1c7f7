#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again; quiet unless something fails.
set -euo pipefail
packages=(
  build-essential cmake pkg-config ccache
  liblua5.1-0-dev libassimp-dev libboost-graph-dev libopenscenegraph-dev libimgui-dev libstb-dev libfreetype-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libegl-dev libgl-dev libopengl-dev libegl-mesa0 libgl1-mesa-dri zlib1g-dev
  clang libclang-rt-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  if ! { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2; exit 1
  fi
  rm -f "$log"
fi
