#!/usr/bin/env bash
# Builds every library the Windows program needs for x86_64-w64-mingw32 from Debian's own source
# packages into a cache outside the tree (NIMBARA_WINDOWS_CACHE, by default ~/.cache/nimbara-windows).
# The sources come from the machine's configured package sources, read as source entries through a
# private apt configuration. Each library keeps a stamp of its version and of its recipe, so a second
# run only checks them. Called by `scripts/build.sh windows-toolchain`.
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${NIMBARA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nimbara-windows}"
PREFIX="$CACHE/prefix"
JOBS="${NIMBARA_JOBS:-$(nproc)}"
TRIPLE=x86_64-w64-mingw32
TOOLCHAIN="$ROOT/cmake/mingw-w64-x86_64.cmake"
PATCHES="$ROOT/scripts/windows-patches"
export NIMBARA_WINDOWS_PREFIX="$PREFIX"
# pkg-config must see the Windows libraries only.
export PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig"
unset PKG_CONFIG_PATH

log() { echo "[windows-toolchain] $*"; }

# --- Sources -------------------------------------------------------------------------------------
APT_DIR="$CACHE/apt"
apt_src() {
    local tool=apt-get
    if [ "$1" = showsrc ]; then tool=apt-cache; fi
    "$tool" -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$APT_DIR/sources" \
        -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" -o Debug::NoLocking=1 \
        -o APT::Sandbox::User=root "$@"
}

# The machine's package sources as source entries, in a list only this script reads.
prepare_apt() {
    mkdir -p "$APT_DIR/sources" "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
    local out="$APT_DIR/sources/nimbara-src.sources" tmp
    tmp="$(mktemp)"
    : >"$tmp"
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        sed -E 's/^Types:.*$/Types: deb-src/' "$f" >>"$tmp"
        echo >>"$tmp"
    done
    if [ -s /etc/apt/sources.list ]; then
        sed -nE 's/^deb[[:space:]]+/deb-src /p' /etc/apt/sources.list >"$APT_DIR/sources/nimbara-src.list"
    fi
    if ! cmp -s "$tmp" "$out" || [ ! -e "$APT_DIR/updated" ]; then
        mv "$tmp" "$out"
        apt_src update >"$APT_DIR/update.log" 2>&1 || {
            cat "$APT_DIR/update.log" >&2
            exit 1
        }
        touch "$APT_DIR/updated"
    else
        rm -f "$tmp"
    fi
}

# The versions of a source package the configured sources offer, newest first.
source_versions() {
    apt_src showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV
}

# The version of source package $1 to build: the newest one whose files can all be downloaded (a
# mirror may lag behind its own index for an update suite). Remembered once found.
chosen_version() {
    local pkg="$1" version
    if [ -s "$CACHE/download/$pkg/chosen" ]; then
        version="$(cat "$CACHE/download/$pkg/chosen")"
        if source_versions "$pkg" | grep -qxF "$version"; then
            echo "$version"
            return
        fi
    fi
    mkdir -p "$CACHE/download/$pkg"
    for version in $(source_versions "$pkg"); do
        if (cd "$CACHE/download/$pkg" && fetch_files "$pkg" "$version"); then
            echo "$version" >"$CACHE/download/$pkg/chosen"
            echo "$version"
            return
        fi
    done
    echo "No complete source package $pkg in the configured package sources" >&2
    return 1
}

# Unpacks source package $1 at version $2 into $CACHE/src/$1-<version>, Debian's patches applied,
# and prints the folder.
fetch_source() {
    local pkg="$1" version="$2" dir
    dir="$CACHE/src/$pkg-${version#*:}"
    if [ ! -e "$dir/.unpacked" ]; then
        rm -rf "$dir"
        mkdir -p "$CACHE/src"
        dpkg-source --no-check -x "$CACHE/download/$pkg/$pkg"_"${version#*:}".dsc "$dir" >&2
        touch "$dir/.unpacked"
    fi
    echo "$dir"
}

