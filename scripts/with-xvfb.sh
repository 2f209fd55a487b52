#!/usr/bin/env bash
# Runs a command with a private X server of its own: Xvfb on a display number nobody uses
# (Xvfb picks it and reports it), DISPLAY set for the command, the server stopped afterwards
# whatever the command did. No test may depend on the desktop of whoever runs it.
#
# Usage: with-xvfb.sh COMMAND [ARGUMENTS...]; exit code: the command's, 77 (skipped) when no
# X server can be started here.
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 COMMAND [ARGUMENTS...]" >&2
    exit 2
fi
if ! command -v Xvfb >/dev/null 2>&1; then
    echo "with-xvfb: no Xvfb (run scripts/install-deps.sh as root); skipped" >&2
    exit 77
fi

geometry=${FUEL_XVFB_SCREEN:-1024x768x24}
displayfile=$(mktemp "${TMPDIR:-/tmp}/fuel-xvfb.XXXXXX")
Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -noreset 3>"$displayfile" \
    >/dev/null 2>&1 &
server=$!
stop_server() {
    kill "$server" >/dev/null 2>&1
    wait "$server" 2>/dev/null
    rm -f "$displayfile"
}
trap stop_server EXIT

# Xvfb writes the display number once it accepts connections.
for _ in $(seq 1 200); do
    if [ -s "$displayfile" ]; then
        break
    fi
    if ! kill -0 "$server" 2>/dev/null; then
        echo "with-xvfb: Xvfb did not start; skipped" >&2
        exit 77
    fi
    sleep 0.1
done
number=$(tr -d '[:space:]' <"$displayfile")
if [ -z "$number" ]; then
    echo "with-xvfb: Xvfb gave no display number; skipped" >&2
    exit 77
fi
export DISPLAY=":$number"
unset WAYLAND_DISPLAY
"$@"
