#!/usr/bin/env bash
# Install the Debian packages the build, the tests and the docs need, if missing.
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libbenchmark-dev valgrind man-db groff-base sdcc binutils)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
