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
  (cd "$1/BerichteLL" && ls -A | grep -v '^\.llupdate-lock' | LC_ALL=C sort | xargs md5sum --)
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
# SIGHUP (a closed terminal or SSH session) ends the run in order like SIGTERM: exit 129 (or 0
# when it came after the last form), the record marked finished, nothing of the run left.
rm -rf "$T/u"; cp -R "$T/template" "$T/u"
"$LLUPDATE" --settings "$T/u/s.sqlite" convert "$T/u" >/dev/null 2>"$T/u.err" & pid=$!
for _ in $(seq 1 200); do grep -q running "$T/u/BerichteLL/.llupdate-lock" 2>/dev/null && break; sleep 0.01; done
kill -HUP $pid; wait $pid; s=$?
[ $s = 129 ] || [ $s = 0 ] || fail "SIGHUP gave exit $s: $(cat "$T/u.err")"
grep -q 'state=finished' "$T/u/BerichteLL/.llupdate-lock" || fail "SIGHUP left the run unfinished"
ls "$T/u/BerichteLL" | grep -q '^xx_\|^alt_\|\.llupdate-' && fail "SIGHUP left files: $(ls "$T/u/BerichteLL")"
convert "$T/u" >/dev/null 2>&1 || fail "the run after SIGHUP failed"
tree "$T/u" >"$T/u.tree"
cmp -s "$T/ref.tree" "$T/u.tree" || fail "after SIGHUP: $(diff "$T/ref.tree" "$T/u.tree" | head)"

# Beyond the file-size limit a write fails with a named error; the process is not killed and the
# form stays as it was.
rm -rf "$T/z"; cp -R "$DEMO" "$T/z"
{ cat "$DEMO/BerichteLL/Rechnung.bel"; head -c 300000 /dev/zero | tr '\0' 'x'; printf '\r\n'; } >"$T/z/BerichteLL/Gross.bel"
cp "$T/z/BerichteLL/Gross.bel" "$T/gross.before"
(ulimit -f 100; "$LLUPDATE" --no-sync address "$T/z") >"$T/z.out" 2>&1; s=$?
[ $s -lt 128 ] && [ $s != 0 ] || fail "a file-size limit gave exit $s"
grep -q 'Datei zu groß' "$T/z.out" || fail "no named error: $(cat "$T/z.out")"
cmp -s "$T/gross.before" "$T/z/BerichteLL/Gross.bel" || fail "the large form changed"

# A name with "\" and ".." is one name: nothing outside the database is read, deleted or made
# writable, by any command.
rm -rf "$T/b" "$T/victim"; mkdir -p "$T/victim"; cp -R "$DEMO" "$T/b"
echo "geheim" >"$T/victim/Geheim.bel"; chmod 444 "$T/victim/Geheim.bel"
for d in a xx_a alt_a; do mkdir "$T/b/BerichteLL/$d"; done
bad='a\..\..\..\victim\Geheim.bel'
printf '[UserSection]\r\nVersion=1\r\nSpacing.Paragraph=8\r\n' >"$T/b/BerichteLL/$bad"
for cmd in address unprotect ll24 list; do
  arg="$T/b"; [ $cmd = unprotect ] && arg="$T/b/BerichteLL"
  "$LLUPDATE" --no-sync $cmd "$arg" >"$T/b.out" 2>&1
  [ "$(cat "$T/victim/Geheim.bel")" = geheim ] && [ "$(stat -c %a "$T/victim/Geheim.bel")" = 444 ] ||
    fail "$cmd touched a file outside the database"
done
[ -e "$T/b/BerichteLL/$bad" ] || fail "the form with a backslash in its name is gone"

# A link in the form folder that leads out of the database is neither read nor made writable.
rm -rf "$T/l"; cp -R "$DEMO" "$T/l"
ln -s "$T/victim/Geheim.bel" "$T/l/BerichteLL/Fremd.bel"
"$LLUPDATE" --no-sync ll24 "$T/l" >"$T/l.out" 2>&1
[ "$(stat -c %a "$T/victim/Geheim.bel")" = 444 ] || fail "a link out was made writable"
grep -q 'Fremd.bel (ein symbolischer Link' "$T/l.out" || fail "the link out is not named: $(cat "$T/l.out")"

# Shared databases: the lock is the form folder's, so every path that reaches it meets it. Two
# database paths sharing one form folder through a link:
rm -rf "$T/s1" "$T/s2"; cp -R "$DEMO" "$T/s1"; mkdir "$T/s2"; ln -s "$T/s1/BerichteLL" "$T/s2/BerichteLL"
flock "$T/s1/BerichteLL" sleep 8 & holder=$!
for _ in $(seq 1 100); do flock -n "$T/s1/BerichteLL" true || break; sleep 0.05; done
"$LLUPDATE" address "$T/s2" >"$T/s2.out" 2>&1; s=$?
[ $s = 5 ] || fail "a form folder held through another path gave exit $s: $(cat "$T/s2.out")"
kill $holder; wait $holder 2>/dev/null

