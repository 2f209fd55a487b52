#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for the build and the tests. As root it installs;
# otherwise it only names what is missing.
set -euo pipefail

need_packages=()
want() {  # want PACKAGE TEST...
    local package=$1
    shift
    if ! "$@" >/dev/null 2>&1; then
        need_packages+=("$package")
    fi
}

want cmake command -v cmake
want g++ command -v g++
want ninja-build command -v ninja
want libgtest-dev test -f /usr/include/gtest/gtest.h
want libgmock-dev test -f /usr/include/gmock/gmock.h
want googletest test -f /usr/src/googletest/CMakeLists.txt
want libbenchmark-dev test -f /usr/include/benchmark/benchmark.h
want g++-mingw-w64-i686 command -v i686-w64-mingw32-g++-posix
want binutils-mingw-w64-i686 command -v i686-w64-mingw32-objdump

need_wine=0
if ! command -v wine >/dev/null 2>&1 || ! test -e /usr/lib/wine/wine; then
    need_wine=1
fi

if [ ${#need_packages[@]} -eq 0 ] && [ $need_wine -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing: ${need_packages[*]} $([ $need_wine -eq 1 ] && echo 'wine wine32:i386')" >&2
    echo "run this script as root to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $need_wine -eq 1 ]; then
    dpkg --add-architecture i386
    need_packages+=(wine wine32:i386)
fi
echo "installing: ${need_packages[*]}"
apt-get update -q
apt-get install -y -q --no-install-recommends "${need_packages[@]}"
