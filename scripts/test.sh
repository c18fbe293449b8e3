#!/usr/bin/env bash
# Runs every test: installs the Debian packages, then builds and runs the suite twice, once as a
# normal build with warnings as errors and once with AddressSanitizer + UndefinedBehaviorSanitizer.
# Both builds point the fixed install paths into their build trees (NV_TEST_PATHS=ON). Then the
# Debian package is built and checked. A file that differs from the house style (.clang-format)
# fails the run before anything is built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --browsers
scripts/check-format.sh

# The daemons of the tests look for a user's own credentials under $XDG_DATA_HOME when it is set:
# the tests give them temporary homes (-H), never the data directory of the session running them.
unset XDG_DATA_HOME

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DNV_TEST_PATHS=ON -DNV_WERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DNV_SANITIZE=ON
tests/packaging/check_package.sh build-pkg
echo "all tests passed"
