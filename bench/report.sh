#!/usr/bin/env bash
# Turns the key=value measurements written by bench/run.sh into the results table (Markdown) and
# the plot (PNG, gnuplot), and copies a table into BENCHMARKS.md.
#
#   bench/report.sh RESULTS OUT.md OUT.png QUICK(0|1)
#   bench/report.sh --update-doc RESULTS.md BENCHMARKS.md
set -euo pipefail

if [ "${1:-}" = --update-doc ]; then
    md=$2
    doc=$3
    grep -q '<!-- bench-results:begin -->' "$doc" || { echo "report.sh: no results markers in $doc" >&2; exit 1; }
    tmp=$(mktemp)
    # The table's own title is dropped; its plot is referred to from the repository root.
    awk -v md="$md" '
        /<!-- bench-results:begin -->/ {
            print
            while ((getline line < md) > 0) {
                if (line ~ /^# /) continue
                if (line ~ /^## /) line = "#" line
                gsub(/\]\(latest\.png\)/, "](bench/results/latest.png)", line)
                print line
            }
            skip = 1
            next
        }
        /<!-- bench-results:end -->/ { skip = 0 }
        !skip { print }
    ' "$doc" >"$tmp"
    cat "$tmp" >"$doc"
    rm -f "$tmp"
    exit 0
fi

RES=$1
OUT_MD=$2
OUT_PNG=$3
QUICK=$4
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Values of KEY over the result lines whose fields match every FIELD=VALUE filter.
get() {
    local key=$1
    shift
    awk -v key="$key" -v filt="$*" '
        BEGIN { n = split(filt, fs, " ") }
        {
            delete f
            for (i = 1; i <= NF; i++) { p = index($i, "="); if (p) f[substr($i, 1, p - 1)] = substr($i, p + 1) }
            ok = 1
            for (j = 1; j <= n; j++) { p = index(fs[j], "="); if (f[substr(fs[j], 1, p - 1)] != substr(fs[j], p + 1)) ok = 0 }
            if (ok && (key in f)) print f[key]
        }' "$RES"
}
# Median of those values ("nan" when there are none).
med() {
    get "$@" | sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
total() { get "$@" | awk '{ s += $1 } END { print s + 0 }'; }
maxof() { get "$@" | sort -g | tail -n1; }
# Arithmetic and formatting; any "nan" operand gives "n/a".
calc() { awk "BEGIN { print $1 }"; }
fmt() {  # FORMAT VALUE
    case "$2" in nan | "" | n/a) echo "n/a" ;; *) awk -v f="$1" -v v="$2" 'BEGIN { printf f, v }' ;; esac
}
ratio() {  # A B
    case "$1$2" in *nan* | *n/a*) echo "nan" ;; *) awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "nan" }' ;; esac
}
yesno() { if [ "$(awk "BEGIN { print ($1) ? 1 : 0 }")" = 1 ]; then echo yes; else echo "**no**"; fi; }
cond() {  # EXPR with nan guard on the listed values
    local expr=$1
    shift
    for v in "$@"; do case "$v" in nan | n/a | "") echo "n/a"; return ;; esac; done
    yesno "$expr"
}

# ---------------------------------------------------------------------------------------------
# Throughput and latency
declare -A LABEL=(
    [ka1]="HTTPS POST, keep-alive, 1 connection"
    [ka16]="HTTPS POST, keep-alive, 16 connections"
    [hs]="HTTPS POST, new TLS connection per request (4 clients)"
    [ws1]="WSS round trips, 1 connection"
    [ws20]="WSS round trips, 20 connections")
declare -A SHORT=([ka1]="POST 1 conn" [ka16]="POST 16 conns" [hs]="POST new conn" [ws1]="WSS 1 conn" [ws20]="WSS 20 conns")
declare -A UNIT=([ka1]="req/s" [ka16]="req/s" [hs]="req/s" [ws1]="msg/s" [ws20]="msg/s")
declare -A RATE_TARGET=([ka1]=0.85 [ka16]=0.85 [hs]=0.9 [ws1]=0.85 [ws20]=0.85)

