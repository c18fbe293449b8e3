#!/usr/bin/env bash
# Smoke test of the benchmark tools (CTest label "bench"): the baseline serves TLS with the staged
# credentials, and the load client completes every kind of exchange against it without an error.
# It checks that the tools work, not how fast anything is.
#
#   bench/smoke_test.sh BASELINE LOAD PORT
set -euo pipefail
BASE=$1
LOAD=$2
PORT=$3
LOG=$(mktemp)
"$BASE" --port "$PORT" --reply-bytes 700 >"$LOG" 2>&1 &
PID=$!
trap 'kill -TERM "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; rm -f "$LOG"' EXIT

for i in $(seq 1 200); do
    grep -q "listening on" "$LOG" && break
    kill -0 "$PID" 2>/dev/null || { cat "$LOG" >&2; echo "baseline ended" >&2; exit 1; }
    sleep 0.05
done
grep -q "listening on" "$LOG" || { cat "$LOG" >&2; echo "baseline did not start" >&2; exit 1; }

run() {
    echo "+ nv_bench_load $*"
    "$LOAD" "$@" --port "$PORT" --strict --timeout-ms 20000
}
# Keep-alive POSTs, with the reply's body checked; 16-bit and 64-bit WebSocket frame lengths;
# per-request handshakes; the sequential store-size probe; the /proc readers.
run http --conns 4 --requests 200 --expect '"reply": "xxx'
run ws --conns 3 --requests 200 --pad-bytes 300 --expect '"data":"xxx'
run ws --conns 1 --requests 5 --pad-bytes 70000 --expect 'xxx"}'
run http --new-conn --conns 2 --requests 20
"$LOAD" getresult --port "$PORT" --sizes 1,3 --samples 5
"$LOAD" idle --pid "$PID" --seconds 0.2 | grep -q "civet_threads=2[0-9]"
"$LOAD" rss --pid "$PID" | grep -q "rss_kib=[1-9]"
echo "bench smoke test passed"
