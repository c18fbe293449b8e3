#!/usr/bin/env bash
# Sets up and runs the daemon on this machine: installs the Debian packages, builds in Release,
# installs the program, its compatibility libraries, the credentials tool and the sample module
# (cmake --install issues this installation's own root CA and credential file when none exist),
# then starts the daemon for the current user.
#   With a graphical session ($DISPLAY set) it runs the installation switch -I: the user's own root
#   CA and server certificate, that root into the user's NSS databases, autostart entry, daemon
#   started in the background.
#   Without one it starts the daemon with -A and shows how to reach it.
# Needs root for the install step (the install directory is /opt/TOLLAN/velstra).
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DNV_BUILD_TESTS=OFF
cmake --build build-release -j"$(nproc)"
$SUDO cmake --install build-release

dir=$(sed -n 's/^NV_INSTALL_DIR:PATH=//p' build-release/CMakeCache.txt)
prog="$dir/$(sed -n 's/^NV_PROGRAM_NAME:STRING=//p' build-release/CMakeCache.txt)"

# A daemon of this user started from the same path would make the new start end quietly (one
# instance per program path): stop it so the freshly built program serves.
if pkill -INT -u "$(id -u)" -f "^$prog( |$)"; then sleep 1; fi

if [ -n "${DISPLAY:-}" ]; then
  "$prog" -I
else
  "$prog" -A
fi

# This user's daemon, not another user's that may hold a port before it.
for _ in $(seq 50); do
  pid=$(pgrep -u "$(id -u)" -f "^$prog( |\$)" | head -n1 || true)
  if [ -n "$pid" ]; then
    port=$(ss -Htlnp 'sport >= :4441 and sport <= :4445' 2>/dev/null | grep "pid=$pid," | awk '{print $4}' |
      sed -n 's/^127\.0\.0\.1://p' | head -n1)
    [ -n "$port" ] && break
  fi
  sleep 0.1
done
if [ -z "${port:-}" ]; then
  echo "the daemon did not start listening on 4441-4445" >&2
  exit 1
fi
# The daemon serves the user's own credentials once -I has issued them (in the data directory of
# the home from the password database), the machine's otherwise.
home=$(getent passwd "$(id -u)" | cut -d: -f6)
case "${XDG_DATA_HOME:-}" in /*) data="$XDG_DATA_HOME" ;; *) data="$home/.local/share" ;; esac
own="$data/$(basename "$prog")"
root="$dir/vexrootcert.cer"
if [ -f "$own/vexwssc.dat" ] && [ -f "$own/vexrootcert.cer" ]; then root="$own/vexrootcert.cer"; fi
cat <<MSG
NorrimVelstraSvc serves on https://127.0.0.1:$port (root CA: $root)
  probe:    curl --cacert $root 'https://127.0.0.1:$port/?dmPortScan' -i
  request:  curl --cacert $root https://127.0.0.1:$port/ -H 'Origin: https://example.test' \\
              --data-urlencode 'request={"id":"1","tabid":"t1","origin":"https://example.test","callback":"cb","cmd":"echo"}'
  stop:     pkill -INT -u $(id -u) -f '^$prog'
  diagnose: $dir/nv-doctor    (why a page does not find the daemon)
MSG