TARGETS=()  # "target|result|met"
tp_rows=""
: >"$WORK/tp.dat"
: >"$WORK/lat.dat"
for s in ka1 ka16 hs ws1 ws20; do
    d_rps=$(med rps scenario=$s server=daemon tool=nvload)
    b_rps=$(med rps scenario=$s server=baseline tool=nvload)
    d50=$(med p50_us scenario=$s server=daemon tool=nvload)
    b50=$(med p50_us scenario=$s server=baseline tool=nvload)
    d99=$(med p99_us scenario=$s server=daemon tool=nvload)
    b99=$(med p99_us scenario=$s server=baseline tool=nvload)
    r=$(ratio "$d_rps" "$b_rps")
    r99=$(ratio "$d99" "$b99")
    met_rate=$(cond "$r >= ${RATE_TARGET[$s]}" "$r")
    target="≥ ${RATE_TARGET[$s]} ×"
    met=$met_rate
    if [ "$s" = ka1 ] || [ "$s" = ka16 ]; then
        target="$target; p99 ≤ 2 ×"
        met_p99=$(cond "$r99 <= 2" "$r99")
        met="rate $met_rate, p99 $met_p99"
        TARGETS+=("${LABEL[$s]}: p99 ≤ 2 × baseline|p99 $(fmt %.0f "$d99") µs vs $(fmt %.0f "$b99") µs ($(fmt %.2f "$r99") ×)|$met_p99")
    fi
    TARGETS+=("${LABEL[$s]}: rate ≥ ${RATE_TARGET[$s]} × baseline|$(fmt %.0f "$d_rps") vs $(fmt %.0f "$b_rps") ${UNIT[$s]} ($(fmt %.2f "$r") ×)|$met_rate")
    d_cpu=$(med server_cpu_s scenario=$s server=daemon tool=nvload)
    d_wall=$(med wall_s scenario=$s server=daemon tool=nvload)
    b_cpu=$(med server_cpu_s scenario=$s server=baseline tool=nvload)
    b_wall=$(med wall_s scenario=$s server=baseline tool=nvload)
    dc_cpu=$(med client_cpu_s scenario=$s server=daemon tool=nvload)
    bc_cpu=$(med client_cpu_s scenario=$s server=baseline tool=nvload)
    d_err=$(($(total errors scenario=$s server=daemon tool=nvload) + $(total timeouts scenario=$s server=daemon tool=nvload) + $(total expect_misses scenario=$s server=daemon tool=nvload)))
    b_err=$(($(total errors scenario=$s server=baseline tool=nvload) + $(total timeouts scenario=$s server=baseline tool=nvload)))
    tp_rows+="| ${LABEL[$s]} | $(fmt %.0f "$d_rps") ${UNIT[$s]} | $(fmt %.0f "$b_rps") ${UNIT[$s]} | $(fmt %.2f "$r") | $target | $met"
    tp_rows+=" | $(fmt %.0f "$d50") / $(fmt %.0f "$b50") | $(fmt %.0f "$d99") / $(fmt %.0f "$b99")"
    tp_rows+=" | $(fmt %.0f "$(calc "100 * $d_cpu / $d_wall")") / $(fmt %.0f "$(calc "100 * $b_cpu / $b_wall")")"
    tp_rows+=" | $(fmt %.0f "$(calc "100 * $dc_cpu / $d_wall")") / $(fmt %.0f "$(calc "100 * $bc_cpu / $b_wall")") | $d_err / $b_err |"$'\n'
    echo "\"${SHORT[$s]}\" $d_rps $b_rps" >>"$WORK/tp.dat"
    echo "\"${SHORT[$s]}\" $d50 $d99 $b50 $b99" >>"$WORK/lat.dat"
done
wrk_rows=""
for s in ka1 ka16; do
    d=$(med rps scenario=$s server=daemon tool=wrk)
    b=$(med rps scenario=$s server=baseline tool=wrk)
    de=$(($(total errors scenario=$s server=daemon tool=wrk) + $(total expect_misses scenario=$s server=daemon tool=wrk)))
    be=$(total errors scenario=$s server=baseline tool=wrk)
    dcpu=$(calc "100 * $(med client_cpu_s scenario=$s server=daemon tool=wrk) / $(med wall_s scenario=$s server=daemon tool=wrk)")
    bcpu=$(calc "100 * $(med client_cpu_s scenario=$s server=baseline tool=wrk) / $(med wall_s scenario=$s server=baseline tool=wrk)")
    wrk_rows+="| ${LABEL[$s]} | $(fmt %.0f "$d") req/s | $(fmt %.0f "$b") req/s | $(fmt %.2f "$(ratio "$d" "$b")") | $(fmt %.0f "$dcpu") / $(fmt %.0f "$bcpu") | $de / $be |"$'\n'
