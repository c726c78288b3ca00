#!/usr/bin/env bash
# with-kernel.sh [--usb N] [--timeout S] [--env NAME[=VALUE]]... [--log FILE] [--] COMMAND [ARGS...]
#
# Runs COMMAND as root in a QEMU guest that runs Debian's own kernel, and exits with COMMAND's
# status. COMMAND's output comes as it is written, stdout to stdout and stderr to stderr; its
# input is empty. The guest sees this machine's / read-only (over 9p), so this machine's programs
# and libraries run there unchanged; it has its own empty /tmp, /var/tmp, /run, /root and /dev/shm,
# and this repository read-write at its own path, wherever it is (also inside one of those
# folders, and through a symbolic link). COMMAND runs in the current folder.
#
# The guest's kernel has ALSA's sequencer (snd-seq, snd-seq-midi, snd-hrtimer), snd-virmidi,
# snd-usb-audio, and N dummy USB controllers (dummy_hcd, each a host port and a gadget side) with
# libcomposite and usb_f_midi, so that a USB MIDI gadget made through configfs
# (/sys/kernel/config/usb_gadget) is a USB MIDI instrument for the guest's own host side.
#
#   --usb N          dummy USB controllers (default 1)
#   --timeout S      COMMAND may run S seconds (default 1200); then it is ended, and so is
#                    everything it started, and the status is 124
#   --env NAME       passes the variable NAME into the guest; --env NAME=VALUE sets it there
#   --log FILE       writes the guest's kernel log (dmesg) to FILE
#
# COMMAND's environment: PATH, TERM, LANG, LC_* and every VFU_* variable as they are here, HOME=/root,
# USER=LOGNAME=root, and what --env names. Nothing else comes through.
#
# Exit status: COMMAND's; 124 when it ran too long; 125 when the guest did not boot or ended
# without COMMAND's status (the kernel's console output is printed then); 2 for a usage error or
# missing tools (scripts/setup.sh installs them). When the status is not 0 the guest's logs are
# kept and their folder is printed.
#
# The kernel is the one that Debian's linux-image-amd64 depends on, downloaded and unpacked, never
# installed (scripts/kernel-guest/fetch-kernel.sh), into ${XDG_CACHE_HOME:-$HOME/.cache}/vorn-kernel-guest,
# with the initramfs built from it (scripts/kernel-guest/build-initramfs.sh, once for each
# kernel, busybox and init). Other settings:
#   VFU_KERNEL_ACCEL=tcg|kvm   how QEMU runs the guest (default tcg; kvm needs /dev/kvm backed by
#                              hardware virtualisation: the nested /dev/kvm of the project's build
#                              machines (kvm_pvm) does not boot Debian's kernel at all)
#   VFU_KERNEL_SMP=N           guest processors (default 1: a second one was no faster to boot, and
#                              slower under load, where its threads wait for each other)
#   VFU_KERNEL_MEMORY=MiB      guest memory (default 2048)
#   VFU_KERNEL_BOOT_TIMEOUT=S  the guest must be ready to run COMMAND within S seconds (default 180)
#   VFU_KERNEL_VERBOSE=1       says how long the guest took to boot and to run COMMAND
set -uo pipefail

me=with-kernel.sh
root="$(cd "$(dirname "$0")/.." && pwd)"
guest_files="$root/scripts/kernel-guest"
usage() {
    echo "usage: $me [--usb N] [--timeout S] [--env NAME[=VALUE]]... [--log FILE] [--] COMMAND [ARGS...]" >&2
    exit 2
}

usb=1
timeout=1200
log_copy=
declare -A env_set=()
env_names=()
add_env() {
    local name="${1%%=*}"
    [[ "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || { echo "$me: not a variable name: $name" >&2; exit 2; }
    if [[ "$1" == *=* ]]; then
        env_set[$name]="${1#*=}"
    elif [ -n "${!name+set}" ]; then
        env_set[$name]="${!name}"
    else
        return 0
    fi
    env_names+=("$name")
}
while [ $# -gt 0 ]; do
    case "$1" in
    --usb | --timeout | --env | --log) [ $# -ge 2 ] || usage ;;&
    --usb) usb="$2"; shift 2 ;;
    --timeout) timeout="$2"; shift 2 ;;
    --env) add_env "$2"; shift 2 ;;
    --log) log_copy="$2"; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || usage
[[ "$usb" =~ ^[1-9][0-9]?$ ]] && [ "$usb" -le 32 ] || { echo "$me: --usb takes 1 to 32 controllers (dummy_hcd's limit)" >&2; exit 2; }
[[ "$timeout" =~ ^[1-9][0-9]*$ ]] || { echo "$me: --timeout takes whole seconds" >&2; exit 2; }

for tool in qemu-system-x86_64:qemu-system-x86 /bin/busybox:busybox-static cpio:cpio readelf:binutils; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "$me: ${tool%%:*} is missing (package ${tool#*:}; scripts/setup.sh installs it)" >&2; exit 2; }
done

