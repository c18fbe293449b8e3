#!/usr/bin/env bash
# Benchmark suite driver. Builds the project in Release (its own build directory, staged paths),
# starts the daemon (with the sample module) and the bare CivetWeb baseline on this machine, runs
# every scenario in turn and writes
#   bench/results/latest.md   the table (daemon figures as ratios to the baseline), targets met or not
#   bench/results/latest.png  latency percentiles and throughput per scenario, GET_RESULT, memory
#   bench/results/latest.raw  every measurement as key=value lines (not committed)
# and, after a full run, refreshes the results section of BENCHMARKS.md.
#
#   bench/run.sh [--quick] [--build-dir DIR] [--no-build] [--no-doc] [--shared-net]
#
# --quick       short smoke run (about a minute); writes bench/results/quick.* and leaves BENCHMARKS.md alone
# --build-dir   build directory (default: build-bench at the repository root)
# --no-build    use the binaries already in the build directory
# --no-doc      do not touch BENCHMARKS.md
# --shared-net  measure on the machine's own loopback instead of a private network namespace
#
# The measurements run in a private network namespace with its own loopback interface (when
# `unshare --net` is allowed, as for root), so that other servers on the machine cannot hold the
# daemon's ports 4441-4445 or the baseline's 5441. Nothing else should be running on the machine
# meanwhile: the report states the load average. All traffic stays on 127.0.0.1 and every load is
# bounded in time or count.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ARGS=("$@")
QUICK=0
BUILD="$ROOT/build-bench"
DO_BUILD=1
DO_DOC=1
NETNS=auto
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) QUICK=1 ;;
    --build-dir) BUILD=$(realpath -m "$2"); shift ;;
    --no-build) DO_BUILD=0 ;;
    --no-doc) DO_DOC=0 ;;
    --shared-net) NETNS=no ;;
    --in-netns) NETNS=inside ;;  # internal: this process runs in the private namespace
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

DPORT=4441
BPORT=5441
EXPECT='"status": "TRUE"'
if [ "$QUICK" = 1 ]; then
    NAME=quick; REPS=1; DUR=2; WARM=0.5; WRK_DUR=2; IDLE_S=5; STARTS=2
    RSS_REQ=10000; RSS_ORIGINS=100; GR_SIZES=1,100,1000; GR_SAMPLES=500
    DO_DOC=0
else
    NAME=latest; REPS=3; DUR=4; WARM=0.5; WRK_DUR=4; IDLE_S=60; STARTS=5
    RSS_REQ=100000; RSS_ORIGINS=1000; GR_SIZES=1,100,1000,10000; GR_SAMPLES=3000
fi
RESULTS_DIR="$ROOT/bench/results"
OUT_MD="$RESULTS_DIR/$NAME.md"
OUT_PNG="$RESULTS_DIR/$NAME.png"
OUT_RAW="$RESULTS_DIR/$NAME.raw"

die() { echo "run.sh: $*" >&2; exit 1; }
note() { echo "[bench $(date +%H:%M:%S)] $*" >&2; }
for tool in wrk gnuplot ss ip awk cmake; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/install-deps.sh installs it)"
done

# ---------------------------------------------------------------------------------------------
# Build
if [ "$DO_BUILD" = 1 ]; then
    note "building in $BUILD (Release, staged paths)"
    mkdir -p "$BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DNV_TEST_PATHS=ON -DNV_BUILD_TESTS=OFF \
        -DNV_BUILD_BENCH=ON >"$BUILD/bench-configure.log" 2>&1 ||
        { cat "$BUILD/bench-configure.log" >&2; die "configure failed"; }
    cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/bench-build.log" 2>&1 ||
        { tail -40 "$BUILD/bench-build.log" >&2; die "build failed"; }
fi
# Measure in a private network namespace: build first (above), then run this script again inside
# one, without building.
if [ "$NETNS" = auto ]; then
    if unshare --net true 2>/dev/null; then
        note "measuring in a private network namespace"
        exec unshare --net "$0" "${ARGS[@]}" --no-build --in-netns
    fi
    note "warning: no private network namespace (unshare --net refused); measuring on the shared loopback"
