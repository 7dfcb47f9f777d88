#!/bin/bash
# Many databases in one call: the conversion driver over D databases of F forms each (the demo's
# forms, repeated), through the command line as an operator runs it, with --jobs 1 and --jobs 2,
# interleaved rounds, medians and their ratio; beside them a shell loop of single runs, as
# operators wrote it before.
#
#   bench/fleet_bench.sh build/bin/llupdate [D] [F] [ROUNDS]
set -eu
. "$(dirname "$0")/kit.sh"
LLUPDATE=$(realpath "$1")
D=${2:-200}
F=${3:-30}
ROUNDS=${4:-3}
DEMO=$(cd "$(dirname "$0")/../examples/demo-db" && pwd)
T=$(mktemp -d "${TMPDIR:-/var/tmp}/fleet-bench.XXXXXX")
trap 'rm -rf "$T"' EXIT

# One database of F forms of every type the driver converts, then D copies of it.
mkdir -p "$T/template/BerichteLL"
forms=("$DEMO"/BerichteLL/*)
for i in $(seq 1 "$F"); do
  f=${forms[$(((i - 1) % ${#forms[@]}))]}
  name=$(basename "$f")
  cp "$f" "$T/template/BerichteLL/F$i-$name"
done
fresh() {
  rm -rf "$T/dbs"; mkdir "$T/dbs"; : >"$T/list"
  for d in $(seq 1 "$D"); do cp -R "$T/template" "$T/dbs/$d"; echo "$T/dbs/$d" >>"$T/list"; done
  sync
}
loop() { while read -r db; do "$LLUPDATE" -q convert "$db"; done <"$T/list"; }
: >"$T/one"; : >"$T/two"; : >"$T/loop"
for _ in $(seq 1 "$ROUNDS"); do
  fresh; seconds "$LLUPDATE" -q --jobs 1 convert --databases "$T/list" >>"$T/one"
  fresh; seconds "$LLUPDATE" -q --jobs 2 convert --databases "$T/list" >>"$T/two"
  fresh; seconds loop >>"$T/loop"
done
one=$(median <"$T/one"); two=$(median <"$T/two"); shell=$(median <"$T/loop")
printf 'convert over %d databases of %d forms, durable, median of %d rounds (%s, %d cores)\n' \
  "$D" "$F" "$ROUNDS" "$(df -T "$T" | awk 'NR==2 {print $2}')" "$(nproc)"
printf '  --jobs 1:                  %.3f s\n' "$one"
printf '  --jobs 2:                  %.3f s\n' "$two"
printf '  a shell loop of single runs: %.3f s\n' "$shell"
awk -v a="$two" -v b="$one" 'BEGIN {printf "  ratio --jobs 2 / --jobs 1: %.2f\n", a / b}'
