#!/usr/bin/env bash
# Installs the Debian packages of the given lists that are not installed yet (apt-get, through
# sudo unless run as root). A list holds one package a line; blank lines and lines starting
# with # are skipped.
#
#     bash scripts/install-packages.sh LIST...
set -euo pipefail

missing=()
for list in "$@"; do
    while read -r pkg; do
        [[ -z "$pkg" || "$pkg" == \#* ]] && continue
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done < "$list"
done

if ((${#missing[@]})); then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