# As root, with two accounts of one group: a record made by one account (also one the others
# cannot write) never keeps another from locking, and each refuses while the other holds it; a
# read-only database path with a writable form folder is locked all the same.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && command -v useradd >/dev/null; then
  getent group llshare >/dev/null || groupadd llshare
  for u in llalice llbob; do
    id "$u" >/dev/null 2>&1 || useradd -M -N -g llshare -d /nonexistent -s /usr/sbin/nologin "$u"
  done
  as() { local u=$1; shift; setpriv --reuid="$u" --regid=llshare --init-groups -- "$@"; }
  chmod 755 "$T"
  G="$T/g"; rm -rf "$G"; cp -R "$DEMO" "$G"; chgrp -R llshare "$G"; chmod -R g+w "$G"; chmod g+s "$G/BerichteLL"
  as llalice "$LLUPDATE" --no-sync war-colours "$G" >"$T/g.out" 2>&1 || fail "alice: $(cat "$T/g.out")"
  [ "$(stat -c '%U %G %a' "$G/BerichteLL/.llupdate-lock")" = "llalice llshare 664" ] ||
    fail "the record is not the group's: $(stat -c '%U %G %a' "$G/BerichteLL/.llupdate-lock")"
  chmod 644 "$G/BerichteLL/.llupdate-lock"  # as an older version left it
  as llbob "$LLUPDATE" --no-sync address "$G" >"$T/g.out" 2>&1 || fail "bob after alice: $(cat "$T/g.out")"
  grep -q 'state=finished' "$G/BerichteLL/.llupdate-lock" || fail "bob's run did not record"
  # A form of alice's that bob converts stays alice's (bob cannot give a new file to her: the
  # form is rewritten in place), and alice can still write it.
  chown llalice "$G/BerichteLL/Mahnung.MAH"; chmod 664 "$G/BerichteLL/Mahnung.MAH"
  as llbob "$LLUPDATE" --no-sync ll24 "$G" >"$T/g.out" 2>&1 || fail "bob's ll24: $(cat "$T/g.out")"
  [ "$(stat -c '%U:%G %a' "$G/BerichteLL/Mahnung.MAH")" = "llalice:llshare 664" ] ||
    fail "alice's form became $(stat -c '%U:%G %a' "$G/BerichteLL/Mahnung.MAH")"
  as llalice sh -c "echo >>'$G/BerichteLL/Mahnung.MAH'" || fail "alice can no longer write her form"
  # A form bob may not read fails with a hint that says so.
  chown llalice "$G/BerichteLL/Rechnung.bel"; chmod 600 "$G/BerichteLL/Rechnung.bel"
  as llbob "$LLUPDATE" --no-sync address "$G" >"$T/g.out" 2>&1
  grep -q "Rechnung.bel: error.* 70 .*hint: this user may not read or change" <(tr '\n' ' ' <"$T/g.out") ||
    fail "a form bob may not read: $(cat "$T/g.out")"
  as llalice flock "$G/BerichteLL" sleep 8 & holder=$!
  for _ in $(seq 1 100); do flock -n "$G/BerichteLL" true || break; sleep 0.05; done
  as llbob "$LLUPDATE" address "$G" >"$T/g.out" 2>&1; s=$?
  [ $s = 5 ] || fail "bob ran while alice held the folder: exit $s: $(cat "$T/g.out")"
  kill $holder; wait $holder 2>/dev/null
  R="$T/ro"; rm -rf "$R"; cp -R "$DEMO" "$R"; chown -R llbob:llshare "$R"; chmod 555 "$R"
  as llbob "$LLUPDATE" --no-sync address "$R" >"$T/r.out" 2>&1 || fail "read-only database path: $(cat "$T/r.out")"
  flock "$R/BerichteLL" sleep 8 & holder=$!
  for _ in $(seq 1 100); do flock -n "$R/BerichteLL" true || break; sleep 0.05; done
  as llbob "$LLUPDATE" address "$R" >"$T/r.out" 2>&1; s=$?
  [ $s = 5 ] || fail "a read-only database path ran unlocked: exit $s: $(cat "$T/r.out")"
  kill $holder; wait $holder 2>/dev/null
  chmod 755 "$R"
else
  echo "safety test: not root (or no setpriv/useradd): the tests with two accounts are skipped"
