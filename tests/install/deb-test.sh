#!/usr/bin/env bash
# Builds the Debian package from the build directory and checks what it holds and what it
# depends on: the C and C++ runtimes, and SQLite for the forecourt's journal (fuelctl
# forecourt), nothing else. Usage: deb-test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# CPack's archiver reads file names in the locale's character set: in the C locale it cannot
# read the example catalogue's Cyrillic file names, so it runs in a UTF-8 locale whatever the
# caller's is (or with none set).
(cd "$work" && LC_ALL=C.UTF-8 cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack failed"; exit 1; }
deb=$(find "$work" -maxdepth 1 -name 'fuel-driver_*.deb' | head -n 1)
[ -n "$deb" ] || { fail "no package made"; exit 1; }

info=$(dpkg-deb --info "$deb")
grep -q "^ Version: $version\$" <<<"$info" || fail "version is not $version"
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
for needed in libc6 libstdc++6 libgcc-s1 libsqlite3-0; do
    grep -q "$needed" <<<"$depends" || fail "does not depend on $needed: $depends"
done
# The forecourt server adds SQLite (its journal), OpenSSL (tokens, TLS) and libmosquitto (its
# bridge to the chain's broker); the head office libpq (its PostgreSQL).
others=$(tr ',' '\n' <<<"$depends" | sed 's/ *(.*//; s/^ *//' |
         grep -vxE 'libc6|libstdc\+\+6|libgcc-s1|libsqlite3-0|libssl3|libmosquitto1|libpq5')
[ -z "$others" ] || fail "depends on more than the runtimes, SQLite, OpenSSL, libmosquitto and libpq: $others"

contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/fuelctl ./usr/bin/fuel-emulator ./usr/share/man/man1/fuelctl.1 \
            ./usr/share/bash-completion/completions/fuelctl ./usr/include/fuel-driver/driver/TVM30.h \
            fuel-driver.pc FuelDriverConfig.cmake libfuel_driver.a ./usr/bin/fuel-forecourtd \
            ./usr/share/man/man8/fuel-forecourtd.8 ./usr/lib/systemd/system/fuel-forecourtd.service \
            ./usr/lib/sysusers.d/fuel-forecourtd.conf ./usr/share/fuel-driver/forecourt/station.ini \
            ./usr/share/fuel-driver/bus/station.conf ./usr/bin/fuel-hq ./usr/share/man/man8/fuel-hq.8 \
            ./usr/lib/systemd/system/fuel-hq.service ./usr/lib/sysusers.d/fuel-hq.conf \
            examples/hq/hq.ini; do
    grep -q -- "$file" <<<"$contents" || fail "the package lacks $file"
done
# The service's user is made when the package is configured.
dpkg-deb --ctrl-tarfile "$deb" | tar -tf - | grep -q '^\./postinst$' || fail "the package has no postinst"
[ $status -eq 0 ] && echo "$(basename "$deb"): Depends: $depends"
exit $status