elif [ "$NETNS" = inside ]; then
    ip link set lo up || die "cannot bring up the loopback interface of the private namespace"
fi

DAEMON_BIN="$BUILD/daemon/NorrimVelstraSvc"
LOAD="$BUILD/bench/nv_bench_load"
BASE="$BUILD/bench/nv_bench_baseline"
PEERCHECK="$BUILD/bench/nv_bench_peercheck"
for f in "$DAEMON_BIN" "$LOAD" "$BASE" "$PEERCHECK"; do
    [ -x "$f" ] || die "$f is missing (build first, or drop --no-build)"
done

RAW=$(mktemp -d "${TMPDIR:-/tmp}/nv-bench.XXXXXX")
RES="$RAW/results.txt"
: >"$RES"
DAEMON_PID=""
BASE_PID=""

# ---------------------------------------------------------------------------------------------
# Processes
# listen_pid and wait_listen
source "$ROOT/bench/lib.sh"

wait_gone() {  # pid
    local i
    for i in $(seq 1 100); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
}

# The daemon takes the first free port of 4441-4445. Ours is the listener whose command line
# holds our temporary home directory (other daemons may run on the machine).
find_daemon() {  # HOME -> DAEMON_PID, DPORT
    local i p pid
    for i in $(seq 1 200); do
        for p in 4441 4442 4443 4444 4445; do
            pid=$(listen_pid "$p")
            if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "-H $1 "; then
                DAEMON_PID=$pid
                DPORT=$p
                return 0
            fi
        done
        sleep 0.05
    done
    return 1
}

first_free_port() {  # FROM TO
    local p
    for p in $(seq "$1" "$2"); do
        if [ -z "$(ss -Hltn "sport = :$p")" ]; then echo "$p"; return 0; fi
    done
    return 1
}

start_daemon() {
    local home
    home=$(mktemp -d "$RAW/home.XXXXXX")
    # The first process forks and ends at once; the child serves.
    "$DAEMON_BIN" -H "$home" -S >>"$RAW/daemon.log" 2>&1 || die "the daemon did not start"
    find_daemon "$home" || die "the daemon does not listen (see $RAW/daemon.log)"
}

stop_daemon() {
    if [ -n "$DAEMON_PID" ]; then
        kill -INT "$DAEMON_PID" 2>/dev/null || true
        wait_gone "$DAEMON_PID"
        DAEMON_PID=""
    fi
}

start_baseline() {
    # In a session of its own, as the daemon is (its serving child calls setsid): with the kernel's
    # autogroup scheduling each session is one scheduling group, so a baseline left in the load
    # generator's session would share that group's CPU share and be measured under other terms.
    # setsid execs in place here (a background job is no group leader), so $! is the baseline.
    setsid "$BASE" --port "$BPORT" --reply-file "$RAW/daemon-reply.raw" >>"$RAW/baseline.log" 2>&1 &
    BASE_PID=$!
    wait_listen "$BPORT" >/dev/null || die "the baseline does not listen on $BPORT (see $RAW/baseline.log)"
}

stop_baseline() {
    if [ -n "$BASE_PID" ]; then
        kill -TERM "$BASE_PID" 2>/dev/null || true
        wait "$BASE_PID" 2>/dev/null || true
        BASE_PID=""
    fi
}

cleanup() {
    local rc=$?
    stop_daemon
    stop_baseline
    if [ "$rc" = 0 ]; then
        rm -rf "$RAW"
    else
        rm -rf "$RAW"/home.*
        note "failed; logs and raw data kept in $RAW"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# utime + stime of a process, in clock ticks (the command name may hold blanks: cut after ')').
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13}'; }
TICK=$(getconf CLK_TCK)
now() { date +%s.%N; }

