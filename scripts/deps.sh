#!/usr/bin/env bash
# Installs the Debian packages a job needs, only those that are missing.
#   bash scripts/deps.sh build [extra...]   what building and running need
#   bash scripts/deps.sh test [extra...]    that, plus what the tests need
# Extra package names are installed too (the fuzz script adds clang).
# While another apt or dpkg holds the package manager's lock, it waits.
set -euo pipefail

build_packages=(g++ cmake make pkg-config libpugixml-dev libsqlite3-dev
                libcurl4-openssl-dev libssl-dev libfmt-dev libboost1.81-dev
                nlohmann-json3-dev libjs-leaflet libsystemd-dev liburing-dev dpkg-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev python3 sqlite3
               chromium chromium-driver python3-selenium python3-prometheus-client
               prometheus lintian fakeroot file devscripts man-db systemd-container debootstrap)

job=${1:-build}
shift || true
case "$job" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 build|test [package...]" >&2; exit 2 ;;
esac
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
# apt waits up to this long for the dpkg lock itself; the retries below
# cover the package lists' lock, which `apt-get update` does not wait for.
wait_lock=(-o DPkg::Lock::Timeout=600)
apt_get() {
  local attempt output
  for attempt in $(seq 1 60); do
    if output=$(DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "${wait_lock[@]}" "$@" 2>&1); then
      [ -z "$output" ] || echo "$output"
      return 0
    fi
    if ! grep -q "Could not get lock\|Unable to lock\|is held by process" <<<"$output"; then
      echo "$output" >&2
      return 1
    fi
    [ "$attempt" -gt 1 ] || echo "Waiting for another package manager to finish..."
    sleep 10
  done
  echo "$output" >&2
  return 1
}
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
