#!/usr/bin/env bash
# Backups and restores against what TLS itself allows on this machine.
#
# One invocation runs, interleaved and --runs times each:
#   ingest   orv_client backup into orv_target (real client, real server)
#            socat TLS pipe into a file       (no CRC, no fsync, no catalog)
#            socat TLS pipe into /dev/null    (the TLS ceiling)
#   restore  orv_client restore into a file   (fetch, verify, write, fsync)
#            socat TLS pipe into a file / into /dev/null (same bytes)
#   eight    --sessions N orv_client backups at once, against N socat pipes
#            into files at once (when --sessions is not 0)
# and prints the medians (MB/s, MB = 10^6 bytes), the server worker's CPU
# seconds per GiB received, and the ratios that matter.
#
# --state cold sleeps --settle seconds (default 10) before every single run,
# so that each one starts on memory the virtual machine has given back, as a
# fresh server would; --state warm runs back to back. Every source file is
# read once before each run, so senders read from the page cache.
#
#   bench/compare.sh [--build build] [--size 2G] [--runs 5] [--state cold|warm]
#                    [--settle 10] [--sessions 8] [--session-size 256M]
#
# Scratch files go to $ORV_BENCH_DIR (or $TMPDIR, or /tmp) and are removed.
# Processes started here are stopped by their process id.
set -u

BUILD=build
SIZE=2G
RUNS=5
STATE=cold
SETTLE=10
SESSIONS=8
SESSION_SIZE=256M
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --size) SIZE=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --state) STATE=$2; shift 2 ;;
    --settle) SETTLE=$2; shift 2 ;;
    --sessions) SESSIONS=$2; shift 2 ;;
    --session-size) SESSION_SIZE=$2; shift 2 ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "compare: unknown option $1" >&2; exit 2 ;;
  esac
done
case "$STATE" in cold|warm) ;; *) echo "compare: --state cold or warm" >&2; exit 2 ;; esac
[ "$STATE" = warm ] && SETTLE=0

TARGET_BIN=$BUILD/orv_target
CLIENT_BIN=$BUILD/orv_client
for b in "$TARGET_BIN" "$CLIENT_BIN"; do
  [ -x "$b" ] || { echo "compare: $b not built" >&2; exit 1; }
done
command -v socat >/dev/null || { echo "compare: socat is needed for the baselines" >&2; exit 1; }

bytes_of() {
  local v=${1%[KMGkmg]} u=${1: -1}
  case "$u" in K|k) echo $((v << 10)) ;; M|m) echo $((v << 20)) ;; G|g) echo $((v << 30)) ;; *) echo "$1" ;; esac
}
SIZE_BYTES=$(bytes_of "$SIZE")
SESSION_BYTES=$(bytes_of "$SESSION_SIZE")

SCRATCH=$(mktemp -d "${ORV_BENCH_DIR:-${TMPDIR:-/tmp}}/orv-compare.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

now() { date +%s.%N; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print a[(NR + 1) / 2]; else printf "%.1f", (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
settle() { [ "$SETTLE" -gt 0 ] && sleep "$SETTLE"; }
warm_read() { cat "$@" > /dev/null; }
port_free() { ! ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }
pick_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 12000))
    port_free "$p" && { echo "$p"; return; }
  done
  echo 0
}
wait_listen() {
  for _ in $(seq 500); do
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0
    sleep 0.01
  done
  return 1
}
# CPU seconds (user + system) of a process, exited threads included.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); split($0, f, " "); printf "%.3f", (f[12] + f[13]) / hz }' "/proc/$1/stat"; }

# ---- set-up -------------------------------------------------------------------
echo "compare: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -r)," \
  "scratch on $(df -T "$SCRATCH" | awk 'NR == 2 { print $2 }'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "compare: $SIZE per transfer, $RUNS runs each, $STATE$( [ "$STATE" = cold ] && echo " ($SETTLE s settle before each run)")"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
  -keyout "$SCRATCH/key.pem" -out "$SCRATCH/cert.pem" >/dev/null 2>&1 || { echo "compare: openssl failed" >&2; exit 1; }
echo "compare-bench-key **" > "$SCRATCH/acl.conf"
echo "compare-bench-key" > "$SCRATCH/key.txt"
mkdir -p "$SCRATCH/storage" "$SCRATCH/run" "$SCRATCH/out"
# Started as root, the server's worker runs as an unprivileged user.
chmod 755 "$SCRATCH"; chmod 777 "$SCRATCH/storage"
chmod 644 "$SCRATCH/cert.pem" "$SCRATCH/key.pem" "$SCRATCH/acl.conf"
# Data that neither compresses nor repeats: each block differs.
head -c "$SIZE_BYTES" /dev/urandom > "$SCRATCH/source.img"
if [ "$SESSIONS" -gt 0 ]; then
  for i in $(seq "$SESSIONS"); do head -c "$SESSION_BYTES" /dev/urandom > "$SCRATCH/part$i.img"; done