# Runs one measurement and appends its line to the results:
#   measure SCENARIO SERVER PID TOOL COMMAND...
measure() {
    local scen=$1 server=$2 pid=$3 tool=$4
    shift 4
    local c0 c1 t0 t1 out rc=0
    c0=$(cpu_ticks "$pid")
    t0=$(now)
    if [ "$tool" = wrk ]; then
        # bash's own time keyword gives wrk's user and system CPU time.
        local TIMEFORMAT='%U %S'
        { time "$@" >"$RAW/wrk.out" 2>>"$RAW/wrk.log"; } 2>"$RAW/time.txt" || rc=$?
        out="$(grep '^mode=' "$RAW/wrk.out" || true) client_cpu_s=$(tail -n1 "$RAW/time.txt" | awk '{print $1 + $2}')"
        grep -q '^mode=' "$RAW/wrk.out" || out=""
    else
        out=$("$@" 2>>"$RAW/load.log") || rc=$?
    fi
    t1=$(now)
    c1=$(cpu_ticks "$pid")
    [ -n "$out" ] || die "no result from: $* (exit $rc)"
    echo "scenario=$scen server=$server tool=$tool rc=$rc $(awk -v a="$c0" -v b="$c1" -v t="$TICK" -v w0="$t0" -v w1="$t1" \
        'BEGIN { printf "server_cpu_s=%.3f wall_s=%.3f", (b - a) / t, w1 - w0 }') $out" >>"$RES"
    tail -n1 "$RES" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^(scenario|server|tool|rps|p50_us|p99_us|errors|expect_misses)=/) printf "%s ", $i; print "" }' >&2
}

# ---------------------------------------------------------------------------------------------
# Checks before measuring. Other servers on the daemon's ports make the daemon take a later port
# (and disturb the figures); the run goes on but the report says so.
BUSY=""
for p in 4441 4442 4443 4444 4445; do
    [ -z "$(ss -Hltn "sport = :$p")" ] || BUSY="$BUSY $p"
done
[ -z "$BUSY" ] || note "warning: port(s)$BUSY already in use: the daemon takes a later port and the start-up includes its 100 ms pauses"
BPORT=$(first_free_port 5441 5449) || die "no free port for the baseline in 5441-5449"
echo "scenario=env busy_ports=$(echo $BUSY | tr ' ' ',') baseline_port=$BPORT load_start=$(cut -d' ' -f1 /proc/loadavg) netns=$([ "$NETNS" = inside ] && echo private || echo shared)" >>"$RES"

note "raw data in $RAW"
start_daemon
# The baseline answers with exactly the bytes the daemon sends for the same request.
"$LOAD" http --port "$DPORT" --requests 1 --dump "$RAW/daemon-reply.raw" --expect "$EXPECT" --strict >/dev/null ||
    die "the daemon does not answer a module call with status TRUE (is the sample module staged?)"
start_baseline

# ---------------------------------------------------------------------------------------------
# Throughput and latency: closed-loop clients, the two servers measured alternately REPS times.
LD="--duration $DUR --warmup $WARM"
# The baseline's HTTP reply is the daemon's captured reply, so both servers' replies are checked for
# the same text and the generator does the same work for both. The baseline echoes WebSocket
# frames, so its frames are not checked.
scenario() {  # NAME LOAD-ARGS...
    local scen=$1
    shift
    local r bexpect=()
    [ "$1" = ws ] || bexpect=(--expect "$EXPECT")
    for r in $(seq 1 "$REPS"); do
        measure "$scen" daemon "$DAEMON_PID" nvload "$LOAD" "$@" --port "$DPORT" $LD --expect "$EXPECT"
        measure "$scen" baseline "$BASE_PID" nvload "$LOAD" "$@" --port "$BPORT" $LD "${bexpect[@]}"
    done
}
note "HTTPS POST, keep-alive"
scenario ka1 http --conns 1
scenario ka16 http --conns 16 --threads 2
# wrk as the second, independent generator for the keep-alive throughput, alternating as well.
WRK_SCRIPT="$ROOT/bench/wrk/post.lua"
wrk_scenario() {  # NAME WRK-ARGS...
    local scen=$1
    shift
    local r
    for r in $(seq 1 "$REPS"); do
        measure "$scen" daemon "$DAEMON_PID" wrk wrk "$@" -d"${WRK_DUR}s" --timeout 10s -s "$WRK_SCRIPT" \
            "https://127.0.0.1:$DPORT/" -- 64 "$EXPECT"
        measure "$scen" baseline "$BASE_PID" wrk wrk "$@" -d"${WRK_DUR}s" --timeout 10s -s "$WRK_SCRIPT" \
            "https://127.0.0.1:$BPORT/" -- 64 "$EXPECT"
    done
}
wrk_scenario ka1 -t1 -c1
wrk_scenario ka16 -t2 -c16
note "HTTPS POST, new TLS connection per request"
scenario hs http --new-conn --conns 4
note "WSS round trips"
scenario ws1 ws --conns 1
scenario ws20 ws --conns 20 --threads 2
stop_daemon

