#!/usr/bin/env bash
# usb_midi_gadget_smoke.sh: a USB MIDI instrument made of the kernel's own parts, in the guest.
#
#     scripts/with-kernel.sh --usb 2 tests/kernel/usb_midi_gadget_smoke.sh
#
# Makes a USB MIDI gadget "Vorn Quorrel" through configfs (libcomposite, usb_f_midi) on the first
# dummy USB controller and checks that the guest's host side (snd-usb-audio) enumerates it like a
# real instrument: a card "Vorn Quorrel at usb-dummy_hcd.0-1, ...", a sequencer client "Quorrel"
# with the port "Quorrel MIDI 1". Sends SysEx both ways between the host side's raw MIDI device and
# the gadget's own ("f_midi"), measures what each side keeps when its reader does not keep up,
# then re-enumerates the gadget as "Quorrel Bootloader" (another product ID), as an instrument
# that restarts into its bootloader does, while a sequencer client is subscribed to its port and
# its card is open, and checks that it comes back at the same USB location under the new name and
# that the subscription did not carry over. A second Quorrel on the second controller must be told
# apart by its location alone. Prints what it saw (card, client and port names and numbers, sysfs
# paths); fails (status 1) when something is not as described. Must run as root in the guest.
set -euo pipefail

gadgets=/sys/kernel/config/usb_gadget
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo; echo "== $*"; }

[ -d "$gadgets" ] || fail "no $gadgets (configfs and libcomposite are needed: run in scripts/with-kernel.sh)"
[ -e /sys/class/udc/dummy_udc.1 ] || fail "two dummy USB controllers are needed (--usb 2)"

# make_gadget NAME PRODUCT_ID PRODUCT SERIAL: a gadget with one MIDI function (one port each way).
make_gadget() {
    local g="$gadgets/$1"
    mkdir "$g"
    echo 0x1209 >"$g/idVendor"
    echo "$2" >"$g/idProduct"
    mkdir "$g/strings/0x409"
    echo Vorn >"$g/strings/0x409/manufacturer"
    echo "$3" >"$g/strings/0x409/product"
    echo "$4" >"$g/strings/0x409/serialnumber"
    mkdir -p "$g/configs/c.1/strings/0x409"
    echo MIDI >"$g/configs/c.1/strings/0x409/configuration"
    mkdir "$g/functions/midi.usb0"
    echo 1 >"$g/functions/midi.usb0/in_ports"
    echo 1 >"$g/functions/midi.usb0/out_ports"
    ln -s "$g/functions/midi.usb0" "$g/configs/c.1/"
}

# card_at LOCATION: the number of the card whose long name says "at LOCATION," (empty if none).
card_at() {
    awk -v loc=" at $1, " '/^ *[0-9]+ \[/ { n = $1; next } index($0, loc) { print n; exit }' /proc/asound/cards
}
longname() { awk -v n="$1" '/^ *[0-9]+ \[/ { c = $1; next } c == n { sub(/^ +/, ""); print; exit }' /proc/asound/cards; }