done

# ---------------------------------------------------------------------------------------------
# GET_RESULT against the store size
gr_rows=""
: >"$WORK/gr.dat"
sizes=$(get size scenario=getresult server=daemon spread=one | sort -g | uniq)
for n in $sizes; do
    o50=$(med p50_us scenario=getresult server=daemon spread=one size=$n)
    o99=$(med p99_us scenario=getresult server=daemon spread=one size=$n)
    m50=$(med p50_us scenario=getresult server=daemon spread=many size=$n)
    m99=$(med p99_us scenario=getresult server=daemon spread=many size=$n)
    mo=$(med origins scenario=getresult server=daemon spread=many size=$n)
    miss=$(($(total misses scenario=getresult server=daemon size=$n) + $(total failures scenario=getresult server=daemon size=$n)))
    gr_rows+="| $n | $(fmt %.1f "$o50") / $(fmt %.1f "$o99") | $(fmt %.0f "$mo") | $(fmt %.1f "$m50") / $(fmt %.1f "$m99") | $miss |"$'\n'
    echo "$n $o50 $o99 $m50 $m99" >>"$WORK/gr.dat"
done
first=$(echo "$sizes" | head -n1)
last=$(echo "$sizes" | tail -n1)
gb50=$(med p50_us scenario=getresult server=baseline)
gb99=$(med p99_us scenario=getresult server=baseline)
g1=$(ratio "$(med p99_us scenario=getresult server=daemon spread=one size=$last)" "$(med p99_us scenario=getresult server=daemon spread=one size=$first)")
g2=$(ratio "$(med p99_us scenario=getresult server=daemon spread=many size=$last)" "$(med p99_us scenario=getresult server=daemon spread=many size=$first)")
TARGETS+=("GET_RESULT p99 grows at most logarithmically with the store size (checked: p99 at $last ≤ 2 × p99 at $first)|one origin $(fmt %.2f "$g1") ×, 1,000 origins $(fmt %.2f "$g2") ×|$(cond "$g1 <= 2 && $g2 <= 2" "$g1" "$g2")")

# ---------------------------------------------------------------------------------------------
# Idle
idle_row() {  # SERVER
    local sv=$1
    echo "| $sv | $(med own_threads scenario=idle server=$sv) | $(fmt %.3f "$(med own_wakeups_per_s scenario=idle server=$sv)") | $(med civet_threads scenario=idle server=$sv) | $(fmt %.2f "$(med civet_wakeups_per_s scenario=idle server=$sv)") | $(fmt %.3f "$(med own_cpu_s scenario=idle server=$sv)") / $(fmt %.3f "$(med civet_cpu_s scenario=idle server=$sv)") | $(fmt %.1f "$(calc "$(med rss_kib scenario=idle server=$sv) / 1024")") | $(fmt %.1f "$(calc "$(med anon_kib scenario=idle server=$sv) / 1024")") |"
}
idle_s=$(med seconds scenario=idle server=daemon)
own_w=$(med own_wakeups_per_s scenario=idle server=daemon)
TARGETS+=("Idle: the daemon's own threads wake at most once per 10 s|$(fmt %.2f "$own_w") wake-ups/s over $(fmt %.0f "$idle_s") s|$(cond "$own_w <= 0.1" "$own_w")")

# ---------------------------------------------------------------------------------------------
# Memory
mib() { fmt %.1f "$(calc "$(med rss_kib scenario=rss server=$1 phase=$2) / 1024")"; }
kib() { med rss_kib scenario=rss server=$1 phase=$2; }
origins=$(med origins scenario=rssload-calls1 server=daemon)
[ "$origins" != nan ] || origins=$(get origins scenario=rssload-calls1 | head -n1)
d_idle=$(kib daemon idle)
d_c1=$(kib daemon calls1)
d_c2=$(kib daemon calls2)
d_c3=$(kib daemon calls3)
d_p1=$(kib daemon park1)
d_p2=$(kib daemon park2)
calls=$(total completed scenario=rssload-calls1 server=daemon)
parks=$(total completed scenario=rssload-park1 server=daemon)
mem_rows=""
: >"$WORK/mem.dat"
declare -A PHASE=(
    [idle]="idle after start"
    [calls1]="after module calls (results not parked)"
    [calls2]="after the same calls again"
    [calls3]="after the same calls a third time"
    [park1]="after parking results (10 per origin)"
    [park2]="after parking the same results again")
declare -A PSHORT=([idle]="idle" [calls1]="calls" [calls2]="calls again" [calls3]="calls 3rd" [park1]="parked" [park2]="parked again")
prev_d=""
prev_b=""
for ph in idle calls1 calls2 calls3 park1 park2; do
    dk=$(kib daemon $ph)
    bk=$(kib baseline $ph)
    dd=""
    bd=""
    [ -n "$prev_d" ] && dd="$(fmt %+.2f "$(calc "($dk - $prev_d) / 1024")")"
    [ -n "$prev_b" ] && bd="$(fmt %+.2f "$(calc "($bk - $prev_b) / 1024")")"
    mem_rows+="| ${PHASE[$ph]} | $(mib daemon $ph) | $dd | $(fmt %.1f "$(calc "$(med anon_kib scenario=rss server=daemon phase=$ph) / 1024")") | $(mib baseline $ph) | $bd |"$'\n'
    echo "\"${PSHORT[$ph]}\" $(calc "$dk / 1024") $(calc "$bk / 1024")" >>"$WORK/mem.dat"
    prev_d=$dk
    prev_b=$bk
done
TARGETS+=("Idle resident memory ≤ 10 MiB|$(mib daemon idle) MiB, of which $(fmt %.1f "$(calc "$(med anon_kib scenario=rss server=daemon phase=idle) / 1024")") MiB private (baseline $(mib baseline idle) MiB)|$(cond "$d_idle <= 10240" "$d_idle")")
TARGETS+=("No leak: the same load twice grows RSS by < 1 MiB the second time|calls $(fmt %+.2f "$(calc "($d_c2 - $d_c1) / 1024")") MiB (a third time $(fmt %+.2f "$(calc "($d_c3 - $d_c2) / 1024")") MiB), parked results $(fmt %+.2f "$(calc "($d_p2 - $d_p1) / 1024")") MiB|$(cond "$d_c2 - $d_c1 < 1024 && $d_p2 - $d_p1 < 1024" "$d_c2" "$d_p2")")
# The baseline grows under the same load (connection buffers, allocator arenas of the worker
# threads); what the daemon grows beyond that is its sessions.
b_idle=$(kib baseline idle)
b_c1=$(kib baseline calls1)
per_session=$(calc "(($d_c1 - $d_idle) - ($b_c1 - $b_idle)) / $origins")
per_result=$(calc "($d_p1 - $d_c3) * 1024 / ($origins * 10)")

# ---------------------------------------------------------------------------------------------
# Start-up
# The target holds "when 4441 is free": only starts on 4441 count for it. A start on a later port
# includes the daemon's 100 ms pause for every taken port before it.
st_d=$(med startup_ms scenario=startup server=daemon port=4441)
st_runs=$(get startup_ms scenario=startup server=daemon port=4441 | wc -l)
st_all=$(get startup_ms scenario=startup server=daemon | wc -l)
st_ports=$(get port scenario=startup server=daemon | sort -n | uniq -c | awk '{ printf "%s%s × %s", (NR > 1 ? ", " : ""), $1, $2 }')
st_b=$(med startup_ms scenario=startup server=baseline)
if [ "$st_runs" -gt 0 ]; then
    TARGETS+=("Start-up: exec to the port accepting TLS ≤ 100 ms when 4441 is free|median $(fmt %.1f "$st_d") ms (max $(fmt %.1f "$(maxof startup_ms scenario=startup server=daemon port=4441)") ms) over $st_runs starts on 4441|$(cond "$st_d <= 100" "$st_d")")
else
    TARGETS+=("Start-up: exec to the port accepting TLS ≤ 100 ms when 4441 is free|not measured: other servers held 4441 throughout (ports used: $st_ports)|n/a")
fi

