#!/bin/bash
# What a run's record may cause, tried as the people of a shared database: root and three members
# of one group, one of whom (mallory) forges records to make the others' runs act for him. A
# record only ever leads to acting on the files of the account that wrote it, inside the real form
# folder; a form changed since a crash is never overwritten; a file is converted once per job; no
# copy of a private form is readable by others. Needs root (skipped otherwise).
set -u
LLUPDATE=$1
DEMO=$2
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null || ! command -v useradd >/dev/null; then
  echo "records test: needs root, setpriv and useradd: skipped"
  exit 77
fi
T=$(mktemp -d)
trap 'chmod -R u+w "$T" 2>/dev/null; rm -rf "$T"' EXIT
chmod 755 "$T"
fail() { printf "FAIL: %s\n" "$*"; exit 1; }
getent group llshare >/dev/null || groupadd llshare
for u in llalice llbob llmallory; do
  id "$u" >/dev/null 2>&1 || useradd -M -N -g llshare -d /nonexistent -s /usr/sbin/nologin "$u"
done
as() { local u=$1; shift; setpriv --reuid="$u" --regid=llshare --init-groups -- "$@"; }
# A shared database: the group may write everything; the form folder keeps the group (and, with
# 3770, each member's files are safe from the others).
shared() {
  rm -rf "$1"; cp -R "$DEMO" "$1"; chgrp -R llshare "$1"; chmod -R g+w "$1"; chmod "${2:-2770}" "$1/BerichteLL"
}
id_of() { stat -c %d:%i "$1"; }
# A record as account $1 writes it (its own, readable by all, writable by it alone).
record() {
  local f="$2/BerichteLL/.llupdate-lock.$(id -u "$1")"
  as "$1" sh -c "cat >'$f' && chmod 644 '$f'"
}
run() { local who=$1; shift; if [ "$who" = root ]; then "$LLUPDATE" --no-sync "$@"; else as "$who" "$LLUPDATE" --no-sync "$@"; fi; }

# 1. Forged in-place lines with "..", absolute and "\" names, in mallory's own record, in a
# record planted under root's name and in the shared record: nothing outside the form folder is
# written, read into it or deleted, and every run says which records it did not trust.
D="$T/d1"; shared "$D"
echo "root's own" >"$T/VICTIM"; chmod 644 "$T/VICTIM"
echo "root only" >"$T/SECRET"; chmod 600 "$T/SECRET"
as llmallory sh -c "echo payload >'$D/BerichteLL/payload'"
as llmallory sh -c "echo mine >'$D/BerichteLL/mine'"
B=$(ls -i "$D/BerichteLL/Rechnung.bel" | cut -d' ' -f1)
for line in "inplace=../../../../..$T/VICTIM	payload	payload	1:$B" \
  "inplace=mine	../../../../..$T/SECRET	mine	1:$B" "inplace=$T/VICTIM	payload	payload	1:$B" \
  "inplace=..\\..\\VICTIM	payload	payload	1:$B" "own=../../SECRET	$(id_of "$T/SECRET")"; do
  printf 'state=running\nown=payload\t%s\nown=mine\t%s\n%s\n' "$(id_of "$D/BerichteLL/payload")" \
    "$(id_of "$D/BerichteLL/mine")" "$line" | record llmallory "$D"
  for who in root llalice; do
    run $who address "$D" >"$T/out" 2>&1 || fail "$who's run failed: $(cat "$T/out")"
    [ "$(cat "$T/VICTIM")" = "root's own" ] || fail "$line: VICTIM was written by $who's run"
    [ -e "$T/SECRET" ] && [ "$(cat "$T/SECRET")" = "root only" ] || fail "$line: SECRET was read out or deleted"
    [ "$(cat "$D/BerichteLL/mine")" = mine ] && [ "$(cat "$D/BerichteLL/payload")" = payload ] ||
      fail "$line: the forger's files were changed"
    grep -q "nicht beachtet.*llupdate-lock.$(id -u llmallory)" "$T/out" || fail "$line: not reported: $(cat "$T/out")"
  done
done
# A record under root's name that mallory made is no record of root's.
rm -f "$D/BerichteLL/.llupdate-lock.0"
printf 'state=running\nown=payload\t%s\ninplace=../../../../..%s\tpayload\tpayload\t1:2\n' \
  "$(id_of "$D/BerichteLL/payload")" "$T/VICTIM" | as llmallory sh -c "cat >'$D/BerichteLL/.llupdate-lock.0'"