# wait_for CONDITION...: up to ten seconds, as enumeration takes a while under emulation.
wait_for() {
    local i
    for i in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
has_card_at() { [ -n "$(card_at "$1")" ]; }
no_card_at() { [ -z "$(card_at "$1")" ]; }

# The sequencer client of card N: kernel clients of card N are 16 + 4 N onwards; its name and
# ports are read from /proc/asound/seq/clients.
client_block() {
    awk -v c="$1" '/^Client +[0-9]+ :/ { on = ($2 == c) } on' /proc/asound/seq/clients
}

# The gadget's own card hangs below the gadget controller in sysfs.
gadget_card() {
    local c
    for c in /sys/class/sound/card*; do
        case "$(readlink -f "$c/device")" in
        /sys/devices/platform/$1/*) echo "${c##*card}"; return ;;
        esac
    done
}

# report CARD: what a program sees of the host side's card.
report() {
    local card=$1
    echo "card $card: id $(cat /proc/asound/card$card/id), long name \"$(longname "$card")\""
    echo "  /sys/class/sound/card$card/device -> $(readlink -f /sys/class/sound/card$card/device)"
    echo "  /proc/asound/card$card/usbbus: $(cat /proc/asound/card$card/usbbus)" \
        "usbid: $(cat /proc/asound/card$card/usbid)"
    local usb_device
    usb_device="$(readlink -f /sys/class/sound/card$card/device/..)"
    echo "  USB device $usb_device: busnum $(cat "$usb_device/busnum") devpath $(cat "$usb_device/devpath")" \
        "devnum $(cat "$usb_device/devnum") product \"$(cat "$usb_device/product")\" speed $(cat "$usb_device/speed")"
    echo "  sequencer client $((16 + 4 * card)):"
    client_block $((16 + 4 * card)) | sed 's/^/    /'
}

# in_read PID: PID waits in read(2), system call 0 on x86-64.
in_read() { [ "$(cut -d' ' -f1 /proc/$1/syscall 2>/dev/null)" = 0 ]; }

# open_reader DEVICE: opens a raw MIDI device for reading on the descriptor $reader and starts
# its input. Both sides drop what arrives before their input is started, and ALSA starts it only
# with the first read or poll, not on open: the shell's own read (no program to start, which
# takes a while under emulation) starts it and gives up after a moment.
open_reader() {
    exec {reader}<"$1"
    read -r -t 0.2 -N 1 -u "$reader" _ || true
}

# transfer FROM TO BYTES [CHUNK]: writes BYTES (a file) to raw MIDI device FROM and checks that TO
# reads exactly them. Neither side of USB MIDI waits for the other's reader: what does not fit in
# the reader's buffer (4096 bytes) is dropped. So the reader must be in read(2) before the writer
# starts, and with CHUNK the writer writes that many bytes at a time, each once the reader has had
# all before it.
transfer() {
    local from=$1 to=$2 bytes=$3 size got
    size=$(stat -c %s "$bytes")
    local chunk=${4:-$size}
    got="$(mktemp)"
    open_reader "$to"
    # cat writes what it reads at once (head and dd would keep or stop early at short reads).
    cat <&$reader >"$got" &
    local reading=$! i
    wait_for in_read "$reading" || fail "the reader of $to does not read"
    exec {writer}>"$from"
    for ((i = 0; i * chunk < size; i++)); do
        dd if="$bytes" bs="$chunk" skip=$i count=1 status=none >&$writer
        wait_for has_read "$got" $(((i + 1) * chunk < size ? (i + 1) * chunk : size)) || break
    done
    exec {writer}>&-
    kill $reading
    wait $reading || true
    exec {reader}<&-
    cmp -s "$bytes" "$got" ||
        fail "$from -> $to: sent $size bytes ($(od -An -tx1 "$bytes" | head -c 60)...)," \
            "got $(stat -c %s "$got") ($(od -An -tx1 "$got" | head -c 60)...)"
    echo "$from -> $to: $size bytes${4:+ in pieces of $chunk} arrived unchanged"
    rm -f "$got"
}
has_read() { [ "$(stat -c %s "$1")" -ge "$2" ]; }

# sysex FILE LENGTH: a SysEx message of LENGTH bytes (non-commercial ID 0x7D, counting data).
sysex() {
    awk -v n="$2" 'BEGIN { printf "%c%c", 240, 125; for (i = 0; i < n - 3; i++) printf "%c", i % 128; printf "%c", 247 }' \
        >"$1"
}

step "gadget Vorn Quorrel (1209:0001) on dummy_udc.0"
make_gadget quorrel 0x0001 Quorrel Q0001
echo dummy_udc.0 >$gadgets/quorrel/UDC
wait_for has_card_at usb-dummy_hcd.0-1 || { cat /proc/asound/cards; fail "no card at usb-dummy_hcd.0-1"; }
host_card="$(card_at usb-dummy_hcd.0-1)"
gadget_card="$(gadget_card dummy_udc.0)"
[ -n "$gadget_card" ] || fail "no card below dummy_udc.0 (the gadget's own)"
cat /proc/asound/cards
report "$host_card"
echo "gadget's own card $gadget_card: id $(cat /proc/asound/card$gadget_card/id)," \
    "/sys/class/sound/card$gadget_card/device -> $(readlink -f /sys/class/sound/card$gadget_card/device)"
client_block $((16 + 4 * gadget_card)) | sed 's/^/    /'

longname "$host_card" | grep -q '^Vorn Quorrel at usb-dummy_hcd.0-1, full speed$' ||
    fail "long name is \"$(longname "$host_card")\""
client_block $((16 + 4 * host_card)) | grep -q '^Client .*: "Quorrel" \[Kernel' ||
    fail "no sequencer client \"Quorrel\" for card $host_card"
client_block $((16 + 4 * host_card)) | grep -q 'Port   0 : "Quorrel MIDI 1" (RWeX)' ||
    fail "no port \"Quorrel MIDI 1\" that can be read and written"
client_block $((16 + 4 * gadget_card)) | grep -q '"f_midi"' || fail "the gadget's client is not \"f_midi\""

step "raw MIDI both ways"
host_midi=/dev/snd/midiC${host_card}D0
gadget_midi=/dev/snd/midiC${gadget_card}D0
work="$(mktemp -d)"
printf '\xf0\x7d\x01\x02\x03\x04\x05\xf7' >"$work/short"
transfer "$host_midi" "$gadget_midi" "$work/short"
transfer "$gadget_midi" "$host_midi" "$work/short"
# Longer than the raw MIDI buffers: SysEx split into USB MIDI packets and joined again. A USB MIDI
# packet carries three bytes of SysEx, and a sender keeps the last one or two bytes of a piece until
# the rest of the packet comes, so the pieces are multiples of three bytes.
sysex "$work/long" 10000
transfer "$host_midi" "$gadget_midi" "$work/long" 1998
transfer "$gadget_midi" "$host_midi" "$work/long" 1998

step "readers that do not keep up"
# flood FROM TO MODE: writes 20000 bytes of SysEx to FROM at once and says how many bytes the
# writer took (within 5 s) and how many arrived at TO. MODE: "reads" (a reader reads TO as fast as
# it can), "reads afterwards" (TO's input is started but read only after the writing), "not open".
sysex "$work/flood" 20000
flood() {
    local took got reading
    got="$(mktemp)"
    [ "$3" = "not open" ] || open_reader "$2"
    if [ "$3" = reads ]; then
        cat <&$reader >"$got" &
        reading=$!
        wait_for in_read $reading || fail "the reader of $2 does not read"
    fi
    # dd says how much it wrote when interrupted; timeout then ends with 124.
    took=$(timeout -s INT 5 dd if="$work/flood" of="$1" bs=1000 2>&1 |
        sed -n 's/^\([0-9]*\) bytes.*copied.*/\1/p') || true
    if [ "$3" = "reads afterwards" ]; then
        cat <&$reader >"$got" &
        reading=$!
    fi
    local arrived=""
    if [ -n "${reading:-}" ]; then
        settle "$got"
        # The dropped bytes are the receiver's "Overruns", shown while it is open.
        local card=${2#/dev/snd/midiC}
        arrived=", $(stat -c %s "$got") arrived ($(grep -h Overruns /proc/asound/card${card%D*}/midi0 |
            tr -s ' '))"
        kill $reading
        wait $reading || true
        exec {reader}<&-
    fi
    echo "$1 -> $2 ($3): the writer took $took of 20000 bytes at once$arrived"
    rm -f "$got"
}
# settle FILE: waits until FILE stops growing.
settle() {
    local before=-1 now i
    for i in $(seq 40); do
        now=$(stat -c %s "$1")
        [ "$now" = "$before" ] && return
        before=$now
        sleep 0.5
    done
}
flood "$host_midi" "$gadget_midi" reads
flood "$host_midi" "$gadget_midi" "reads afterwards"
flood "$gadget_midi" "$host_midi" reads
flood "$gadget_midi" "$host_midi" "reads afterwards"
flood "$gadget_midi" "$host_midi" "not open"

