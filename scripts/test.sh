#!/bin/sh
# Builds everything (warnings are errors, container indexes checked) and runs the tests, in a
# build folder of its own (build-test), so that the demo's build in build/ stays as it is.
#   scripts/test.sh [--quick] [CMAKE OPTIONS...]
# --quick runs the unit and command-line tests only (the crash tests on a sample of their
# points), without the tests under Wine, the crash walk over every point, the power-cut,
# safety and install tests.
# Run as root on Debian, it first installs the packages it needs (scripts/packages.sh);
# otherwise it prints the command that would.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LLUPDATE_BUILD_DIR:-"$root/build-test"}
. "$root/scripts/packages.sh"
exclude=""
if [ "${1:-}" = "--quick" ]; then
  shift
  exclude="wine|crashwalk|powercut|safety|install"
fi
# shellcheck disable=SC2086
need_packages "building and testing llupdate" $LLUPDATE_PACKAGES_BUILD $LLUPDATE_PACKAGES_TEST
if [ -z "$exclude" ]; then
  # shellcheck disable=SC2086
  need_packages "the Windows server and its tests under Wine" $LLUPDATE_PACKAGES_WINDOWS ||
    echo "   (going on without them: the Windows server and its tests are left out)"
fi
cmake -S "$root" -B "$build" -DLLUPDATE_WERROR=ON -DLLUPDATE_CHECKED=ON "$@"
cmake --build "$build" -j2

# The slow suites, by the times of their last run here (else by what they take on two cores), so
# that nobody waits for minutes without a word.
costs="$build/Testing/Temporary/CTestCostData.txt"
slow=""
if [ -f "$costs" ]; then
  slow=$(awk '$3 >= 30 { printf "%s%s (about %d min)", (n++ ? ", " : ""), $1, ($3 + 30) / 60 }' "$costs")
fi
if [ -n "$exclude" ]; then
  echo "== the unit and command-line tests (about a minute)"
elif [ -n "$slow" ]; then
  echo "== all tests; the slow ones, as long as they took last time: $slow"
else
  echo "== all tests; the slow ones: wine_test, wine32_test and windows_dll32 under Wine (5 to 7"
  echo "   minutes each), crash_walk (about 3 minutes), power_cut_test, safety_test, records_test"
  echo "   and install_test (one or two minutes each); the others take seconds"
fi
log="$build/ctest.log"
if [ -n "$exclude" ]; then
  ctest --test-dir "$build" --output-on-failure -j2 -LE "$exclude" >"$log" 2>&1 &
else
  ctest --test-dir "$build" --output-on-failure -j2 >"$log" 2>&1 &
fi
tests=$!
tail -n +1 -f --pid="$tests" "$log" &
shower=$!
# Every minute, what still runs.
ticks=0
while kill -0 "$tests" 2>/dev/null; do
  sleep 2
  ticks=$((ticks + 1))
  if [ $((ticks % 30)) = 0 ]; then
    running=$(awk '/ Start +[0-9]+: /{ s[$NF] = 1 } / Test +#[0-9]+: /{ sub(/ .*/, "", $4); delete s[$4] }
      END { for (t in s) printf "%s%s", (n++ ? ", " : ""), t }' "$log")
    [ -n "$running" ] && echo "-- $((ticks / 30)) min: still running: $running"
  fi
done
status=0
wait "$tests" || status=$?
wait "$shower" 2>/dev/null || true
exit "$status"
