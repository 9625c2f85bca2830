#!/usr/bin/env bash
# File transfer throughput on one veth pair between two network namespaces:
# deployserve to the installer's receive path (bench/transfer_bench.cc,
# linked with the installer's net/ code), beside atftp with a block size of
# 4076 against in.tftpd on the same pair, first as it is, then with 1 % of
# the datagrams dropped on receive in each namespace (nft numgen). Both
# sides write what they receive to a file, which is compared with the sent
# one. Prints MB/s (10^6 bytes) of every run, the medians and the ratios.
#
#   bench/transfer.sh [--build DIR] [--mib N] [--rounds N] [--loss-mib N] [--loss-rounds N]
#
# Needs root. Installs atftp, tftpd-hpa and nftables when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/host
MIB=64
ROUNDS=3
LOSS_MIB=""
LOSS_ROUNDS=1

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD="$2"; shift 2 ;;
    --mib) MIB="$2"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --loss-mib) LOSS_MIB="$2"; shift 2 ;;
    --loss-rounds) LOSS_ROUNDS="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
LOSS_MIB=${LOSS_MIB:-$MIB}
if [ "$(id -u)" != 0 ]; then echo "bench/transfer.sh needs root (network namespaces)" >&2; exit 1; fi

missing=()
for p in atftp tftpd-hpa nftables iproute2 coreutils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -f "$BUILD/libdeployboot_core.a" ] || [ ! -f "$BUILD/libboard_linux.a" ] || [ ! -x "$BUILD/deployserve" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j2 --target deployboot_core board_linux deployserve >/dev/null
fi

work=$(mktemp -d)
board=dbt-b-$$
server=dbt-s-$$
server_pid=""
tftpd_pid=""
cleanup() {
  for pid in $server_pid $tftpd_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $server_pid $tftpd_pid; do wait "$pid" 2>/dev/null || true; done
  ip netns del "$board" 2>/dev/null || true
  ip netns del "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The production board seam: /dev/flash is absent here, so the DSCV says "0.0".
g++ -std=c++20 -O2 -I. -I"$BUILD/generated" bench/transfer_bench.cc \
    "$BUILD/libdeployboot_core.a" "$BUILD/libboard_linux.a" -lz -o "$work/transfer_bench"

ip netns add "$board"
ip netns add "$server"
ip -n "$board" link set lo up
ip -n "$server" link set lo up
ip -n "$board" link add b0 type veth peer name s0 netns "$server"
# Addresses only for TFTP; the installer's protocol needs none.
ip -n "$board" addr add 10.213.0.2/30 dev b0
ip -n "$server" addr add 10.213.0.1/30 dev s0
ip -n "$board" link set b0 up
ip -n "$server" link set s0 up

srv="$work/srv"
mkdir -m 0755 "$srv" "$work/got"
make_file() {  # incompressible, so that nothing on the way can shrink it
  head -c $(($1 * 1024 * 1024)) /dev/urandom >"$srv/big.bin"
  chmod 0644 "$srv/big.bin"
}

ip netns exec "$server" in.tftpd -L -u root -a 10.213.0.1:69 -s "$srv" &
tftpd_pid=$!

# Each run leaves its MB/s in RESULT (no subshell: the trap must see the
# server's pid).
RESULT=""
run_protocol() {
  rm -f "$work/got/big.bin" "$work/server.log"
  ip netns exec "$server" "$BUILD/deployserve" -i s0 --once "$srv/big.bin" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do grep -q serving "$work/server.log" 2>/dev/null && break; sleep 0.05; done
  local line
  if ! line=$(timeout 600 ip netns exec "$board" "$work/transfer_bench" "$work/got"); then
    echo "transfer_bench failed" >&2
    return 1
  fi
  # --once: the server ends a little after the TERM.
  for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  cmp -s "$srv/big.bin" "$work/got/big.bin" || { echo "deployserve: received file differs" >&2; return 1; }
  RESULT=$(awk '$1 == "FILE" { print $5 }' <<<"$line")
}

run_tftp() {
  rm -f "$work/got/tftp.bin"
  local start end
  start=$(date +%s.%N)
  if ! timeout 1800 ip netns exec "$board" atftp --option "blksize 4076" -g -r big.bin \
      -l "$work/got/tftp.bin" 10.213.0.1 >"$work/atftp.log" 2>&1; then
    echo "atftp failed: $(tail -3 "$work/atftp.log")" >&2
    return 1
  fi
  end=$(date +%s.%N)
  cmp -s "$srv/big.bin" "$work/got/tftp.bin" || { echo "atftp: received file differs" >&2; return 1; }
  RESULT=$(awk -v s="$start" -v e="$end" -v b="$(stat -c %s "$srv/big.bin")" \
      'BEGIN { printf "%.2f\n", b / 1e6 / (e - s) }')
}

median() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END {
  print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs both sides ROUNDS times, alternating; prints a summary line.
compare() {
  local label=$1 rounds=$2 ours=() theirs=() a b
  for i in $(seq "$rounds"); do
    run_protocol || exit 1
    a=$RESULT
    run_tftp || exit 1
    b=$RESULT
    ours+=("$a")
    theirs+=("$b")
    echo "  round $i: deployserve $a MB/s, atftp/in.tftpd $b MB/s"
  done
  a=$(median "${ours[@]}")
  b=$(median "${theirs[@]}")
  awk -v l="$label" -v a="$a" -v b="$b" 'BEGIN {
    printf "%s: deployserve %.2f MB/s, atftp/in.tftpd %.2f MB/s, ratio %.2f\n", l, a, b, a / b }'
}

add_loss() {
  for ns in "$board" "$server"; do
    ip netns exec "$ns" nft -f - <<'EOF'
table inet dbtloss {
  chain input {
    type filter hook input priority 0; policy accept;
    meta l4proto udp numgen random mod 100 < 1 counter drop
  }
}
EOF
  done
}

dropped() {
  for ns in "$board" "$server"; do ip netns exec "$ns" nft list table inet dbtloss; done |
    awk '/counter packets/ { for (i = 1; i <= NF; ++i) if ($i == "packets") s += $(i + 1) } END { print s + 0 }'
}

echo "== $MIB MiB, no loss ($ROUNDS rounds)"
make_file "$MIB"
compare "no loss" "$ROUNDS"

echo "== $LOSS_MIB MiB, 1 % of datagrams dropped on receive in each namespace ($LOSS_ROUNDS rounds)"
make_file "$LOSS_MIB"
add_loss
compare "1 % loss" "$LOSS_ROUNDS"
echo "datagrams dropped: $(dropped)"