# Downloads the files of a source package version into the current folder. A file missing where apt
# looks for it (an update suite may name an original tarball only the main suite's pool holds) is
# taken from another version's download when its checksum matches the .dsc.
fetch_files() {
    local pkg="$1" version="$2" dsc="$1_${2#*:}.dsc"
    apt_src source --download-only "$pkg=$version" >download.log 2>&1 && return 0
    [ -e "$dsc" ] || return 1
    local name sum other
    while read -r sum _ name; do
        [ -e "$name" ] && continue
        for other in $(source_versions "$pkg"); do
            [ "$other" = "$version" ] && continue
            mkdir -p other && (cd other && apt_src source --download-only "$pkg=$other" >/dev/null 2>&1 || true)
            if [ -e "other/$name" ] && [ "$(sha256sum "other/$name" | cut -d' ' -f1)" = "$sum" ]; then
                cp "other/$name" "$name"
                break
            fi
        done
        [ -e "$name" ] || return 1
    done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
    rm -rf other
}

# --- Stamps --------------------------------------------------------------------------------------
# A library is rebuilt when its version, its recipe (the shell function) or its patches change. The
# toolchain file is shared with the program, so a change there that concerns the libraries goes with
# a change of the recipes.
recipe_hash() {
    local name="$1"
    {
        declare -f "build_$name"
        if [ -d "$PATCHES/$name" ]; then cat "$PATCHES/$name"/*; fi
    } | sha256sum | cut -d' ' -f1
}

# Applies the library's patches that the unpacked source lacks, and prints the source folder. The
# source keeps the list of what it got; a patch that changed or went away since means a fresh unpack
# (and a whole rebuild), while a new patch is applied on top and rebuilds only what it touches.
apply_patches() {
    local name="$1" pkg="$2" version="$3" src="$4" applied p entry
    applied="$src/.nimbara-patches"
    if [ -e "$applied" ]; then
        while read -r entry; do
            if ! (cd "$PATCHES/$name" && sha256sum *.patch 2>/dev/null) | grep -qxF "$entry"; then
                rm -rf "$src"
                src="$(fetch_source "$pkg" "$version")"
                break
            fi
        done <"$applied"
    fi
    touch "$applied"
    for p in "$PATCHES/$name"/*.patch; do
        [ -e "$p" ] || continue
        entry="$(cd "$PATCHES/$name" && sha256sum "$(basename "$p")")"
        grep -qxF "$entry" "$applied" && continue
        # A source patched before the list was kept already has it: it reverses cleanly.
        if ! patch -d "$src" -p1 -R -f -s --dry-run <"$p" >/dev/null 2>&1; then
            patch -d "$src" -p1 --forward <"$p" >&2
        fi
        echo "$entry" >>"$applied"
    done
    echo "$src"
}

build_component() {
    local name="$1" pkg="$2" version stamp want
    stamp="$CACHE/stamps/$name"
    # Up to date while the recipe is the same and its version is still offered: no download.
    if [ -e "$stamp" ]; then
        read -r _ version _ <"$stamp"
        want="$pkg $version $(recipe_hash "$name")"
        if [ "$(cat "$stamp")" = "$want" ] && source_versions "$pkg" | grep -qxF "$version"; then
            log "$name: up to date ($version)"
            return
        fi
    fi
    version="$(chosen_version "$pkg")"
    want="$pkg $version $(recipe_hash "$name")"
    local src start
    src="$(fetch_source "$pkg" "$version")"
    if [ -d "$PATCHES/$name" ]; then
        src="$(apply_patches "$name" "$pkg" "$version" "$src")"
    fi
    start=$SECONDS
    log "$name: building $version"
    # A build that stopped half-way goes on from where it stopped.
    mkdir -p "$CACHE/build/$name" "$CACHE/stamps"
    # Not under || or &&, where bash would stop honouring errexit inside the recipe.
    local rc=0
    set +e
    (
        set -e
        cd "$CACHE/build/$name"
        "build_$name" "$src"
    ) >"$CACHE/build/$name.log" 2>&1
    rc=$?
    set -e
    [ $rc -eq 0 ] || {
        tail -40 "$CACHE/build/$name.log" >&2
        log "$name: failed, the whole log is $CACHE/build/$name.log"
        exit 1
    }
    echo "$want" >"$stamp"
    log "$name: built in $((SECONDS - start)) s"
}

cmake_cross() {
    local src="$1"
    shift
    cmake -S "$src" -B . -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_PREFIX_PATH="$PREFIX" "$@"
    cmake --build . --parallel "$JOBS"
    cmake --install .
}

# --- Recipes -------------------------------------------------------------------------------------
build_sqlite() {
    local src="$1"
    # The amalgamation, as one DLL that Qt's SQLite driver and the program share.
    (cd "$src" && [ -e sqlite3.c ] || { ./configure >/dev/null && make sqlite3.c >/dev/null; })
    $TRIPLE-gcc-posix -O2 -shared -o sqlite3.dll "$src/sqlite3.c" -DSQLITE_ENABLE_FTS5 \
        -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3 -DSQLITE_ENABLE_RTREE -DSQLITE_ENABLE_UNLOCK_NOTIFY \
        -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_SECURE_DELETE -DSQLITE_THREADSAFE=1 -DSQLITE_API='__declspec(dllexport)' -Wl,--out-implib,libsqlite3.dll.a
    mkdir -p "$PREFIX/bin" "$PREFIX/lib/pkgconfig" "$PREFIX/include"
    cp sqlite3.dll "$PREFIX/bin/"
    cp libsqlite3.dll.a "$PREFIX/lib/"
    cp "$src/sqlite3.h" "$src/sqlite3ext.h" "$PREFIX/include/"
    printf 'prefix=%s\nlibdir=${prefix}/lib\nincludedir=${prefix}/include\n\nName: SQLite\nDescription: SQL database engine\nVersion: 3\nLibs: -L${libdir} -lsqlite3\nCflags: -I${includedir}\n' \
        "$PREFIX" >"$PREFIX/lib/pkgconfig/sqlite3.pc"
}

build_sodium() {
    local src="$1"
    # The release tarball Debian uses has no generated configure script.
    (cd "$src" && [ -x configure ] || autoreconf -fi)
    "$src/configure" --host=$TRIPLE --prefix="$PREFIX" --disable-static --enable-shared \
        CC=$TRIPLE-gcc-posix
    make -j"$JOBS"
    make install
}

build_fmt() {
    cmake_cross "$1" -DFMT_DOC=OFF -DFMT_TEST=OFF -DBUILD_SHARED_LIBS=ON
}

build_spdlog() {
    # Wide file names: the log lies under the user's folder, whose name may be in any script.
    cmake_cross "$1" -DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_BUILD_SHARED=ON -DSPDLOG_BUILD_EXAMPLE=OFF \
        -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_WCHAR_FILENAMES=ON
}

build_openssl() {
    local src="$1"
    "$src/Configure" mingw64 --cross-compile-prefix=$TRIPLE- --prefix="$PREFIX" --libdir=lib \
        shared no-tests no-module CC=gcc-posix CXX=g++-posix
    make -j"$JOBS" build_libs
    make install_dev install_runtime_libs
}

build_qtbase() {
    local src="$1"
    # The host tools (moc, rcc, uic, ...) are Debian's own, of the same version.
    cmake -S "$src" -B . -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_PREFIX_PATH="$PREFIX" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_vulkan=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_sql_odbc=OFF -DFEATURE_sql_psql=OFF \
        -DFEATURE_sql_mysql=OFF -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON \
        -DSQLite3_INCLUDE_DIR="$PREFIX/include" -DSQLite3_LIBRARY="$PREFIX/lib/libsqlite3.dll.a" \
        -DFEATURE_schannel=ON -DFEATURE_openssl=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_testlib=ON
    cmake --build . --parallel "$JOBS"
    cmake --install .
}

build_minizip() {
    local src="$1"
    (cd "$src" && [ -x configure ] || autoreconf -fi)
    "$src/configure" --host=$TRIPLE --prefix="$PREFIX" --disable-static --enable-shared \
        CC=$TRIPLE-gcc-posix
    # A DLL needs libtool's promise that every symbol is resolved at link time.
    make -j"$JOBS" libminizip.la LDFLAGS=-no-undefined
    make install-libLTLIBRARIES install-minizip_includeHEADERS install-pkgconfigDATA
}

# toml++ is header-only: the headers of Debian's own package (installed for the Linux build) serve,
# used without its compiled part.
install_tomlplusplus() {
    mkdir -p "$PREFIX/include"
    rm -rf "$PREFIX/include/toml++"
    cp -r /usr/include/toml++ "$PREFIX/include/"
}

build_freerdp() {
    local src="$1"
    # The client library and wfreerdp.exe, the Windows client the compatibility engine embeds (Debian's
    # source leaves it out: windows-patches/freerdp adds it from the upstream release).
    cmake_cross "$src" -DBUILD_SHARED_LIBS=ON -DWITH_CLIENT=ON -DWITH_CLIENT_COMMON=ON -DWITH_SERVER=OFF \
        -DWITH_SAMPLE=OFF -DWITH_WINPR_TOOLS=OFF -DWITH_FFMPEG=OFF -DWITH_SWSCALE=OFF -DWITH_DSP_FFMPEG=OFF \
        -DWITH_CAIRO=OFF -DWITH_GSTREAMER_1_0=OFF -DWITH_PCSC=OFF -DWITH_CUPS=OFF -DWITH_OPENH264=OFF \
        -DWITH_MANPAGES=OFF -DWITH_CHANNELS=ON -DWITH_CLIENT_CHANNELS=ON -DWITH_SERVER_CHANNELS=OFF \
        -DWITH_THIRD_PARTY=OFF -DWITH_LIBSYSTEMD=OFF -DWITH_KRB5=OFF -DWITH_PROXY=OFF -DWITH_SHADOW=OFF \
        -DWITH_CCACHE=OFF -DBUILD_TESTING=OFF -DWITH_WAYLAND=OFF -DWITH_X11=OFF -DCHANNEL_URBDRC=OFF \
        -DWITH_OPENSSL=ON -DOPENSSL_ROOT_DIR="$PREFIX" -DZLIB_ROOT=/usr/$TRIPLE
}

build_freexl() {
    local src="$1" shim="$PWD/iconv"
    # Windows has no iconv: a small one over the system's code page tables (windows-patches/freexl),
    # as a DLL of its own so that libtool links FreeXL's DLL against it.
    mkdir -p "$shim"
    cp "$PATCHES/freexl/iconv.h" "$PATCHES/freexl/localcharset.h" "$shim/"
    $TRIPLE-gcc-posix -O2 -shared "$PATCHES/freexl/iconv_win32.c" -I"$shim" -o "$shim/libiconv-2.dll" \
        -Wl,--out-implib,"$shim/libiconv.dll.a"
    cp "$shim/libiconv.dll.a" "$shim/libcharset.dll.a"
    mkdir -p "$PREFIX/bin"
    cp "$shim/libiconv-2.dll" "$PREFIX/bin/"
    (cd "$src" && [ -x configure ] || autoreconf -fi)
    "$src/configure" --host=$TRIPLE --prefix="$PREFIX" --disable-static --enable-shared \
        CC=$TRIPLE-gcc-posix CPPFLAGS="-I$shim" LDFLAGS="-L$shim"
    # A DLL needs libtool's promise that every symbol is resolved at link time.
    make -j"$JOBS" LDFLAGS="-L$shim -no-undefined"
    make install
}

# --- Main ----------------------------------------------------------------------------------------
# One function, read whole before it runs: the file may change while a build of hours goes on.
main() {
    mkdir -p "$CACHE"
    start_all=$SECONDS
    prepare_apt
    build_component sqlite sqlite3
    build_component qtbase qt6-base
    build_component sodium libsodium
    build_component fmt fmtlib
    build_component spdlog spdlog
    install_tomlplusplus
    build_component minizip minizip
    build_component openssl openssl
    build_component freerdp freerdp2
    build_component freexl freexl
    date -u +%FT%TZ >"$CACHE/stamp"
    log "ready in $((SECONDS - start_all)) s: $PREFIX"
}

main "$@"
