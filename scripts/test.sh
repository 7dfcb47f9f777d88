#!/bin/sh
# Builds everything (warnings are errors, container indexes checked) and runs the tests, in a
# build folder of its own (build-test), so that the demo's build in build/ stays as it is.
#   scripts/test.sh [--quick] [CMAKE OPTIONS...]
# --quick runs the unit and command-line tests only (the crash tests on a sample of their
# points), without the tests under Wine, the crash walk over every point, the power-cut,
# safety and install tests.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LLUPDATE_BUILD_DIR:-"$root/build-test"}
exclude=""
if [ "${1:-}" = "--quick" ]; then
  shift
  exclude="wine|crashwalk|powercut|safety|install"
fi
cmake -S "$root" -B "$build" -DLLUPDATE_WERROR=ON -DLLUPDATE_CHECKED=ON "$@"
cmake --build "$build" -j2
if [ -n "$exclude" ]; then
  ctest --test-dir "$build" --output-on-failure -j2 -LE "$exclude"
else
  ctest --test-dir "$build" --output-on-failure -j2
fi
