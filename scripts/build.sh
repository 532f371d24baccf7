#!/usr/bin/env bash
# Sets up a Debian 12 machine for NIMBARA, builds it, and runs the program or its tests.
#   scripts/build.sh run      install what is missing, build, start the program
#   scripts/build.sh package  install what is missing, build the programs, make the Debian packages
#   scripts/build.sh test     install what is missing, build, run every test; in CI (CI=true) or with
#                             NIMBARA_FULL_CHECKS=1 also the unit and gui tests under AddressSanitizer and
#                             UndefinedBehaviorSanitizer, and every fuzz target for a minute; when the
#                             Windows libraries are built (windows-toolchain), the Windows tests too
#   scripts/build.sh windows-toolchain
#                             build the libraries of the Windows program from Debian's source packages
#                             (once; later runs only check them)
#   scripts/build.sh windows  cross-build the Windows program and its installer into build-windows/
#   scripts/build.sh windows-test
#                             the same, then run the Windows tests under Wine
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${NIMBARA_BUILD_DIR:-$ROOT/build}"
JOBS="${NIMBARA_JOBS:-$(nproc)}"

# Debian packages the build, the program and the tests need.
PACKAGES=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libsqlite3-dev qt6-translations-l10n
    libspdlog-dev libfmt-dev libtomlplusplus-dev libsodium-dev libssl-dev
    libminizip-dev libfreexl-dev fonts-noto-cjk
    freerdp2-dev freerdp2-x11 freerdp2-shadow-x11 winpr-utils libxtst-dev libx11-dev libxdamage-dev x11-utils
    xvfb xauth util-linux mount
    openssh-client openssh-server xterm pssh openssl postgresql libpq-dev
    python3 dpkg-dev lintian desktop-file-utils adduser dbus-daemon
    libboost-dev nginx-light
)

# What the Windows cross-build adds: MinGW-w64, Wine to run the tests, NSIS for the installer, and the
# tools that build the libraries from their source packages.
WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
    wine wine64 nsis autoconf automake libtool dpkg-dev perl xvfb xauth x11-utils imagemagick
)
WINDOWS_BUILD_DIR="${NIMBARA_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"
WINDOWS_CACHE="${NIMBARA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nimbara-windows}"

install_missing() {
    "$ROOT/scripts/install_packages.sh" "${PACKAGES[@]}"
}

windows_toolchain() {
    install_missing
    "$ROOT/scripts/install_packages.sh" "${WINDOWS_PACKAGES[@]}"
    "$ROOT/scripts/windows_toolchain.sh"
}

# Cross-builds the Windows programs, their folder (libraries and plugins beside them) and the installer.
windows_build() {
    windows_toolchain
    NIMBARA_WINDOWS_PREFIX="$WINDOWS_CACHE/prefix" PKG_CONFIG_LIBDIR="$WINDOWS_CACHE/prefix/lib/pkgconfig" \
        cmake -S "$ROOT" -B "$WINDOWS_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DNIMBARA_WINDOWS_PREFIX="$WINDOWS_CACHE/prefix" -DCMAKE_PREFIX_PATH="$WINDOWS_CACHE/prefix" \
        -DNIMBARA_LINUX_TEST_PEERS="$BUILD_DIR/bin/nimbara-test-peers" \
        -DNIMBARA_WERROR="$(werror_flag)"
    PKG_CONFIG_LIBDIR="$WINDOWS_CACHE/prefix/lib/pkgconfig" cmake --build "$WINDOWS_BUILD_DIR" --parallel "$JOBS"
    cmake --build "$WINDOWS_BUILD_DIR" --target nimbara_installer
    echo "Windows program: $WINDOWS_BUILD_DIR/bin/nimbara.exe"
    ls "$WINDOWS_BUILD_DIR"/NIMBARA-*-x64-Setup.exe
}

windows_tests() {
    # xvfb-run's own screen (640x480, 8 bits) is smaller than the program's window and has no true colour.
    (cd "$WINDOWS_BUILD_DIR" && xvfb-run -a -s "-screen 0 1600x1000x24" ctest --output-on-failure --parallel "$JOBS")
}

werror_flag() {
    if [ "${CI:-}" = "true" ]; then
        echo ON
    else
        echo OFF
    fi
}

# Configures and builds the given targets, or everything.
configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${NIMBARA_BUILD_TYPE:-RelWithDebInfo}" \
        -DNIMBARA_WERROR="$(werror_flag)"
    if [ $# -gt 0 ]; then
        cmake --build "$BUILD_DIR" --parallel "$JOBS" --target "$@"
    else
        cmake --build "$BUILD_DIR" --parallel "$JOBS"
    fi
}

# A Debug build with AddressSanitizer and UndefinedBehaviorSanitizer (the "sanitize" preset), running
# the unit and gui tests: any finding ends the test process, so the test fails.
sanitizer_checks() {
    local dir="${NIMBARA_SANITIZE_BUILD_DIR:-$ROOT/build-sanitize}"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNIMBARA_SANITIZE=ON \
        -DNIMBARA_WERROR="$(werror_flag)"
    cmake --build "$dir" --parallel "$JOBS"
    (cd "$dir" && ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ctest --output-on-failure --parallel "$JOBS" -L 'unit|gui')
}

case "${1:-}" in
    run)
        install_missing
        configure_and_build
        shift
        if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
            echo "No display found: starting under xvfb-run."
            exec xvfb-run -a "$BUILD_DIR/bin/nimbara" "$@"
        fi
        exec "$BUILD_DIR/bin/nimbara" "$@"
        ;;
    test)
        install_missing
        configure_and_build
        shift
        (cd "$BUILD_DIR" && ctest --output-on-failure --parallel "$JOBS" "$@")
        if [ $# -eq 0 ] && { [ "${CI:-}" = "true" ] || [ "${NIMBARA_FULL_CHECKS:-}" = "1" ]; }; then
            sanitizer_checks
            "$ROOT/scripts/fuzz.sh" "${NIMBARA_FUZZ_SECONDS:-60}"
        fi
        if [ $# -eq 0 ]; then
            # Building the Windows libraries takes hours: only a machine that has them runs this stage.
            if [ -e "$WINDOWS_CACHE/stamp" ]; then
                windows_build
                windows_tests
            else
                echo "Windows stage skipped: no Windows libraries in $WINDOWS_CACHE" \
                    "(scripts/build.sh windows-toolchain builds them)."
            fi
        fi
        ;;
    windows-toolchain)
        windows_toolchain
        ;;
    windows)
        windows_build
        ;;
    windows-test)
        # The Linux peers the Windows tests meet (an RDP server, the account server).
        install_missing
        configure_and_build nimbara-test-peers nimbara-account-server
        windows_build
        windows_tests
        ;;
    package)
        install_missing
        # What the two packages hold (packaging/CMakeLists.txt); the tests are not needed for them.
        configure_and_build nimbara nimbara-ssh-askpass nimbara-xls-reader nimbara-account-server \
            nimbara_package_files
        packages=$(cd "$BUILD_DIR" && cpack -G DEB | tee /dev/stderr |
            sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
        echo "Debian packages:"
        echo "$packages"
        ;;
    *)
        echo "usage: $0 run|test|package|windows-toolchain|windows|windows-test [arguments]" >&2
        exit 2
        ;;
esac
