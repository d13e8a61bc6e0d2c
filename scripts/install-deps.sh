#!/usr/bin/env bash
# Installs the Debian packages needed to build and test the launcher.
# Idempotent: prints nothing and does nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ make git python3
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 libz-mingw-w64-dev mingw-w64-tools
  wine wine64 msitools wixl xvfb xauth xdotool x11-apps imagemagick
  googletest zlib1g-dev
  clang libclang-rt-14-dev clang-format
  osslsigncode openssl nginx-light python3-pyftpdlib curl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