run root address "$D" >"$T/out" 2>&1
[ "$(cat "$T/VICTIM")" = "root's own" ] || fail "a record planted under root's name was obeyed"
grep -q "llupdate-lock.0 (er gehört dem Benutzer $(id -u llmallory)" "$T/out" || fail "planted root record: $(cat "$T/out")"
[ "$(stat -c %U "$D/BerichteLL/.llupdate-lock.0")" = root ] || fail "root's record was not made anew"
# Lines in the shared record, which every member may write, are never obeyed.
printf 'state=running\nown=payload\t%s\ninplace=../../../../..%s\tpayload\tpayload\t1:2\n' \
  "$(id_of "$D/BerichteLL/payload")" "$T/VICTIM" >"$D/BerichteLL/.llupdate-lock"
run root address "$D" >"$T/out" 2>&1
[ "$(cat "$T/VICTIM")" = "root's own" ] && [ -e "$D/BerichteLL/payload" ] || fail "the shared record was obeyed"

# 2. Forged own= lines for another member's private files, in a sticky folder: her run removes
# none of them, whatever the identities say.
D="$T/d2"; shared "$D" 3770; F="$D/BerichteLL"
as llalice sh -c "umask 077; echo notes >'$F/alt_Rechnung.bel'; echo draft >'$F/xx_Kundenliste.lst'; echo p >'$F/Rechnung.bel.llupdate-0123456789abcdef.tmp'"
{ echo state=running
  for f in alt_Rechnung.bel xx_Kundenliste.lst Rechnung.bel.llupdate-0123456789abcdef.tmp; do
    printf 'own=%s\t%s\nown=\t%s\n' "$f" "$(id_of "$F/$f")" "$(id_of "$F/$f")"
  done; } | record llmallory "$D"
# A file planted under alice's record name, which she may not remove there, keeps her from
# nothing: her record takes the next name, and the planted one is refused.
as llmallory sh -c "printf 'state=running\nown=\t1:2\n' >'$F/.llupdate-lock.$(id -u llalice)'"
run llalice war-colours "$D" >"$T/out" 2>&1 || fail "alice's run: $(cat "$T/out")"
[ "$(stat -c %U "$F/.llupdate-lock.$(id -u llalice)-1")" = llalice ] || fail "alice's record: $(ls -la "$F")"
grep -q "llupdate-lock.$(id -u llalice) (er gehört dem Benutzer" "$T/out" || fail "the planted record is not named: $(cat "$T/out")"
run root war-colours "$D" >"$T/out" 2>&1 || fail "root's run: $(cat "$T/out")"
for f in alt_Rechnung.bel xx_Kundenliste.lst Rechnung.bel.llupdate-0123456789abcdef.tmp; do
  [ -e "$F/$f" ] || fail "alice's $f was deleted because of mallory's record"
done
"$LLUPDATE" recover --apply "$D" >"$T/out" 2>&1
[ -e "$F/alt_Rechnung.bel" ] && [ -e "$F/xx_Kundenliste.lst" ] || fail "recover deleted alice's files"

# 3. A crashed in-place rewrite, then the customer saves a new version (a new file renamed over
# the form): the next run of anybody keeps the new version and the old content beside it, and
# names both. Where the form is still as the run left it, recover says so and --apply restores.
D="$T/d3"; shared "$D"; F="$D/BerichteLL"
old=$(cat "$F/Rechnung.bel")
crash() {  # alice's run died in the middle of rewriting Rechnung.bel in place
  as llalice sh -c "cd '$F' && cp Rechnung.bel Rechnung.bel.llupdate-00000000000000aa.tmp && sed 's/=8/=Firmendaten.NeueAnschrift/' Rechnung.bel >xx_Rechnung.bel"
  head -c 700 "$F/xx_Rechnung.bel" >"$T/torn"; tail -c +701 "$F/Rechnung.bel" >>"$T/torn"
  cat "$T/torn" >"$F/Rechnung.bel"
  printf 'state=running\nown=\t%s\nown=xx_Rechnung.bel\t%s\ninplace=Rechnung.bel\tRechnung.bel.llupdate-00000000000000aa.tmp\txx_Rechnung.bel\t%s\n' \
    "$(id_of "$F/Rechnung.bel.llupdate-00000000000000aa.tmp")" "$(id_of "$F/xx_Rechnung.bel")" \
    "$(id_of "$F/Rechnung.bel")" | record llalice "$D"
}
crash
"$LLUPDATE" recover "$D" >"$T/out" 2>&1
grep -q "^restore-in-place: .*gives Rechnung.bel its old content back .* may be half-written" "$T/out" ||
  fail "recover does not tell of the half-written form: $(cat "$T/out")"
