#!/usr/bin/env bash
# Takes the screenshot of the demo page shown in the README: a scripted run of web/demo/ in
# headless Chromium against the staged daemon of a test build (installed with -I in a temporary
# home), captured over the DevTools pipe once the run has finished.
#   tests/browser/screenshot.sh [build-dir] [output.png]
# Defaults: build-test and docs/images/demo.png. The build directory must be configured with
# -DNV_TEST_PATHS=ON; the targets the run needs are built first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-test}
out=${2:-$root/docs/images/demo.png}

cache="$build/CMakeCache.txt"
if [ ! -f "$cache" ]; then
  echo "screenshot.sh: $build is not a configured build directory" >&2
  exit 2
fi
value() { sed -n "s/^$1:[A-Z]*=//p" "$cache" | head -n1; }
if [ "$(value NV_TEST_PATHS)" != "ON" ]; then
  echo "screenshot.sh: $build is not a test build (configure it with -DNV_TEST_PATHS=ON)" >&2
  exit 2
fi

cmake --build "$build" -j2 --target nv_browser_test_deps
mkdir -p "$(dirname "$out")"
exec python3 "$here/browser_test.py" screenshot \
  --daemon "$(value NV_INSTALL_DIR)/$(value NV_PROGRAM_NAME)" \
  --root-cert-name "$(value NV_ROOT_CERT_FILE_NAME)" \
  --web-dir "$root/web" \
  --out "$out"
