#!/usr/bin/env bash
# Installs what building and testing Tagwright needs, from the distribution's packages, when
# it is missing. Idempotent: a machine that has everything is left untouched. Debian and
# Ubuntu (apt); runs unattended as root (CI) or through sudo.
set -euo pipefail

PACKAGES=(
    cmake make g++ python3 git ca-certificates
    libgtest-dev libgmock-dev libbenchmark-dev # unit tests and benchmarks
    clang libclang-rt-dev clang-format clang-tidy # fuzzing (libFuzzer, sanitizers) and lint
    socat time                                    # benchmarks: a plain sender, peak memory
    mingw-w64                                   # tagwright.exe
    wine wine64 xvfb x11-utils imagemagick      # end-to-end tests and screenshots
    fonts-wine                                  # Marlett, for the windows' caption buttons
    cups cups-client cups-bsd iproute2          # virtual printers
    wixl msitools osslsigncode openssl zip unzip # packages: MSI, signing, zips
    nodejs                                      # the MSI's machine-settings script, tested
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "setup: not a Debian-style system; install by hand: ${PACKAGES[*]}" >&2
    exit 1
fi

missing=()
for package in "${PACKAGES[@]}"; do
    installed "$package" || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: need root (or sudo) to install: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update </dev/null
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
echo "setup: done"