grep -q "partial file" "$T/out" && fail "recover calls the complete copy a partial file: $(cat "$T/out")"
"$LLUPDATE" recover --apply "$D" >"$T/out" 2>&1 || fail "recover --apply: $(cat "$T/out")"
[ "$(cat "$F/Rechnung.bel")" = "$old" ] || fail "recover --apply did not give the form its content back"
ls "$F" | grep -q 'llupdate-0\|^xx_' && fail "recover left files: $(ls "$F")"
crash
as llalice sh -c "cd '$F' && echo 'saved in the designer' >.new && mv .new Rechnung.bel"
run llbob address "$D" >"$T/out" 2>&1
[ "$(cat "$F/Rechnung.bel")" = "saved in the designer" ] || fail "a newer form was overwritten"
kept=$(ls "$F" | grep '^Rechnung.bel.llupdate-alt-') || fail "the old content is gone: $(ls -a "$F")"
[ "$(cat "$F/$kept")" = "$old" ] || fail "the kept copy is not the old content"
grep -q "Rechnung.bel an Ort und Stelle unterbrochen.*$kept" "$T/out" || fail "the message does not name both: $(cat "$T/out")"

# 4. Second names: a link inside the folder and a hard link are converted once, as the form is.
D="$T/d4"; shared "$D"; cp -R "$DEMO" "$T/plain"
ln -s Wartung.war "$D/BerichteLL/Link.war"; ln "$D/BerichteLL/Wartung.war" "$D/BerichteLL/Zweitname.war"
run root ll24 "$D" >"$T/out" 2>&1 || fail "ll24 with second names: $(cat "$T/out")"
run root ll24 "$T/plain" >/dev/null 2>&1
cmp -s "$D/BerichteLL/Wartung.war" "$T/plain/BerichteLL/Wartung.war" || fail "a form with second names was converted twice"
[ "$(grep -c 'zweiter Name von' "$T/out")" = 2 ] || fail "the second names are not told: $(cat "$T/out")"

# 5. The real form folder is the boundary: with BerichteLL a link to STORE/db1, a form link into
# another database's form folder is left with a message, and so is one to a folder beside it.
S="$T/store"; mkdir -p "$S"; cp -R "$DEMO/BerichteLL" "$S/db1"; cp -R "$DEMO" "$S/db2"
D="$T/d5"; mkdir "$D"; ln -s "$S/db1" "$D/BerichteLL"
rm "$S/db1/Mahnung.MAH"; ln -s ../db2/BerichteLL/Mahnung.MAH "$S/db1/Mahnung.MAH"
cp "$DEMO/BerichteLL/Lieferschein.bst" "$S/Lieferschein.bst"; rm "$S/db1/Lieferschein.bst"
ln -s ../Lieferschein.bst "$S/db1/Lieferschein.bst"
run root address "$D" >"$T/out" 2>&1
cmp -s "$DEMO/BerichteLL/Mahnung.MAH" "$S/db2/BerichteLL/Mahnung.MAH" || fail "another database's form was rewritten"
cmp -s "$DEMO/BerichteLL/Lieferschein.bst" "$S/Lieferschein.bst" || fail "a form outside the form folder was rewritten"
grep -q "Mahnung.MAH (ein symbolischer Link, der aus seinem Ordner hinausführt)" "$T/out" || fail "the link out is not named: $(cat "$T/out")"

# 6. Private forms: with umask 002 and by ACL, no copy is readable by another member after a run
# or after a kill at a random point (every instant of a run is watched by the unit tests).
D="$T/d6"; shared "$D"; F="$D/BerichteLL"
chown llalice "$F/Mahnung.MAH" "$F/Rechnung.bel"; chmod 600 "$F/Mahnung.MAH" "$F/Rechnung.bel"
acl=no
if command -v setfacl >/dev/null && setfacl -m u:llbob:rw,m::rw "$F/Rechnung.bel" 2>/dev/null; then
  acl=yes  # 0660 by its bits, but the group has no access: only alice and bob
