#!/usr/bin/env bash
# Runs 32-bit Windows programs under Wine inside a small emulated x86-64 machine.
#
# Why a whole machine: some virtual machines (the ones our CI gets among them) provide no
# 32-bit code segment, so a 32-bit process cannot run on their kernel: neither Wine's 32-bit
# loader nor its WoW64 mode starts. The test command runs Wine's loader under user-mode qemu
# instead (scripts/wine-run.sh), which is quick but hands processor faults on without their
# trap numbers. qemu-system-x86_64 emulates a whole x86-64 machine in software (no KVM
# needed); Debian's amd64 kernel inside it runs 32-bit processes as a real one does, so
# wine32 behaves there as on a Windows-capable host. It is slower (minutes to prepare), so
# it is a tool to run by hand, not part of the test command.
#
#   win32-vm.sh prepare
#       Builds, once, a Debian bookworm amd64 root image with Wine (32-bit) and the kernel
#       and initrd to boot it, cached in $FUEL_VM_DIR (default /var/cache/fuel-win32-vm
#       as root, else build/vm in the source tree). As root it installs what the host
#       lacks (qemu-system-x86, debootstrap, e2fsprogs). Quick when the cache is there.
#   win32-vm.sh run DIR PROGRAM.exe [PROGRAM.exe...]
#       Boots one machine, shares DIR with it read-write at the same path, makes one
#       private Wine prefix and runs each program from its own directory (so a DLL beside
#       it is found). Programs are named absolutely or relative to DIR and must lie inside
#       DIR. Their output goes to standard output; the exit status is 0 only if every
#       program exited 0. The image is never changed by a run (writes go to a throw-away
#       overlay), so runs may go on side by side.
#
# Environment: FUEL_VM_DIR (cache), FUEL_VM_MIRROR (Debian mirror for prepare),
# FUEL_VM_TIMEOUT (seconds for the whole run, default 1800), FUEL_VM_PROGRAM_TIMEOUT
# (seconds for one program, default 900), FUEL_VM_MEMORY (MiB, default 2048),
# FUEL_VM_CPUS (default 2).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${FUEL_VM_DIR:-}" ]; then
    vm_dir=$FUEL_VM_DIR
elif [ "$(id -u)" -eq 0 ]; then
    vm_dir=/var/cache/fuel-win32-vm
else
    vm_dir=$source_dir/build/vm
