#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need. As root it
# runs apt-get; otherwise it prints the one command to run.
set -euo pipefail
# python3-serial: the end-to-end tests drive the virtual port with pyserial.
# dpkg-dev: dpkg-shlibdeps computes the Debian package's dependencies.
packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev libgmock-dev python3 python3-serial dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
