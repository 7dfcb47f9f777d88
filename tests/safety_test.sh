#!/bin/bash
# What a customer's forms go through outside the quiet path, with the real command line: a
# process killed at random points and run again, two runs at once, symbolic links planted at
# every name the program writes, Ctrl-C, and a database held by another run.
set -u
LLUPDATE=$1
DEMO=$2
T=$(mktemp -d)
trap 'chmod -R u+w "$T"; rm -rf "$T"' EXIT
fail() { printf "FAIL: %s\n" "$*"; exit 1; }

# A database of many forms: every demo form twenty-five times under its own name.
make_db() {
  cp -R "$DEMO" "$1"
  for f in "$DEMO"/BerichteLL/*; do
    name=$(basename "$f")
    for i in $(seq 1 25); do cp "$f" "$1/BerichteLL/K${i}_$name"; done
  done
}
# The forms and what the driver recorded, without the lock file (it names the process).
tree() {
  (cd "$1/BerichteLL" && ls -A | grep -v '^\.llupdate-lock$' | LC_ALL=C sort | xargs md5sum --)
  "$LLUPDATE" --settings "$1/s.sqlite" setting CheckReportLL LetzterWert
}
convert() { "$LLUPDATE" --settings "$1/s.sqlite" "${@:2}" convert "$1"; }

make_db "$T/template"
cp -R "$T/template" "$T/ref"
convert "$T/ref" >/dev/null 2>&1 || fail "the uninterrupted run failed"
tree "$T/ref" >"$T/ref.tree"
grep -q '^6$' "$T/ref.tree" || fail "the uninterrupted run did not record step 6"

# Killed at random points, then run again as it is: the result is the uninterrupted one. (A
# killed process is no power cut: the runs skip the flushes.)
for i in $(seq 1 10); do
  rm -rf "$T/k"; cp -R "$T/template" "$T/k"
  "$LLUPDATE" --no-sync --settings "$T/k/s.sqlite" convert "$T/k" >/dev/null 2>&1 &
  pid=$!
  sleep "0.$(printf '%03d' $((RANDOM % 300)))"
  kill -9 $pid 2>/dev/null
  wait $pid 2>/dev/null
  for f in "$T"/template/BerichteLL/*; do
    [ -s "$T/k/BerichteLL/$(basename "$f")" ] || fail "kill $i: $(basename "$f") lost or empty"
  done
  convert "$T/k" >"$T/k.out" 2>&1 || fail "kill $i: the rerun failed: $(cat "$T/k.out")"
  tree "$T/k" >"$T/k.tree"
  cmp -s "$T/ref.tree" "$T/k.tree" || fail "kill $i: the rerun differs: $(diff "$T/ref.tree" "$T/k.tree" | head)"
done

# Two runs at once: the second is refused (exit 5, naming the holder) or waits; nothing is lost
# or converted twice.
rm -rf "$T/c"; cp -R "$T/template" "$T/c"
convert "$T/c" >"$T/c1" 2>&1 & p1=$!
convert "$T/c" >"$T/c2" 2>&1 & p2=$!
wait $p1; s1=$?; wait $p2; s2=$?
case "$s1$s2" in 00|05|50) ;; *) fail "two runs exited $s1 and $s2: $(cat "$T/c1" "$T/c2")";; esac
[ "$s1$s2" = 00 ] || grep -q "anderen Lauf bearbeitet (Rechner .*, Prozess [0-9]*, seit " "$T/c1" "$T/c2" ||
  fail "the refusal names no holder: $(cat "$T/c1" "$T/c2")"
convert "$T/c" >/dev/null 2>&1 || fail "the run after two at once failed"
tree "$T/c" >"$T/c.tree"
cmp -s "$T/ref.tree" "$T/c.tree" || fail "two runs at once: $(diff "$T/ref.tree" "$T/c.tree" | head)"
rm -rf "$T/c"; cp -R "$T/template" "$T/c"
convert "$T/c" --wait 60 >/dev/null 2>&1 & p1=$!
convert "$T/c" --wait 60 >/dev/null 2>&1 & p2=$!
wait $p1 || fail "first waiting run failed"; wait $p2 || fail "second waiting run failed"
tree "$T/c" >"$T/c.tree"
cmp -s "$T/ref.tree" "$T/c.tree" || fail "two waiting runs: $(diff "$T/ref.tree" "$T/c.tree" | head)"

# A database held by another program: refused at once, or after --wait.
rm -rf "$T/h"; cp -R "$DEMO" "$T/h"
flock "$T/h/BerichteLL" sleep 8 & holder=$!
for _ in $(seq 1 100); do flock -n "$T/h/BerichteLL" true || break; sleep 0.05; done
"$LLUPDATE" address "$T/h" >"$T/h.out" 2>&1; s=$?
[ $s = 5 ] || fail "a held database gave exit $s: $(cat "$T/h.out")"
"$LLUPDATE" --wait 0.2 address "$T/h" >/dev/null 2>&1; s=$?
[ $s = 5 ] || fail "a held database with a short --wait gave exit $s"
"$LLUPDATE" --wait 20 address "$T/h" >/dev/null 2>&1 || fail "--wait did not wait for the holder"
wait $holder
cmp -s "$DEMO/BerichteLL/Termine.ter" "$T/h/BerichteLL/Termine.ter" || fail "address touched a .ter form"

# Symbolic links planted at the names written beside a form are never written through.
rm -rf "$T/s"; cp -R "$DEMO" "$T/s"
echo "outside the database" >"$T/outside"; chmod 600 "$T/outside"
for f in "$T"/s/BerichteLL/*; do
  for name in "xx_$(basename "$f")" "alt_$(basename "$f")" "$(basename "$f")~" \
    "$(basename "$f").llupdate-copy"; do
    ln -s "$T/outside" "$T/s/BerichteLL/$name"
  done
done
ln -s "$T/nowhere" "$T/s/BerichteLL/xx_Rechnung.bel.dangling"
convert "$T/s" >"$T/s.out" 2>&1
[ "$(cat "$T/outside")" = "outside the database" ] && [ "$(stat -c %a "$T/outside")" = 600 ] ||
  fail "a planted link was followed: $(cat "$T/outside"; stat -c %a "$T/outside")"
for f in "$DEMO"/BerichteLL/*; do
  [ -f "$T/s/BerichteLL/$(basename "$f")" ] && [ ! -L "$T/s/BerichteLL/$(basename "$f")" ] ||
    fail "$(basename "$f") is missing or a link"
done

# Ctrl-C (SIGINT) or SIGTERM: the form in work is finished, nothing more begun, exit 130; a
# plain rerun completes the job.
rm -rf "$T/i"; cp -R "$T/template" "$T/i"
"$LLUPDATE" --settings "$T/i/s.sqlite" convert "$T/i" >"$T/i.out" 2>"$T/i.err" & pid=$!
# The signal is sent once the run holds the database, so its handlers are in place.
for _ in $(seq 1 200); do grep -q running "$T/i/BerichteLL/.llupdate-lock" 2>/dev/null && break; sleep 0.01; done
kill -TERM $pid; wait $pid; s=$?
if [ $s = 130 ]; then
  grep -q '^interrupted: forms examined' "$T/i.err" || fail "no interrupted summary: $(cat "$T/i.err")"
elif [ $s != 0 ]; then
  fail "SIGTERM gave exit $s: $(cat "$T/i.err")"
fi
convert "$T/i" >/dev/null 2>&1 || fail "the run after SIGTERM failed"
tree "$T/i" >"$T/i.tree"
cmp -s "$T/ref.tree" "$T/i.tree" || fail "after SIGTERM: $(diff "$T/ref.tree" "$T/i.tree" | head)"
echo "safety test passed"
