#!/usr/bin/env bash
# Builds the toolchain side of the Windows (mingw-w64) build: the libraries
# the programs link against, compiled for Windows from Debian's own source
# packages, into one prefix per architecture. Runs as root on Debian 12.
#
# What it installs with apt (only when something is missing):
#   g++-mingw-w64-<arch>-posix, wine, wine32:i386 (after
#   `dpkg --add-architecture i386`), wine64, meson, ninja, cmake, pkg-config,
#   dpkg-dev, make, gcc, patch, perl, python3, googletest (its sources are
#   built for Windows), libboost-dev (header-only Boost for the prefix),
#   fonts-wqy-microhei (the font the smoke check draws its text in; under
#   Wine pango sees the Linux fonts, not Wine's own).
# It adds a deb-src entry of its own:
#   /etc/apt/sources.list.d/tavlin-deb-src.sources
#
# What it builds, in this order, all as static libraries (their .pc files
# list private dependencies as public ones: scripts/windows/pc-public.py):
#   zlib + minizip, pugixml, libcurl (Schannel, no OpenSSL), googletest,
#   libpng, pixman, cairo (win32 surface and font), libffi, pcre2, a libintl
#   stub (scripts/windows/libintl), glib, fribidi, harfbuzz, pango (win32).
#   Boost: a link to Debian's headers (the programs use header-only parts).
#
# Where: ${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/
#   src/                  downloaded source packages (kept between keys)
#   <key>/<arch>/         the prefix: include/ lib/ lib/pkgconfig/ bin/ share/
#   <key>/<arch>/.complete  written last, once the smoke check passed on the
#                         prefix; a prefix without it is not used
#   <key>/logs/<arch>/    one build log per library
#   wine/                 the Wine prefix that checks and tests run in
# <key> is the first 16 hex digits of the SHA-256 of this script and of the
# files it uses (scripts/windows/ without smoke/, cmake/windows/), so that a
# change to any of them builds a fresh prefix. An interrupted run resumes in
# <key>/<arch>.partial/ library by library; only a finished prefix is renamed
# to <key>/<arch>/ and stamped.
#
# A first run takes about 7 minutes of building per architecture on two
# cores (glib and harfbuzz more than half of it; each log folder has
# timings.txt), plus the apt downloads and any wait for the build lock; a run
# that finds the stamp only prints the prefix.
# Each library's build holds /tmp/tavlin-build.lock, so that builds of other
# developers on the machine can run between two libraries.
#
# Usage: scripts/build-windows.sh [--arch i686|x86_64|all] [--print-prefix] [--check]
#   --arch ARCH      which architecture (default i686; all = i686 and x86_64)
#   --print-prefix   print the prefix of a complete build and exit (status 1
#                    and a message when it is not built); installs nothing
#   --check          build the smoke check (scripts/windows/smoke) against the
#                    prefix and run it under Wine; a build runs it before it
#                    stamps the prefix. The check links zlib/minizip, libcurl,
#                    pugixml, cairo+pango (win32), Boost headers and
#                    GoogleTest, and fetches a page from a python3 http.server
#                    it starts on a free loopback port.
# Environment: TAVLIN_WIN_KEY overrides <key> (for work on this script itself,
# so that an edit does not start over from nothing).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(dirname "$HERE")"
WIN="$HERE/windows"
CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/tavlin"
SRC="$CACHE/src"
LOCK=/tmp/tavlin-build.lock
JOBS=2

arches=(i686)
mode=build
while [[ $# -gt 0 ]]; do
    case "$1" in
        --arch)
            [[ $# -ge 2 ]] || { echo "--arch needs a value" >&2; exit 2; }
            case "$2" in
                i686|x86_64) arches=("$2") ;;
                all) arches=(i686 x86_64) ;;
                *) echo "unknown architecture: $2 (i686, x86_64 or all)" >&2; exit 2 ;;
            esac
            shift 2 ;;
        --print-prefix) mode=print; shift ;;
        --check) mode=check; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done