# ---------------------------------------------------------------------------------------------
# GET_RESULT against the number of parked results (a fresh daemon per layout).
note "GET_RESULT against the store size"
for spread in one many; do
    start_daemon
    "$LOAD" getresult --port "$DPORT" --sizes "$GR_SIZES" --samples "$GR_SAMPLES" --spread "$spread" --expect-hit \
        2>>"$RAW/load.log" | sed "s/^/scenario=getresult server=daemon tool=nvload /" >>"$RES" ||
        die "GET_RESULT run failed"
    stop_daemon
done
# The baseline has no store: the same exchange against it is the floor of one round trip.
"$LOAD" getresult --port "$BPORT" --sizes 1 --samples "$GR_SAMPLES" 2>>"$RAW/load.log" |
    sed "s/^/scenario=getresult server=baseline tool=nvload /" >>"$RES" || die "GET_RESULT run failed"
stop_baseline

# ---------------------------------------------------------------------------------------------
# Idle cost: both servers fresh, untouched for IDLE_S seconds, measured in the same window.
note "idle for ${IDLE_S}s"
start_daemon
start_baseline
sleep 2
"$LOAD" idle --pid "$DAEMON_PID" --pid "$BASE_PID" --seconds "$IDLE_S" --verbose 2>>"$RAW/idle-threads.txt" >"$RAW/idle.txt" ||
    die "idle measurement failed"
sed -n 1p "$RAW/idle.txt" | sed "s/^/scenario=idle server=daemon tool=nvload /" >>"$RES"
sed -n 2p "$RAW/idle.txt" | sed "s/^/scenario=idle server=baseline tool=nvload /" >>"$RES"

# ---------------------------------------------------------------------------------------------
# Resident memory: idle, then RSS_REQ module calls from RSS_ORIGINS origins (results not parked),
# the same load again and a third time, then one parked result per origin and key (10 per origin),
# and that again. The loads use 25 connections, one per worker thread, so that the first pass
# already reaches every worker: a worker's first request grows its allocator cache and arena
# once, and a pass that met some workers for the first time would count that as growth of the load.
note "resident memory"
memory_phase() {  # PHASE
    echo "scenario=rss server=daemon tool=nvload phase=$1 $("$LOAD" rss --pid "$DAEMON_PID")" >>"$RES"
    echo "scenario=rss server=baseline tool=nvload phase=$1 $("$LOAD" rss --pid "$BASE_PID")" >>"$RES"
}
memory_load() {  # PHASE LOAD-ARGS...
    local phase=$1
    shift
    measure "rssload-$phase" daemon "$DAEMON_PID" nvload "$LOAD" http --port "$DPORT" --conns 25 --threads 2 "$@" --expect "$EXPECT"
    measure "rssload-$phase" baseline "$BASE_PID" nvload "$LOAD" http --port "$BPORT" --conns 25 --threads 2 "$@" --expect "$EXPECT"
    sleep 1
    memory_phase "$phase"
}
memory_phase idle
memory_load calls1 --requests "$RSS_REQ" --origins "$RSS_ORIGINS" --ids $((RSS_REQ / RSS_ORIGINS))
memory_load calls2 --requests "$RSS_REQ" --origins "$RSS_ORIGINS" --ids $((RSS_REQ / RSS_ORIGINS))
memory_load calls3 --requests "$RSS_REQ" --origins "$RSS_ORIGINS" --ids $((RSS_REQ / RSS_ORIGINS))
memory_load park1 --requests $((RSS_ORIGINS * 10)) --origins "$RSS_ORIGINS" --ids 10 --park
memory_load park2 --requests $((RSS_ORIGINS * 10)) --origins "$RSS_ORIGINS" --ids 10 --park
stop_daemon
stop_baseline

