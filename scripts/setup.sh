#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test both programs.
set -euo pipefail
packages=(cmake g++ make pkg-config python3 qtbase5-dev libtoxcore-dev clang-format desktop-file-utils libxml2-utils dpkg-dev file shared-mime-info fonts-noto-color-emoji)
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
fi
