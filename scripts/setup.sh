#!/usr/bin/env bash
# Installs the Debian packages of the named groups of scripts/packages.txt
# (every group when none is named):  scripts/setup.sh build run test
# Uses sudo only when not already root.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

# Prints the packages of the groups in "$@" (all groups when empty), once each.
packages_of() {
    awk -v wanted=" $* " '
        { sub(/#.*/, "") }
        /^\[.*\]$/ { group = substr($0, 2, length($0) - 2); next }
        NF == 0 { next }
        wanted == "  " || index(wanted, " " group " ") { for (i = 1; i <= NF; i++) if (!seen[$i]++) print $i }
    ' "$here/packages.txt"
}

for group in "$@"; do
    grep -qx "\[$group\]" "$here/packages.txt" || { echo "setup.sh: no package group \"$group\"" >&2; exit 2; }
done
mapfile -t packages < <(packages_of "$@")

"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}"

# The build group also makes the programs' libcurl (HTTP and HTTPS only, from
# the system libcurl's sources); without it they link the system's libcurl.
if [ $# -eq 0 ] || [[ " $* " == *" build "* ]]; then
    "${sudo_cmd[@]}" "$here/build-curl.sh" ||
        echo "setup.sh: the HTTP-only libcurl could not be built; the programs link the system's libcurl" >&2
fi
