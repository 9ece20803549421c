#!/usr/bin/env bash
# Installs every Debian package listed in scripts/packages.txt.
# Uses sudo only when not already root.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

mapfile -t packages < <(sed -e 's/#.*//' "$here/packages.txt" | tr -s ' \t' '\n' | sed '/^$/d')

"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}"
