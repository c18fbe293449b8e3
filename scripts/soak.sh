#!/usr/bin/env bash
# Long soak of the daemon: builds the address-sanitizer (ASan + UBSan, LeakSanitizer) test build,
# starts its staged daemon in a temporary home on the fixed ports (127.0.0.1:4441-4445), runs the
# nv_soak client (20 clients mixing HTTPS calls, parked calls collected with GET_RESULT, repeated
# keys, WSS calls and probes, every answer checked) for ten minutes, then stops the daemon with
# SIGINT, which makes a sanitizer build run LeakSanitizer before it exits.
#
#   scripts/soak.sh [--build DIR] [--seconds N] [--clients N] [--out DIR] [--no-build]
#
#   --build DIR   build tree to use (default build-soak-asan; configured here when it does not exist)
#   --seconds N   length of the load (default 600)
#   --clients N   concurrent clients (default 20)
#   --out DIR     keep the figures there: summary.txt, samples.txt (RSS, threads and descriptors once
#                 a second) and the daemon's stderr
#   --no-build    use the build tree as it is
#
# Exit status 0 when every answer checked out, the daemon lived to the stop, ended after it and wrote
# no sanitizer report; 1 otherwise; 2 on bad arguments. The daemon is stopped by its
# process id on every exit path.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-soak-asan
seconds=600
clients=20
out=
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

if [ "$do_build" = 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DNV_TEST_PATHS=ON -DNV_WERROR=ON -DNV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  fi
  cmake --build "$build" -j2 --target NorrimVelstraSvc nv_sample_module nv_test_credentials nv_compat_ssl \
    nv_compat_crypto nv_soak
fi

program="$build/stage/opt/TOLLAN/velstra/NorrimVelstraSvc"
soak="$build/tests/hostile/nv_soak"
for f in "$program" "$soak"; do
  [ -x "$f" ] || { echo "not built: $f" >&2; exit 2; }
done

home=$(mktemp -d /tmp/nv-soak-XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  if [ -n "$out" ]; then
    mkdir -p "$out"
    cp "$home/stderr.txt" "$out/daemon-stderr.txt" 2>/dev/null || true
    cp "$home/samples.txt" "$out/samples.txt" 2>/dev/null || true
    cp "$home/summary.txt" "$out/summary.txt" 2>/dev/null || true
  fi
  rm -rf "$home"
}
trap cleanup EXIT

# LeakSanitizer is on by default with ASan on x86-64; say so anyway.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
"$program" -H "$home" -S >"$home/stdout.txt" 2>"$home/stderr.txt"

# The serving child: the process whose command line names this temporary home.
for _ in $(seq 1 100); do
  for d in /proc/[0-9]*; do
    cmd=$(tr '\0' ' ' <"$d/cmdline" 2>/dev/null || true)
    if [[ $cmd == "$program -H $home -S"* ]]; then pid=${d#/proc/}; fi
  done
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "the daemon did not start:" >&2; cat "$home/stderr.txt" >&2; exit 1; }
# nv_soak waits until the daemon listens and finds its port from the daemon's sockets.

status=0
"$soak" --pid "$pid" --clients "$clients" --seconds "$seconds" --samples "$home/samples.txt" \
  | tee "$home/summary.txt" || status=1

if ! kill -0 "$pid" 2>/dev/null; then
  echo "the daemon is gone before the stop" | tee -a "$home/summary.txt"
  status=1
else
  rss_end=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
  kill -INT "$pid"
  for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "the daemon did not stop within 60 s" | tee -a "$home/summary.txt"
    status=1
  else
    pid=
    echo "daemon stopped (RSS before the stop: ${rss_end} kB)" | tee -a "$home/summary.txt"
  fi
fi

if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error:' "$home/stderr.txt"; then
  echo "sanitizer report:" | tee -a "$home/summary.txt"
  head -60 "$home/stderr.txt" | tee -a "$home/summary.txt"
  status=1
else
  echo "no sanitizer report (address-sanitizer builds run LeakSanitizer at the stop)" | tee -a "$home/summary.txt"
fi
[ "$status" = 0 ] && echo "soak passed" | tee -a "$home/summary.txt" || echo "soak FAILED" | tee -a "$home/summary.txt"
exit "$status"
