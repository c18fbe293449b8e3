#!/usr/bin/env bash
# The package on a real machine: installs the .deb with dpkg, creates a new user with a home, and
# runs that user's graphical logins through a real XDG autostart runner (dex under Xvfb). The
# first login must issue the user's own credentials, register their root CA (not the machine's),
# write the user's own entry and start exactly one daemon serving the user's own certificate;
# a later login must start no second one. Then upgrade, removal and purge, asserting what is left
# each time. Needs root and a machine without an installation of its own (it is left as found:
# the user, its files and the package are removed at the end, pass or fail).
#   tests/packaging/first_login_test.sh <package.deb>
set -euo pipefail
deb=$(realpath "$1")
pkg=norrim-velstra
dir=/opt/TOLLAN/velstra
program=$dir/NorrimVelstraSvc
system_entry=/etc/xdg/autostart/NorrimVelstra.desktop
nickname="Tollan Root Authority - Velstra"

if [ "$(id -u)" != 0 ]; then echo "first-login test skipped: it installs the package, which needs root"; exit 0; fi
if dpkg -s "$pkg" >/dev/null 2>&1 || [ -e /opt/TOLLAN ] || [ -e /usr/share/Quarn ] || [ -e "$system_entry" ]; then
  echo "first-login test skipped: this machine has an installation of its own, which the test must not touch"
  exit 0
fi
for tool in dex Xvfb certutil curl ss pgrep openssl; do
  command -v "$tool" >/dev/null || { echo "first-login test failed: $tool is missing" >&2; exit 1; }
done