# reenumerate PRODUCT_ID PRODUCT: unbinds the gadget on dummy_udc.0, gives it another product ID
# and name and binds it again, as an instrument that restarts into its bootloader does; prints the
# new card's number.
reenumerate() {
    echo "" >$gadgets/quorrel/UDC
    wait_for no_card_at usb-dummy_hcd.0-1 || fail "the card at usb-dummy_hcd.0-1 stayed after the unbind"
    echo "$1" >$gadgets/quorrel/idProduct
    echo "$2" >$gadgets/quorrel/strings/0x409/product
    echo dummy_udc.0 >$gadgets/quorrel/UDC
    wait_for has_card_at usb-dummy_hcd.0-1 || fail "no card at usb-dummy_hcd.0-1 after the rebind"
    card_at usb-dummy_hcd.0-1
}

# hold_port CLIENT SECONDS: a sequencer client "holder" (libasound through Python) subscribed to
# CLIENT:0 both ways, as a MIDI program is, for SECONDS.
hold_port() {
    python3 - "$1" "$2" <<'PY' &
import ctypes, sys, time
alsa = ctypes.CDLL("libasound.so.2")
seq = ctypes.c_void_p()
if alsa.snd_seq_open(ctypes.byref(seq), b"default", 3, 0) != 0:
    sys.exit("holder: cannot open the sequencer")
alsa.snd_seq_set_client_name(seq, b"holder")
# READ | WRITE | SUBS_READ | SUBS_WRITE, MIDI_GENERIC | APPLICATION
port = alsa.snd_seq_create_simple_port(seq, b"holder", 0x63, (1 << 1) | (1 << 20))
client = int(sys.argv[1])
if alsa.snd_seq_connect_from(seq, port, client, 0) != 0 or alsa.snd_seq_connect_to(seq, port, client, 0) != 0:
    sys.exit("holder: cannot subscribe to %d:0" % client)
time.sleep(float(sys.argv[2]))
PY
    holder=$!
}
holder_connected() { client_block 128 | grep -q "Connect.*: $1:0"; }