# ---------------------------------------------------------------------------------------------
# Start-up: from exec to the port completing a TLS handshake.
note "start-up"
# Other programs on the machine (tests of other builds) may hold 4441 for a moment: each start
# waits up to 15 s for it, and a start is only counted when the port probed is the port our daemon
# took (another server may have taken it in between).
attempts=0
i=0
while [ "$i" -lt "$STARTS" ]; do
    attempts=$((attempts + 1))
    [ "$attempts" -le $((STARTS * 3)) ] || die "no undisturbed start-up measurement after $attempts attempts"
    for w in $(seq 1 150); do
        [ -n "$(ss -Hltn "sport = :4441")" ] || break
        sleep 0.1
    done
    home=$(mktemp -d "$RAW/home.XXXXXX")
    probe=$(first_free_port 4441 4445) || die "no free port for the daemon"
    out=$("$LOAD" startup --port "$probe" --log "$RAW/daemon.log" -- "$DAEMON_BIN" -H "$home" -S 2>>"$RAW/load.log") ||
        die "daemon start-up failed"
    find_daemon "$home" || die "daemon not listening after start-up"
    stop_daemon
    if [ "$DPORT" = "$probe" ]; then
        echo "scenario=startup server=daemon tool=nvload $out" >>"$RES"
        i=$((i + 1))
    else
        note "start-up probe answered by another server on $probe; measuring again"
        continue
    fi
    out=$("$LOAD" startup --port "$BPORT" --log "$RAW/baseline.log" -- "$BASE" --port "$BPORT" --reply-file "$RAW/daemon-reply.raw" 2>>"$RAW/load.log") ||
        die "baseline start-up failed"
    echo "scenario=startup server=baseline tool=nvload $out" >>"$RES"
    BASE_PID=$(echo "$out" | sed -n 's/.*child_pid=\([0-9]*\).*/\1/p')
    stop_baseline
done

# ---------------------------------------------------------------------------------------------
# The peer-owner check the first request of every connection pays (sock_diag lookup, the /proc
# fallback, the whole decision), with 200 other loopback connections open as on a busy machine.
note "peer check"
"$PEERCHECK" $([ "$QUICK" = 1 ] && echo 5000 || echo 50000) 200 2>>"$RAW/load.log" | grep '^mode=peercheck' |
    sed "s/^/scenario=peercheck server=daemon tool=peercheck /" >>"$RES" || die "peer-check measurement failed"

# ---------------------------------------------------------------------------------------------
# Report
echo "scenario=env load_end=$(cut -d' ' -f1 /proc/loadavg)" >>"$RES"
note "writing $OUT_MD and $OUT_PNG"
mkdir -p "$RESULTS_DIR"
cp "$RES" "$OUT_RAW"
"$ROOT/bench/report.sh" "$RES" "$OUT_MD" "$OUT_PNG" "$QUICK"
if [ "$DO_DOC" = 1 ]; then
    "$ROOT/bench/report.sh" --update-doc "$OUT_MD" "$ROOT/BENCHMARKS.md"
fi
note "done"
