#!/usr/bin/env bash
# One installation on the qemu-malta lab board: the production mipsel
# installer boots Debian's malta kernel under qemu, finds deployserve on a tap
# inside a private network namespace, formats the board's flash (UBI on two
# block2mtd devices backed by disk images) and installs what the server
# offers; a second boot then mounts the flash and lists what is on it.
#
#   run.sh --packages DIR [options] [-- deployserve arguments]
#
# options:
#   --packages DIR     what the server offers (default: the lab's samples)
#   --deployboot FILE  the static mipsel installer (default: build/mipsel/deployboot)
#   --server FILE      deployserve (default: build/host/deployserve)
#   --work DIR         ramdisks, flash images, console logs, the flash listing
#                      and the boot-to-installed time in ms (installed-ms)
#                      (default: a new directory under /tmp, kept)
#   --keep-flash       boot with the flash images a previous run left in DIR
#   --keep-config      the server asks the board to keep its configuration
#   --timeout SECONDS  give up on a boot that has not ended (default 300)
#   --quiet            do not echo the installer's console
#   -- ARGS            run deployserve with ARGS instead of the defaults
#                      (--once --interface qtap0 [--keep] PACKAGES-DIR)
#
# Exit status: 0 installed and read back ("Software installed." on the
# console, then WORK/flash.txt written); 1 the installation or the read-back
# failed; 2 the run could not be set up; 3 a boot did not end in time;
# 130 interrupted.
set -uo pipefail

usage() { sed -n '2,28s/^# \{0,1\}//p' "$0"; }

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
deployboot=$top/build/mipsel/deployboot
server=$top/build/host/deployserve
packages=$top/lab/samples
work=
keep_flash=no
keep_config=()
timeout=300
quiet=no
server_args=()
while (($#)); do
  case "$1" in
    --packages|--deployboot|--server|--work|--timeout)
      if (($# < 2)); then echo "run.sh: $1 needs a value" >&2; exit 2; fi
      case "$1" in
        --packages) packages=$2 ;;
        --deployboot) deployboot=$2 ;;
        --server) server=$2 ;;
        --work) work=$2 ;;
        --timeout) timeout=$2 ;;
      esac
      shift 2 ;;
    --keep-flash) keep_flash=yes; shift ;;
    --keep-config) keep_config=(--keep); shift ;;
    --quiet) quiet=yes; shift ;;
    --) shift; server_args=("$@"); break ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ "$timeout" =~ ^[0-9]+$ ]] || ((timeout < 1 || timeout > 86400)); then
  echo "run.sh: --timeout needs 1 to 86400 seconds" >&2; exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "run.sh: needs root (network namespace, tap)" >&2; exit 2
fi
for f in "$deployboot" "$server"; do
  [ -x "$f" ] || { echo "run.sh: $f is missing (build it first)" >&2; exit 2; }
done
[ -d "$packages" ] || { echo "run.sh: no package directory $packages" >&2; exit 2; }
packages=$(cd "$packages" && pwd)
command -v qemu-system-mipsel >/dev/null || { echo "run.sh: run lab/qemu/setup.sh" >&2; exit 2; }
if [ -z "$work" ]; then work=$(mktemp -d /tmp/qemu-malta.XXXXXX); fi
mkdir -p "$work" && work=$(cd "$work" && pwd)
rm -f "$work/installed-ms" "$work/flash.txt"

netns=dbq-$$
tap=qtap0
server_pid=
qemu_pid=
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  ip netns delete "$netns" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$here/mkinitramfs.sh" --deployboot "$deployboot" --out "$work/ramdisk" >"$work/mkinitramfs.log" 2>&1 ||
  { cat "$work/mkinitramfs.log" >&2; exit 2; }

# The board's flash: 4 MiB boot side, 32 MiB system side. Zeros are not an
# erased flash, which is what a new board's first installation meets.
if [ "$keep_flash" = no ] || [ ! -f "$work/boot.img" ] || [ ! -f "$work/system.img" ]; then
  rm -f "$work/boot.img" "$work/system.img"
  truncate -s 4M "$work/boot.img" && truncate -s 32M "$work/system.img" || exit 2