cache_key() {
    if [[ -n "${TAVLIN_WIN_KEY:-}" ]]; then
        echo "$TAVLIN_WIN_KEY"
        return
    fi
    (
        cd "$ROOT"
        { echo scripts/build-windows.sh
          find scripts/windows cmake/windows -type f -not -path 'scripts/windows/smoke/*' | LC_ALL=C sort
        } | xargs sha256sum | sha256sum | cut -c1-16
    )
}

KEY="$(cache_key)"
BASE="$CACHE/$KEY"

prefix_of() { echo "$BASE/$1"; }
is_complete() { [[ -f "$(prefix_of "$1")/.complete" ]]; }

if [[ $mode == print ]]; then
    for arch in "${arches[@]}"; do
        if ! is_complete "$arch"; then
            echo "no complete $arch prefix at $(prefix_of "$arch"); run scripts/build-windows.sh --arch $arch" >&2
            exit 1
        fi
        prefix_of "$arch"
    done
    exit 0
fi

log() { printf '[build-windows %s] %s\n' "$(date -u +%H:%M:%S)" "$*"; }

# --- packages ---------------------------------------------------------------

DEB_SRC_FILE=/etc/apt/sources.list.d/tavlin-deb-src.sources

ensure_deb_src() {
    local want
    want="$(cat <<'EOF'
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
)"
    if [[ ! -f $DEB_SRC_FILE ]] || [[ "$(cat "$DEB_SRC_FILE")" != "$want" ]]; then
        printf '%s\n' "$want" >"$DEB_SRC_FILE"
        return 0
    fi
    return 1
}

