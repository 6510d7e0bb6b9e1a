#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ make pkgconf uuid-dev libssl-dev libicu-dev libgtest-dev libbenchmark-dev clang libclang-rt-14-dev util-linux procps libspdlog-dev libfuse3-dev fuse3 faketime groff-base mandoc dpkg-dev file etcd-server etcd-client libcurl4-openssl-dev nlohmann-json3-dev openssl doxygen lintian bash-completion abigail-tools)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