step "re-enumeration as Quorrel Bootloader (1209:0002), the old card open and its port subscribed"
# The card's control device stays open, and a sequencer client stays subscribed to its port (which
# opens the raw MIDI device: that can be open only once for input).
app_client=$((16 + 4 * host_card))
exec {held}<"/dev/snd/controlC$host_card"
hold_port $app_client 60
wait_for holder_connected $app_client || fail "the holder did not subscribe to $app_client:0"
client_block 128 | sed 's/^/    /'
boot_card="$(reenumerate 0x0002 "Quorrel Bootloader")"
cat /proc/asound/cards
report "$boot_card"
echo "before: card $host_card, client $app_client; after: card $boot_card, client $((16 + 4 * boot_card))" \
    "(the old card's control device still open, its port subscribed)"
longname "$boot_card" | grep -q '^Vorn Quorrel Bootloader at usb-dummy_hcd.0-1, full speed$' ||
    fail "long name is \"$(longname "$boot_card")\""
client_block $((16 + 4 * boot_card)) | grep -q 'Port   0 : "Quorrel Bootloader MIDI 1"' ||
    fail "no port \"Quorrel Bootloader MIDI 1\""
[ "$(cat /proc/asound/card$boot_card/usbid)" = 1209:0002 ] || fail "usbid is not 1209:0002"
echo "the holder's subscriptions now:"
client_block 128 | sed 's/^/    /'
holder_connected $((16 + 4 * boot_card)) && fail "the old subscription carried over to the new port"
kill $holder
exec {held}<&-
gadget_card="$(gadget_card dummy_udc.0)"
echo "the gadget's own card is now card $gadget_card"
transfer "/dev/snd/midiC${gadget_card}D0" "/dev/snd/midiC${boot_card}D0" "$work/short"

step "re-enumeration back as Quorrel (1209:0001), nothing held"
app_card="$(reenumerate 0x0001 Quorrel)"
report "$app_card"
echo "before: card $boot_card; after: card $app_card, client $((16 + 4 * app_card))"
longname "$app_card" | grep -q '^Vorn Quorrel at usb-dummy_hcd.0-1, full speed$' ||
    fail "long name is \"$(longname "$app_card")\""
boot_card=$app_card

step "a second Quorrel on dummy_udc.1, told apart by its location"
make_gadget second 0x0001 Quorrel Q0002
echo dummy_udc.1 >$gadgets/second/UDC
wait_for has_card_at usb-dummy_hcd.1-1 || fail "no card at usb-dummy_hcd.1-1"
second_card="$(card_at usb-dummy_hcd.1-1)"
report "$second_card"
[ "$(card_at usb-dummy_hcd.0-1)" = "$boot_card" ] || fail "the first instrument's card changed"
grep '^Client' /proc/asound/seq/clients

rm -rf "$work"
echo
echo "usb_midi_gadget_smoke: all checks passed"