fi
# A rewritten form keeps what the customer set up: owner, group, permission bits (but for the
# read-only attribute, which a rewrite removes), extended attributes and ACL; a form that is a
# link to a file inside the form folder is converted at its target and stays a link.
M="$T/m"; rm -rf "$M"; cp -R "$DEMO" "$M"; F="$M/BerichteLL"
chmod 0600 "$F/Mahnung.MAH"; chmod 0444 "$F/Wartung.war"
mkdir "$F/echt"; mv "$F/Lieferschein.bst" "$F/echt/Lieferschein.real"; ln -s echt/Lieferschein.real "$F/Lieferschein.bst"
if [ "$(id -u)" = 0 ] && id llbob >/dev/null 2>&1; then chown llbob:llshare "$F/Rechnung.bel"; fi
chmod 0640 "$F/Rechnung.bel"
xattrs=no
if command -v setfattr >/dev/null && setfattr -n user.kunde -v eigen "$F/Rechnung.bel" 2>/dev/null; then
  xattrs=yes
else
  echo "safety test: no extended attributes here (setfattr or file system): that check is skipped"
fi
acls=no
if command -v setfacl >/dev/null && setfacl -m "u:$(id -un):rw" "$F/Rechnung.bel" 2>/dev/null; then
  acls=yes
else
  echo "safety test: no ACLs here (setfacl or file system): that check is skipped"
fi
before=$(stat -c '%U:%G %a' "$F/Rechnung.bel")
(umask 022; "$LLUPDATE" --no-sync convert "$M" >"$T/m.out" 2>&1) || fail "convert with metadata: $(cat "$T/m.out")"
[ "$(stat -c '%U:%G %a' "$F/Rechnung.bel")" = "$before" ] || fail "owner or mode changed: $before -> $(stat -c '%U:%G %a' "$F/Rechnung.bel")"
[ "$(stat -c %a "$F/Mahnung.MAH")" = 600 ] || fail "a private form became $(stat -c %a "$F/Mahnung.MAH")"
[ "$(stat -c %a "$F/Wartung.war")" = 644 ] || fail "a read-only form became $(stat -c %a "$F/Wartung.war")"
[ $xattrs = no ] || [ "$(getfattr --only-values -n user.kunde "$F/Rechnung.bel" 2>/dev/null)" = eigen ] || fail "the extended attribute was lost"
[ $acls = no ] || getfacl -c "$F/Rechnung.bel" 2>/dev/null | grep -q "^user:$(id -un):rw-" || fail "the ACL was lost"
[ -L "$F/Lieferschein.bst" ] || fail "a link inside the database was replaced by a copy"
grep -q NeueAnschrift "$F/echt/Lieferschein.real" || fail "the link's target was not converted"
# Forms with a second name (a hard link, here from another folder of the database) are rewritten
# in place: killed at random points and run again, every form and its second name hold the
# uninterrupted result, and they are still one file.
link_db() {
  make_db "$1"; mkdir "$1/links"
  for f in "$1"/BerichteLL/K1*_*; do ln "$f" "$1/links/$(basename "$f")"; done
}
link_db "$T/lref"
convert "$T/lref" >/dev/null 2>&1 || fail "the uninterrupted run with links failed"
tree "$T/lref" >"$T/lref.tree"
for i in $(seq 1 6); do
  rm -rf "$T/lk"; link_db "$T/lk"
  "$LLUPDATE" --no-sync --settings "$T/lk/s.sqlite" convert "$T/lk" >/dev/null 2>&1 &
  pid=$!
  sleep "0.$(printf '%03d' $((RANDOM % 400)))"
  kill -9 $pid 2>/dev/null
  wait $pid 2>/dev/null
  convert "$T/lk" >"$T/lk.out" 2>&1 || fail "links, kill $i: the rerun failed: $(cat "$T/lk.out")"
  tree "$T/lk" >"$T/lk.tree"
  cmp -s "$T/lref.tree" "$T/lk.tree" || fail "links, kill $i: the rerun differs: $(diff "$T/lref.tree" "$T/lk.tree" | head)"
  for f in "$T"/lk/links/*; do
    [ "$(stat -c %i "$f")" = "$(stat -c %i "$T/lk/BerichteLL/$(basename "$f")")" ] ||
      fail "links, kill $i: $(basename "$f") was forked"
  done
done
# Two runs at once over such forms: one waits for the other; the result is the uninterrupted one.
rm -rf "$T/lc"; link_db "$T/lc"
convert "$T/lc" --wait 60 >/dev/null 2>&1 & p1=$!
convert "$T/lc" --wait 60 >/dev/null 2>&1 & p2=$!
wait $p1 || fail "links: the first of two runs failed"; wait $p2 || fail "links: the second of two runs failed"
tree "$T/lc" >"$T/lc.tree"
cmp -s "$T/lref.tree" "$T/lc.tree" || fail "links, two runs at once: $(diff "$T/lref.tree" "$T/lc.tree" | head)"
echo "safety test passed"
