# Shell helpers the benchmark scripts share; sourced, not run.

# The pid of the process listening on a TCP port of this network namespace, or nothing.
listen_pid() { ss -Hltnp "sport = :$1" 2>/dev/null | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n1; }

# Waits up to 10 s for a listener on the port and prints its pid; fails when none comes.
wait_listen() {
    local i pid
    for i in $(seq 1 200); do
        pid=$(listen_pid "$1")
        if [ -n "$pid" ]; then echo "$pid"; return 0; fi
        sleep 0.05
    done
    return 1
}