ensure_packages() {
    local pkgs=(wine wine32:i386 wine64 meson ninja-build cmake pkg-config dpkg-dev
                make gcc patch perl python3 googletest libboost-dev xz-utils bzip2
                fonts-wqy-microhei)
    local arch
    for arch in "${arches[@]}"; do
        case "$arch" in
            i686) pkgs+=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix) ;;
            x86_64) pkgs+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix) ;;
        esac
    done
    local changed=0 missing=()
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        changed=1
    fi
    ensure_deb_src && changed=1
    local p
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    # apt-get source needs the deb-src lists even when every package is there
    if ((changed)) || ((${#missing[@]})) || ! compgen -G '/var/lib/apt/lists/*_source_Sources*' >/dev/null; then
        log "apt-get update"
        apt-get update -q
    fi
    if ((${#missing[@]})); then
        log "installing ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# --- sources ----------------------------------------------------------------

# Versions are pinned so that a key always means the same sources. Where the
# security suite's files are missing on the mirror, the version is the main
# suite's (zlib, pcre2).
declare -A VERSION=(
    [zlib]=1:1.2.13.dfsg-1
    [pugixml]=1.13-0.2
    [curl]=7.88.1-10+deb12u15
    [libpng1.6]=1.6.39-2+deb12u5
    [pixman]=0.42.2-1
    [cairo]=1.16.0-7
    [libffi]=3.4.4-1
    [pcre2]=10.42-1
    [glib2.0]=2.74.6-2+deb12u9
    [fribidi]=1.0.8-2.1
    [harfbuzz]=6.0.0+dfsg-3
    [pango1.0]=1.50.12+ds-1
)

# Prints the path of the package's .dsc, downloading it first if needed.
fetch_source() {
    local pkg=$1 ver=${VERSION[$1]}
    local plain=${ver#*:}
    local dsc="$SRC/${pkg}_${plain}.dsc"
    mkdir -p "$SRC"
    if [[ ! -f $dsc ]] || ! compgen -G "$SRC/${pkg}_${plain%-*}.orig.tar.*" >/dev/null; then
        # apt-get may fail on one missing file (pixman's .diff.gz); what the
        # build needs is checked below and by the unpacking step.
        (cd "$SRC" && apt-get source -q --download-only "$pkg=$ver" >&2) || true
    fi
    [[ -f $dsc ]] || { echo "could not fetch the source package $pkg=$ver" >&2; return 1; }
    echo "$dsc"
}

# Unpacks a source package with Debian's patches into $2 (a fresh folder).
unpack_debian() {
    local pkg=$1 dest=$2 dsc
    dsc="$(fetch_source "$pkg")"
    rm -rf "$dest"
    dpkg-source --no-check -x "$dsc" "$dest" >/dev/null
}

# Unpacks only the upstream tarball of a source package into $2.
unpack_orig() {
    local pkg=$1 dest=$2 ver=${VERSION[$1]} tarball
    fetch_source "$pkg" >/dev/null
    ver=${ver#*:}
    tarball="$(compgen -G "$SRC/${pkg}_${ver%-*}.orig.tar.*" | head -n1)"
    [[ -n $tarball ]] || { echo "no upstream tarball for $pkg" >&2; return 1; }
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -C "$dest" --strip-components=1 -xf "$tarball"
}

# --- per-architecture settings ----------------------------------------------

set_arch() {
    ARCH=$1
    TRIPLE="$ARCH-w64-mingw32"
    case "$ARCH" in
        i686) CPU_FAMILY=x86 ;;
        x86_64) CPU_FAMILY=x86_64 ;;
    esac
    FINAL="$(prefix_of "$ARCH")"
    PFX="$BASE/$ARCH.partial"
    WORK="$BASE/work-$ARCH"
    LOGS="$BASE/logs/$ARCH"
    CROSS="$WORK/meson-cross.ini"
    TOOLCHAIN="$ROOT/cmake/windows/mingw-$ARCH.cmake"
    CC="$TRIPLE-gcc-posix"
    CXX="$TRIPLE-g++-posix"
}

write_cross_file() {
    mkdir -p "$WORK"
    sed -e "s|@TRIPLE@|$TRIPLE|g" -e "s|@PREFIX@|$PFX|g" -e "s|@CPU_FAMILY@|$CPU_FAMILY|g" \
        -e "s|@CPU@|$ARCH|g" -e "s|@WINE_RUN@|$WIN/wine-run.sh|g" \
        "$WIN/meson-cross.ini.in" >"$CROSS"
}

# Environment of every library build: only the prefix is visible to
# pkg-config, and the compilers find its headers and libraries.
build_env() {
    export PKG_CONFIG_LIBDIR="$PFX/lib/pkgconfig"
    export PKG_CONFIG_PATH=""
    unset PKG_CONFIG_SYSROOT_DIR
    export WINEPREFIX="$CACHE/wine"
}

autotools_configure() {
    CC="$CC" CXX="$CXX" AR="$TRIPLE-ar" RANLIB="$TRIPLE-ranlib" STRIP="$TRIPLE-strip" \
    RC="$TRIPLE-windres" WINDRES="$TRIPLE-windres" \
    CPPFLAGS="-I$PFX/include" LDFLAGS="-L$PFX/lib" \
        ./configure --host="$TRIPLE" --prefix="$PFX" --enable-static --disable-shared "$@"
}

cmake_build() {
    local src=$1 build=$2
    shift 2
    cmake -S "$src" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTAVLIN_WIN_PREFIX="$PFX" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PFX" \
        -DBUILD_SHARED_LIBS=OFF "$@"
    cmake --build "$build" -j "$JOBS"
    cmake --install "$build"
}

meson_build() {
    local src=$1 build=$2
    shift 2
    meson setup "$build" "$src" --cross-file "$CROSS" --prefix "$PFX" --libdir lib \
        --buildtype release --default-library static --wrap-mode nodownload "$@"
    ninja -C "$build" -j "$JOBS"
    meson install -C "$build" --no-rebuild
}

# --- the libraries ----------------------------------------------------------

# zlib's configure refuses mingw and sends one to win32/Makefile.gcc, which
# Debian's repacked tarball lacks (win32/ is gone entirely): the sources are
# few, so they are compiled here as a static library, minizip beside them.
lib_zlib() {
    local s="$WORK/zlib"
    unpack_debian zlib "$s"
    cd "$s"
    local f objs=()
    for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback \
             inffast inflate inftrees trees uncompr zutil; do
        "$CC" -O2 -Wall -c "$f.c" -o "$f.o"
        objs+=("$f.o")
    done
    "$TRIPLE-ar" rcs libz.a "${objs[@]}"
    install -d "$PFX/include/minizip" "$PFX/lib/pkgconfig"
    install -m644 libz.a "$PFX/lib/"
    install -m644 zlib.h zconf.h "$PFX/include/"
    local zver
    zver="$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' zlib.h)"
    cat >"$PFX/lib/pkgconfig/zlib.pc" <<EOF
prefix=$PFX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zlib
Description: zlib compression library
Version: $zver
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
EOF
    cd contrib/minizip
    local p
    for p in "$WIN"/patches/minizip-*.patch; do
        if [[ -e $p ]]; then patch -p1 <"$p"; fi
    done
    objs=()
    for f in ioapi iowin32 zip unzip mztools; do
        "$CC" -O2 -Wall -I"$s" -c "$f.c" -o "$f.o"
        objs+=("$f.o")
    done
    "$TRIPLE-ar" rcs libminizip.a "${objs[@]}"
    install -m644 libminizip.a "$PFX/lib/"
    install -m644 ioapi.h iowin32.h zip.h unzip.h mztools.h crypt.h "$PFX/include/minizip/"
    # Same shape as Debian's minizip.pc: callers include <unzip.h>.
    cat >"$PFX/lib/pkgconfig/minizip.pc" <<EOF
prefix=$PFX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: minizip
Description: zip and unzip through zlib
Version: $zver
Requires: zlib
Libs: -L\${libdir} -lminizip
Cflags: -I\${includedir}/minizip
EOF
}

lib_pugixml() {
    unpack_debian pugixml "$WORK/pugixml"
    cmake_build "$WORK/pugixml" "$WORK/pugixml/build" -DPUGIXML_BUILD_TESTS=OFF
}

# Schannel for TLS, the system's own certificate store; nothing else from
# outside but zlib (content encoding).
lib_curl() {
    unpack_debian curl "$WORK/curl"
    cmake_build "$WORK/curl" "$WORK/curl/build" \
        -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=ON \
        -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF \
        -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    # the CMake package says CURL_STATICLIB to its users, libcurl.pc does not
    grep -q CURL_STATICLIB "$PFX/lib/pkgconfig/libcurl.pc" ||
        sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DCURL_STATICLIB|' "$PFX/lib/pkgconfig/libcurl.pc"
}

# The sources Debian's googletest package ships under /usr/src.
lib_googletest() {
    rm -rf "$WORK/googletest"
    cp -a /usr/src/googletest "$WORK/googletest"
    cmake_build "$WORK/googletest" "$WORK/googletest/build" -Dgtest_disable_pthreads=ON
}

lib_libpng() {
    unpack_debian libpng1.6 "$WORK/libpng"
    cd "$WORK/libpng"
    autotools_configure --disable-tools
    make -j "$JOBS"
    make install
}

# Debian's .diff.gz for this version is missing on the mirror; the upstream
# tarball is built as it is.
lib_pixman() {
    unpack_orig pixman "$WORK/pixman"
    meson_build "$WORK/pixman" "$WORK/pixman/build" \
        -Dtests=disabled -Dgtk=disabled -Dlibpng=disabled -Dopenmp=disabled
}

# Debian's patched tree wants its autotools files regenerated; the upstream
# tarball configures as shipped.
lib_cairo() {
    unpack_orig cairo "$WORK/cairo"
    cd "$WORK/cairo"
    autotools_configure --enable-win32 --enable-win32-font --enable-png \
        --disable-xlib --disable-xcb --disable-ft --disable-fc --disable-gobject \
        --disable-trace --disable-interpreter --disable-full-testing --disable-gtk-doc
    make -C src -j "$JOBS"
    make -C src install
    # A static cairo must not be declared dllimport to its callers; its
    # cairo.pc forgets the system libraries of the win32 backends; and its
    # configure builds with _FORTIFY_SOURCE, whose checks mingw-w64 keeps in
    # libssp.
    sed -i -e 's|^Cflags: \(.*\)$|Cflags: \1 -DCAIRO_WIN32_STATIC_BUILD|' \
        -e 's|^Libs.private: \(.*\)$|Libs.private: \1 -lgdi32 -lmsimg32 -lssp|' "$PFX/lib/pkgconfig/cairo.pc"
}

lib_libffi() {
    unpack_debian libffi "$WORK/libffi"
    cd "$WORK/libffi"
    autotools_configure --disable-docs --disable-multi-os-directory
    make -j "$JOBS"
    make install
}

lib_pcre2() {
    unpack_debian pcre2 "$WORK/pcre2"
    cmake_build "$WORK/pcre2" "$WORK/pcre2/build" \
        -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF \
        -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_JIT=OFF
}

lib_libintl() {
    mkdir -p "$WORK/libintl"
    "$CC" -O2 -Wall -Wextra -c "$WIN/libintl/intl.c" -o "$WORK/libintl/intl.o"
    "$TRIPLE-ar" rcs "$WORK/libintl/libintl.a" "$WORK/libintl/intl.o"
    install -m644 "$WORK/libintl/libintl.a" "$PFX/lib/"
    install -m644 "$WIN/libintl/libintl.h" "$PFX/include/"
}

lib_glib() {
    unpack_debian glib2.0 "$WORK/glib"
    meson_build "$WORK/glib" "$WORK/glib/build" \
        -Dtests=false -Dinstalled_tests=false -Dgtk_doc=false -Dman=false \
        -Dnls=disabled -Dlibelf=disabled -Dsysprof=disabled -Dglib_debug=disabled
}

lib_fribidi() {
    unpack_debian fribidi "$WORK/fribidi"
    meson_build "$WORK/fribidi" "$WORK/fribidi/build" -Ddocs=false
}

lib_harfbuzz() {
    unpack_debian harfbuzz "$WORK/harfbuzz"
    meson_build "$WORK/harfbuzz" "$WORK/harfbuzz/build" \
        -Dtests=disabled -Ddocs=disabled -Dbenchmark=disabled -Dintrospection=disabled \
        -Dglib=disabled -Dgobject=disabled -Dcairo=disabled -Dfreetype=disabled \
        -Dicu=disabled -Dgraphite2=disabled -Dchafa=disabled
}

lib_pango() {
    unpack_debian pango1.0 "$WORK/pango"
    meson_build "$WORK/pango" "$WORK/pango/build" \
        -Dintrospection=disabled -Dgtk_doc=false -Dinstall-tests=false \
        -Dfontconfig=disabled -Dfreetype=disabled -Dxft=disabled -Dlibthai=disabled \
        -Dsysprof=disabled -Dcairo=enabled
}

# Header-only Boost, from Debian's headers.
lib_boost() {
    ln -sfn /usr/include/boost "$PFX/include/boost"
}

LIBS=(zlib pugixml curl googletest libpng pixman cairo libffi pcre2 libintl glib fribidi harfbuzz pango boost)

# Builds one library under the machine-wide build lock, logging to its own
# file; a library already built in this partial prefix is skipped.
build_lib() {
    local name=$1 logf="$LOGS/$1.log" start
    if [[ -f "$PFX/.built-$name" ]]; then
        log "$ARCH $name: already built"
        return 0
    fi
    log "$ARCH $name: building (log: $logf)"
    start=$(date +%s)
    # Started in the background and waited for: a subshell tested by `if`
    # would run with errexit off and go on past a failed step.
    (
        exec 9>"$LOCK"
        flock 9
        date +%s >"$LOGS/$name.locked"
        set -x
        build_env
        "lib_$name"
        shopt -s nullglob
        python3 "$WIN/pc-public.py" "$PFX"/lib/pkgconfig/*.pc
    ) >"$logf" 2>&1 &
    if ! wait $!; then
        log "$ARCH $name: FAILED; the end of $logf:"
        tail -n 40 "$logf" >&2
        exit 1
    fi
    touch "$PFX/.built-$name"
    local locked end
    locked=$(cat "$LOGS/$name.locked")
    end=$(date +%s)
    rm -f "$LOGS/$name.locked"
    log "$ARCH $name: built in $((end - locked)) s (after $((locked - start)) s waiting for the build lock)"
    echo "$name build $((end - locked))s lock-wait $((locked - start))s" >>"$LOGS/timings.txt"
}

# Turns the partial prefix into the final one: its recorded paths (.pc, .la,
# CMake package files, *-config scripts) are rewritten and it is renamed in
# one step. The stamp comes only after the smoke check has passed on it.
finish_prefix() {
    rm -rf "$FINAL"
    # meson and CMake write some libraries into .pc files as absolute paths
    # (the toolchain's libgdi32.a, the prefix's libz.a); -l keeps them
    # independent of where the toolchain and the prefix live.
    perl -pi -e 's#(?<![^\s:])/\S*/lib([\w.+-]+)\.a(?!\S)#-l$1#g if /^Libs/' "$PFX"/lib/pkgconfig/*.pc
    grep -rlIF --exclude-dir=boost "$PFX" "$PFX" | while IFS= read -r f; do
        sed -i "s|$PFX|$FINAL|g" "$f"
    done
    rm -f "$PFX"/.built-*
    mv "$PFX" "$FINAL"
}

build_arch() {
    set_arch "$1"
    if is_complete "$ARCH"; then
        return 0
    fi
    # A final folder without the stamp was fully built (it only appears by
    # the rename) but not yet checked: the check alone decides.
    if [[ ! -d $FINAL ]]; then
        mkdir -p "$PFX/include" "$PFX/lib/pkgconfig" "$PFX/bin" "$LOGS"
        write_cross_file
        local lib
        for lib in "${LIBS[@]}"; do
            build_lib "$lib"
        done
        finish_prefix
        rm -rf "$WORK"
        log "$ARCH prefix built: $FINAL ($(du -sh "$FINAL" | cut -f1))"
    fi
    smoke_check "$ARCH"
    date -u +%Y-%m-%dT%H:%M:%SZ >"$FINAL/.complete"
    log "$ARCH prefix complete"
}

# --- the smoke check --------------------------------------------------------

server_pid=""
stop_server() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}

smoke_check() {
    set_arch "$1"
    if [[ ! -d $FINAL ]]; then
        echo "no $ARCH prefix to check; run scripts/build-windows.sh --arch $ARCH" >&2
        return 1
    fi
    local build="$BASE/smoke-$ARCH" logf="$BASE/logs/$ARCH/smoke.log"
    rm -rf "$build"
    mkdir -p "$build" "$(dirname "$logf")"
    log "$ARCH smoke check: building (log: $logf)"
    (
        exec 9>"$LOCK"
        flock 9
        cmake -S "$WIN/smoke" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTAVLIN_WIN_PREFIX="$FINAL"
        cmake --build "$build" -j "$JOBS"
    ) >"$logf" 2>&1 &
    if ! wait $!; then
        log "$ARCH smoke check: build FAILED; the end of $logf:"
        tail -n 40 "$logf" >&2
        return 1
    fi

    # a page to fetch over loopback, on a port nobody holds
    local www="$build/www" port rc=0 i
    mkdir -p "$www"
    printf 'tavlin smoke page\n' >"$www/index.txt"
    port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    python3 -m http.server --bind 127.0.0.1 --directory "$www" "$port" >"$build/server.log" 2>&1 &
    server_pid=$!
    trap stop_server EXIT
    for ((i = 0; i < 50; i++)); do
        python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.txt', timeout=1)" 2>/dev/null && break
        sleep 0.1
    done

    log "$ARCH smoke check: running under Wine"
    (cd "$build" && timeout 300 "$WIN/wine-run.sh" ./smoke.exe "http://127.0.0.1:$port/index.txt" "$(cat "$www/index.txt")") \
        >>"$logf" 2>&1 || rc=$?
    stop_server
    trap - EXIT
    if ((rc != 0)); then
        log "$ARCH smoke check: FAILED (status $rc); the end of $logf:"
        tail -n 40 "$logf" >&2
        return 1
    fi
    grep -E '^\[  (PASSED|FAILED|SKIPPED) ' "$logf" || true
    log "$ARCH smoke check: passed"
}

# --- main -------------------------------------------------------------------

if [[ $mode == check ]]; then
    for arch in "${arches[@]}"; do
        smoke_check "$arch"
    done
    exit 0
fi

all_done=1
for arch in "${arches[@]}"; do
    is_complete "$arch" || all_done=0
done
if ((all_done)); then
    for arch in "${arches[@]}"; do
        prefix_of "$arch"
    done
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "run as root: it installs packages with apt" >&2
    exit 1
fi
ensure_packages
for arch in "${arches[@]}"; do
    build_arch "$arch"
done
for arch in "${arches[@]}"; do
    prefix_of "$arch"
done