fi
ln "$F/Mahnung.MAH" "$D/Mahnung.zweit"  # a second name: rewritten in place behind a backup
cp "$F/Mahnung.MAH" "$T/mahnung"
# The files beside the private forms (their copies, backups, temporary files) that mallory could
# read.
readable() {
  for f in "$F"/*Mahnung* "$F"/*Rechnung* "$F"/.llupdate-journal/*/*Mahnung* \
    "$F"/.llupdate-journal/*/*Rechnung*; do
    case "$(basename "$f")" in Mahnung.MAH | Rechnung.bel) continue ;; esac
    [ -f "$f" ] && as llmallory cat "$f" >/dev/null 2>&1 && echo "$f"
  done
}
for i in 1 2 3 4 5 6; do
  (umask 002; exec "$LLUPDATE" --no-sync ll24 "$D") >/dev/null 2>&1
  r=$(readable); [ -z "$r" ] || fail "readable by others after a run: $r"
  (umask 002; exec "$LLUPDATE" --no-sync address "$D") >/dev/null 2>&1 & pid=$!
  sleep "0.00$((RANDOM % 9))"; kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null
  r=$(readable); [ -z "$r" ] || fail "readable by others after a kill: $r"
  cat "$T/mahnung" >"$F/Mahnung.MAH"
done
as llmallory cat "$F/Mahnung.MAH" >/dev/null 2>&1 && fail "the private form became readable"
[ -n "$(ls "$F"/.llupdate-journal/*/*Mahnung* 2>/dev/null)" ] || fail "the journal kept nothing of the private form"
as llmallory cat "$F/Rechnung.bel" >/dev/null 2>&1 && fail "the form private by ACL became readable"
[ $acl = no ] || as llbob cat "$F/Rechnung.bel" >/dev/null 2>&1 || fail "the form lost its ACL"
# 7. The journal among accounts. Mallory's own run record naming root's form (which no member
# may replace) with her content, and one she writes in alice's name, take nothing back when root
# runs undo; bob takes back alice's run on the forms the group may write, and root bob's undo.
D="$T/d7"; shared "$D" 3770; F="$D/BerichteLL"; J="$F/.llupdate-journal"
chown root "$F/Rechnung.bel"; chmod 644 "$F/Rechnung.bel"
cp -a "$D" "$T/d7-before"
run llalice address "$D" >/dev/null 2>&1  # Rechnung.bel is root's: alice's run leaves it
cp -a "$D" "$T/d7-after"
forge() {  # ACCOUNT-IN-THE-RECORD: mallory's newest run, replacing Rechnung.bel by her payload
  local id="29991231-000000.000-$1" t
  t=$(stat -c %.9Y "$F/Rechnung.bel")  # the identity as stat tells anyone
  identity="$(stat -c %d:%i:%s "$F/Rechnung.bel"):${t%.*}.$((10#${t#*.}))"
  as llmallory sh -c "mkdir '$J/$id' && echo payload >'$J/$id/1.Rechnung.bel' &&
    printf 'llupdate-journal\t1\nrun\t$id\nwho\tx\t$1\th\t1\nstarted\t4102444800\t2099-12-31 00:00:00\ncommand\tx\nreplaced\tforms\tRechnung.bel\t1.Rechnung.bel\t%s\t0\nended\tok\t1\t1\t0\t0\n' \
      '$identity' >'$J/$id.run' && chmod 644 '$J/$id.run'"
}
for who in "$(id -u llmallory)" "$(id -u llalice)"; do
  forge "$who"
  run root undo "$D" >"$T/out" 2>&1
  cmp -s "$F/Rechnung.bel" "$T/d7-before/BerichteLL/Rechnung.bel" ||
    fail "a forged run record (account $who) changed root's form: $(cat "$T/out")"
  grep -q "darf es nicht schreiben\|nicht beachtet" "$T/out" || fail "forged run $who not named: $(cat "$T/out")"
  as llmallory rm -rf "$J/29991231-000000.000-$who" "$J/29991231-000000.000-$who.run"
done
run llbob undo "$D" >"$T/out" 2>&1 || fail "bob's undo of alice's run: $(cat "$T/out")"
diff -r -x '.llupdate-*' -x '*.sqlite' "$T/d7-before" "$D" >/dev/null || fail "bob's undo did not give the forms of before"
run root undo "$D" >"$T/out" 2>&1 || fail "root's undo of bob's undo: $(cat "$T/out")"
diff -r -x '.llupdate-*' -x '*.sqlite' "$T/d7-after" "$D" >/dev/null || fail "root's undo of the undo did not give alice's result"
# 8. A preview says what the real run would: for an account that may not write the folder it is
# refused as the real run is, and where a sticky folder keeps the forms to their owners it fails
# the forms the real run would fail (exit 4), not "True".
D="$T/d8"; shared "$D" 2750
run llalice --dry-run address "$D" >"$T/out" 2>&1 && fail "a preview for a folder alice may not write said yes: $(cat "$T/out")"
grep -q "kann nicht angelegt werden" "$T/out" || fail "the refused preview does not say why: $(cat "$T/out")"
for forms in 664 644; do  # written into in place, or not at all
  shared "$D" 3777; chown root "$D/BerichteLL/"*.*; chmod $forms "$D/BerichteLL/"*.*
  want=0; [ $forms = 644 ] && want=4
  run llalice --dry-run address "$D" >"$T/out" 2>&1; rc=$?
  [ $rc = $want ] && grep -q "would return True" "$T/out" || fail "sticky preview ($forms): exit $rc: $(cat "$T/out")"
  [ $want = 0 ] || grep -q "Rechnung.bel konnte nicht ersetzt werden" "$T/out" || fail "sticky preview: $(cat "$T/out")"
  run llalice address "$D" >/dev/null 2>&1; rc=$?
  [ $rc = $want ] || fail "the real sticky run ($forms) ended with $rc, its preview with $want"
done
echo "records test passed"
