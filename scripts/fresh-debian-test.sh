#!/usr/bin/env bash
# Runs CI's command (.ci/run) on a fresh Debian bookworm: a clean clone of one commit, in a
# chroot that debootstrap made and nothing else has touched, as root. What a fresh machine
# lacks and scripts/install-deps.sh does not install shows up here and nowhere else.
#
# Usage (as root; debootstrap from Debian's package):
#   scripts/fresh-debian-test.sh [--chroot DIR] [--from REPO] [--with FILE:PATH]... [COMMIT]
#   scripts/fresh-debian-test.sh [--chroot DIR] --enter [COMMAND...]
#
# DIR (default $FUEL_FRESH_DEBIAN, else /var/tmp/fuel-fresh-debian) holds base/, the chroot as debootstrap left it
# plus this machine's network settings, made once and never run in; and run/, a copy of
# base/ made anew for every run, with the clone in /src, kept afterwards for a look
# (run.log beside it). COMMIT (default: HEAD of REPO, which defaults to this repository) is
# checked out of a clone of REPO, whose main branch is the clone's origin/main as on CI.
# --with copies FILE into the clone at PATH, uncommitted: a change that lands elsewhere.
# --enter runs COMMAND (default: a shell) inside the kept run/ with the same mounts, e.g.
#   --enter bash -c 'cd /src && ctest --test-dir build/native -R web_'
# The machine is shared: run it under `nice -n 19 ionice -c3`.
set -euo pipefail

mirror=http://deb.debian.org/debian
root=${FUEL_FRESH_DEBIAN:-/var/tmp/fuel-fresh-debian}
from=$(cd "$(dirname "$0")/.." && pwd)
commit=""
enter=0
extras=()
usage() {
    sed -n '2,18s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
        --chroot) root=$2; shift 2 ;;
        --from) from=$2; shift 2 ;;
        --with) extras+=("$2"); shift 2 ;;
        --enter) enter=1; shift; break ;;
        -h|--help) usage ;;
        -*) echo "unknown option: $1" >&2; usage ;;
        *) commit=$1; shift ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-debian-test: needs root (debootstrap, chroot, mounts)" >&2
    exit 1
fi
root=$(realpath -m "$root")
base=$root/base
run=$root/run

# What lets apt and npm reach their registries from here lets them from inside: the name
# server and hosts, apt's sources and its Acquire settings (proxies, the checks of a
# mirror's dates), and the local certificate authorities, which ca-certificates (a
# dependency of Debian's npm) takes into the system's store that Debian's node reads; where
# the network's HTTPS goes through a proxy of its own, npm reaches nothing without them.
# Nothing else of this machine goes in: not its npm settings, which serve its own node.
copy_network_settings() {  # copy_network_settings CHROOT
    local to=$1 file
    cp -L /etc/resolv.conf /etc/hosts "$to/etc/"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        cp /etc/apt/sources.list.d/debian.sources "$to/etc/apt/sources.list.d/"
        rm -f "$to/etc/apt/sources.list"
    fi
    for file in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
        if [ -f "$file" ] &&
           grep -qiE '^[^/#]*Acquire::(.*proxy|https?::|check-valid-until|check-date)' "$file"; then
            cp "$file" "$to$file"
        fi
    done
    if compgen -G '/usr/local/share/ca-certificates/*' >/dev/null; then
        mkdir -p "$to/usr/local/share/ca-certificates"
        cp -r /usr/local/share/ca-certificates/. "$to/usr/local/share/ca-certificates/"
    fi
}

# The base: minbase and git, which CI's machine has as it made the clone. Built beside and
# moved into place, so that an interrupted debootstrap leaves no half-made base.
make_base() {
    [ -x "$base/bin/bash" ] && return 0
    command -v debootstrap >/dev/null || { echo "no debootstrap: apt-get install debootstrap" >&2; exit 1; }
    rm -rf --one-file-system "$base.new"
    mkdir -p "$root"
    echo "=== debootstrap bookworm into $base ==="
    debootstrap --variant=minbase --include=git bookworm "$base.new" "$mirror"
    copy_network_settings "$base.new"
    rm -rf "$base.new/var/cache/apt/archives/"*.deb
    mv "$base.new" "$base"
}

mounted_under() {  # mounted_under DIR: the mount points at or under DIR, deepest first
    awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { print $2 }' /proc/mounts | sort -r
}

# Every process whose root is the chroot is one this run started: ended by its id, so that
# nothing outlives the run or holds its mounts.
end_chroot_processes() {
    local pid left
    for _ in 1 2 3 4 5; do
        left=0
        for pid in /proc/[0-9]*; do
            pid=${pid#/proc/}
            if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$run" ]; then
                kill -KILL "$pid" 2>/dev/null && left=1
            fi
        done
        [ $left -eq 0 ] && return 0
        sleep 1
    done
}

unmount_all() {
    local point
    end_chroot_processes
    while read -r point; do
        [ -n "$point" ] || continue
        umount "$point" 2>/dev/null || umount -l "$point" || true
    done < <(mounted_under "$run")
}

mount_all() {
    local dir
    trap unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    for dir in proc sys dev dev/pts dev/shm; do
        mkdir -p "$run/$dir"
        mount --bind "/$dir" "$run/$dir"
    done
}

# Inside: nothing of the caller's environment but proxies, as on a machine of its own.
in_chroot() {
    local vars=(HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local name
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
        [ -n "${!name:-}" ] && vars+=("$name=${!name}")
    done
    env -i "${vars[@]}" chroot "$run" "$@"
}

# Another run or --enter in progress has its mounts there, which ours would be stacked on
# and its teardown would take away.
refuse_if_in_use() {
    if [ -n "$(mounted_under "$run")" ]; then
        echo "something is still mounted under $run (a run in progress?): left alone" >&2
        mounted_under "$run" >&2
        exit 1
    fi
}

if [ $enter -eq 1 ]; then
    [ -x "$run/bin/bash" ] || { echo "no run in $run to enter" >&2; exit 1; }
    refuse_if_in_use
    mount_all
    [ $# -gt 0 ] || set -- /bin/bash
    in_chroot "$@"
    exit
fi

make_base
refuse_if_in_use
rm -rf --one-file-system "$run"
cp -a "$base" "$run"

[ -n "$commit" ] || commit=$(git -C "$from" rev-parse HEAD)
commit=$(git -C "$from" rev-parse --verify "$commit^{commit}")
git clone --quiet --no-hardlinks "$from" "$run/src"
git -C "$run/src" checkout --quiet --detach "$commit"
for extra in "${extras[@]}"; do
    mkdir -p "$(dirname "$run/src/${extra#*:}")"
    cp "${extra%%:*}" "$run/src/${extra#*:}"
done

log=$root/run.log
mount_all
start=$(date +%s)
echo "=== .ci/run of $commit on a fresh bookworm in $run (log: $log) ===" | tee "$log"
set +e
in_chroot /bin/bash -c 'cd /src && .ci/run' 2>&1 | tee -a "$log"
status=${PIPESTATUS[0]}
set -e
elapsed=$(($(date +%s) - start))
printf '=== .ci/run exit %d after %dm%02ds ===\n' $status $((elapsed / 60)) $((elapsed % 60)) |
    tee -a "$log"
exit $status
