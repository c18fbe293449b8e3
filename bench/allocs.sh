#!/usr/bin/env bash
# Heap allocations per request, by who asks for them: starts the daemon of a bench build in a
# private network namespace, sends a fixed number of requests over one keep-alive connection while
# `perf` counts every malloc, calloc and realloc of the daemon (uprobes on libc, with call graphs),
# and prints the allocations per request grouped by the daemon's own frame nearest to the call (the
# module's calls all count under the bridge's GetFunc). Unlike CPU profiles the total does not
# depend on the machine's load, so two builds compare exactly; the split by caller comes from call
# graphs, which a busy machine thins out (a stack that cannot be unwound counts as outside the
# daemon), so take it on a quiet machine.
#
#   bench/allocs.sh [--build-dir DIR] [--requests N] [-- LOAD-ARGS...]
#
# --build-dir  bench build directory (default: build-bench at the repository root)
# --requests   requests counted (default 1000), after 200 that warm the daemon up
# LOAD-ARGS    extra nv_bench_load options for both runs (for example `--origins 10`)
# Needs perf (Debian package linux-perf), python3, and root (uprobes, the private namespace).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench"
REQUESTS=1000
INSIDE=0
OPTS=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) BUILD=$(realpath -m "$2"); OPTS+=(--build-dir "$BUILD"); shift ;;
    --requests) REQUESTS=$2; OPTS+=(--requests "$2"); shift ;;
    --in-netns) INSIDE=1 ;;  # internal: this process runs in the private namespace
    --) shift; break ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "allocs.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
command -v perf >/dev/null || { echo "allocs.sh: perf is not installed (linux-perf)" >&2; exit 1; }
if [ "$INSIDE" = 0 ]; then
    exec unshare --net "$0" ${OPTS[@]+"${OPTS[@]}"} --in-netns -- "$@"
fi
ip link set lo up
source "$ROOT/bench/lib.sh"

LIBC=$(ldd "$BUILD/daemon/NorrimVelstraSvc" | awk '$1 ~ /^libc\.so/ { print $3 }')
[ -n "$LIBC" ] || { echo "allocs.sh: cannot find the daemon's libc" >&2; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/nv-allocs.XXXXXX")
PID=""
PERF_PID=""
EVENTS=(probe_nvalloc:malloc probe_nvalloc:calloc probe_nvalloc:realloc)
cleanup() {
    [ -z "$PERF_PID" ] || kill -INT "$PERF_PID" 2>/dev/null || true
    [ -z "$PID" ] || kill -INT "$PID" 2>/dev/null || true
    perf probe -q -d 'probe_nvalloc:*' 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
for fn in malloc calloc realloc; do
    perf probe -q -x "$LIBC" -a "probe_nvalloc:$fn=$fn" >/dev/null
done

"$BUILD/daemon/NorrimVelstraSvc" -H "$WORK" -S >/dev/null 2>&1
PID=$(wait_listen 4441) || { echo "allocs.sh: the daemon does not listen on 4441" >&2; exit 1; }

LOAD=("$BUILD/bench/nv_bench_load" http --port 4441 --conns 1 "$@")
"${LOAD[@]}" --requests 200 >/dev/null
EV_ARGS=()
for ev in "${EVENTS[@]}"; do EV_ARGS+=(-e "$ev"); done
# The call graphs may lose events when the machine is busy (each carries a copy of the stack), so
# they give the shares; a plain count, which loses nothing, gives the total.
perf record -q -m 1024 "${EV_ARGS[@]}" --call-graph dwarf,8192 -p "$PID" -o "$WORK/perf.data" 2>/dev/null &
PERF_PID=$!
perf stat -x, "${EV_ARGS[@]}" -p "$PID" -o "$WORK/count.csv" &
STAT_PID=$!
# perf attaches to every thread of the daemon before the counted requests start.
sleep 1
"${LOAD[@]}" --requests "$REQUESTS" --expect '"status": "TRUE"' --strict >/dev/null
sleep 0.5
kill -INT "$PERF_PID" "$STAT_PID"
wait "$PERF_PID" || true
wait "$STAT_PID" || true
PERF_PID=""
TOTAL=$(awk -F, '$3 ~ /probe_nvalloc/ { n += $1 } END { print n + 0 }' "$WORK/count.csv")

perf script -i "$WORK/perf.data" -F event,ip,sym,dso 2>/dev/null | python3 -c '
import collections, sys
requests, counted = int(sys.argv[1]), int(sys.argv[2])
by_frame = collections.Counter()
frames, total = [], 0
def flush():
    global frames, total
    if not frames:
        return
    total += 1
    # The nearest frame of the daemon itself; allocations of libraries it calls count under it.
    pick = next((s for s, d in frames if "NorrimVelstraSvc" in d), "(outside the daemon: CivetWeb, OpenSSL)")
    by_frame[pick] += 1
    frames = []
for line in sys.stdin:
    if not line.strip():
        flush()
    elif line[0] in " \t":
        rest = line.strip().split(" ", 1)[-1]
        sym, _, dso = rest.rpartition(" (")
        frames.append((sym or rest, dso))
flush()
scale = counted / max(total, 1)
print("# %d allocations over %d requests: %.1f per request (shares from %d call graphs)" %
      (counted, requests, counted / requests, total))
for frame, n in by_frame.most_common():
    if n * scale >= requests / 10:
        print("%6.1f  %s" % (n * scale / requests, frame[:100]))
' "$REQUESTS" "$TOTAL"
