#!/bin/bash
# A power cut in the middle of the conversion driver, on a loop-mounted ext4 file system. It is
# mounted with noauto_da_alloc, so that ext4's own guess for replace-by-rename does not hide a
# missing flush (with --no-sync forms come back empty here). Afterwards no form is empty or torn
# (each is in a state that a step produces), and a plain rerun ends where an uninterrupted run
# ends; also with the cut at chosen points of a batch (power_cut_at, preloaded). Needs root and
# loop devices; skipped (77) without them.
set -u
LLUPDATE=$1
POWER_CUT=$2
DEMO=$3
CUT_AT=$4
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
command -v mkfs.ext4 >/dev/null || { echo "skipped: no mkfs.ext4"; exit 77; }
T=$(mktemp -d)
M="$T/mnt"
cleanup() { umount "$M" 2>/dev/null; rm -rf "$T"; }
trap cleanup EXIT
fail() { printf "FAIL: %s\n" "$*"; exit 1; }
mkdir "$M"
truncate -s 256M "$T/disk.img"
mkfs.ext4 -q -F "$T/disk.img" || { echo "skipped: mkfs.ext4 failed"; exit 77; }
mount -o loop,noauto_da_alloc "$T/disk.img" "$M" 2>/dev/null || { echo "skipped: no loop mount here"; exit 77; }
umount "$M"

# The database, and every state its forms may be in: after each step of the driver.
cp -R "$DEMO" "$T/db"
for f in "$DEMO"/BerichteLL/*; do
  for i in $(seq 1 30); do cp "$f" "$T/db/BerichteLL/K${i}_$(basename "$f")"; done
done
cp -R "$T/db" "$T/ref"
states="$T/states"
hash_forms() { (cd "$1/BerichteLL" && ls -A | grep -v '^\.llupdate-\(lock\|journal\)' | LC_ALL=C sort | xargs md5sum --); }
hash_forms "$T/ref" >"$states"
for step in address war-colours ll24; do
  "$LLUPDATE" --no-sync "$step" "$T/ref" >/dev/null 2>&1 || fail "reference step $step failed"
  hash_forms "$T/ref" >>"$states"
done
# The colour correction replaces three formulas one after the other, each in its own rewrite.
cp -R "$DEMO" "$T/war"
"$LLUPDATE" --no-sync address "$T/war" >/dev/null 2>&1
for what in Menge Einzelpreis Gesamtpreis; do
  formula="=if(Position.$what=0,RGB (255,255,255),RGB (0,0,0))"
  "$LLUPDATE" --no-sync Suche_ErsetzeProjektdatei Wartung.war "$T/war" "$formula" "$formula" \
    "=RGB (0,0,0)" >/dev/null 2>&1 || fail "war state"
  hash_forms "$T/war" >>"$states"
done
"$LLUPDATE" --no-sync --settings "$T/ref.sqlite" convert "$T/ref" >/dev/null 2>&1
hash_forms "$T/ref" >"$T/final"

# Five cuts at a random moment, then cuts at chosen points of the batches: right after the flush
# of a batch's new files (before they are renamed over their forms) and right before the flush of
# the form folder (after the renames).
for round in 1 2 3 4 5 flush:1 flush:3 folder:1 folder:2; do
  mount -o loop,noauto_da_alloc "$T/disk.img" "$M" || fail "mount"
  rm -rf "$M/db"; cp -R "$T/db" "$M/db"; sync
  case "$round" in
    *:*)
      LD_PRELOAD="$CUT_AT" LLUPDATE_CUT_AT="$round" LLUPDATE_CUT_MOUNT="$M" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
        "$LLUPDATE" --settings "$M/db/s.sqlite" convert "$M/db" >/dev/null 2>&1
      if touch "$M/.probe" 2>/dev/null; then fail "round $round: the power was not cut"; fi
      ;;
    *)
      "$LLUPDATE" --settings "$M/db/s.sqlite" convert "$M/db" >/dev/null 2>&1 &
      pid=$!
      sleep "0.$(printf '%03d' $((RANDOM % 500 + 20)))"
      if ! "$POWER_CUT" "$M"; then
        kill $pid 2>/dev/null; wait $pid
        [ "$round" = 1 ] && { echo "skipped: this kernel cannot cut the power of ext4"; exit 77; }
        fail "power cut"
      fi
      wait $pid
      ;;
  esac
  umount "$M" || fail "umount after the cut"
  mount -o loop,noauto_da_alloc "$T/disk.img" "$M" || fail "mount after the cut"
  # Every form is there, not empty, and in one of the states the steps produce. The program's
  # own files are resolved by the next run (a new file whose batch was not flushed may be empty).
  hash_forms "$M/db" >"$T/after" || fail "round $round: listing"
  while read -r sum name; do
    case "$name" in xx_* | alt_* | *.llupdate-*.tmp) continue ;; esac
    [ -s "$M/db/BerichteLL/$name" ] || fail "round $round: $name lost or empty"
    grep -q "^$sum " "$states" || fail "round $round: $name is torn (in no state a step produces)"
  done <"$T/after"
  "$LLUPDATE" --settings "$M/db/s.sqlite" convert "$M/db" >"$T/rerun" 2>&1 ||
    fail "round $round: the rerun failed: $(cat "$T/rerun")"
  hash_forms "$M/db" >"$T/after"
  cmp -s "$T/final" "$T/after" || fail "round $round: the rerun differs: $(diff "$T/final" "$T/after" | head)"
  umount "$M"
done
echo "power-cut test passed"