accel="${VFU_KERNEL_ACCEL:-tcg}"
smp="${VFU_KERNEL_SMP:-1}"
memory="${VFU_KERNEL_MEMORY:-2048}"
boot_timeout="${VFU_KERNEL_BOOT_TIMEOUT:-180}"
case "$accel" in
tcg) accel_options=(-accel "tcg,thread=multi" -cpu max) ;;
kvm)
    [ -w /dev/kvm ] || { echo "$me: VFU_KERNEL_ACCEL=kvm, but /dev/kvm cannot be used" >&2; exit 2; }
    accel_options=(-accel kvm -cpu host)
    ;;
*) echo "$me: VFU_KERNEL_ACCEL is tcg or kvm" >&2; exit 2 ;;
esac

# The kernel and its initramfs, from the cache or made now (one guest at a time makes them).
cache="${XDG_CACHE_HOME:-$HOME/.cache}/vorn-kernel-guest"
mkdir -p "$cache" || exit 2
exec {cache_lock}>"$cache/.lock"
flock "$cache_lock"
if [ ! -e "$cache/current" ]; then
    "$guest_files/fetch-kernel.sh" "$cache" >/dev/null || { echo "$me: no kernel" >&2; exit 2; }
fi
kernel_dir="$(cd "$cache/current" && pwd -P)"
release="${kernel_dir##*/}"
# The decompressed kernel starts seconds sooner under TCG (see fetch-kernel.sh).
kernel_image="$kernel_dir/boot/vmlinux-$release"
[ -f "$kernel_image" ] || kernel_image="$kernel_dir/boot/vmlinuz-$release"
modules=(virtio_pci 9pnet_virtio 9p virtio_console configfs
    snd-seq snd-seq-midi snd-hrtimer snd-virmidi snd-usb-audio
    libcomposite usb_f_midi dummy_hcd)
key="$({ echo "$release ${modules[*]}"; cat "$guest_files/init" "$guest_files/guest-root.sh" \
    "$guest_files/build-initramfs.sh" /bin/busybox; } |
    sha256sum | cut -c1-16)"
initramfs="$cache/initramfs-$release-$key.cpio"
if [ ! -f "$initramfs" ]; then
    "$guest_files/build-initramfs.sh" "$kernel_dir" "$initramfs" "${modules[@]}" ||
        { echo "$me: cannot build the initramfs" >&2; exit 2; }
    # Older ones were for another init or busybox; a guest running now has read its copy already.
    find "$cache" -maxdepth 1 -name 'initramfs-*.cpio' ! -path "$initramfs" -delete
fi
exec {cache_lock}>&-

# The job's folder, shared with the guest: its settings and script in, its status and log out.
job="$(mktemp -d "${TMPDIR:-/tmp}/vorn-kernel-guest.XXXXXX")" || exit 2
# The repository is mounted in the guest at its path with every symbolic link resolved; the path
# it was reached by here is linked to it there when that leads nowhere in the guest.
repo="$(cd "$root" && pwd -P)"
printf 'usb=%s\nrepo=%s\ntimeout=%s\n' "$usb" "$repo" "$timeout" >"$job/guest.conf"

# The script the guest runs: COMMAND in the same folder, with the environment described above.
for name in PATH TERM LANG $(compgen -e | grep -E '^(LC_[A-Z]+|VFU_.*)$'); do
    [ -n "${env_set[$name]+set}" ] || add_env "$name"
done
{
    cat "$guest_files/guest-root.sh"
    printf 'guest_repository_link %q %q || exit 125\n' "$repo" "$root"
    printf 'folder=%q\n' "$PWD"
    printf 'cd -- "$folder" 2>/dev/null || cd -- %q 2>/dev/null || {\n' "$(pwd -P)"
    echo "    echo \"$me: the guest has no folder \$folder (its /tmp, /var/tmp, /run and /root are its own)\" >&2"
    echo '    exit 125'
    echo '}'
    echo 'unset folder'

    echo "export HOME=/root USER=root LOGNAME=root"
    [ -n "${env_set[PATH]+set}" ] || echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    for name in "${env_names[@]}"; do
        echo "export $name=$(printf '%q' "${env_set[$name]}")"
    done
    printf 'exec'
    printf ' %q' "$@"
    echo
} >"$job/run.sh"

