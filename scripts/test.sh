#!/bin/sh
# Builds everything (warnings are errors) and runs all tests, in a build folder of its own
# (build-test), so that the demo's build in build/ stays as it is.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LLUPDATE_BUILD_DIR:-"$root/build-test"}
cmake -S "$root" -B "$build" -DLLUPDATE_WERROR=ON "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure
