#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds an integrator's program against what
# was installed, once through the CMake package and once through pkg-config; both run the
# driver against the emulator. Usage: install-test.sh BUILD_DIR SOURCE_DIR VERSION CXX
set -uo pipefail
build=$1
source=$2
version=$3
cxx=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; exit 1; }

for file in bin/fuelctl bin/fuel-emulator share/man/man1/fuelctl.1 share/man/man1/fuel-emulator.1 \
            share/bash-completion/completions/fuelctl include/fuel-driver/driver/TVM30.h \
            include/fuel-driver/driver/Version.h bin/fuel-forecourtd share/man/man8/fuel-forecourtd.8 \
            lib/systemd/system/fuel-forecourtd.service lib/sysusers.d/fuel-forecourtd.conf \
            share/fuel-driver/forecourt/station.ini share/fuel-driver/bus/station.conf \
            share/doc/fuel-driver/README.md share/doc/fuel-driver/docs/README.md \
            share/doc/fuel-driver/docs/api.md share/doc/fuel-driver/docs/images/forecourt-fuelling.png \
            bin/fuel-hq share/man/man8/fuel-hq.8 lib/systemd/system/fuel-hq.service \
            lib/sysusers.d/fuel-hq.conf share/doc/fuel-driver/examples/hq/hq.ini; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
[ -n "$(find "$prefix" -name FuelDriverConfig.cmake)" ] || fail "no CMake package"
pcdir=$(dirname "$(find "$prefix" -name fuel-driver.pc | head -n 1)")
[ -f "$pcdir/fuel-driver.pc" ] || fail "no pkg-config file"

[ "$("$prefix/bin/fuelctl" --version)" = "fuelctl $version" ] || fail "fuelctl --version"
[ "$("$prefix/bin/fuel-emulator" --version)" = "fuel-emulator $version" ] ||
    fail "fuel-emulator --version"
[ "$("$prefix/bin/fuel-forecourtd" --version)" = "fuel-forecourtd $version" ] ||
    fail "fuel-forecourtd --version"
[ "$("$prefix/bin/fuel-hq" --version)" = "fuel-hq $version" ] || fail "fuel-hq --version"
"$prefix/bin/fuel-hq" --help | grep -q 'fuel-hq token add NAME --role ROLE' || fail "fuel-hq --help"
# The installed example station, as the service runs it: no configuration given, the journal
# in the working directory.
(cd "$work" && "$prefix/bin/fuel-forecourtd" token list >/dev/null 2>"$work/token.log") ||
    { cat "$work/token.log"; fail "fuel-forecourtd does not find the example station"; }
[ -f "$work/forecourt.db" ] || fail "the example station's journal is not in the working directory"

expected="fuel-driver $version: dispenser 2 summary 200"

# Through find_package.
if cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja \
         -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 &&
   cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
    got=$("$work/consumer/consumer")
    [ "$got" = "$expected" ] || fail "find_package consumer printed '$got'"
else
    cat "$work/consumer.log"
    fail "the consumer does not build with find_package"
fi

# Through pkg-config.
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs fuel-driver-emulator) ||
    fail "pkg-config does not know fuel-driver-emulator"
if "$cxx" -o "$work/consumer-pc" "$source/tests/install/consumer/main.cpp" $flags \
        2>"$work/pc.log"; then
    got=$("$work/consumer-pc")
    [ "$got" = "$expected" ] || fail "pkg-config consumer printed '$got'"
else
    cat "$work/pc.log"
    fail "the consumer does not build with pkg-config ($flags)"
fi

[ $status -eq 0 ] && echo "installed, and built against with find_package and pkg-config: $expected"
exit $status
