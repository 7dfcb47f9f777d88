#!/bin/sh
# Builds everything (warnings are errors) and runs all tests.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LLUPDATE_BUILD_DIR:-"$root/build"}
cmake -S "$root" -B "$build" -DLLUPDATE_WERROR=ON "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure
