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
# The format check of changed files (scripts/check-format.sh), with the version the root
# .clang-format is kept with.
want clang-format-14 command -v clang-format-14
# fuelctl's --json (header-only).
want nlohmann-json3-dev test -f /usr/include/nlohmann/json.hpp
# The forecourt's journal.
want libsqlite3-dev test -f /usr/include/sqlite3.h
# The forecourt server: HTTP and WebSocket (Boost.Beast and Asio, header-only), TLS and the
# tokens' hashes (OpenSSL).
want libboost1.81-dev test -f /usr/include/boost/beast.hpp
want libssl-dev test -f /usr/include/openssl/ssl.h
# The bridge to the chain's MQTT broker: the client library, and the broker its tests start.
want libmosquitto-dev test -f /usr/include/mosquitto.h
want mosquitto test -x /usr/sbin/mosquitto
want openssl command -v openssl
# The head office (fuel-hq): its store's client library, and the PostgreSQL server its tests
# start (initdb and postgres into a temporary directory).
want libpq-dev test -f /usr/include/postgresql/libpq-fe.h
want postgresql test -n "$(ls /usr/lib/postgresql/*/bin/initdb 2>/dev/null)"
# The install and package tests: pkg-config for the consumer build, dpkg-shlibdeps (and the
# file utility CPack finds the programs with) for the Debian package's dependencies.
want pkgconf command -v pkg-config
want dpkg-dev command -v dpkg-shlibdeps
want file command -v file
want g++-mingw-w64-i686 command -v i686-w64-mingw32-g++-posix
want binutils-mingw-w64-i686 command -v i686-w64-mingw32-objdump
# Wine for the 32-bit Windows tests: the 32-bit loader with its preloader, and the native
# 64-bit wineserver. Where the kernel runs no 32-bit code, qemu's user-mode emulator runs the
# loader (see register_i386_emulator below).
want wine command -v wine
want wine32:i386 test -e /usr/lib/wine/wine
want wine32-preloader:i386 test -e /usr/lib/wine/wine-preloader
want wine64 test -x /usr/lib/wine/wineserver64
want qemu-user-static command -v qemu-i386-static
# The dialog tests and the screenshots: a private X server, ImageMagick for the pictures,
# and the Russian locale under which Wine runs the Windows side (its code page, its decimal
# separator).
want xvfb command -v Xvfb
want imagemagick test -x /usr/bin/import
want locales test -f /usr/share/i18n/locales/ru_RU
# The web console's tests: node and npm for ESLint and puppeteer-core (tests/web), and the
# browser they drive.
want nodejs command -v node
want npm command -v npm
want chromium test -x /usr/bin/chromium
# Wine's own dialog fonts (Tahoma, and Marlett for the caption buttons), so that the dialogs
# are measured and drawn with what Windows has rather than whatever the system substitutes.
want fonts-wine test -f /usr/share/wine/fonts/tahoma.ttf

# Some virtual machines give processes no 32-bit code segment: 32-bit programs fail with
# "Exec format error", and Wine's WoW64 mode faults on its switch to 32-bit code. There,
# 32-bit ELF programs are handed to qemu-i386 through binfmt_misc (lost at reboot, so checked
# on every run).
register_i386_emulator() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        return 0
    fi
    local binfmt=/proc/sys/fs/binfmt_misc
    if [ "$(id -u)" -ne 0 ]; then
        echo "note: this machine runs no 32-bit code; run this script as root to register" \
             "qemu-i386 for it, or the Wine tests are skipped" >&2
        return 0
    fi
    if [ ! -e $binfmt/register ]; then
        mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null || true
    fi
    if [ -e $binfmt/qemu-i386 ]; then
        echo 1 > $binfmt/qemu-i386 2>/dev/null || true
    else
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
            > $binfmt/register 2>/dev/null || true
    fi
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "registered qemu-i386 for 32-bit programs"
    else
        echo "warning: 32-bit programs still do not run; the Wine tests will be skipped" >&2
    fi
}

# Wine takes its ANSI code page (Windows-1251 for the catalogue files and the INI test against
# the Windows profile functions) and its decimal separator from the process's locale, which
# must exist: ru_RU.UTF-8, generated once (the package ships the definitions, not the
# compiled locale).
generate_russian_locale() {
    if locale -a 2>/dev/null | grep -qix 'ru_RU.utf-\?8'; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "note: no ru_RU.UTF-8 locale; run this script as root to generate it" >&2
        return 0
    fi
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || echo "warning: could not generate ru_RU.UTF-8" >&2
}

# The npm packages of the web console's tests, as package-lock.json pins them; again only
# when the lock file changed since they were installed.
install_web_packages() {
    local folder
    folder="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
    if [ -f "$folder/node_modules/.package-lock.json" ] &&
       [ ! "$folder/package-lock.json" -nt "$folder/node_modules/.package-lock.json" ]; then
        return 0
    fi
    if ! command -v npm >/dev/null 2>&1; then
        echo "note: no npm; the web console's tests need the packages of $folder" >&2
        return 0
    fi
    echo "installing the npm packages of $folder"
    (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error)
}

if [ ${#need_packages[@]} -eq 0 ]; then
    register_i386_emulator
    generate_russian_locale
    install_web_packages
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing: ${need_packages[*]}" >&2
    echo "run this script as root to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "installing: ${need_packages[*]}"
# A mirror that is syncing fails the update for a while ("File has unexpected size"): try again,
# and go on with what was fetched if it still fails, so that the install names what is missing.
for attempt in 1 2 3; do
    if apt-get update -q; then
        break
    fi
    echo "warning: apt-get update failed (attempt $attempt of 3)" >&2
    if [ "$attempt" -lt 3 ]; then
        sleep 15
    fi
done
if ! apt-get install -y -q --no-install-recommends "${need_packages[@]}"; then
    # Such a mirror can also hold the security archive's newer versions for amd64 but not yet
    # for i386, and Wine's 32-bit libraries must match their 64-bit twins exactly. Then the
    # versions both architectures have are taken, for this install only.
    echo "warning: trying again with the versions every architecture has" >&2
    skew=$(mktemp)
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' > "$skew"
    apt-get install -y -q --no-install-recommends -o Dir::Etc::Preferences="$skew" \
        "${need_packages[@]}"
    rm -f "$skew"
fi
register_i386_emulator
generate_russian_locale
install_web_packages