user=nvpkg$$
home=$(mktemp -d /tmp/nv-pkg-home.XXXXXX)
displayfile=$(mktemp)
installed=0
xvfb=
cleanup() {
  pkill -KILL -u "$user" 2>/dev/null || true
  userdel -f "$user" 2>/dev/null || true
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -rf "$home" "$displayfile"
  if [ "$installed" = 1 ]; then dpkg --purge "$pkg" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
fail() { echo "first-login test failed: $*" >&2; exit 1; }

# Waits (at most 60 s) until the command succeeds.
wait_until() {
  for _ in $(seq 600); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
# The user's daemons: processes of the user started from the program path.
daemons() { pgrep -u "$user" -f "^$program( |\$)" || true; }
# The port on which exactly one daemon of the user listens (fails when there is none or several).
serving_port() {
  local pid
  pid=$(daemons)
  [ -n "$pid" ] && [ "$(wc -w <<<"$pid")" = 1 ] || return 1
  ss -Htlnp 'sport >= :4441 and sport <= :4445' | grep "pid=$pid," | sed -E 's/.*127\.0\.0\.1:([0-9]+).*/\1/' | grep .
}
ca_registered() { certutil -L -d "sql:$home/.pki/nssdb" | grep -F "$nickname" | grep -q 'CT,,'; }
no_autostart_start_running() { ! pgrep -u "$user" -f "^$program -A" >/dev/null; }
# One graphical login of the user: the session's XDG autostart run on the test's X display. The
# runner starts the entries' programs and returns; the test waits for what they do.
login() {
  runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin \
    DISPLAY="$display" XDG_CONFIG_DIRS=/etc/xdg dex -a "$@"
}
# The user's own credentials, issued by the first login's -I.
own=$home/.local/share/NorrimVelstraSvc
# The probe's HTTP status, trusting only the root CA file $2 (000 when TLS fails).
probe_as_user() {
  runuser -u "$user" -- curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert "$2" \
    "https://127.0.0.1:$1/?dmPortScan" || true
}
fingerprint() { openssl x509 -noout -fingerprint -sha256; }

# The desktop's display: an X server on the first free display number.
Xvfb -displayfd 9 -ac -nolisten tcp 9>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
wait_until test -s "$displayfile" || fail "Xvfb did not start"
display=:$(head -1 "$displayfile")

installed=1
dpkg -i "$deb" >/dev/null
[ -x "$program" ] || fail "program not installed"
[ -s "$dir/vexwssc.dat" ] || fail "postinst issued no credentials"
[ -f "$system_entry" ] || fail "no system autostart entry"
grep -qx "Exec=$program -I" "$system_entry" || fail "the system entry does not run the installation"
useradd -d "$home" -s /bin/sh "$user"
chown "$user:" "$home"
chmod 0700 "$home"

# First login: the system entry runs -I.
first=$(login -d 2>&1)
grep -qx "Executing command: $program -I" <<<"$first" || fail "the first login would not run the installation: $first"
login >/dev/null 2>&1 || fail "the first login's autostart run failed"
wait_until serving_port || fail "no single daemon of $user serving (processes: $(daemons | tr '\n' ' '))"
port=$(serving_port)
wait_until ca_registered || fail "root CA not in $home/.pki/nssdb with its trust flags"
[ "$(stat -c %a "$own")" = 700 ] || fail "$own is not private"
for f in vexwssc.dat vexrootcert.cer; do
  [ "$(stat -c %a:%U "$own/$f")" = "600:$user" ] || fail "$own/$f is not the user's private file"
done
registered=$(certutil -L -d "sql:$home/.pki/nssdb" -n "$nickname" -a | fingerprint)
[ "$registered" = "$(fingerprint <"$own/vexrootcert.cer")" ] || fail "the registered root CA is not the user's own"
[ "$registered" != "$(fingerprint <"$dir/vexrootcert.cer")" ] || fail "the user's root CA is the machine's"
printf '%s\n' '[Desktop Entry]' 'Type=Application' "Exec=$program -A" 'Hidden=false' 'NoDisplay=true' \
  'X-GNOME-Autostart-enabled=true' 'Name=NorrimVelstraSvc' 'Comment=Norrim Velstra daemon handler' >"$home/expected"
wait_until cmp -s "$home/expected" "$home/.config/autostart/NorrimVelstra.desktop" ||
  fail "the user's entry is not the eight lines"
[ "$(probe_as_user "$port" "$own/vexrootcert.cer")" = 200 ] || fail "the user's daemon does not answer the probe on $port"
[ "$(probe_as_user "$port" "$dir/vexrootcert.cer")" = 000 ] || fail "the user's daemon serves the machine's certificate"
first_pid=$(daemons)
# The installed diagnostics tool, run by the user, finds nothing wrong after the first login.
doctor=$(runuser -u "$user" -- "$dir/nv-doctor" 2>&1) || fail "nv-doctor finds a problem after the first login: $doctor"
grep -q "^\[ OK \] daemon: running, pid $first_pid, $program" <<<"$doctor" || fail "nv-doctor does not name the daemon: $doctor"

# Later login: the user's own entry hides the system one and runs -A, which starts no second daemon
# (a daemon it forked would keep the -A command line, so the wait below would fail).
later=$(login -d 2>&1)
grep -qx "Executing command: $program -A" <<<"$later" || fail "a later login would not run the user's entry: $later"
if grep -q -- "$program -I" <<<"$later"; then fail "the system entry is not hidden by the user's: $later"; fi
login >/dev/null 2>&1 || fail "the later login's autostart run failed"
wait_until no_autostart_start_running || fail "the later login's start did not end: $(pgrep -a -u "$user" -f "$program")"
[ "$(daemons)" = "$first_pid" ] || fail "a later login changed the daemons: $(daemons | tr '\n' ' ')"
[ "$(serving_port)" = "$port" ] || fail "the daemon moved"

# Upgrade (the same package again): the machine's credentials stay, the system entry stays.
sums=$(sha256sum "$dir/vexwssc.dat" "$dir/vexrootcert.cer")
dpkg -i "$deb" >/dev/null
[ "$(sha256sum "$dir/vexwssc.dat" "$dir/vexrootcert.cer")" = "$sums" ] || fail "the upgrade replaced the credentials"
[ -f "$system_entry" ] || fail "the upgrade lost the system entry"

# Removal: no system entry is left behind; the generated credentials stay until purge.
pkill -KILL -u "$user" || true
dpkg -r "$pkg" >/dev/null
[ ! -e "$system_entry" ] || fail "removal left the system entry"
[ ! -e "$program" ] || fail "removal left the program"
[ -e "$dir/vexwssc.dat" ] || fail "removal took the credentials (purge does that)"

# Purge: everything the package or its scripts made is gone.
dpkg --purge "$pkg" >/dev/null
installed=0
for left in /opt/TOLLAN /usr/share/Quarn /usr/share/doc/$pkg /usr/share/$pkg /var/lib/$pkg "$system_entry"; do
  [ ! -e "$left" ] || fail "purge left $left"
done
echo "first-login test OK: daemon on $port, one per user across logins; upgrade, removal and purge clean"
