#!/bin/bash
# What keeping costs: the durable address job over N forms of the demo's address-form size,
# through the command line as people run it, with the journal keeping the run (--keep-runs 5)
# and with keeping off (--keep-runs 0), interleaved rounds, medians and their ratio; the copy of
# the database beside them as the floor (cp -R: what merely touching every form costs).
#
#   bench/journal_bench.sh build/bin/llupdate [N] [ROUNDS]
set -eu
. "$(dirname "$0")/kit.sh"
LLUPDATE=$(realpath "$1")
N=${2:-1000}
ROUNDS=${3:-7}
DEMO=$(cd "$(dirname "$0")/../examples/demo-db" && pwd)
T=$(mktemp -d "${TMPDIR:-/var/tmp}/journal-bench.XXXXXX")
trap 'rm -rf "$T"' EXIT

mkdir -p "$T/template/BerichteLL"
for i in $(seq 1 "$N"); do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/template/BerichteLL/F$i.bel"; done

run() {  # KEEP -> seconds of the address job
  rm -rf "$T/db"; cp -R "$T/template" "$T/db"; sync
  local start end
  start=$(date +%s.%N)
  "$LLUPDATE" -q --keep-runs "$1" address "$T/db" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}'
}
floor() {
  rm -rf "$T/copy"; sync
  local start end
  start=$(date +%s.%N)
  cp -R "$T/template" "$T/copy"; sync
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}'
}
: >"$T/on"; : >"$T/off"; : >"$T/floor"
for _ in $(seq 1 "$ROUNDS"); do
  run 5 >>"$T/on"
  run 0 >>"$T/off"
  floor >>"$T/floor"
done
on=$(median <"$T/on"); off=$(median <"$T/off"); copy=$(median <"$T/floor")
printf 'address job over %d forms, durable, median of %d rounds (%s)\n' "$N" "$ROUNDS" "$(df -T "$T" | awk 'NR==2 {print $2}')"
printf '  keeping on (--keep-runs 5):  %.3f s\n' "$on"
printf '  keeping off (--keep-runs 0): %.3f s\n' "$off"
printf '  floor (cp -R + sync):        %.3f s\n' "$copy"
awk -v a="$on" -v b="$off" 'BEGIN {printf "  ratio on/off: %.2f\n", a / b}'
