#!/bin/sh
# Builds the libraries the Windows program links, as static mingw-w64
# libraries, from Debian's own source packages: libusb-1.0, libxml2 and
# libzip (zlib comes from the package libz-mingw-w64-dev). SHA-256 comes from
# Windows itself (CNG, bcrypt.dll).
#
#   scripts/build-windows-deps.sh [BUILD_DIR]    (default build-win)
#
# They are installed into BUILD_DIR/deps/prefix. A library is built only when
# its stamp there is missing, so a second run costs nothing; remove the prefix
# (or BUILD_DIR) to build them afresh. apt-get source needs a deb-src entry,
# which scripts/install-deps.sh adds.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-win}
mkdir -p "$build"
build=$(cd "$build" && pwd)
deps="$build/deps"
prefix="$deps/prefix"
srcdir="$deps/src"
host=x86_64-w64-mingw32
jobs=$(nproc 2>/dev/null || echo 2)
# Debian's mingw zlib lives here; libzip's CMake finds it through the
# toolchain file's search root.
mingw_root=/usr/$host

say() { echo "windows-deps: $*"; }
die() { echo "windows-deps: $*" >&2; exit 1; }

command -v "$host-gcc" >/dev/null 2>&1 || die "$host-gcc not found (package gcc-mingw-w64-x86-64)"
[ -f "$mingw_root/lib/libz.a" ] || die "$mingw_root/lib/libz.a missing (package libz-mingw-w64-dev)"
mkdir -p "$prefix" "$srcdir"

# Fetches Debian's source package $1 afresh into $srcdir and prints the
# directory it unpacked to.
fetch() {
    pkg=$1
    (
        cd "$srcdir"
        rm -rf "$pkg"-[0-9]* "$pkg"_*
        # As root, apt would fetch into a folder its sandbox user cannot write.
        if ! apt-get source -qq -o APT::Sandbox::User=root "$pkg" >"$srcdir/$pkg.fetch.log" 2>&1; then
            cat "$srcdir/$pkg.fetch.log" >&2
            die "apt-get source $pkg failed (is there a deb-src entry? scripts/install-deps.sh adds one)"
        fi
    )
    dir=$(find "$srcdir" -mindepth 1 -maxdepth 1 -type d -name "$pkg-[0-9]*" | head -n 1)
    [ -n "$dir" ] || die "apt-get source $pkg unpacked nothing"
    echo "$dir"
}

# Runs a build step with its output in a log, shown only when it fails.
run_logged() {
    log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        die "failed: $* (whole log: $log)"
    fi
}

# Cross-compile settings shared by the autotools builds.
autotools_env() {
    CC="$host-gcc"
    AR="$host-ar"
    RANLIB="$host-ranlib"
    CFLAGS="-O2"
    export CC AR RANLIB CFLAGS
}

build_libusb() {
    dir=$(fetch libusb-1.0)
    log="$srcdir/libusb.log"
    : >"$log"
    (
        cd "$dir"
        autotools_env
        run_logged "$log" ./configure --host=$host --prefix="$prefix" --enable-static --disable-shared \
            --disable-examples-build --disable-tests-build
        run_logged "$log" make -j"$jobs" -C libusb
        run_logged "$log" make -C libusb install
        run_logged "$log" make install-pkgconfigDATA
    )
}

build_libxml2() {
    dir=$(fetch libxml2)
    log="$srcdir/libxml2.log"
    : >"$log"
    (
        cd "$dir"
        autotools_env
        # Debian's patches touch Makefile.am; without this make would want
        # to run automake.
        touch Makefile.in
        run_logged "$log" ./configure --host=$host --prefix="$prefix" --enable-static --disable-shared \
            --without-python --without-iconv --without-icu --without-lzma --without-zlib \
            --without-http --without-ftp --without-modules
        # The library alone: no xmllint, no test programs.
        run_logged "$log" make -j"$jobs" libxml2.la
        run_logged "$log" make install-libLTLIBRARIES install-pkgconfigDATA
        run_logged "$log" make -C include install
    )
}

build_libzip() {
    dir=$(fetch libzip)
    log="$srcdir/libzip.log"
    : >"$log"
    (
        cd "$dir"
        rm -rf build-mingw
        run_logged "$log" cmake -S . -B build-mingw \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
            -DDURUVEV_WIN_DEPS="$prefix" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$prefix" \
            -DBUILD_SHARED_LIBS=OFF \
            -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
            -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
            -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
            -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
        run_logged "$log" cmake --build build-mingw -j "$jobs"
        run_logged "$log" cmake --install build-mingw
    )
}

for lib in libusb libxml2 libzip; do
    stamp="$prefix/.built-$lib"
    [ -f "$stamp" ] && continue
    say "building $lib (static, $host)"
    start=$(date +%s)
    "build_$lib"
    touch "$stamp"
    say "$lib done in $(($(date +%s) - start)) s"
done

# The licence texts of what the exe links, for the notices file that the
# Windows build writes beside it: from the source packages (fetched again if
# their trees are gone), and zlib's from its Debian package.
licences="$prefix/share/licenses"
copy_licence() {
    lib=$1 pkg=$2
    shift 2
    [ -d "$licences/$lib" ] && return 0
    dir=$(find "$srcdir" -mindepth 1 -maxdepth 1 -type d -name "$pkg-[0-9]*" | head -n 1)
    [ -n "$dir" ] || dir=$(fetch "$pkg") || exit 1
    mkdir -p "$licences/$lib.tmp"
    for f in "$@"; do
        [ -f "$dir/$f" ] || die "$dir/$f missing: no licence text for $lib"
        cp "$dir/$f" "$licences/$lib.tmp/"
    done
    # Which source the library was built from, for the notices file.
    dsc=$(find "$srcdir" -mindepth 1 -maxdepth 1 -name "${pkg}_*.dsc" | head -n 1)
    [ -n "$dsc" ] || die "no ${pkg}_*.dsc in $srcdir"
    ver=$(basename "$dsc" .dsc)
    echo "Debian source package $pkg ${ver#"${pkg}_"}" >"$licences/$lib.tmp/SOURCE"
    mv "$licences/$lib.tmp" "$licences/$lib"
}
copy_licence libusb libusb-1.0 AUTHORS COPYING
copy_licence libxml2 libxml2 Copyright
copy_licence libzip libzip LICENSE
if [ ! -d "$licences/zlib" ]; then
    z=/usr/share/doc/libz-mingw-w64-dev/copyright
    [ -f "$z" ] || die "$z missing (package libz-mingw-w64-dev)"
    mkdir -p "$licences/zlib"
    cp "$z" "$licences/zlib/copyright"
    dpkg-query -W -f='Debian source package ${source:Package} ${source:Version}\n' libz-mingw-w64-dev \
        >"$licences/zlib/SOURCE"
fi