fi
mirror=${FUEL_VM_MIRROR:-http://deb.debian.org/debian}
suite=bookworm

say() { echo "win32-vm: $*" >&2; }
die() { say "$*"; exit 2; }

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

install_host_tools() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=(qemu-system-x86)
    command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
    command -v mke2fs >/dev/null 2>&1 || missing+=(e2fsprogs)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        die "missing host packages: ${missing[*]} (run 'prepare' as root to install them)"
    fi
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The image's init only mounts the shared job directory and hands over to the script the
# host left there (job_script below), so changing what a run does needs no new image.
guest_init() {
    cat <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
modprobe -a 9p 9pnet_virtio 2>/dev/null
mkdir -p /job
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job && exec /bin/sh /job/init
echo "win32-vm: cannot mount the job directory"
sync
echo o >/proc/sysrq-trigger
sleep 10
EOF
}

# What the machine does: makes the Wine prefix (when 'prepare' bakes it into the image) or
# runs each program and leaves its exit code in the job directory, then powers off.
job_script() {
    cat <<'EOF'
mount -t tmpfs -o size=1g tmpfs /tmp
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs tmpfs /dev/shm
uptime() { cut -d' ' -f1 /proc/uptime; }
off() { sync; echo o >/proc/sysrq-trigger; sleep 10; }
say() { echo "win32-vm: $*"; }

work_dir= bake=
. /job/config
if [ -n "$work_dir" ]; then
    mkdir -p "$work_dir"
    # cache=loose: without the page cache a large read over 9p can come back short, and
    # Wine reads an image's sections with one read each, leaving the rest of a big
    # program's code as zeros.
    if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,access=any,cache=loose work "$work_dir"; then
        say "cannot mount $work_dir"; off
    fi
fi
say "booted in $(uptime) s"

# A prefix made once in the image ('prepare' boots the machine for that) serves each run:
# making one costs minutes under emulation. The run's writes to it go to the throw-away
# overlay, so every run still starts from a fresh prefix of its own.
export HOME=/root WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
wine=/usr/lib/wine/wine
start=$(uptime)
if [ -n "$bake" ]; then
    rm -rf /opt/wineprefix
    WINEPREFIX=/opt/wineprefix "$wine" wineboot --init >/dev/null 2>&1
    rc=$?
    WINEPREFIX=/opt/wineprefix "${wine%/*}/wineserver" -w
    echo $rc >/job/prefix.rc
    say "wine prefix made in $(awk -v a="$start" -v b="$(uptime)" 'BEGIN { printf "%.1f", b - a }') s"
    echo done >/job/finished
    off
fi
export WINEPREFIX=/opt/wineprefix
if [ -d "$WINEPREFIX" ]; then
    echo 0 >/job/prefix.rc
else
    "$wine" wineboot --init >/dev/null 2>&1
    echo $? >/job/prefix.rc
fi
# One wine server for all the programs, rather than one started and stopped for each, and
# Wine's own services started before the first program, so that its time-out and timing
# are its own.
"${wine%/*}/wineserver" -p
"$wine" wineboot >/dev/null 2>&1
say "wine prefix ready in $(awk -v a="$start" -v b="$(uptime)" 'BEGIN { printf "%.1f", b - a }') s"

i=0
while read -r program; do
    i=$((i + 1))
    start=$(uptime)
    say "running $program"
    # Into a file that tail copies to the console: on a terminal Wine's console host would
    # redraw every character with cursor escapes, and a pipe would stay open as long as
    # the helper processes Wine leaves behind (they inherit it).
    out=/tmp/output.$i
    : >"$out"
    (cd "${program%/*}" && exec timeout -k 10 "$program_timeout" "$wine" "$program" </dev/null >"$out" 2>&1) &
    pid=$!
    tail -n +1 -f --pid=$pid "$out"
    wait $pid
    rc=$?
    echo "$rc" >"/job/rc.$i"
    say "$program exited $rc after $(awk -v a="$start" -v b="$(uptime)" 'BEGIN { printf "%.1f", b - a }') s"
done </job/programs
"${wine%/*}/wineserver" -k >/dev/null 2>&1
echo done >/job/finished
off
EOF
}

# Names the image's make-up, so that an image made by an older version of this script is
# rebuilt rather than booted with an init that no longer fits.
image_stamp() {
    { guest_init; echo "$suite"; } | sha256sum | cut -c1-16
}

prepare() {
    install_host_tools
    mkdir -p "$vm_dir"
    exec 9>"$vm_dir/.lock"
    flock 9
    local stamp_want
    stamp_want=$(image_stamp)
    if [ -f "$vm_dir/root.img" ] && [ -f "$vm_dir/vmlinuz" ] && [ -f "$vm_dir/initrd.img" ] &&
       [ "$(cat "$vm_dir/stamp" 2>/dev/null)" = "$stamp_want" ]; then
        say "image ready in $vm_dir"
        return 0
    fi
    [ "$(id -u)" -eq 0 ] || die "building the image needs root (debootstrap, chroot)"
    local t0 root=$vm_dir/rootfs
    t0=$(now)
    if [ ! -f "$root/.fuel-complete" ]; then
        rm -rf "$root"
        say "debootstrap $suite amd64 from $mirror"
        debootstrap --arch=amd64 --variant=minbase "$suite" "$root" "$mirror" \
            >"$vm_dir/debootstrap.log" 2>&1 || { tail -20 "$vm_dir/debootstrap.log" >&2; die "debootstrap failed"; }
        say "debootstrap done after $(elapsed "$t0") s"
        # No daemon may start inside the chroot while packages install.
        printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
        chmod +x "$root/usr/sbin/policy-rc.d"
        # The initrd must find the root disk on virtio without udev's help.
        mkdir -p "$root/etc/initramfs-tools"
        printf 'virtio_pci\nvirtio_blk\next4\n' >>"$root/etc/initramfs-tools/modules"
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        mount -t sysfs sysfs "$root/sys"
        local ok=0
        chroot "$root" /bin/sh -c '
            set -e
            export DEBIAN_FRONTEND=noninteractive
            dpkg --add-architecture i386
            apt-get update -qq
            apt-get install -y -qq --no-install-recommends linux-image-amd64 kmod mount wine wine32:i386
            apt-get clean
        ' >"$vm_dir/install.log" 2>&1 || ok=$?
        umount "$root/proc" "$root/dev" "$root/sys"
        if [ $ok -ne 0 ]; then
            tail -30 "$vm_dir/install.log" >&2
            die "installing the kernel and Wine in the image failed"
        fi
        rm -f "$root/usr/sbin/policy-rc.d"
        rm -rf "$root/var/lib/apt/lists/"* "$root/usr/share/doc/"* "$root/usr/share/man/"*
        touch "$root/.fuel-complete"
        say "kernel and Wine installed after $(elapsed "$t0") s"
    fi
    guest_init >"$root/sbin/fuel-vm-init"
    chmod 755 "$root/sbin/fuel-vm-init"
    local kernel
    kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -1)
    cp "$kernel" "$vm_dir/vmlinuz.new"
    cp "$root/boot/initrd.img-${kernel##*/vmlinuz-}" "$vm_dir/initrd.img.new"
    local size_mb
    size_mb=$(( $(du -sm "$root" | cut -f1) * 13 / 10 + 512 ))
    rm -f "$vm_dir/root.img.new"
    mke2fs -q -t ext4 -L fuelroot -d "$root" "$vm_dir/root.img.new" "${size_mb}M"
    mv "$vm_dir/root.img.new" "$vm_dir/root.img"
    mv "$vm_dir/vmlinuz.new" "$vm_dir/vmlinuz"
    mv "$vm_dir/initrd.img.new" "$vm_dir/initrd.img"
    rm -f "$vm_dir/stamp"
    job=$(mktemp -d "${TMPDIR:-/tmp}/fuel-win32-vm.XXXXXX")
    trap 'rm -rf "$job"' EXIT
    echo "bake=1" >"$job/config"
    job_script >"$job/init"
    say "booting the machine once to make the Wine prefix (minutes under emulation)"
    boot_vm "$job" "${FUEL_VM_TIMEOUT:-1800}"
    if [ "$(cat "$job/prefix.rc" 2>/dev/null)" != 0 ] || [ ! -f "$job/finished" ]; then
        die "making the Wine prefix in the image failed"
    fi
    echo "$stamp_want" >"$vm_dir/stamp"
    say "image ready in $vm_dir after $(elapsed "$t0") s"
}

