#!/usr/bin/env bash
# Where the daemon's CPU time goes under one closed-loop load: starts the daemon of a bench build
# (bench/run.sh builds it) in a private network namespace, drives it with nv_bench_load and records
# it with `perf record --call-graph dwarf`, then prints the inclusive share of the daemon's samples
# for each function that takes at least 0.5 % (perf report --children).
#
#   bench/profile.sh [--build-dir DIR] [--seconds S] [--out FILE] [--user] -- LOAD-ARGS...
#
# --build-dir  bench build directory (default: build-bench at the repository root)
# --seconds    length of the recording (default 5), after one second of warm-up load
# --out        where perf's data goes (default: a temporary file, removed afterwards)
# --user       record user-space samples only: the daemon's own code and its libraries, without
#              the kernel's TCP and scheduling work that the baseline shares
# LOAD-ARGS    nv_bench_load's mode and options without --port, for example
#              `-- http --conns 16 --threads 2` or `-- ws --conns 20 --threads 2`
# Needs perf (Debian package linux-perf) and root for the private namespace.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench"
SECONDS_REC=5
OUT=""
SCOPE=()
INSIDE=0
ARGS=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) BUILD=$(realpath -m "$2"); shift ;;
    --seconds) SECONDS_REC=$2; shift ;;
    --out) OUT=$(realpath -m "$2"); shift ;;
    --user) SCOPE=(--all-user) ;;
    --in-netns) INSIDE=1 ;;  # internal: this process runs in the private namespace
    --) shift; break ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "profile.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ $# -gt 0 ] || { echo "profile.sh: nv_bench_load arguments expected after --" >&2; exit 2; }
command -v perf >/dev/null || { echo "profile.sh: perf is not installed (linux-perf)" >&2; exit 1; }
if [ "$INSIDE" = 0 ]; then
    exec unshare --net "$0" "${ARGS[@]:0:${#ARGS[@]}-$#-1}" --in-netns -- "$@"
fi
ip link set lo up
source "$ROOT/bench/lib.sh"

DAEMON_BIN="$BUILD/daemon/NorrimVelstraSvc"
LOAD="$BUILD/bench/nv_bench_load"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/nv-profile.XXXXXX")
[ -n "$OUT" ] || OUT="$WORK/perf.data"
PID=""
cleanup() {
    [ -z "$PID" ] || kill -INT "$PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

"$DAEMON_BIN" -H "$WORK" -S >/dev/null 2>&1
PID=$(wait_listen 4441) || { echo "profile.sh: the daemon does not listen on 4441" >&2; exit 1; }

DUR=$(awk -v s="$SECONDS_REC" 'BEGIN { print s + 2 }')
"$LOAD" "$@" --port 4441 --duration "$DUR" --expect '"status": "TRUE"' >"$WORK/load.txt" 2>/dev/null &
LOAD_PID=$!
sleep 1
perf record -q ${SCOPE[@]+"${SCOPE[@]}"} -F 499 --call-graph dwarf,16384 -p "$PID" -o "$OUT" -- sleep "$SECONDS_REC" 2>/dev/null
wait "$LOAD_PID" || true
echo "# load: $(tr '\n' ' ' <"$WORK/load.txt")"
echo "# load average: $(cut -d' ' -f1-3 /proc/loadavg)"
perf report -i "$OUT" --children --stdio --percent-limit 0.5 -g none \
    --sort symbol 2>/dev/null | grep -E '^ +[0-9]' | awk '{ printf "%8s %8s  ", $1, $2; for (i = 4; i <= NF; i++) if ($i != "-") printf "%s ", $i; print "" }' | head -n 80
