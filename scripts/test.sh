#!/usr/bin/env bash
# Runs every test: installs the Debian packages, then builds and runs the suite twice, once as a
# normal build with warnings as errors and once with AddressSanitizer + UndefinedBehaviorSanitizer.
# Both builds point the fixed install paths into their build trees (NV_TEST_PATHS=ON). Then a
# ThreadSanitizer build runs the tests of the concurrent code (tasks, protocol, bridge, server) and
# a short soak of the daemon, with the third-party races of tests/tsan.supp kept out. Then the
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

# ThreadSanitizer: a report fails the executable (exit status 66) or the soak.
cmake -S . -B build-tsan -DNV_TEST_PATHS=ON -DNV_WERROR=ON -DNV_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-tsan -j"$jobs" --target tasks_tests protocol_tests bridge_tests server_tests \
  NorrimVelstraSvc nv_sample_module nv_test_credentials nv_compat_ssl nv_compat_crypto nv_soak
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1 exitcode=66"
for t in tasks/tasks_tests protocol/protocol_tests bridge/bridge_tests server/server_tests; do
  (cd "build-tsan/tests/${t%/*}" && "./${t#*/}" --gtest_brief=1)
done
scripts/soak.sh --build build-tsan --no-build --seconds 30
unset TSAN_OPTIONS
tests/packaging/check_package.sh build-pkg
echo "all tests passed"
