#!/usr/bin/env bash
# Installs the Debian packages Brelvint builds and tests with, only those that are missing.
# Extra package names given as arguments are installed too (the fuzz script adds clang).
set -euo pipefail

packages=(g++ cmake make pkg-config libpugixml-dev libsqlite3-dev sqlite3
          libcurl4-openssl-dev libssl-dev libfmt-dev libstb-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3 libboost1.81-dev nlohmann-json3-dev
          chromium chromium-driver python3-selenium python3-prometheus-client)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