fi

PORT=0
TARGET_PID=0
for _ in 1 2 3 4 5; do
  PORT=$(pick_port)
  ORV_TARGET_PRIV_SOCK_DIR=$SCRATCH/run "$TARGET_BIN" --storage "$SCRATCH/storage" --tls-cert "$SCRATCH/cert.pem" \
    --tls-key "$SCRATCH/key.pem" --acl-file "$SCRATCH/acl.conf" --bind 127.0.0.1 --port "$PORT" \
    --no-log --no-syslog --no-diag 2> "$SCRATCH/target.log" &
  TARGET_PID=$!
  PIDS+=("$TARGET_PID")
  wait_listen "$PORT" && break
  kill "$TARGET_PID" 2>/dev/null; wait "$TARGET_PID" 2>/dev/null
  TARGET_PID=0
done
[ "$TARGET_PID" -ne 0 ] || { echo "compare: orv_target did not start" >&2; cat "$SCRATCH/target.log" >&2; exit 1; }
# Started as root the server serves from a forked worker: its CPU is the
# server's.
WORKER=$TARGET_PID
for _ in $(seq 100); do
  c=$(cat "/proc/$TARGET_PID/task/$TARGET_PID/children" 2>/dev/null | awk '{ print $1 }')
  [ -n "$c" ] && { WORKER=$c; break; }
  [ "$(id -u)" -ne 0 ] && break
  sleep 0.05
done

COMMON=(--target "127.0.0.1:$PORT" --api-key-file "$SCRATCH/key.txt" --insecure --quiet)

# ---- one run of each kind; each prints MB/s (or FAIL) -------------------------------
CPU_SUM=0
CPU_BYTES=0
orv_backup() {  # subdir name source
  local c0 t0 t1 c1
  c0=$(cpu_of "$WORKER"); t0=$(now)
  "$CLIENT_BIN" backup "${COMMON[@]}" --subdir "$1" --name "$2" "$3" > "$SCRATCH/client.log" 2>&1 || { echo FAIL; return; }
  t1=$(now); c1=$(cpu_of "$WORKER")
  echo "$c0 $c1" >> "$SCRATCH/cpu.txt"
  mbps "$(stat -c %s "$3")" "$(echo "$t1 - $t0" | bc -l)"
}
socat_pipe() {  # source output
  local p sender t0 t1
  for _ in 1 2 3 4 5; do
    p=$(pick_port)
    socat -b 1048576 -u "OPEN:$1" \
      "OPENSSL-LISTEN:$p,bind=127.0.0.1,reuseaddr,cert=$SCRATCH/cert.pem,key=$SCRATCH/key.pem,verify=0" \
      2>> "$SCRATCH/socat.log" &
    sender=$!
    wait_listen "$p" && break
    kill "$sender" 2>/dev/null; wait "$sender" 2>/dev/null
    sender=0
  done
  [ "$sender" -ne 0 ] || { echo FAIL; return; }
  t0=$(now)
  if [ "$2" = /dev/null ]; then
    socat -b 1048576 -u "OPENSSL:127.0.0.1:$p,verify=0" /dev/null 2>> "$SCRATCH/socat.log"
  else
    rm -f "$2"
    socat -b 1048576 -u "OPENSSL:127.0.0.1:$p,verify=0" "CREATE:$2" 2>> "$SCRATCH/socat.log"
  fi
  t1=$(now)
  wait "$sender" 2>/dev/null
  mbps "$(stat -c %s "$1")" "$(echo "$t1 - $t0" | bc -l)"
}
orv_restore() {  # output
  local t0 t1
  [ -c "$1" ] || rm -f "$1"  # never a device such as /dev/null
  t0=$(now)
  "$CLIENT_BIN" restore "${COMMON[@]}" --subdir restore --name src "$1" > "$SCRATCH/client.log" 2>&1 || { echo FAIL; return; }
  t1=$(now)
  mbps "$SIZE_BYTES" "$(echo "$t1 - $t0" | bc -l)"
}
many_backups() {
  local t0 t1 pids=() i
  t0=$(now)
  for i in $(seq "$SESSIONS"); do
    "$CLIENT_BIN" backup "${COMMON[@]}" --subdir many --name "part$i" "$SCRATCH/part$i.img" > "$SCRATCH/many$i.log" 2>&1 &
    pids+=($!)
  done
  local ok=1
  for p in "${pids[@]}"; do wait "$p" || ok=0; done
  t1=$(now)
  [ $ok -eq 1 ] || { echo FAIL; return; }
  mbps $((SESSIONS * SESSION_BYTES)) "$(echo "$t1 - $t0" | bc -l)"
}
many_pipes() {
  local t0 t1 pids=() ports=() senders=() i p
  for i in $(seq "$SESSIONS"); do
    p=$(pick_port)
    socat -b 1048576 -u "OPEN:$SCRATCH/part$i.img" \
      "OPENSSL-LISTEN:$p,bind=127.0.0.1,reuseaddr,cert=$SCRATCH/cert.pem,key=$SCRATCH/key.pem,verify=0" \
      2>> "$SCRATCH/socat.log" &
    senders+=($!)
    ports+=("$p")
  done
  for p in "${ports[@]}"; do wait_listen "$p" || { echo FAIL; return; }; done
  t0=$(now)
  for i in $(seq "$SESSIONS"); do
    rm -f "$SCRATCH/out/pipe$i"
    socat -b 1048576 -u "OPENSSL:127.0.0.1:${ports[$((i - 1))]},verify=0" "CREATE:$SCRATCH/out/pipe$i" \
      2>> "$SCRATCH/socat.log" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  t1=$(now)
  for p in "${senders[@]}"; do wait "$p" 2>/dev/null; done
  rm -f "$SCRATCH"/out/pipe*
  mbps $((SESSIONS * SESSION_BYTES)) "$(echo "$t1 - $t0" | bc -l)"
}
clear_subdir() { rm -rf "${SCRATCH:?}/storage/$1"; }

