#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each from its seed corpus:
#   fuzz.sh [SECONDS]    for SECONDS each (default 20), from a new random seed every time
#   fuzz.sh --runs N     N inputs each from seed 1: bounded and repeatable (for CI)
# New inputs go to a scratch directory; the corpora in fuzz/corpus stay as they are.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --runs ]; then
  limit="-runs=${2:?--runs needs a number} -seed=1"
else
  limit="-max_total_time=${1:-20}"
fi
build=${LLUPDATE_FUZZ_BUILD_DIR:-"$root/build-fuzz"}
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DLLUPDATE_FUZZ=ON -DLLUPDATE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for corpus in "$root"/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  mkdir -p "$work/$name"
  printf '%s: ' "$name"
  if (cd "$work/$name" && "$build/bin/fuzz_$name" $limit -max_len=4096 \
      "$work/$name" "$corpus" >log 2>&1); then
    grep -E '^Done' "$work/$name/log" || echo done
  else
    echo "FINDING"
    tail -40 "$work/$name/log"
    status=1
  fi
done
exit $status
