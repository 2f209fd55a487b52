#!/usr/bin/env bash
# Photographs the service tool's four dialogs as the Windows DLL draws them: the win32 build's
# render_dialogs.exe opens them one after the other under Wine, in a virtual desktop (so that
# Wine draws the title bars and borders itself; a bare X server has no window manager) on a
# private X server, and this script takes each window's picture as a PNG.
#
# Usage: scripts/render-dialogs.sh [OUTPUT_DIRECTORY]   (default: docs/images)
# Needs: cmake --build --preset win32 (render_dialogs and the DLL), Xvfb, ImageMagick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/images}
bin=${FUEL_WIN32_BIN:-$root/build/win32/bin}

if [ -z "${FUEL_RENDER_DISPLAY:-}" ]; then
    # Once more, inside an X server of its own.
    FUEL_RENDER_DISPLAY=1 exec "$root/scripts/with-xvfb.sh" "$0" "$out"
fi

for file in render_dialogs.exe fueldriver.dll; do
    if [ ! -f "$bin/$file" ]; then
        echo "render-dialogs: no $bin/$file (cmake --build --preset win32 first)" >&2
        exit 1
    fi
done
command -v import >/dev/null || { echo "render-dialogs: ImageMagick's import is missing" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/fuel-render.XXXXXX")
trap 'rm -rf "$work"' EXIT
windows_work="Z:$(printf '%s' "$work" | tr / '\\')"

# Russian system settings: the code page and the decimal comma the technician has.
export FUEL_WINE_LANG=${FUEL_RENDER_LANG:-ru_RU.UTF-8}
set -m
"$root/scripts/wine-run.sh" explorer /desktop=shots,1024x768 \
    "Z:$(printf '%s' "$bin/render_dialogs.exe" | tr / '\\')" "$windows_work" &
runner=$!

status=0
for name in programming-dialog parameter-editor controller-editor adjustment-calculator; do
    echo "render-dialogs: waiting for the $name dialog"
    for _ in $(seq 1 1200); do
        [ -f "$work/$name.ready" ] && break
        kill -0 "$runner" 2>/dev/null || break
        sleep 0.5
    done
    if [ ! -f "$work/$name.ready" ]; then
        echo "render-dialogs: the $name dialog never showed" >&2
        status=1
        break
    fi
    read -r left top width height <"$work/$name.ready"
    import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/$name.png"
    echo "render-dialogs: $out/$name.png (${width}x${height})"
    touch "$work/$name.done"
done

# The program ends by itself once the last picture is taken; the virtual desktop with it.
for _ in $(seq 1 240); do
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.5
done
if kill -0 "$runner" 2>/dev/null; then
    kill -TERM -- "-$runner" 2>/dev/null || true
fi
wait "$runner" 2>/dev/null || true
exit $status