# The backup that every restore run reads.
warm_read "$SCRATCH/source.img"
"$CLIENT_BIN" backup "${COMMON[@]}" --subdir restore --name src "$SCRATCH/source.img" > "$SCRATCH/client.log" 2>&1 ||
  { echo "compare: the first backup failed:" >&2; cat "$SCRATCH/client.log" >&2; exit 1; }

declare -A R
for r in $(seq "$RUNS"); do
  settle; warm_read "$SCRATCH/source.img"
  v=$(orv_backup ingest "run$r" "$SCRATCH/source.img"); R[ingest]+=" $v"; clear_subdir ingest
  settle; warm_read "$SCRATCH/source.img"
  v=$(socat_pipe "$SCRATCH/source.img" "$SCRATCH/out/pipe.out"); R[pipe_file]+=" $v"; rm -f "$SCRATCH/out/pipe.out"
  settle; warm_read "$SCRATCH/source.img"
  v=$(socat_pipe "$SCRATCH/source.img" /dev/null); R[pipe_null]+=" $v"
  settle
  v=$(orv_restore "$SCRATCH/out/restored.img"); R[restore]+=" $v"; rm -f "$SCRATCH/out/restored.img"
  settle
  v=$(orv_restore /dev/null); R[restore_null]+=" $v"
  if [ "$SESSIONS" -gt 0 ]; then
    settle; warm_read "$SCRATCH"/part*.img
    v=$(many_backups); R[many]+=" $v"; clear_subdir many
    settle; warm_read "$SCRATCH"/part*.img
    v=$(many_pipes); R[many_pipes]+=" $v"
  fi
  echo "run $r (MB/s): ingest ${R[ingest]##* }, file pipe ${R[pipe_file]##* }, /dev/null pipe ${R[pipe_null]##* };" \
    "restore ${R[restore]##* }, restore to /dev/null ${R[restore_null]##* }" \
    "$( [ "$SESSIONS" -gt 0 ] && echo "; $SESSIONS sessions ${R[many]##* }, $SESSIONS pipes ${R[many_pipes]##* }")"
done

for k in "${!R[@]}"; do
  if echo "${R[$k]}" | grep -q FAIL; then echo "compare: some $k runs failed (see the logs above)" >&2; fi
done
med() { echo "${R[$1]}" | tr ' ' '\n' | grep -v FAIL | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
CPU_PER_GIB=$(awk -v gib="$(echo "$SIZE_BYTES / 1073741824" | bc -l)" '{ printf "%.3f\n", ($2 - $1) / gib }' \
  "$SCRATCH/cpu.txt" | median)

I=$(med ingest); PF=$(med pipe_file); PN=$(med pipe_null); RS=$(med restore); RN=$(med restore_null)
echo
echo "medians ($STATE, MB/s): ingest $I, socat file pipe $PF, socat /dev/null pipe $PN," \
  "restore into a file $RS, restore into /dev/null $RN"
echo "ingest / file pipe      $(ratio "$I" "$PF")"
echo "ingest / /dev/null pipe $(ratio "$I" "$PN")"
echo "restore / file pipe     $(ratio "$RS" "$PF")"
echo "restore / /dev/null pipe $(ratio "$RN" "$PN") (restore into /dev/null)"
if [ "$SESSIONS" -gt 0 ]; then
  M=$(med many); MP=$(med many_pipes)
  echo "$SESSIONS sessions $M MB/s, $SESSIONS file pipes $MP MB/s: ratio $(ratio "$M" "$MP")"
fi
echo "server CPU per GiB received (median): $CPU_PER_GIB s"
