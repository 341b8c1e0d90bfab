#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's packages.
# Without root and without sudo it prints the command to run and stops.
set -euo pipefail

packages=(cmake make g++ libopenmpi-dev openmpi-bin libgtest-dev python3 util-linux iproute2 strace)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

install="apt-get update && apt-get install -y ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo="sudo"
else
  echo "Missing packages: ${missing[*]}. Run as root:" >&2
  echo "  $install" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
