#!/usr/bin/env bash
# Builds the libcurl the Linux programs link: the sources of the system's
# libcurl (the Debian source package of the installed libcurl4-openssl-dev,
# with Debian's patches and build flags), as a static library with HTTP and
# HTTPS only (OpenSSL, zlib, libidn2). Debian's shared libcurl loads LDAP,
# Kerberos, SSH, RTMP with GnuTLS, HTTP/2, PSL, brotli and zstd into every
# process that links it, and GnuTLS initialises itself at load: about 4 MB of
# the updater's memory that no download uses.
#   scripts/build-curl.sh [PREFIX]   (default /usr/local/lib/tavlin-curl)
# CMake takes the prefix when it holds a finished build (TAVLIN_CURL_PREFIX);
# otherwise the programs link the system's libcurl. Run it again after a
# libcurl security update: a prefix built from other sources is rebuilt.
# Needs root for apt (a deb-src entry, as scripts/build-windows.sh adds) and
# for the default prefix. The downloaded sources are kept in
# ${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/src/.
set -euo pipefail

# Absolute: the install step places the tree at DESTDIR + prefix.
prefix=$(realpath -ms -- "${1:-/usr/local/lib/tavlin-curl}")
src_cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/src
log() { printf '[build-curl] %s\n' "$*"; }

version=$(dpkg-query -W -f='${source:Version}' libcurl4-openssl-dev 2>/dev/null) ||
    { echo "build-curl: libcurl4-openssl-dev is not installed (scripts/setup.sh build)" >&2; exit 1; }
stamp="$prefix/.complete"
if [[ -f $stamp && "$(cat "$stamp")" == "$version" ]]; then
    log "libcurl $version is built in $prefix"
    exit 0
fi

# Only an earlier build of this script is ever replaced.
if [[ -e $prefix && ! -f $stamp && -n "$(ls -A "$prefix" 2>/dev/null)" ]]; then
    echo "build-curl: $prefix exists and is not a libcurl built here" >&2
    exit 1
fi

# The same entry as the Windows build's, so that neither rewrites the other's.
deb_src=/etc/apt/sources.list.d/tavlin-deb-src.sources
if [[ ! -f $deb_src ]]; then
    cat >"$deb_src" <<'EOF'
# Source packages for scripts/build-windows.sh, beside debian.sources.
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -q
elif ! compgen -G '/var/lib/apt/lists/*_source_Sources*' >/dev/null; then
    apt-get update -q
fi

plain=${version#*:}
dsc="$src_cache/curl_${plain}.dsc"
mkdir -p "$src_cache"
# An interrupted download may have left the .dsc without the tarball.
if [[ ! -f $dsc ]] || ! compgen -G "$src_cache/curl_${plain%-*}.orig.tar.*" >/dev/null; then
    log "fetching the source package curl=$version"
    (cd "$src_cache" && apt-get source -q --download-only "curl=$version")
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tavlin-curl.XXXXXX")
trap 'rm -rf "$work"' EXIT
# bash leaves without its EXIT trap on a signal it does not catch.
trap 'exit 130' INT TERM HUP
dpkg-source --no-check -x "$dsc" "$work/src" >/dev/null

# Debian's own flags (optimisation, fortify, stack protector); -fPIC since
# the library ends up in position-independent programs and test libraries.
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS) -fPIC"
log "building libcurl $version (HTTP and HTTPS only) into $prefix"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=None "-DCMAKE_C_FLAGS=$cflags" \
    "-DCMAKE_INSTALL_PREFIX=$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DHTTP_ONLY=ON -DCURL_USE_OPENSSL=ON -DCURL_ZLIB=ON -DUSE_LIBIDN2=ON \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF \
    -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON -DCURL_USE_GSSAPI=OFF \
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j"${TAVLIN_JOBS:-2}" >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
DESTDIR="$work/root" cmake --install "$work/build" >/dev/null
# The tree goes beside the prefix first (a copy when the work folder is on
# another file system, which an interruption can cut short) and gets its
# stamp only once it is all there; the prefix is then replaced by a rename.
staged="$prefix.build-curl"
rm -rf "$staged"
mkdir -p "$(dirname "$prefix")"
mv "$work/root$prefix" "$staged"
echo "$version" >"$staged/.complete"
rm -rf "$prefix"
mv "$staged" "$prefix"
log "done"
