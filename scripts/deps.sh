#!/usr/bin/env bash
# Install the Debian packages harlune's build, tests and package check need,
# if missing.
#
#   scripts/deps.sh             the build, the tests and the package check
#   scripts/deps.sh --demo      only what scripts/run.sh needs
#   scripts/deps.sh --optional  also the optional tools (CI installs them)
#
# Optional tools; each test that needs one skips without it:
#   valgrind  Hardening.UnderValgrindNoLeakNoError
#   sdcc      firmware_from_sdcc (an 8051 program compiled and programmed
#             end to end, from its Intel HEX file and converted with objcopy)
set -euo pipefail

build=(cmake g++ make pkg-config libftdi1-dev libusb-1.0-0-dev libgtest-dev)  # the tool (libftdi1 for FTDI chips), the simulator (libusb's header), the tests
tests=(man-db groff-base)              # manpage_renders, manpage_lists_every_message
package=(dpkg-dev file binutils lintian)  # dpkg-buildflags, cpack's dpkg-shlibdeps, file and strip; lintian
optional=(valgrind sdcc)

pkgs=("${build[@]}" "${tests[@]}" "${package[@]}")
case "${1:-}" in
    "") ;;
    --demo) pkgs=("${build[@]}") ;;
    --optional) pkgs+=("${optional[@]}") ;;
    *) echo "usage: $0 [--demo | --optional]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

missing=()
for p in "${pkgs[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ "${1:-}" != "--optional" ] && [ "${1:-}" != "--demo" ]; then
    for p in "${optional[@]}"; do
        installed "$p" || echo "optional, not installed: $p (its tests skip; scripts/deps.sh --optional installs it)" >&2
    done
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them as root with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