# ---------------------------------------------------------------------------------------------
# Machine
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
mem=$(awk '/^MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo)
os=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME")
commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null | head -n1)
[ -z "$dirty" ] || commit="$commit (with uncommitted changes)"
reps=$(get rps scenario=ka1 server=daemon tool=nvload | wc -l)
dur=$(med elapsed_s scenario=ka1 server=daemon tool=nvload)
stamp=$(date -u '+%Y-%m-%d %H:%M UTC')
title="Benchmark results"
[ "$QUICK" = 1 ] && title="Benchmark results (quick smoke run: short runs, smaller loads; not for comparison)"

{
    echo "# $title"
    echo
    echo "Measured $stamp at commit $commit by \`bench/run.sh$([ "$QUICK" = 1 ] && echo " --quick")\`."
    echo "Machine: $cpu, $(nproc) cores, $mem GiB, $os, Linux $(uname -r); $(openssl version | cut -d' ' -f1-2), CivetWeb 1.15, $(wrk --version 2>&1 | head -n1 | cut -d' ' -f1-2)."
    if [ "$(get netns scenario=env | head -n1)" = private ]; then
        echo "Measured in a private network namespace (its own loopback, so no other server held the ports)."
    fi
    echo "Daemon and baseline share the machine with the load generator. Load average (1 min) when the run began:"
    echo "$(get load_start scenario=env | head -n1), when it ended: $(get load_end scenario=env | head -n1) (a run on a quiet machine begins near 0)."
    busy=$(get busy_ports scenario=env | head -n1)
    if [ -n "$busy" ]; then
        echo
        echo "**Warning:** other servers listened on port(s) $busy during this run; the daemon took a later port"
        echo "(its start-up then includes a 100 ms pause per taken port) and the other processes may have disturbed the figures."
    fi
    echo
    echo "## Targets"
    echo
    echo "| target | measured | met |"
    echo "|---|---|---|"
    for t in "${TARGETS[@]}"; do
        IFS='|' read -r a b c <<<"$t"
        echo "| $a | $b | $c |"
    done
    echo
    echo "## Throughput and latency"
    echo
    echo "Closed loop: every connection sends its next request when the previous reply has arrived."
    echo "Medians of $reps alternating runs per server, $(fmt %.0f "$dur") s each after a warm-up; latencies in µs; CPU in % of one core"
    echo "(200 % is the whole machine); errors count failed, timed-out and wrong replies (a daemon reply must carry status \"TRUE\")."
    echo
    echo "| scenario | daemon | baseline | ratio | target | met | p50 daemon / baseline | p99 daemon / baseline | server CPU % d / b | client CPU % d / b | errors d / b |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    printf '%s' "$tp_rows"
    echo
    echo "Second generator, wrk with bench/wrk/post.lua, alternating in the same way (throughput only; see BENCHMARKS.md on its"
    echo "latency figures):"
    echo
    echo "| scenario | daemon | baseline | ratio | wrk CPU % d / b | errors d / b |"
    echo "|---|---|---|---|---|---|"
    printf '%s' "$wrk_rows"
    echo
    echo "## GET_RESULT against the number of parked results"
    echo
    echo "One connection; each timed collection of a random parked result is followed by parking it again, so the store"
    echo "keeps its size. Latencies in µs; p50 and p99 are the medians over $(med batches scenario=getresult server=daemon) batches ($(med samples scenario=getresult server=daemon) samples in all),"
    echo "so that a burst of unrelated load during one batch does not decide the tail (the p99 over all samples is in the raw data)."
    echo "The baseline answers the same exchange in $(fmt %.1f "$gb50") / $(fmt %.1f "$gb99") µs (p50 / p99)."
    echo
    echo "| parked results | one origin p50 / p99 | origins | many origins p50 / p99 | misses |"
    echo "|---|---|---|---|---|"
    printf '%s' "$gr_rows"
    echo
    echo "## Idle"
    echo
    echo "Both servers fresh and untouched for $(fmt %.0f "$idle_s") s, measured in the same window. Wake-ups are voluntary context"
    echo "switches from /proc/<pid>/task/*/status; CivetWeb's threads are those it names \"civetweb-*\"."
    echo
    echo "| server | own threads | own wake-ups/s | CivetWeb threads | CivetWeb wake-ups/s | CPU s own / CivetWeb | RSS MiB | of which private (RssAnon) MiB |"
    echo "|---|---|---|---|---|---|---|---|"
    idle_row daemon
    idle_row baseline
    echo
    echo "## Resident memory"
    echo
    echo "$(fmt %.0f "$calls") module calls from $(fmt %.0f "$origins") origins (25 connections, one per worker thread), the same again and a"
    echo "third time, then $(fmt %.0f "$parks") parked results (use_getresult \"TRUE\", 10 per origin), the same again. The baseline gets the same"
    echo "requests."
    echo
    echo "| phase | daemon RSS MiB | change | daemon private (RssAnon) MiB | baseline RSS MiB | change |"
    echo "|---|---|---|---|---|---|"
    printf '%s' "$mem_rows"
    echo
    echo "The daemon's growth beyond the baseline's under the same calls, per origin session: $(fmt %.1f "$per_session") KiB;"
    echo "growth per parked result: $(fmt %.0f "$per_result") bytes."
    echo
    echo "## Start-up"
    echo
    echo "From exec of the program to the port completing a TLS handshake (the daemon forks first). Ports the daemon"
    echo "took: $st_ports (starts × port); a later port than 4441 adds the daemon's 100 ms pause per taken port before it."
    echo
    echo "| server | median ms | max ms | starts |"
    echo "|---|---|---|---|"
    echo "| daemon, on 4441 | $(fmt %.1f "$st_d") | $(fmt %.1f "$(maxof startup_ms scenario=startup server=daemon port=4441)") | $st_runs |"
    echo "| daemon, all starts | $(fmt %.1f "$(med startup_ms scenario=startup server=daemon)") | $(fmt %.1f "$(maxof startup_ms scenario=startup server=daemon)") | $st_all |"
    echo "| baseline | $(fmt %.1f "$st_b") | $(fmt %.1f "$(maxof startup_ms scenario=startup server=baseline)") | $(get startup_ms scenario=startup server=baseline | wc -l) |"
    echo
    echo "## Peer check"
    echo
    echo "Cost of the check that the client socket belongs to the daemon's user, paid by the first request of every connection, measured"
    echo "with $(fmt %.0f "$(med calls scenario=peercheck)") calls and $(fmt %.0f "$(med rows scenario=peercheck)") rows in the kernel's TCP table (200 other loopback connections open)."
    echo
    echo "| step | µs per call |"
    echo "|---|---|"
    echo "| sock_diag lookup of the socket's owner (the usual road) | $(fmt %.2f "$(med sockdiag_us scenario=peercheck)") |"
    echo "| the whole decision (lookup and comparison) | $(fmt %.2f "$(med decision_us scenario=peercheck)") |"
    echo "| /proc/net/tcp fallback (only when sock_diag cannot answer) | $(fmt %.2f "$(med table_us scenario=peercheck)") |"
    echo
    echo "For scale: the daemon's median keep-alive HTTPS round trip with one connection is $(fmt %.0f "$(med p50_us scenario=ka1 server=daemon tool=nvload)") µs."
    echo
    echo "![Benchmark plot](latest.png)" | sed "s/latest.png/$(basename "$OUT_PNG")/"
} >"$OUT_MD"

