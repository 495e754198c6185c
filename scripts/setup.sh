#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test lpxferd.
# Safe to run again: it installs only missing packages.
set -euo pipefail

packages=(cmake make g++ clang libgtest-dev libgmock-dev libbenchmark-dev libedit-dev util-linux)
if [ "${LPX_WANT_M32:-0}" = 1 ]; then packages+=(g++-multilib qemu-user); fi
if [ "${LPX_WANT_VALGRIND:-0}" = 1 ]; then packages+=(valgrind); fi
if [ "${LPX_WANT_DEB:-0}" = 1 ]; then packages+=(dpkg-dev file lintian systemd); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