qemu_pid=""
cat_pids=()
keep_job=0
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill -TERM "$qemu_pid" 2>/dev/null
        local _
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    [ ${#cat_pids[@]} -eq 0 ] || kill "${cat_pids[@]}" 2>/dev/null
    [ "$keep_job" = 1 ] || rm -rf "$job"
}
trap cleanup EXIT
trap 'echo "$me: interrupted" >&2; keep_job=0; exit 130' INT
trap 'echo "$me: terminated" >&2; keep_job=0; exit 143' TERM HUP

# COMMAND's output arrives on two virtio serial ports, which QEMU writes to these pipes.
mkfifo "$job/stdout" "$job/stderr" || exit 2
cat "$job/stdout" &
cat_pids+=($!)
cat "$job/stderr" >&2 &
cat_pids+=($!)

# The kernel's messages go to the first serial port, a file (quiet: only errors and worse; the
# whole log is saved at the end). The kernel skips the check of the timer interrupt and the
# probing of the keyboard controller, slow under TCG.
append=(console=ttyS0 quiet panic=-1 rdinit=/init no_timer_check i8042.noaux i8042.nokbd i8042.nopnp
    8250.nr_uarts=1 mitigations=off random.trust_cpu=on)
# QEMU ends with this script even when the script is killed outright (SIGKILL), by setpriv's
# parent-death signal.
started=$EPOCHREALTIME
setpriv --pdeathsig KILL -- qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot \
    -machine pc "${accel_options[@]}" -smp "$smp" -m "$memory" \
    -kernel "$kernel_image" -initrd "$initramfs" -append "${append[*]}" \
    -chardev "file,id=console,path=$job/console.log" -serial chardev:console \
    -fsdev "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap" \
    -device virtio-9p-pci,fsdev=root,mount_tag=root \
    -fsdev "local,id=repo,path=$root,security_model=none,multidevs=remap" \
    -device virtio-9p-pci,fsdev=repo,mount_tag=repo \
    -fsdev "local,id=job,path=$job,security_model=none" \
    -device virtio-9p-pci,fsdev=job,mount_tag=job \
    -device virtio-serial-pci \
    -chardev "file,id=stdout,path=$job/stdout" -device virtserialport,chardev=stdout,name=stdout \
    -chardev "file,id=stderr,path=$job/stderr" -device virtserialport,chardev=stderr,name=stderr \
    </dev/null >"$job/qemu.log" 2>&1 &
qemu_pid=$!

# Seconds since a start time taken from $EPOCHREALTIME, to a tenth.
# (The decimal separator is the locale's.)
since() {
    local now=$EPOCHREALTIME
    local t=$((${now//[!0-9]/} - ${1//[!0-9]/}))
    echo "$((t / 1000000)).$((t % 1000000 / 100000))"
}

# The guest ends by itself; this only watches that it boots and that it ends in time (the guest's
# own watchdog ends COMMAND after --timeout; this one is for a guest that hangs).
booted=""
failure=""
while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ -z "$booted" ]; then
        if [ -e "$job/booted" ]; then
            booted=$EPOCHREALTIME
            [ "${VFU_KERNEL_VERBOSE:-0}" = 1 ] && echo "$me: the guest booted in $(since "$started") s" >&2
        elif [ "$(since "$started" | cut -d. -f1)" -ge "$boot_timeout" ]; then
            failure="the guest did not boot within $boot_timeout s"
            break
        fi
    elif [ "$(since "$booted" | cut -d. -f1)" -ge $((timeout + 60)) ]; then
        failure="the guest did not end $((timeout + 60)) s after COMMAND started"
        break
    fi
    sleep 0.1
done
if [ -n "$failure" ]; then
    kill -TERM "$qemu_pid" 2>/dev/null
fi
wait "$qemu_pid" 2>/dev/null
qemu_status=$?
qemu_pid=""
# The rest of COMMAND's output, which QEMU wrote before it ended. A QEMU that ended before it
# opened the pipes leaves their readers waiting for a writer: opening them here lets them end.
: <>"$job/stdout"
: <>"$job/stderr"
wait "${cat_pids[@]}" 2>/dev/null
cat_pids=()
[ "${VFU_KERNEL_VERBOSE:-0}" = 1 ] && [ -n "$booted" ] &&
    echo "$me: COMMAND and the guest's shutdown took $(since "$booted") s" >&2

[ -n "$log_copy" ] && [ -f "$job/dmesg.txt" ] && cp "$job/dmesg.txt" "$log_copy"

if [ -z "$failure" ] && [ -f "$job/status" ]; then
    status="$(cat "$job/status")"
    [ -e "$job/timed-out" ] && echo "$me: COMMAND ran longer than $timeout s and was ended (status 124)" >&2
else
    [ -n "$failure" ] || failure="the guest ended without COMMAND's status (QEMU's status $qemu_status)"
    echo "$me: $failure (status 125)" >&2
    status=125
    [ -s "$job/qemu.log" ] && sed 's/^/  qemu: /' "$job/qemu.log" >&2
    tail -n 30 "$job/console.log" 2>/dev/null | sed 's/^/  console: /' >&2
fi
if [ "$status" != 0 ]; then
    keep_job=1
    logs="$job/console.log"
    [ -f "$job/dmesg.txt" ] && logs="$job/dmesg.txt"
    [ -s "$logs" ] && echo "$me: the guest's kernel log is $logs" >&2
fi
exit "$status"
