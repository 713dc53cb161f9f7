#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Root runs apt-get directly; anyone else goes through sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libjpeg-dev libtiff-dev libtiff-tools
  libssl-dev
  libcli11-dev
  libcpp-httplib-dev
  chromium chromium-driver python3-selenium
  python3-venv python3-setuptools python3-wheel python3-pip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