# boot_vm JOB_DIR TIMEOUT [WORK_DIR]: boots the machine with JOB_DIR (and WORK_DIR at its
# own path) shared, the serial console on standard output; stops it after TIMEOUT seconds.
# Without WORK_DIR the root image itself is written (that is how 'prepare' makes the Wine
# prefix); with it, the image stays as prepared and writes go to a throw-away overlay.
boot_vm() {
    local job=$1 timeout=$2 work=${3:-} drive share=()
    drive="file=$vm_dir/root.img,format=raw,if=virtio"
    if [ -n "$work" ]; then
        drive+=",snapshot=on,cache=unsafe"
        share=(-virtfs "local,path=$work,mount_tag=work,security_model=none")
    fi
    set +e
    # SMAP and PKU off: qemu's emulation (7.2) faults on a 32-bit process's iret with them on.
    timeout -k 10 "$timeout" qemu-system-x86_64 \
        -machine q35 -accel tcg -cpu max,-smap,-pku -smp "${FUEL_VM_CPUS:-2}" -m "${FUEL_VM_MEMORY:-2048}" \
        -nographic -no-reboot -nodefaults -serial stdio -monitor none \
        -kernel "$vm_dir/vmlinuz" -initrd "$vm_dir/initrd.img" \
        -append "console=ttyS0 root=/dev/vda rw rootfstype=ext4 init=/sbin/fuel-vm-init quiet loglevel=1 panic=-1 mitigations=off" \
        -drive "$drive" \
        -virtfs "local,path=$job,mount_tag=job,security_model=none" "${share[@]}" \
        </dev/null | sed -u -e 's/\r//g' -e 's/\x1bc//g' -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' \
                          -e '/^SeaBIOS (version/d' -e '/^Booting from ROM/d' -e '/^$/d'
    local qemu_rc=${PIPESTATUS[0]}
    set -e
    if [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; then
        say "the machine did not finish within $timeout s and was stopped"
    fi
    return 0
}

run() {
    [ $# -ge 2 ] || { usage >&2; exit 2; }
    local dir programs=() p
    dir=$(cd "$1" && pwd -P) || die "no directory $1"
    shift
    for p in "$@"; do
        case $p in /*) ;; *) p=$dir/$p ;; esac
        [ -f "$p" ] || die "no program $p"
        p=$(cd "${p%/*}" && pwd -P)/${p##*/}
        case $p in "$dir"/*) ;; *) die "$p is not inside $dir" ;; esac
        case $p in *[[:space:]]*) die "a path with white space cannot be passed: $p" ;; esac
        programs+=("$p")
    done
    for p in root.img vmlinuz initrd.img; do
        [ -f "$vm_dir/$p" ] || die "no $vm_dir/$p: run '$0 prepare' first"
    done
    command -v qemu-system-x86_64 >/dev/null || die "no qemu-system-x86_64: run '$0 prepare' first"
    [ "$(cat "$vm_dir/stamp" 2>/dev/null)" = "$(image_stamp)" ] ||
        die "the image in $vm_dir is out of date: run '$0 prepare'"

    local t0 timeout=${FUEL_VM_TIMEOUT:-1800}
    job=$(mktemp -d "${TMPDIR:-/tmp}/fuel-win32-vm.XXXXXX")
    trap 'rm -rf "$job"' EXIT
    printf 'work_dir=%s\nprogram_timeout=%s\n' "$dir" "${FUEL_VM_PROGRAM_TIMEOUT:-900}" >"$job/config"
    printf '%s\n' "${programs[@]}" >"$job/programs"
    job_script >"$job/init"

    t0=$(now)
    boot_vm "$job" "$timeout" "$dir"
    local i=0 failed=0 code
    [ "$(cat "$job/prefix.rc" 2>/dev/null)" = 0 ] || { say "making the Wine prefix failed"; failed=1; }
    for p in "${programs[@]}"; do
        i=$((i + 1))
        code=$(cat "$job/rc.$i" 2>/dev/null || echo "none (not run or not finished)")
        if [ "$code" != 0 ]; then
            say "FAILED $p: exit code $code"
            failed=1
        fi
    done
    [ -f "$job/finished" ] || failed=1
    say "$i program(s), $([ $failed -eq 0 ] && echo 'all passed' || echo 'some failed'); machine ran $(elapsed "$t0") s"
    return $failed
}

case ${1:-} in
    prepare) shift; prepare "$@" ;;
    run) shift; run "$@" ;;
    -h | --help | help) usage ;;
    *) usage >&2; exit 2 ;;
esac
