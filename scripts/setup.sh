#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), then configures and builds into build/.
# Usage: scripts/setup.sh [build-dir] [extra cmake arguments...]
# REPLIX_EXTRA_PACKAGES names more Debian packages to install first (the fuzzers need clang).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev dpkg-dev file desktop-file-utils help2man
          fonts-dejavu-core fonts-cantarell fonts-noto-core  # the desktop fonts the window test fits
          socat libgensio4 libyaml-0-2  # the remote cable's test servers (unpacked below) need these
          appstream man-db bash-completion zsh  # the package check: metainfo, pages, completion
          xvfb xdotool  # the window program started on a virtual X display
          ${REPLIX_EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${1:-build}
shift || true

# The remote cable's tests talk to real servers, unpacked into the build tree.
scripts/fetch-peers.sh "$build"

cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
