#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages.
# Quiet and quick when everything is already there.
set -euo pipefail

PKGS=(cmake ninja-build g++ clang libclang-rt-dev llvm libgtest-dev libgmock-dev libbenchmark-dev
      clang-format libexpat1-dev libbluetooth-dev libcli11-dev tshark systemd)

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    echo "deps: installing ${missing[*]}"
    $SUDO apt-get update -qq
    # tshark's package asks whether non-root users may capture: no, and without a prompt.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        $SUDO debconf-set-selections
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
