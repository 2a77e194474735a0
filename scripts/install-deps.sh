#!/usr/bin/env bash
# Installs from Debian's packages what building and testing the relay needs
# and is missing. Idempotent: does nothing when all is there. Extra groups:
#   install-deps.sh            build and test
#   install-deps.sh bench      + benchmark tools
#   install-deps.sh fuzz       + clang and libFuzzer
#   install-deps.sh package    + dpkg tools for the .deb
#   install-deps.sh service    + systemd-analyze and man, for the package check
#   install-deps.sh lint       + lintian, for the package check
#   install-deps.sh status     + Chromium with its driver, Selenium, the
#                                Prometheus client and Prometheus (for
#                                promtool), for the status page's tests
set -euo pipefail

# socat: the control socket's tests speak to the relay through it, as an
# operator would; tshark reads the capture back as Wireshark does.
packages=(g++ cmake ninja-build make pkg-config qt6-base-dev libmicrohttpd-dev libgtest-dev libgmock-dev xvfb x11-utils socat tshark)
for group in "$@"; do
  case "$group" in
    bench) packages+=(libbenchmark-dev socat) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    package) packages+=(dpkg-dev file) ;;
    service) packages+=(systemd man-db) ;;
    lint) packages+=(lintian) ;;
    screenshot) packages+=(xvfb xauth) ;;
    status) packages+=(chromium chromium-driver python3-selenium python3-prometheus-client prometheus) ;;
    *) echo "install-deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