fi

ip netns add "$netns" || exit 2
ip -n "$netns" link set lo up
ip -n "$netns" tuntap add dev "$tap" mode tap || exit 2
ip -n "$netns" link set "$tap" up || exit 2
if ((${#server_args[@]} == 0)); then server_args=(--once --interface "$tap" "${keep_config[@]}" "$packages"); fi
ip netns exec "$netns" "$server" "${server_args[@]}" >"$work/server.log" 2>&1 </dev/null &
server_pid=$!

# boot RAMDISK LOG NET...: boots the board once; its console goes to LOG
# (echoed unless --quiet) and an ENTER answers the installer's final prompt.
# Returns when the guest has rebooted (qemu exits) or the time is up (3).
boot() {
  local ramdisk=$1 log=$2 line deadline now
  shift 2
  local qemu=(qemu-system-mipsel -M malta -m 256 -vga none -nographic -no-reboot
    -kernel "$work/ramdisk/vmlinuz" -initrd "$ramdisk"
    -append "console=ttyS0 ubifs_support panic=5"
    -drive "file=$work/boot.img,if=none,format=raw,id=flash0"
    -device virtio-blk-pci,drive=flash0,romfile=
    -drive "file=$work/system.img,if=none,format=raw,id=flash1"
    -device virtio-blk-pci,drive=flash1,romfile= "$@")
  : >"$log"
  coproc QEMU { exec ip netns exec "$netns" "${qemu[@]}" 2>&1; }
  qemu_pid=$QEMU_PID
  local from_qemu=${QEMU[0]} to_qemu=${QEMU[1]}
  deadline=$((SECONDS + timeout))
  while now=$SECONDS; ((now < deadline)); do
    IFS= read -r -t $((deadline - now)) line <&"$from_qemu" || break
    line=${line%$'\r'}
    printf '%s\n' "$line" >>"$log"
    [ "$quiet" = yes ] || printf '%s\n' "$line"
    case "$line" in
      *"Software installed."*) installed_ns=$(date +%s%N) ;;
      *"Press ENTER to reboot"*) printf '\r' >&"$to_qemu" 2>/dev/null ;;
    esac
  done
  # The console closes a moment before qemu has exited.
  local grace=50
  while ((grace-- > 0)) && kill -0 "$qemu_pid" 2>/dev/null; do sleep 0.1; done
  if kill -0 "$qemu_pid" 2>/dev/null; then
    echo "run.sh: the board did not reboot within $timeout s" | tee -a "$log" >&2
    kill "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
    qemu_pid=
    return 3
  fi
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=
  return 0
}

started=$SECONDS
installed_ns=
start_ns=$(date +%s%N)
boot "$work/ramdisk/installer.cpio.gz" "$work/install.log" \
  -netdev "tap,id=net0,ifname=$tap,script=no,downscript=no" -device pcnet,netdev=net0,romfile= ||
  exit 3
end_ns=$(date +%s%N)
if [ -z "$installed_ns" ]; then
  echo "run.sh: the installation did not end with \"Software installed.\" (see $work/install.log)" >&2
  exit 1
fi
echo $(( (installed_ns - start_ns) / 1000000 )) >"$work/installed-ms"
echo "run.sh: boot to \"Software installed.\" $(( (installed_ns - start_ns) / 1000000 )) ms," \
  "to the reboot $(( (end_ns - start_ns) / 1000000 )) ms"

boot "$work/ramdisk/readback.cpio.gz" "$work/readback.log" -nic none || exit 3
sed -n '/^readback: begin$/,/^readback: end$/p' "$work/readback.log" |
  sed '1d;$d' >"$work/flash.txt"
if grep -q '^readback: failed' "$work/readback.log" || ! grep -q '^readback: end$' "$work/readback.log"; then
  grep '^readback: failed' "$work/readback.log" >&2
  echo "run.sh: reading the flash back failed (see $work/readback.log)" >&2
  exit 1
fi
echo "run.sh: flash listing in $work/flash.txt ($(wc -l <"$work/flash.txt") entries), $((SECONDS - started)) s in all"
exit 0
