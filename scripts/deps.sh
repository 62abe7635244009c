#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. A machine that has them all
# does nothing here, so this is safe to run before every build.
set -euo pipefail

packages=(
  cmake make g++ googletest
  g++-multilib                  # the 32-bit x86 host build
  qemu-user                     # runs it where the kernel has no 32-bit support
  tshark                        # the capture test decodes pmc7r-sim's pcap files
  valgrind                      # scripts/cost.sh counts instructions with callgrind
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686  # pmc7r.sys
  clang-14 libclang-rt-14-dev   # the fuzz build: clang++-14 with libFuzzer's runtime
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done
(( ${#missing[@]} == 0 )) && exit 0

if (( EUID != 0 )); then
  echo "deps.sh: missing packages; install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
