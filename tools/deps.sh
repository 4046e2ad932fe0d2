#!/usr/bin/env bash
# Installs the Debian 12 packages the tool, its tests and its demo need.
# Runs as root; does nothing when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools
    libhidapi-dev libudev-dev
    xvfb xauth
    clang libclang-rt-14-dev
)
# Extra packages asked for by the caller (for example the guest stage's).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: missing packages ${missing[*]}; run as root to install them" >&2
        exit 1
    fi
    echo "deps: installing ${missing[*]}"
    # A mirror caught mid-sync fails one index or another: what is needed
    # may still be in the lists that did come, and the install tells.
    apt-get update -qq || echo "deps: apt-get update reported errors; going on with the lists it has" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
