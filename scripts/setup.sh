#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      libgtest-dev libgmock-dev libbenchmark-dev
      libcurl4-openssl-dev libzstd-dev nlohmann-json3-dev libcpp-httplib-dev libssl-dev libcli11-dev
      openssl openjdk-17-jdk-headless)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