# ---------------------------------------------------------------------------------------------
# Plot
gnuplot <<EOF
set terminal pngcairo size 1400,1000 noenhanced font ",10"
set output "$OUT_PNG"
set multiplot layout 2,2 title "Daemon vs bare CivetWeb baseline, $stamp"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top right
set logscale y
set title "Throughput (requests or messages per second)"
plot "$WORK/tp.dat" using 2:xtic(1) title "daemon", '' using 3 title "baseline"
set title "Latency (microseconds)"
plot "$WORK/lat.dat" using 2:xtic(1) title "daemon p50", '' using 3 title "daemon p99", \
     '' using 4 title "baseline p50", '' using 5 title "baseline p99"
set style data linespoints
set logscale x
set xlabel "parked results"
set title "GET_RESULT latency against the store size (microseconds)"
set key top left
plot "$WORK/gr.dat" using 1:2 title "one origin p50", '' using 1:3 title "one origin p99", \
     '' using 1:4 title "many origins p50", '' using 1:5 title "many origins p99"
unset logscale
unset xlabel
set style data histograms
set yrange [0:*]
set key top left
set title "Resident memory (MiB)"
plot "$WORK/mem.dat" using 2:xtic(1) title "daemon", '' using 3 title "baseline"
unset multiplot
EOF
