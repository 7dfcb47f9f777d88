#!/bin/bash
# The in-place rewrite (forms with a second name, or an owner the running user cannot give a
# file to) against the ordinary swap, through the command line as people run it: the address
# switch-over over N forms of about 120 KB, durable and with --no-sync, interleaved rounds,
# medians.
#
#   bench/in_place_bench.sh build/bin/llupdate [N] [ROUNDS]
set -eu
. "$(dirname "$0")/kit.sh"
LLUPDATE=$(realpath "$1")
N=${2:-500}
ROUNDS=${3:-5}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# One form of about 120 KB with a selected line every few blocks.
{
  printf '[Description]\r\nFileVersion=24\r\n[UserSection]\r\nVersion=7\r\nReferenzbeleg=Rechnung\r\n[Layout]\r\n'
  for i in $(seq 1 1100); do
    printf '{\r\n  Name="Text%d"\r\n  Contents=Position.Artikelnummer\r\n' "$i"
    [ $((i % 100)) = 0 ] && printf '  Spacing.Paragraph=8\r\n'
    printf '}\r\n'
  done
} >"$T/form.bel"
mkdir -p "$T/template/BerichteLL"
for i in $(seq 1 "$N"); do cp "$T/form.bel" "$T/template/BerichteLL/F$i.bel"; done

run() {  # KIND SYNC -> seconds
  rm -rf "$T/db"; cp -R "$T/template" "$T/db"
  if [ "$1" = in-place ]; then
    mkdir "$T/db/links"
    for f in "$T"/db/BerichteLL/*.bel; do ln "$f" "$T/db/links/"; done
  fi
  sync
  local start end
  start=$(date +%s.%N)
  "$LLUPDATE" -q $2 address "$T/db" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}' 
}

for sync_flag in "" --no-sync; do
  : >"$T/swap"; : >"$T/inplace"
  for r in $(seq 1 "$ROUNDS"); do
    run swap "$sync_flag" >>"$T/swap"
    run in-place "$sync_flag" >>"$T/inplace"
  done
  s=$(median <"$T/swap"); p=$(median <"$T/inplace")
  printf '%-10s %d forms: swap %.3f s, in place %.3f s, in place / swap %.2fx\n' \
    "${sync_flag:-durable}" "$N" "$s" "$p" "$(awk -v p="$p" -v s="$s" 'BEGIN {print p / s}')"
done
