# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads, which std::thread and Qt
# need). The libraries built by `scripts/build.sh windows-toolchain` live in NIMBARA_WINDOWS_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NIMBARA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NIMBARA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMBARA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NIMBARA_MINGW_TRIPLE}-windres)

# Read again by every try_compile, where only the environment survives.
if(NOT NIMBARA_WINDOWS_PREFIX AND DEFINED ENV{NIMBARA_WINDOWS_PREFIX})
    set(NIMBARA_WINDOWS_PREFIX "$ENV{NIMBARA_WINDOWS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${NIMBARA_MINGW_TRIPLE} ${NIMBARA_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see the Windows libraries only, also when a build step configures again.
if(NIMBARA_WINDOWS_PREFIX)
    set(ENV{PKG_CONFIG_LIBDIR} "${NIMBARA_WINDOWS_PREFIX}/lib/pkgconfig")
    unset(ENV{PKG_CONFIG_PATH})
endif()
# Qt's tools (moc, rcc, uic) run on the build machine: Debian's own, of the same version.
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr)
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()
