#!/bin/sh
# The command line as a support person uses it: exit codes, records and the settings store.
set -u
LLUPDATE=$1
T=$(mktemp -d)
trap 'chmod -R u+w "$T"; rm -rf "$T"' EXIT
fail() { printf "FAIL: %s\n" "$*"; exit 1; }
expect_rc() { want=$1; shift; "$@" >"$T/out" 2>"$T/err"; rc=$?; [ $rc -eq "$want" ] || fail "$* exited $rc, expected $want: $(cat "$T/err")"; }

echo x >"$T/ro"; chmod 0454 "$T/ro"
expect_rc 0 "$LLUPDATE" SchreibschutzEntfernen "$T/ro"
[ "$(stat -c %a "$T/ro")" = 654 ] || fail "SchreibschutzEntfernen left mode $(stat -c %a "$T/ro")"
expect_rc 0 "$LLUPDATE" SchreibschutzEntfernen "$T/missing"
expect_rc 0 "$LLUPDATE" SchreibschutzEntfernen "$T"

mkdir -p "$T/dir/sub"; echo a >"$T/dir/a"; echo b >"$T/dir/b.bel"; echo b >"$T/dir/sub/b"; chmod 444 "$T/dir/a" "$T/dir/b.bel" "$T/dir/sub/b"
expect_rc 0 "$LLUPDATE" --json SchreibschutzEntfernenAlleDateien "$T/dir"
[ -w "$T/dir/a" ] && [ "$(stat -c %a "$T/dir/a" "$T/dir/b.bel")" = "644
644" ] || fail "AlleDateien did not clear a and b.bel"
[ "$(stat -c %a "$T/dir/sub/b")" = 444 ] && ! grep -q ShowMessage "$T/err" || fail "AlleDateien touched a subdirectory or said something: $(cat "$T/err")"
grep -qx '{"v":1,"call":"Result","command":"SchreibschutzEntfernenAlleDateien","operation":"SchreibschutzEntfernenAlleDateien","result":null}' "$T/out" || fail "json result: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" SchreibschutzEntfernenAlleDateien "$T/nothing"
[ -s "$T/err" ] && fail "a folder that is not there gave a message: $(cat "$T/err")"
# Only the driver keeps its progress in the settings store; no other operation reads it.
echo junk >"$T/junk-store.sqlite"
reads_no_settings() {
  expect_rc 0 "$LLUPDATE" --settings "$T/junk-store.sqlite" --dry-run "$@"
  grep -q "record\|sqlite" "$T/out" "$T/err" && fail "$1 read the settings: $(cat "$T/out" "$T/err")"
}
reads_no_settings SchreibschutzEntfernenAlleDateien "$T/dir"
reads_no_settings SchreibschutzEntfernen "$T/ro"
chmod 0454 "$T/ro"
expect_rc 0 "$LLUPDATE" --dry-run unprotect "$T/ro"
grep -qx "would make $T/ro writable" "$T/out" && [ "$(stat -c %a "$T/ro")" = 454 ] || fail "preview of unprotect: $(cat "$T/out" "$T/err")"

expect_rc 0 "$LLUPDATE" --settings "$T/s.sqlite" setting CheckReportLL LetzterWert 3
expect_rc 0 "$LLUPDATE" --settings "$T/s.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 3 ] || fail "setting read back '$(cat "$T/out")'"
head -c 5000 /dev/urandom >"$T/junk.sqlite"
expect_rc 1 "$LLUPDATE" --settings "$T/junk.sqlite" setting CheckReportLL LetzterWert
grep -q "junk.sqlite" "$T/err" || fail "no file named for a junk settings file"
expect_rc 1 "$LLUPDATE" --settings "$T" setting CheckReportLL LetzterWert
# A link in the settings file's place is refused, and what it points at stays as it was.
ln -s "$T/s.sqlite" "$T/link.sqlite"; cp "$T/s.sqlite" "$T/s.before"
expect_rc 1 "$LLUPDATE" --settings "$T/link.sqlite" setting CheckReportLL LetzterWert 5
grep -q "Link" "$T/err" || fail "a settings link not named as one: $(cat "$T/err")"
cmp -s "$T/s.sqlite" "$T/s.before" || fail "a write went through the settings link"

expect_rc 2 "$LLUPDATE" --settings "" setting CheckReportLL LetzterWert
expect_rc 0 "$LLUPDATE" --settings="$T/s.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 3 ] || fail "--settings=FILE read back '$(cat "$T/out")'"
expect_rc 0 "$LLUPDATE" --json --settings "$T/s.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = "{\"v\":1,\"call\":\"Setting\",\"section\":\"CheckReportLL\",\"key\":\"LetzterWert\",\"value\":\"3\",\"file\":\"$T/s.sqlite\"}" ] ||
  fail "json setting: $(cat "$T/out")"
expect_rc 2 "$LLUPDATE" NoSuchOperation
grep -q "unknown command .NoSuchOperation." "$T/err" || fail "unknown command not named"
expect_rc 2 "$LLUPDATE" SchreibschutzEntfernen
expect_rc 2 "$LLUPDATE" SchreibschutzEntfernen a b
expect_rc 2 "$LLUPDATE"
expect_rc 0 "$LLUPDATE" --help
grep -A1 '^  convert DBPATH$' "$T/out" | grep -qx '      bring the forms of a database up to date (the conversion driver)' ||
  fail "--help without the summary of convert: $(cat "$T/out")"
grep -A1 '^  --keep-runs N     the journal keeps what the newest N runs replaced' "$T/out" |
  grep -qx '                    (default: the setting llupdate KeepRuns, else 5; 0 keeps nothing)' ||
  fail "--help without the options' help: $(cat "$T/out")"

# A job whose catalogue cannot be built skips the type, reports it and returns True: the errors
# it showed make the exit status 4.
expect_rc 4 "$LLUPDATE" --json Umstellung_auf_LL12 "$T/nodb"
[ "$(grep -c '"text":"Allgemeiner Fehler in Aufbau_Array' "$T/err")" = 3 ] || fail "LL12 on a missing db"
expect_rc 1 "$LLUPDATE" --json Suche_ErsetzeProjektdatei_LL12 a.bel "$T/nodb"
grep -qx '{"v":1,"call":"Result","command":"Suche_ErsetzeProjektdatei_LL12","operation":"Suche_ErsetzeProjektdatei_LL12","result":false}' "$T/out" || fail "json false: $(cat "$T/out")"
grep -q '^{"v":1,"call":"ReportError","title":"clsReportLLUpdate","routine":"Ausgabe_Open","number":76,"description":"Pfad nicht gefunden: .*a.bel","flag":true}$' "$T/err" || fail "json record: $(cat "$T/err")"
mkdir -p "$T/db/BerichteLL"
printf '[UserSection]\r\nVersion=3\r\nReferenzbeleg=R\r\n[Description]\r\nFileVersion=24\r\n' >"$T/db/BerichteLL/b.lst"
printf '[UserSection]\r\nVersion=2\r\n' >"$T/db/BerichteLL/A.LST"
expect_rc 0 "$LLUPDATE" --json list "$T/db" lst
[ "$(sed -n 1p "$T/out")" = "{\"v\":1,\"call\":\"Form\",\"name\":\"A.LST\",\"path\":\"$T/db/BerichteLL/A.LST\",\"version\":\"2\",\"referenzbeleg\":\"\",\"fileversion\":\"\"}" ] || fail "list row 1: $(cat "$T/out")"
[ "$(sed -n 2p "$T/out" | cut -c1-35)" = '{"v":1,"call":"Form","name":"b.lst"' ] || fail "list row 2: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" list "$T/db"
[ "$(wc -l <"$T/out")" = 3 ] && grep -q '^A.LST  *2$' "$T/out" && grep -q '^b.lst  *3  *R  *24$' "$T/out" || fail "list all: $(cat "$T/out")"
expect_rc 2 "$LLUPDATE" list "$T/nodb"

# The driver on the demo database: the first call runs every step and records 6, the second,
# in a new process, does nothing, shows nothing and succeeds.
DEMO=$(dirname "$0")/../examples/demo-db
cp -R "$DEMO" "$T/demo"
expect_rc 0 "$LLUPDATE" Kopiere_Neue_Formulare_LL "$T/demo" "$T/demo/EXEDIR" demo
expect_rc 0 "$LLUPDATE" --settings "$T/demo.sqlite" Pruefe_Konvertiere_Formulare "$T/demo"
grep -q "auf_LL12" "$T/err" || fail "no database-version notice: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" --settings "$T/demo.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 6 ] || fail "recorded step '$(cat "$T/out")'"
expect_rc 0 "$LLUPDATE" --settings "$T/demo.sqlite" Pruefe_Konvertiere_Formulare "$T/demo"
[ ! -s "$T/err" ] || fail "second driver call showed: $(cat "$T/err")"
ls "$T/demo/BerichteLL" | grep -q '^xx_\|^alt_' && fail "temporary or backup files left"
expect_rc 1 "$LLUPDATE" --settings "$T/junk.sqlite" Pruefe_Konvertiere_Formulare "$T/demo"
grep -q "Allgemeiner Fehler in Pruefe_Konvertiere_Formulare" "$T/err" || fail "junk settings: $(cat "$T/err")"

# A dry run shows what would change and changes nothing, byte for byte and attribute for
# attribute.
snap() { (cd "$1" && find . -exec stat -c '%n %a %y %s' {} \; | sort && find . -type f -exec sha256sum {} \; | sort); }
cp -R "$DEMO" "$T/dry"
chmod 444 "$T/dry/BerichteLL/Termine.ter"
snap "$T/dry" >"$T/before"
expect_rc 0 "$LLUPDATE" --dry-run --settings "$T/dry.sqlite" convert "$T/dry"
grep -q '^+    Spacing.Paragraph=Firmendaten.NeueAnschrift$' "$T/out" || fail "no address diff: $(cat "$T/out")"
grep -q '^+    Color==RGB (0,0,0)$' "$T/out" || fail "UTF-16 form not shown as text"
grep -q "would make $T/dry/BerichteLL/Termine.ter writable" "$T/out" || fail "no attribute line"
grep -q "would record step 6 in $T/dry.sqlite (now 0)" "$T/out" || fail "no settings line"
grep -q 'Pruefe_Konvertiere_Formulare would return True' "$T/out" || fail "no result line"
[ ! -e "$T/dry.sqlite" ] || fail "dry run created the settings file"
expect_rc 0 "$LLUPDATE" --dry-run distribute "$T/dry" "$T/dry/EXEDIR" demo
grep -q "would create $T/dry/BerichteLL/Angebot.bel" "$T/out" || fail "no create line: $(cat "$T/out")"
grep -q "would delete $T/dry/BerichteLLOrg/NeueBerichte.txt" "$T/out" || fail "no delete line"
grep -q "would create the directory $T/dry/EXEDIR/BERICHTELLDEMO" "$T/out" || fail "no directory line"
expect_rc 0 "$LLUPDATE" --dry-run --json distribute "$T/dry" "$T/dry/EXEDIR" demo
grep -qxF "{\"v\":1,\"call\":\"Preview\",\"change\":\"delete\",\"path\":\"$T/dry/BerichteLLOrg/NeueBerichte.txt\",\"text\":\"would delete $T/dry/BerichteLLOrg/NeueBerichte.txt\"}" "$T/out" &&
  grep -q "^{\"v\":1,\"call\":\"Preview\",\"change\":\"rewrite\",\"path\":\"$T/dry/BerichteLL/Artikelliste.lst\",\"diff\":\"@@ " "$T/out" ||
  fail "the distribution's preview as JSON: $(cat "$T/out")"
for cmd in address war-colours ll12 ll24 "dunning DB MAH" "page-numbers DB bel"; do
  set -- $cmd
  name=$1; shift
  [ $# -gt 0 ] && shift
  expect_rc 0 "$LLUPDATE" --dry-run --json "$name" "$T/dry" "$@"
  grep -q '"dry_run":true' "$T/out" || fail "$name: no dry-run result"
done
expect_rc 0 "$LLUPDATE" --dry-run unprotect "$T/dry/BerichteLL" "$T/dry/BerichteLL/Termine.ter"
# A pipe, links that lead in circles or out of the database: the preview neither waits, nor
# follows them out, nor writes anything anywhere (not even in its temporary folder).
mkfifo "$T/dry/BerichteLL/Pipe.bel"
ln -s Loop2.bel "$T/dry/BerichteLL/Loop1.bel"; ln -s Loop1.bel "$T/dry/BerichteLL/Loop2.bel"
ln -s . "$T/dry/BerichteLL/Self"; ln -s /etc/passwd "$T/dry/BerichteLL/Aussen.bel"
mkdir "$T/tmp"
snap "$T/dry" >"$T/before"
TMPDIR="$T/tmp" expect_rc 1 timeout 60 "$LLUPDATE" --dry-run --settings "$T/dry.sqlite" convert "$T/dry"
[ -z "$(ls -A "$T/tmp")" ] || fail "the dry run left files in TMPDIR: $(ls -A "$T/tmp")"
grep -q "$T/dry/BerichteLL/Aussen.bel (ein Verweis aus der Datenbank heraus" "$T/err" ||
  fail "the link out of the database not named: $(cat "$T/err")"
grep -q "root:" "$T/out" && fail "the dry run read through a link out of the database"
snap "$T/dry" >"$T/after"
cmp -s "$T/before" "$T/after" || fail "a dry run changed the originals: $(diff "$T/before" "$T/after" | head -5)"

# Progress and summary: a line per step on a pipe without --json, JSON lines with it, never on
# stdout.
cp -R "$DEMO" "$T/run"
expect_rc 0 "$LLUPDATE" address "$T/run"
grep -q 'Progress\|/[0-9]' "$T/err" && fail "progress on a pipe: $(cat "$T/err")"
grep -qx 'llupdate: address switch-over' "$T/err" || fail "no step line on a pipe: $(cat "$T/err")"
grep -qx 'forms examined: 4, rewritten: 4, unchanged: 0, refused: 0, failed: 0, errors shown: 0, time: [0-9.]* s' "$T/err" || fail "summary: $(cat "$T/err")"
changed=$(cd "$T/run/BerichteLL" && for f in *; do cmp -s "$f" "$DEMO/BerichteLL/$f" || echo "$f"; done | wc -l)
[ "$changed" = 4 ] || fail "summary says 4 rewritten, $changed files changed"
expect_rc 0 "$LLUPDATE" --json ll24 "$T/run"
grep -q "^{\"v\":1,\"call\":\"Progress\",\"operation\":\"Umstellung_auf_LL24\",\"label\":\"LL24 switch-over\",\"type\":\"bel\",\"done\":1,\"total\":1,\"form\":\"Rechnung.bel\",\"path\":\"$T/run/BerichteLL/Rechnung.bel\"}$" "$T/err" || fail "json progress: $(cat "$T/err")"
grep -q '^{"v":1,"call":"Summary","examined":8,.*"interrupted":false,"seconds":' "$T/err" || fail "json summary: $(cat "$T/err")"
[ "$(cat "$T/out")" = '{"v":1,"call":"Result","command":"ll24","operation":"Umstellung_auf_LL24","result":true}' ] || fail "stdout: $(cat "$T/out")"

# Recovery of what an interrupted run leaves behind: only files that the lock's record names with
# their identity are the program's; files named like them that it did not make are never touched.
F="$T/run/BerichteLL"
echo "my own copy" >"$F/alt_Termine.ter"
echo "a draft" >"$F/xx_Kundenliste.lst"
expect_rc 0 "$LLUPDATE" recover "$T/run"
grep -q '^foreign: keeps alt_Termine.ter: not made by llupdate' "$T/out" || fail "foreign line: $(cat "$T/out")"
mv "$F/Rechnung.bel" "$F/alt_Rechnung.bel"
cp "$F/Mahnung.MAH" "$F/alt_Mahnung.MAH"
echo partial >"$F/xx_Wartung.war"
cp "$F/Etikett.lbl" "$F/xx_Etikett.lbl" && rm "$F/Etikett.lbl"
echo half >"$F/Wartung.war.llupdate-00000000000000ab.tmp"
# What an unfinished run of the program would have recorded for these files.
{ printf 'host=h\npid=1\nsince=now\nstate=running\n'
  for f in alt_Rechnung.bel alt_Mahnung.MAH xx_Wartung.war xx_Etikett.lbl Wartung.war.llupdate-00000000000000ab.tmp; do
    printf 'own=%s\t%s\n' "$f" "$(stat -c %d:%i "$F/$f")"
  done; } >"$F/.llupdate-lock.$(id -u)"
chmod 644 "$F/.llupdate-lock.$(id -u)"
snap "$T/run" >"$T/before"
expect_rc 1 "$LLUPDATE" recover "$T/run"
[ "$(grep -vc '^foreign' "$T/out")" = 5 ] || fail "recover report: $(cat "$T/out")"
grep -q '^restore: .*alt_Rechnung.bel: --apply restores Rechnung.bel from its backup alt_Rechnung.bel$' "$T/out" || fail "restore line: $(cat "$T/out")"
snap "$T/run" >"$T/after"
cmp -s "$T/before" "$T/after" || fail "recover changed files without --apply"
# A temporary file that is all that is left of a form may be incomplete: it is kept, never made
# a form, and recover keeps saying so.
expect_rc 1 "$LLUPDATE" recover --apply "$T/run"
[ -e "$F/Rechnung.bel" ] && [ -e "$F/Mahnung.MAH" ] || fail "not restored"
[ -e "$F/Etikett.lbl" ] && fail "a temporary file became a form"
[ "$(ls "$F" | grep '^xx_\|^alt_\|llupdate' | tr '\n' ' ')" = "alt_Termine.ter xx_Etikett.lbl xx_Kundenliste.lst " ] || fail "recover left files: $(ls "$F")"
[ "$(cat "$F/alt_Termine.ter")" = "my own copy" ] && [ "$(cat "$F/xx_Kundenliste.lst")" = "a draft" ] || fail "a file not made by llupdate was changed"
grep -q '^orphan: .*keeps xx_Etikett.lbl' "$T/out" || fail "orphan line: $(cat "$T/out")"
mv "$F/xx_Etikett.lbl" "$F/Etikett.lbl"
rm "$F/alt_Termine.ter" "$F/xx_Kundenliste.lst"
expect_rc 0 "$LLUPDATE" recover "$T/run"
grep -q "nothing to recover" "$T/out" || fail "second recover: $(cat "$T/out")"

# What status and recover tell of leftovers, files named like them and a record that is not
# trusted, as text and as JSON.
interrupted() {  # a database as a run leaves it that ended between its backup and its rename
  cp -R "$DEMO" "$1"
  mv "$1/BerichteLL/Rechnung.bel" "$1/BerichteLL/alt_Rechnung.bel"
  { printf 'host=h\npid=1\nsince=now\nstate=running\n'
    printf 'own=alt_Rechnung.bel\t%s\n' "$(stat -c %d:%i "$1/BerichteLL/alt_Rechnung.bel")"; } >"$1/BerichteLL/.llupdate-lock.$(id -u)"
  chmod 644 "$1/BerichteLL/.llupdate-lock.$(id -u)"
}
# The next run heals it; quiet, it still says so in a line.
interrupted "$T/heal"
expect_rc 0 "$LLUPDATE" -q --no-sync address "$T/heal"
grep -qx "llupdate: a file of an interrupted run was restored: $T/heal/BerichteLL/alt_Rechnung.bel" "$T/err" ||
  fail "a quiet run's healing: $(cat "$T/err")"
# What a run tidies up is told as JSON records, and in quiet lines: a backup of a complete form
# and a temporary file removed, a temporary file that is all that is left of its form kept.
for mode in --json -q; do
  cp -R "$DEMO" "$T/tidy$mode"
  F="$T/tidy$mode/BerichteLL"
  cp "$F/Rechnung.bel" "$F/alt_Rechnung.bel"
  mv "$F/Etikett.lbl" "$F/xx_Etikett.lbl"
  { printf 'host=h\npid=1\nsince=now\nstate=running\n'
    for f in alt_Rechnung.bel xx_Etikett.lbl; do printf 'own=%s\t%s\n' "$f" "$(stat -c %d:%i "$F/$f")"; done; } >"$F/.llupdate-lock.$(id -u)"
  expect_rc 0 "$LLUPDATE" $mode --no-sync address "$T/tidy$mode"
  grep -E '"Heal"|interrupted run' "$T/err" | sed "s|$F/||g" >"$T/tidy$mode.heal"
done
[ "$(cat "$T/tidy--json.heal")" = '{"v":1,"call":"Heal","action":"removed","path":"alt_Rechnung.bel","form":"Rechnung.bel"}
{"v":1,"call":"Heal","action":"kept","path":"xx_Etikett.lbl","form":"Etikett.lbl"}' ] || fail "JSON of tidying up: $(cat "$T/tidy--json.heal")"
[ "$(cat "$T/tidy-q.heal")" = 'llupdate: a file of an interrupted run was removed: alt_Rechnung.bel
llupdate: a file of an interrupted run was kept: xx_Etikett.lbl' ] || fail "quiet lines of tidying up: $(cat "$T/tidy-q.heal")"
# A name that is not UTF-8 is given in JSON as its bytes too.
cp "$DEMO/BerichteLL/Kundenliste.lst" "$(printf '%s/M\344hne.lst' "$F")"
expect_rc 0 "$LLUPDATE" --json list "$T/tidy-q" lst
grep -qF "\"name\":\"M\\udce4hne.lst\",\"path\":\"$F/M\\udce4hne.lst\",\"path_bytes\":\"$(printf '%s' "$F/M" | od -An -tx1 | tr -d ' \n')e4686e652e6c7374\"," "$T/out" ||
  fail "a name not in UTF-8 as JSON: $(cat "$T/out")"
interrupted "$T/left"
F="$T/left/BerichteLL"
echo "my own copy" >"$F/alt_Termine.ter"
: >"$F/alt_"; : >"$F/xx_"  # a prefix alone names no form's copy
cp "$F/.llupdate-lock.$(id -u)" "$F/.llupdate-lock.4242"
refused="$F/.llupdate-lock.4242 (er gehört dem Benutzer $(id -u), nicht 4242)"
expect_rc 0 "$LLUPDATE" --json status "$T/left"
grep -qF "\"leftovers\":[{\"file\":\"alt_Rechnung.bel\",\"path\":\"$F/alt_Rechnung.bel\",\"form\":\"Rechnung.bel\"}],\"in_work\":[],\"not_made_by_llupdate\":[\"$F/alt_Termine.ter\"],\"refused_records\":[\"$refused\"]," "$T/out" ||
  fail "json status of leftovers: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" status "$T/left"
grep -A1 "^left by an interrupted run" "$T/out" | grep -qx "  $F/alt_Rechnung.bel" &&
  grep -A1 "^named like leftovers but not made by llupdate" "$T/out" | grep -qx "  $F/alt_Termine.ter" &&
  grep -A1 "^records not trusted" "$T/out" | grep -qxF "  $refused" || fail "status of leftovers: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" --json recover "$T/left"
[ "$(sed -n 1,2p "$T/out")" = "{\"v\":1,\"call\":\"RefusedRecord\",\"record\":\"$refused\"}
{\"v\":1,\"call\":\"Leftover\",\"leftover\":\"restore\",\"file\":\"alt_Rechnung.bel\",\"path\":\"$F/alt_Rechnung.bel\",\"form\":\"Rechnung.bel\",\"apply\":\"restores Rechnung.bel from its backup alt_Rechnung.bel\"}" ] ||
  fail "json recover: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" recover "$T/left"
grep -qxF "refused record: $refused: nothing is done from it (remove it if no run of llupdate wrote it)" "$T/out" ||
  fail "recover's refused record: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json recover --apply "$T/left"
grep -q '"leftover":"restore",.*"outcome":"' "$T/out" && [ -e "$F/Rechnung.bel" ] || fail "json recover --apply: $(cat "$T/out")"

# Rewrites in place that a run left unfinished, each with the run's complete copy of the old
# content: a form torn by the rewrite gets it back; a form changed since, one whose new content
# cannot be checked, one that is another file now and one that is gone are kept with the copy.
cp -R "$DEMO" "$T/inplace"
F="$T/inplace/BerichteLL"
{ printf 'host=h\npid=1\nsince=now\nstate=running\n'
  n=0
  for form in Rechnung.bel Mahnung.MAH Lieferschein.bst Etikett.lbl Kundenliste.lst; do
    n=$((n + 1))
    copy="$form.llupdate-00000000000000a$n.tmp"
    cp "$F/$form" "$F/$copy"
    printf 'own=%s\t%s\n' "$copy" "$(stat -c %d:%i "$F/$copy")"
    source=""
    [ $n -le 2 ] && source="xx_$form" && printf 'NEU\r\nNEU\r\n' >"$F/$source" &&
      printf 'own=%s\t%s\n' "$source" "$(stat -c %d:%i "$F/$source")"
    printf 'inplace=%s\t%s\t%s\t%s\n' "$form" "$copy" "$source" "$(stat -c %d:%i "$F/$form")"
  done; } >"$F/.llupdate-lock.$(id -u)"
printf 'NEU\r\n' | dd of="$F/Rechnung.bel" conv=notrunc 2>/dev/null  # new at its start, old after
printf 'Spacing=1\r\n' >>"$F/Mahnung.MAH"
printf 'Spacing=1\r\n' >>"$F/Lieferschein.bst"
cp "$F/Etikett.lbl" "$T/etikett" && rm "$F/Etikett.lbl" && mv "$T/etikett" "$F/Etikett.lbl"
rm "$F/Kundenliste.lst"
cp "$F/Rechnung.bel.llupdate-00000000000000a1.tmp" "$T/rechnung"
expect_rc 1 "$LLUPDATE" recover "$T/inplace"
for want in \
  "restore-in-place: $F/Rechnung.bel.llupdate-00000000000000a1.tmp: --apply gives Rechnung.bel its old content back from Rechnung.bel.llupdate-00000000000000a1.tmp, the complete copy made before an interrupted rewrite in place; Rechnung.bel may be half-written" \
  "restore-in-place: $F/Mahnung.MAH.llupdate-00000000000000a2.tmp: --apply keeps Mahnung.MAH as it is and Mahnung.MAH.llupdate-00000000000000a2.tmp, the complete copy of its old content: Mahnung.MAH changed since an interrupted rewrite in place (es wurde seitdem geändert); compare them yourself" \
  "restore-in-place: $F/Lieferschein.bst.llupdate-00000000000000a3.tmp: --apply keeps Lieferschein.bst as it is and Lieferschein.bst.llupdate-00000000000000a3.tmp, the complete copy of its old content: Lieferschein.bst changed since an interrupted rewrite in place (sein Zustand lässt sich nicht mehr prüfen); compare them yourself" \
  "restore-in-place: $F/Etikett.lbl.llupdate-00000000000000a4.tmp: --apply keeps Etikett.lbl as it is and Etikett.lbl.llupdate-00000000000000a4.tmp, the complete copy of its old content: Etikett.lbl changed since an interrupted rewrite in place (es ist nicht mehr dieselbe Datei); compare them yourself" \
  "restore-in-place: $F/Kundenliste.lst.llupdate-00000000000000a5.tmp: --apply keeps Kundenliste.lst as it is and Kundenliste.lst.llupdate-00000000000000a5.tmp, the complete copy of its old content: Kundenliste.lst changed since an interrupted rewrite in place (es fehlt); compare them yourself"; do
  grep -qxF "$want" "$T/out" || fail "recover of rewrites in place, no line '$want' in: $(cat "$T/out")"
done
expect_rc 0 "$LLUPDATE" --json status "$T/inplace"
grep -qF '"leftovers":[{"file":"Etikett.lbl.llupdate-00000000000000a4.tmp",' "$T/out" || fail "json status in place: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" recover --apply "$T/inplace"
grep -qxF "restore-in-place: gave Rechnung.bel its old content back from its complete copy (done)" "$T/out" &&
  grep -qE "^restore-in-place: keeps Mahnung.MAH as it is and its old content in Mahnung.MAH.llupdate-alt-[0-9]{8}-[0-9]{6}.tmp \(es wurde seitdem geändert\) \(kept\)$" "$T/out" ||
  fail "recover --apply in place: $(cat "$T/out")"
cmp -s "$F/Rechnung.bel" "$T/rechnung" || fail "the torn form did not get its old content back"
[ "$(ls "$F" | grep -c 'llupdate-alt-')" = 4 ] && [ ! -e "$F/Kundenliste.lst" ] && [ "$(tail -c 11 "$F/Mahnung.MAH")" = "$(printf 'Spacing=1\r\n')" ] ||
  fail "kept forms and copies: $(ls "$F")"

# The administrator's run writes a settings file that another account owns and leaves it that
# account's.
if [ "$(id -u)" = 0 ]; then
  cp -R "$DEMO" "$T/owned"
  expect_rc 0 "$LLUPDATE" -d "$T/owned" setting CheckReportLL LetzterWert 0
  chown 65534:65534 "$T/owned/llupdate-settings.sqlite"
  expect_rc 0 "$LLUPDATE" --no-sync convert "$T/owned"
  [ "$(stat -c %u:%g "$T/owned/llupdate-settings.sqlite")" = 65534:65534 ] || fail "root's run took the settings file: $(ls -ln "$T/owned")"
fi

# A database held by another run is not recovered, with or without --apply (exit 5); a settings
# file that is none is named by status; --jobs is only for the commands that take databases.
cp -R "$DEMO" "$T/heldrec"
echo junk >"$T/heldrec/llupdate-settings.sqlite"
flock "$T/heldrec/BerichteLL" sleep 3 &
until ! flock -n "$T/heldrec/BerichteLL" true; do sleep 0.05; done
expect_rc 5 "$LLUPDATE" recover --apply "$T/heldrec"
grep -q "^llupdate: Zugriff verweigert: die Datenbank mit dem Formularordner $T/heldrec/BerichteLL wird von einem anderen Lauf bearbeitet" "$T/err" || fail "recover --apply of a held database: $(cat "$T/err")"
expect_rc 5 "$LLUPDATE" recover "$T/heldrec"
grep -q "^llupdate: another run holds the database (.*): the files in $T/heldrec/BerichteLL named like leftovers are its work in progress" "$T/err" || fail "recover of a held database: $(cat "$T/err")"
expect_rc 5 "$LLUPDATE" address "$T/heldrec"  # without --wait, nothing waits
grep -q "waiting" "$T/err" && fail "a run waited without --wait: $(cat "$T/err")"
wait
expect_rc 1 "$LLUPDATE" status "$T/heldrec"
grep -qx "llupdate: settings file $T/heldrec/llupdate-settings.sqlite: 75 Fehler beim Zugriff auf Pfad/Datei: $T/heldrec/llupdate-settings.sqlite ist keine SQLite-Datenbank" "$T/err" || fail "status with a junk settings file: $(cat "$T/err")"
# A write to the settings file cut off by a crash leaves its journal: status reads the record as
# the next run will (rolled back, in memory) and leaves both files as they are.
cp -R "$DEMO" "$T/hot"
"$LLUPDATE" -d "$T/hot" setting CheckReportLL LetzterWert 4 >/dev/null
python3 - "$T/hot/llupdate-settings.sqlite" <<'PY'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size = 2")  # the changed pages spill into the file before the commit
db.execute("BEGIN IMMEDIATE")
db.execute("UPDATE settings SET value = '1'")
for i in range(2000):
    db.execute("INSERT INTO settings VALUES (?, 'k', ?)", ("X%d" % i, "v" * 200))
os._exit(0)
PY
[ -s "$T/hot/llupdate-settings.sqlite-journal" ] || fail "no journal was left"
sums=$(md5sum "$T/hot/llupdate-settings.sqlite"*)
expect_rc 0 "$LLUPDATE" status "$T/hot"
grep -q "^recorded step: 4 of 6" "$T/out" || fail "status with a settings journal: $(cat "$T/out" "$T/err")"
[ "$(md5sum "$T/hot/llupdate-settings.sqlite"*)" = "$sums" ] || fail "status changed the settings file"
# A database path longer than SQLite takes for its own files (512 bytes) converts and records.
long="$T/$(printf '%0200d' 0)/$(printf '%0200d' 1)/$(printf '%0200d' 2)"
mkdir -p "$long" && cp -R "$DEMO/." "$long"
expect_rc 0 "$LLUPDATE" --no-sync convert "$long"
expect_rc 0 "$LLUPDATE" -d "$long" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 6 ] || fail "a long database path: $(cat "$T/out" "$T/err")"
expect_rc 2 "$LLUPDATE" --jobs 2 setting a b
grep -qx "llupdate: 'setting' takes one database: --databases and --jobs are for the commands that convert, report or take back" "$T/err" || fail "--jobs with setting: $(cat "$T/err")"

# On a terminal the progress is one line, redrawn in place and cleared at the end; several
# databases get a line each, cleared before the table. A dumb terminal gets no control codes.
if script -qec true /dev/null >/dev/null 2>&1; then  # a terminal can be had
  on_terminal() { env -u NO_COLOR TERM="$1" script -qec "$2" /dev/null >"$T/tty.out" 2>&1; }
  for i in 1 2 3; do cp -R "$DEMO" "$T/tty$i"; done
  for n in $(seq 1 300); do for i in 2 3; do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/tty$i/BerichteLL/R$n.bel"; done; done
  on_terminal xterm "'$LLUPDATE' --no-sync address '$T/tty1'"
  grep -qF "$(printf '\r\033[Kaddress switch-over, bel 1/1: Rechnung.bel')" "$T/tty.out" &&
    grep -qF "$(printf '\r\033[Kforms examined: 4')" "$T/tty.out" || fail "progress on a terminal: $(cat -v "$T/tty.out")"
  on_terminal xterm "'$LLUPDATE' --no-sync --jobs 2 convert '$T/tty2' '$T/tty3'"
  grep -qE "^  $T/tty[23]: step [1-6] of 6: " "$T/tty.out" && cat -v "$T/tty.out" | grep -qE '\^\[\[[12]A\^\[\[JDATABASE|\^\[\[[12]A\^\[\[Jllupdate: ' ||
    fail "a fleet's progress on a terminal: $(cat -v "$T/tty.out")"
  on_terminal dumb "'$LLUPDATE' --no-sync address '$T/tty1'"
  grep -q "$(printf '\033')" "$T/tty.out" && fail "control codes for a dumb terminal: $(cat -v "$T/tty.out")"
fi

# A wrong database: a typo in DBPATH runs and records nothing; the record belongs to the
# database, so two databases converted from one directory are both converted.
mkdir "$T/work"
(cd "$T/work" && expect_rc 2 "$LLUPDATE" convert "$T/typo") || exit 1
grep -q "has no form directory BerichteLL" "$T/err" || fail "typo not explained: $(cat "$T/err")"
[ -z "$(ls -A "$T/work")" ] && [ ! -e "$T/typo" ] || fail "a typo left files behind"
cp -R "$DEMO" "$T/c1"; cp -R "$DEMO" "$T/c2"
for db in c1 c2; do
  (cd "$T/work" && LLUPDATE_SETTINGS= expect_rc 0 "$LLUPDATE" -q convert "$T/$db") || exit 1
  cmp -s "$T/$db/BerichteLL/Rechnung.bel" "$DEMO/BerichteLL/Rechnung.bel" && fail "$db not converted"
  [ -e "$T/$db/llupdate-settings.sqlite" ] || fail "$db has no record of its own"
done
[ -z "$(ls -A "$T/work")" ] || fail "the record went to the working directory"
[ ! -s "$T/err" ] || fail "-q showed: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" status "$T/c1"
grep -q "^recorded step: 6 of 6" "$T/out" && grep -q "^steps to run: none" "$T/out" || fail "status: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json status "$T/c2"
grep -q '^{"v":1,"call":"Status",.*"recorded_step":6,"steps_to_run":\[\],' "$T/out" || fail "json status: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" setting --database="$T/c1" CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 6 ] || fail "setting --database: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" --settings "$T/none.sqlite" setting CheckReportLL LetzterWert
[ ! -e "$T/none.sqlite" ] && grep -q "no settings file" "$T/err" || fail "reading a setting created the file"

# Outcomes as they are: a form the control refuses is named (as on the disk), the errors are
# counted, and True with errors is exit status 4.
cp -R "$DEMO" "$T/bad"
printf 'a\000b\r\n' >"$T/bad/BerichteLL/Defekt.lbl"
expect_rc 4 "$LLUPDATE" --json ll24 "$T/bad"
grep '"flag":true' "$T/err" | grep -q "\"form\":\"Defekt.lbl\",\"path\":\"$T/bad/BerichteLL/Defekt.lbl\"" || fail "error not attributed: $(cat "$T/err")"
grep -q '^{"v":1,"call":"Summary",.*"refused":1,"failed":0,"errors":[1-9]' "$T/err" || fail "summary: $(cat "$T/err")"
grep -v '^{"v":1,"call":' "$T/err" && fail "a --json stderr line without call"
grep -v '^{"v":1,"call":' "$T/out" && fail "a --json stdout line without call"
expect_rc 4 "$LLUPDATE" ll24 "$T/bad"
grep -qx 'll24: finished with errors' "$T/out" || fail "True with errors told as: $(cat "$T/out")"
# A form saved with line ends of LF alone is refused with what to do about it.
mkdir -p "$T/lf/BerichteLL"
printf 'Spacing.Paragraph=8\nX=8\n' >"$T/lf/BerichteLL/Lf.bel"
expect_rc 1 "$LLUPDATE" -v --no-sync address "$T/lf"
grep -qx "$T/lf/BerichteLL/Lf.bel: failed (address switch-over)" "$T/err" &&
  grep -qx "$T/lf/BerichteLL/Lf.bel: error \[clsReportLLUpdate\] Allgemeiner Fehler in Umstellung_Auf_Neue_Anschrift" "$T/err" &&
  grep -q "^    cause: .*$T/lf/BerichteLL/Lf.bel: Zeilenenden nur LF" "$T/err" &&
  grep -qx "hint: the form's lines end in LF alone (saved by a Unix editor?): convert them to CR LF, for example with 'unix2dos FILE', then run again" "$T/err" ||
  fail "a form with LF line ends: $(cat "$T/err")"
# A form whose name leaves no room for the prefix of its temporary file, and a file-size limit
# of the process: each refused with its remedy, the form as it was, nothing of the run left.
mkdir -p "$T/limits/BerichteLL"
long=$(printf 'R%.0s' $(seq 250)).bel
cp "$DEMO/BerichteLL/Rechnung.bel" "$T/limits/BerichteLL/$long"
expect_rc 1 "$LLUPDATE" --no-sync address "$T/limits"
grep -qx "hint: the disk refused the file beside the form (is the form's name too long for the prefix 'xx_' or 'alt_'?): shorten the name or check the disk" "$T/err" ||
  fail "a name too long: $(cat "$T/err")"
rm "$T/limits/BerichteLL/$long"
cp "$DEMO/BerichteLL/Rechnung.bel" "$T/limits/BerichteLL/"
expect_rc 1 sh -c "ulimit -f 1; exec \"\$0\" --no-sync address \"\$1\"" "$LLUPDATE" "$T/limits"
grep -q "^    cause: 61 Datenträger voll: .*xx_Rechnung.bel (Datei zu groß)$" "$T/err" &&
  grep -qx "hint: the file-size limit of this process was reached (ulimit -f): raise it, then run again" "$T/err" ||
  fail "a file-size limit: $(cat "$T/err")"
[ "$(ls "$T/limits/BerichteLL")" = Rechnung.bel ] && cmp -s "$DEMO/BerichteLL/Rechnung.bel" "$T/limits/BerichteLL/Rechnung.bel" ||
  fail "a refused form changed or left files: $(ls "$T/limits/BerichteLL")"
# A second page-number switch-over would move the object again: refused unless forced.
expect_rc 0 "$LLUPDATE" page-numbers "$T/bad" bel
grep -q '^page-numbers: succeeded$' "$T/out" || fail "friendly result: $(cat "$T/out")"
cp "$T/bad/BerichteLL/Rechnung.bel" "$T/once.bel"
expect_rc 1 "$LLUPDATE" page-numbers "$T/bad" bel
grep -q "page numbers of bel in $T/bad were switched over already" "$T/err" || fail "guard: $(cat "$T/err")"
cmp -s "$T/bad/BerichteLL/Rechnung.bel" "$T/once.bel" || fail "the guard let a form change"
expect_rc 0 "$LLUPDATE" --force page-numbers "$T/bad" bel
cmp -s "$T/bad/BerichteLL/Rechnung.bel" "$T/once.bel" && fail "--force did not run"
mkdir -p "$T/pn/BerichteLL"
printf 'Contents==@F_Seitennr;"Seite " + Page$ () + " von " + TotalPages$ ()\r\n' >"$T/pn/BerichteLL/Neu.bel"
expect_rc 1 "$LLUPDATE" page-numbers "$T/pn" bel
grep -q "$T/pn/BerichteLL/Neu.bel already shows the page count" "$T/err" || fail "formula guard: $(cat "$T/err")"
mkdir -p "$T/pn2/BerichteLL"  # a form named by its type alone is a form like any other
cp "$T/pn/BerichteLL/Neu.bel" "$T/pn2/BerichteLL/.bel"
expect_rc 1 "$LLUPDATE" page-numbers "$T/pn2" bel
grep -q "$T/pn2/BerichteLL/.bel already shows the page count" "$T/err" || fail "formula guard, .bel: $(cat "$T/err")"

# Conventions: suggestions, completion, the man page, plain progress on a dumb terminal.
expect_rc 2 "$LLUPDATE" conver "$T/bad"
grep -q "did you mean 'convert'" "$T/err" || fail "no suggestion: $(cat "$T/err")"
expect_rc 2 "$LLUPDATE" ll2 "$T/bad"
grep -q "did you mean 'll12' or 'll24'?" "$T/err" || fail "not both suggestions: $(cat "$T/err")"
expect_rc 2 "$LLUPDATE" x "$T/bad"  # near no command
grep -q "did you mean" "$T/err" && fail "a suggestion for a word near no command: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" completion bash
cp "$T/out" "$T/completion.bash"
mkdir "$T/completing"
completes() {  # completes WANT WORD...: what bash offers for the last word
  want=$1; shift
  got=$(cd "$T/completing" && bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _llupdate; echo "${COMPREPLY[*]}"' _ "$T/completion.bash" llupdate "$@")
  [ "$got" = "$want" ] || fail "completing '$*' offers '$got', not '$want'"
}
completes convert conv
completes "--keep-runs" --keep
completes "line log" --progress l
completes "bash zsh" -j 2 --json completion ""
completes status --keep-runs 3 --settings s.sqlite sta
completes "" --jobs ""
expect_rc 0 "$LLUPDATE" completion zsh
grep -qxF "    'convert:bring the forms of a database up to date (the conversion driver)'" "$T/out" &&
  grep -qxF "    'Pruefe_Konvertiere_Formulare:run the pending conversion steps (see\: convert)'" "$T/out" ||
  fail "zsh completion: $(cat "$T/out")"
expect_rc 2 "$LLUPDATE" completion fish
MAN=$(dirname "$LLUPDATE")/../llupdate.1
if [ -e "$MAN" ]; then
  for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS '"EXIT STATUS"' ENVIRONMENT FILES EXAMPLES; do
    grep -q "^\.SH $section\$" "$MAN" || fail "man page without $section"
  done
fi
if command -v script >/dev/null; then
  cp -R "$DEMO" "$T/tty"
  TERM=dumb script -qec "'$LLUPDATE' address '$T/tty'" /dev/null >"$T/tty.out" 2>&1 || fail "address on a tty: $(cat "$T/tty.out")"
  grep -q "address switch-over" "$T/tty.out" || fail "no progress on a tty: $(cat "$T/tty.out")"
  grep -q "$(printf '\033')" "$T/tty.out" && fail "escapes with TERM=dumb"
fi

# Friendly names explain themselves.
expect_rc 0 "$LLUPDATE" convert --help
grep -q "CheckReportLL LetzterWert" "$T/out" || fail "convert --help"
expect_rc 0 "$LLUPDATE" help recover
expect_rc 2 "$LLUPDATE" --dry-run list "$T/run"
expect_rc 2 "$LLUPDATE" --apply address "$T/run"

# No success without effect: a settings file of another database, a type without forms and a
# second run each say what they found.
cp -R "$DEMO" "$T/one"
cp -R "$DEMO" "$T/two"
expect_rc 0 "$LLUPDATE" -q convert "$T/one"
expect_rc 0 "$LLUPDATE" convert "$T/one"
grep -qx "convert: already at step 6: nothing to do" "$T/out" || fail "second convert: $(cat "$T/out")"
expect_rc 2 "$LLUPDATE" --settings "$T/one/llupdate-settings.sqlite" convert "$T/two"
grep -q "belongs to the database with the form folder" "$T/err" || fail "other settings: $(cat "$T/err")"
cmp -s "$DEMO/BerichteLL/Rechnung.bel" "$T/two/BerichteLL/Rechnung.bel" || fail "other settings converted"
expect_rc 0 "$LLUPDATE" -q --adopt-settings --settings "$T/one/llupdate-settings.sqlite" status "$T/two"
for type in xyz .bel; do
  expect_rc 1 "$LLUPDATE" --settings "$T/pn.sqlite" page-numbers "$T/two" "$type"
  grep -q "no forms of type" "$T/err" && [ ! -e "$T/pn.sqlite" ] || fail "page-numbers $type"
done
expect_rc 0 "$LLUPDATE" distribute "$T/one" "$T/one/EXEDIR" demo
expect_rc 0 "$LLUPDATE" distribute "$T/one" "$T/one/EXEDIR" demo
grep -q "no delivery waiting" "$T/out" || fail "second distribute: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" -d "$T/one" setting llupdate Missing
grep -q "no value" "$T/err" || fail "missing setting: $(cat "$T/err")"

# Output that cannot be written is exit status 3, and the run ends in order.
"$LLUPDATE" status "$T/one" >/dev/full 2>/dev/null; [ $? = 3 ] || fail "status >/dev/full"
"$LLUPDATE" list "$T/one" >&- 2>/dev/null; [ $? = 3 ] || fail "list >&-"
cp -R "$DEMO" "$T/full"
"$LLUPDATE" address "$T/full" 2>/dev/full >/dev/null; [ $? = 3 ] || fail "address 2>/dev/full"
[ -z "$(ls "$T/full/BerichteLL" | grep -E '^(xx_|alt_)')" ] || fail "leftovers after lost output"

# Every operation may change files: the help of each offers a dry run.
exact=$("$LLUPDATE" --help | awk '/by their exact names/{on=1;next} on && /^  [A-Z]/{print $1}')
[ "$(echo "$exact" | wc -l)" = 17 ] || fail "exact operations listed: $exact"
for name in $exact; do
  "$LLUPDATE" help "$name" | grep -q "^With --dry-run" || fail "$name offers no dry run"
done

# The operations by their exact names take their arguments in the interface's order: each
# changes the form or folder it names, and one form's page-number rewrite with the switch-over's
# texts gives what the switch-over gives.
cp -R "$DEMO" "$T/exact"; cp -R "$DEMO" "$T/pages"
E=$T/exact
for call in "distribute $E $E/EXEDIR demo" "address $E" "war-colours $E" "ll12 $E" "ll24 $E" \
  "dunning $E MAH" "Pruefe_Druckkataloge $E/EXEDIR demo" "Kopiere_Neue_Formulare_LL $E $E/EXEDIR demo" \
  "Suche_ErsetzeProjektdatei Rechnung.bel $E Text x y" "Suche_ErsetzeProjektdatei_LL12 Rechnung.bel $E" \
  "Suche_ErsetzeProjektdatei_Seite Rechnung.bel $E a b c d bel" "Umstellung_Auf_Neue_Anschrift $E" \
  "Korrektur_Wart_Farbe $E" "Umstellung_auf_LL12 $E" "Umstellung_auf_LL24 $E" \
  "Suche_ErsetzeProjektdatei_WarFarbe $E war" "Umstellung_Auf_Seite_Von_Bis $E bel" \
  "Umstellung_Mahnformular $E MAH"; do
  reads_no_settings $call
done
expect_rc 0 "$LLUPDATE" --no-sync Pruefe_Druckkataloge "$T/exact/EXEDIR" demo
[ -d "$T/exact/EXEDIR/BERICHTELLDEMO/Preview" ] || fail "no catalogue folders: $(cat "$T/err")"
for call in "Suche_ErsetzeProjektdatei_LL15 Wartung.war" "Suche_ErsetzeProjektdatei_Mahnung Mahnung.MAH"; do
  form=${call#* }
  reads_no_settings ${call% *} "$form" "$T/exact"
  expect_rc 0 "$LLUPDATE" --no-sync ${call% *} "$form" "$T/exact"
  cmp -s "$DEMO/BerichteLL/$form" "$T/exact/BerichteLL/$form" && fail "${call% *} left $form as it was"
done
expect_rc 0 "$LLUPDATE" --no-sync Suche_ErsetzeProjektdatei_WarFarbe "$T/exact" war
grep -q "forms examined: 1," "$T/err" || fail "WarFarbe: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" --no-sync Umstellung_Auf_Seite_Von_Bis "$T/exact" bel
only='=@F_Seitennr;"Seite " + fstr$(page(),"####")'
with='=@F_Seitennr;"Seite " + Page$ () + " von " + TotalPages$ ()'
expect_rc 0 "$LLUPDATE" --no-sync Suche_ErsetzeProjektdatei_Seite Rechnung.bel "$T/pages" \
  "$only" "$only" "$with" Identifier=F_Seite bel
cmp -s "$DEMO/BerichteLL/Rechnung.bel" "$T/pages/BerichteLL/Rechnung.bel" && fail "Seite left the form"
cmp -s "$T/exact/BerichteLL/Rechnung.bel" "$T/pages/BerichteLL/Rechnung.bel" || fail "Seite differs"

# A preview reads only: another run's lock does not stop it, and it says so. That run's
# temporary file is its work, not a form: the preview leaves it out, recover waits (exit 5) and
# status lists it apart.
if command -v flock >/dev/null; then
  cp -R "$DEMO" "$T/held"
  echo "half written" >"$T/held/BerichteLL/xx_Rechnung.bel"
  flock "$T/held/BerichteLL" sleep 3 &
  until ! flock -n "$T/held/BerichteLL" true; do sleep 0.05; done
  expect_rc 0 "$LLUPDATE" --dry-run address "$T/held"
  grep -q "another run holds the database" "$T/out" || fail "held preview: $(cat "$T/out")"
  grep -q "xx_Rechnung" "$T/out" "$T/err" && fail "the preview took the holder's file for a form"
  grep -q "^+.*Spacing.Paragraph=Firmendaten" "$T/out" || fail "the held preview hid the forms: $(cat "$T/out")"
  expect_rc 5 "$LLUPDATE" recover "$T/held"
  grep -q "work in progress" "$T/err" || fail "recover while held: $(cat "$T/err")"
  expect_rc 0 "$LLUPDATE" status "$T/held"
  grep -q "in work by the run that holds the database" "$T/out" && grep -q "^  bel: 1 " "$T/out" ||
    fail "status while held: $(cat "$T/out")"
  expect_rc 0 "$LLUPDATE" --json status "$T/held"
  grep -qF "\"in_work\":[\"$T/held/BerichteLL/xx_Rechnung.bel\"]," "$T/out" || fail "json status while held: $(cat "$T/out")"
  wait
fi

# status tells what the next runs would meet: a step record that is no number (and how to set
# it; convert's hint says the same), a delivery that waits.
cp -R "$DEMO" "$T/st"
expect_rc 0 "$LLUPDATE" -d "$T/st" setting CheckReportLL LetzterWert abc
expect_rc 0 "$LLUPDATE" status "$T/st"
grep -q "recorded step: 'abc' is no step number" "$T/out" && grep -q "^delivery waiting: 4 forms" "$T/out" ||
  fail "status: $(cat "$T/out")"
# A delivery's marker without forms still waits for a distribution, which removes it.
mkdir -p "$T/marker/BerichteLL" "$T/marker/BerichteLLOrg"
: >"$T/marker/BerichteLLOrg/NeueBerichte.txt"
expect_rc 0 "$LLUPDATE" status "$T/marker"
grep -q "^delivery waiting: 0 forms in $T/marker/BerichteLLOrg" "$T/out" || fail "status of a marker alone: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json status "$T/marker"
grep -q '"delivery_waiting":true,"delivered_forms":0,' "$T/out" || fail "JSON status of a marker alone: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json status "$T/st"
grep -q '"recorded_step":null,"recorded_value":"abc","record_broken":".*","hint":"every convert fails until the record is set: .*","steps_to_run":null,' "$T/out" ||
  fail "json status of a broken record: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" convert "$T/st"
grep -q "^hint: .*setting CheckReportLL LetzterWert N" "$T/err" || fail "convert's hint: $(cat "$T/err")"

# The journal as a support person uses it: a run taken back (a preview first), the form a
# person changed since left and named (exit 4), the history as text and JSON, the page-number
# record taken back with its run, and no journal with --keep-runs 0.
cp -R "$DEMO" "$T/j"; cp -R "$DEMO" "$T/j-before"
expect_rc 0 "$LLUPDATE" --no-sync convert "$T/j"
expect_rc 0 "$LLUPDATE" undo --dry-run "$T/j"
grep -q '^-Spacing.Paragraph=Firmendaten\|^+.*Spacing.Paragraph=8' "$T/out" || fail "undo preview: $(head "$T/out")"
grep -q 'llupdate-journal' "$T/out" && fail "the preview shows the journal"
echo "mine" >"$T/j/BerichteLL/Mahnung.MAH"
expect_rc 4 "$LLUPDATE" --no-sync undo "$T/j"
grep -q 'Mahnung.MAH bleibt, wie es ist' "$T/err" || fail "the changed form is not named: $(cat "$T/err")"
[ "$(cat "$T/j/BerichteLL/Mahnung.MAH")" = mine ] || fail "undo overwrote the changed form"
cp "$T/j-before/BerichteLL/Mahnung.MAH" "$T/j/BerichteLL/Mahnung.MAH"
diff -r -x '.llupdate-*' -x '*.sqlite' "$T/j-before" "$T/j" >/dev/null || fail "undo did not give the forms of before"
expect_rc 0 "$LLUPDATE" --settings "$T/j/llupdate-settings.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 0 ] || fail "undo left the driver's step at $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json history "$T/j"
[ "$(grep -c '"call":"History"' "$T/out")" = 2 ] || fail "history: $(cat "$T/out")"
# Records that are none of this version's are listed with why they are not followed.
echo junk >"$T/j/BerichteLL/.llupdate-journal/20000101-000000.000-1.run"
printf 'llupdate-journal\t99\n' >"$T/j/BerichteLL/.llupdate-journal/20000101-000000.000-2.run"
expect_rc 0 "$LLUPDATE" history "$T/j"
grep -q 'took back' "$T/out" && grep -qx "20000101-000000.000-1  not followed: kein Journal-Eintrag" "$T/out" &&
  grep -qx "20000101-000000.000-2  not followed: von einer späteren Version geschrieben (Format 99)" "$T/out" ||
  fail "history text: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --json history "$T/j"
grep -qF '{"v":1,"call":"History","run":"20000101-000000.000-1","started":null,' "$T/out" || fail "history of a record that is none: $(cat "$T/out")"
rm "$T/j/BerichteLL/.llupdate-journal/20000101-"*
# An undo whose settings file is none fails and takes back nothing.
expect_rc 1 "$LLUPDATE" --settings "$T/junk.sqlite" undo "$T/j"
grep -qx "    cause: 75 Fehler beim Zugriff auf Pfad/Datei: $T/junk.sqlite ist keine SQLite-Datenbank" "$T/err" || fail "undo with a junk settings file: $(cat "$T/err")"
# The newest run's record, writable by other accounts, is not followed: undo refuses, an error.
newest=$(ls "$T/j/BerichteLL/.llupdate-journal/"*.run | sort | tail -1)
chmod o+w "$newest"
expect_rc 1 "$LLUPDATE" undo "$T/j"
grep -q "^error \[clsReportLLUpdate\] Der Lauf .* wird nicht zurückgenommen: sein Eintrag wird nicht beachtet (andere Konten dürfen ihn ändern)\.$" "$T/err" ||
  fail "undo of a record others may change: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" history "$T/j"  # the run is told whole, and why it is not followed
grep -q "^$(basename "$newest" .run)  .* UTC, .*; not followed: andere Konten dürfen ihn ändern$" "$T/out" ||
  fail "history of a record others may change: $(cat "$T/out")"
chmod o-w "$newest"
echo "a stray file" >"$T/j/BerichteLL/.llupdate-journal/x"  # stays, and stops nothing
expect_rc 0 "$LLUPDATE" --no-sync page-numbers "$T/j" bel
# The demo's formula is not where the switch-over replaces it: said, not promised.
grep -q "note: no page-number formula was changed in $T/j/BerichteLL/Rechnung.bel" "$T/err" || fail "page-numbers note: $(cat "$T/err")"
grep "note: no page-number formula" "$T/err" | grep -qv '\.bel:' && fail "a note for a form of another type: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" --no-sync undo "$T/j"
expect_rc 0 "$LLUPDATE" --no-sync page-numbers "$T/j" bel  # the record went with its run
expect_rc 2 "$LLUPDATE" --keep-runs many history "$T/j"
cp -R "$DEMO" "$T/nj"
expect_rc 0 "$LLUPDATE" --no-sync --keep-runs 0 address "$T/nj"
[ -e "$T/nj/BerichteLL/.llupdate-journal" ] && fail "--keep-runs 0 made a journal"
expect_rc 1 "$LLUPDATE" --no-sync --keep-runs 0 undo "$T/nj"
expect_rc 0 "$LLUPDATE" history "$T/nj"
grep -qx "no runs in the journal of $T/nj" "$T/out" || fail "history without runs: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" --no-sync undo "$T/nj"
grep -qx "notice \[clsReportLLUpdate\] Nichts zurückzunehmen: das Journal in $T/nj/BerichteLL/.llupdate-journal hält keinen Lauf, der etwas geändert hat und nicht zurückgenommen ist." "$T/err" ||
  fail "undo with nothing to take back: $(cat "$T/err")"
# The setting llupdate KeepRuns stands where --keep-runs is not given.
cp -R "$DEMO" "$T/nj2"
expect_rc 0 "$LLUPDATE" -d "$T/nj2" setting llupdate KeepRuns 0
expect_rc 0 "$LLUPDATE" --no-sync address "$T/nj2"
[ -e "$T/nj2/BerichteLL/.llupdate-journal" ] && fail "KeepRuns 0 made a journal"
# A journal that cannot begin: the run goes on, but a customer's copy named like a backup stays,
# and so does the form it stands in the way of (exit 4, the file named).
cp -R "$DEMO" "$T/nj3"
printf 'meine Kopie\r\n' >"$T/nj3/BerichteLL/alt_Lieferschein.bst"
: >"$T/nj3/BerichteLL/.llupdate-journal"
expect_rc 4 "$LLUPDATE" --no-sync address "$T/nj3"
grep -q "Das Journal in $T/nj3/BerichteLL/.llupdate-journal kann nicht geschrieben werden (58 Datei existiert bereits: $T/nj3/BerichteLL/.llupdate-journal)" "$T/err" || fail "journal that cannot begin: $(cat "$T/err")"
grep -q "alt_Lieferschein.bst (nicht von llupdate angelegt; .*sie bleibt erhalten)" "$T/err" || fail "the copy is not named: $(cat "$T/err")"
[ "$(cat "$T/nj3/BerichteLL/alt_Lieferschein.bst")" = "$(printf 'meine Kopie\r\n')" ] || fail "the customer's copy is gone"
cmp -s "$DEMO/BerichteLL/Lieferschein.bst" "$T/nj3/BerichteLL/Lieferschein.bst" || fail "the form behind the copy changed"
# A form with a second name (a hard link) is converted once, as the form is, and told.
cp -R "$DEMO" "$T/twice"; cp -R "$DEMO" "$T/once"
ln "$T/twice/BerichteLL/Wartung.war" "$T/twice/BerichteLL/Zweitname.war"
expect_rc 0 "$LLUPDATE" --no-sync ll24 "$T/twice"
grep -q "Zweitname.war ist ein zweiter Name von" "$T/err" || fail "the second name is not told: $(cat "$T/err")"
expect_rc 0 "$LLUPDATE" --no-sync ll24 "$T/once"
cmp -s "$T/twice/BerichteLL/Wartung.war" "$T/once/BerichteLL/Wartung.war" || fail "a form with a second name was converted twice"
# A read-only form whose ACL gives its owner only reading becomes writable with the ACL kept.
cp -R "$DEMO" "$T/acl"; chmod 0400 "$T/acl/BerichteLL/Wartung.war"
if setfacl -m u:nobody:r,m::- "$T/acl/BerichteLL/Wartung.war" 2>/dev/null; then
  expect_rc 0 "$LLUPDATE" --no-sync address "$T/acl"
  [ "$(stat -c %a "$T/acl/BerichteLL/Wartung.war")" = 600 ] || fail "a read-only form with an ACL stayed $(stat -c %a "$T/acl/BerichteLL/Wartung.war")"
  getfacl -c "$T/acl/BerichteLL/Wartung.war" 2>/dev/null | grep -q "^user:nobody:r--" || fail "the ACL was lost"
fi
# So in the switch-over, where the control saves a form anew into its temporary file (the copy,
# named like a form, is converted as one).
printf 'meine Kopie\r\n' >"$T/nj3/BerichteLL/xx_Termine.ter"
cp "$T/nj3/BerichteLL/Termine.ter" "$T/termine.before"
expect_rc 4 "$LLUPDATE" ll24 "$T/nj3"
grep -q "xx_Termine.ter (nicht von llupdate angelegt; .*sie bleibt erhalten)" "$T/err" &&
  grep -q "meine Kopie" "$T/nj3/BerichteLL/xx_Termine.ter" &&
  cmp -s "$T/termine.before" "$T/nj3/BerichteLL/Termine.ter" || fail "the switch-over's temporary file: $(cat "$T/err")"

# The exact name of the driver refuses another database's settings file as convert does.
cp -R "$DEMO" "$T/other"
expect_rc 2 "$LLUPDATE" --settings "$T/demo.sqlite" Pruefe_Konvertiere_Formulare "$T/other"
grep -q "belongs to the database" "$T/err" || fail "exact driver name took another database's record: $(cat "$T/err")"

# A typo converts nothing and says so: a TYPE without forms, a PATH that is not there.
cp -R "$DEMO" "$T/typo"
for type in xyz .mah; do
  expect_rc 1 "$LLUPDATE" --no-sync dunning "$T/typo" $type
  grep -q "no forms of type $type" "$T/err" || fail "dunning $type: $(cat "$T/err")"
done
expect_rc 1 "$LLUPDATE" unprotect "$T/typo/BerichteLL" "$T/nonexist"
grep -q "no such file or directory: $T/nonexist" "$T/err" || fail "unprotect: $(cat "$T/err")"
expect_rc 2 "$LLUPDATE" --force dunning "$T/typo" MAH
diff -r "$DEMO" "$T/typo" >/dev/null || fail "a refused typo changed the database"

# The distribution says what it made: the form it copied in, named as it is now, a copy counted as
# one; a form that is a link gets the delivery in the file it leads to (owner and bits kept) or,
# leading out, stays and the delivery waits; a mistyped EXEDIR uses up nothing.
cp -R "$DEMO" "$T/dist"
expect_rc 1 "$LLUPDATE" distribute "$T/dist" "$T/dist/NOEXEDIR" demo
grep -q "no such directory: $T/dist/NOEXEDIR" "$T/err" || fail "mistyped EXEDIR: $(cat "$T/err")"
diff -r "$DEMO" "$T/dist" >/dev/null || fail "a mistyped EXEDIR changed the database"
(cd "$T/dist/BerichteLL" && mv Artikelliste.lst artikel.real && ln -s artikel.real Artikelliste.lst && chmod 0640 artikel.real)
chmod 0666 "$T/dist/BerichteLLOrg/Angebot.bel"  # a new form gets what the folder gives, not these
umask 022
expect_rc 0 "$LLUPDATE" --no-sync -v distribute "$T/dist" "$T/dist/EXEDIR" demo
[ "$(stat -c %a "$T/dist/BerichteLL/Angebot.bel")" = 644 ] || fail "a delivered form: $(stat -c %a "$T/dist/BerichteLL/Angebot.bel")"
grep -qx "$T/dist/BerichteLL/Angebot.bel: copied from $T/dist/BerichteLLOrg/Angebot.bel (distribution)" "$T/err" || fail "distribute -v: $(cat "$T/err")"
grep -q "forms examined: 4, rewritten: 0, copied: 2, unchanged: 2," "$T/err" || fail "distribution summary: $(cat "$T/err")"
grep -qx "$T/dist/BerichteLLOrg/Rechnung.bel: not copied, the installed form stays (distribution)" "$T/err" ||
  fail "distribute -v, a form kept: $(cat "$T/err")"
cp -R "$DEMO" "$T/one-new"
rm "$T/one-new/BerichteLLOrg/Artikelliste.lst"
expect_rc 0 "$LLUPDATE" --no-sync distribute "$T/one-new" "$T/one-new/EXEDIR" demo
grep -q "forms examined: 3, rewritten: 0, copied: 1, unchanged: 2," "$T/err" || fail "one form copied: $(cat "$T/err")"
[ -L "$T/dist/BerichteLL/Artikelliste.lst" ] && [ "$(stat -c %a "$T/dist/BerichteLL/artikel.real")" = 640 ] || fail "the linked form lost its link or bits"
cmp -s "$T/dist/BerichteLL/artikel.real" "$DEMO/BerichteLLOrg/Artikelliste.lst" || fail "the link's target did not get the delivery"
cp -R "$DEMO" "$T/dist-out"; mkdir "$T/elsewhere"; mv "$T/dist-out/BerichteLL/Artikelliste.lst" "$T/elsewhere/"
ln -s "$T/elsewhere/Artikelliste.lst" "$T/dist-out/BerichteLL/Artikelliste.lst"
expect_rc 1 "$LLUPDATE" --no-sync distribute "$T/dist-out" "$T/dist-out/EXEDIR" demo
grep -q "Nicht alle Formulare in $T/dist-out/BerichteLL und $T/dist-out/BerichteLLOrg konnten" "$T/err" || fail "link out: $(cat "$T/err")"
[ -e "$T/dist-out/BerichteLLOrg/NeueBerichte.txt" ] || fail "a refused distribution used up the delivery"
cmp -s "$T/elsewhere/Artikelliste.lst" "$DEMO/BerichteLL/Artikelliste.lst" || fail "the delivery went out of the form folder"

# On a pipe the count comes every 100 forms.
mkdir -p "$T/many/BerichteLL"
for i in $(seq 1 230); do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/many/BerichteLL/R$i.bel"; done
expect_rc 0 "$LLUPDATE" --no-sync --keep-runs 0 --progress log ll12 "$T/many"
[ "$(grep -c '^llupdate: LL12 contents, [12]00 forms$' "$T/err")" = 2 ] || fail "log progress: $(cat "$T/err")"

# A reader of the output that goes away stops the run after the form in work: exit status 3,
# nothing of the run left, every form whole.
cp -R "$T/many" "$T/gone"
{ "$LLUPDATE" --json --keep-runs 0 ll12 "$T/gone" 2>&1; echo $? >"$T/rc"; } | head -c 1 >/dev/null
[ "$(cat "$T/rc")" = 3 ] || fail "a reader that went away: exit status $(cat "$T/rc")"
ls "$T/gone/BerichteLL" | grep -q '^xx_\|^alt_' && fail "a reader that went away: files of the run left"
[ "$(cd "$T/gone/BerichteLL" && cat ./* | grep -c '^\[')" = "$(cd "$T/many/BerichteLL" && cat ./* | grep -c '^\[')" ] ||
  fail "a reader that went away: a form is not whole"

# Usage errors name what is wrong, exit status 2, and nothing runs.
printf '# none\n\n' >"$T/empty.list"
echo "$T/one" >"$T/one.list"
while IFS='|' read -r words message; do
  # shellcheck disable=SC2086
  expect_rc 2 "$LLUPDATE" $words
  grep -qF "llupdate: $message" "$T/err" || fail "$words: $(cat "$T/err")"
done <<EOF2
--jobs 0 status $T/one|--jobs needs a NUMBER of databases at once (1 or more)
-j x status $T/one|--jobs needs a NUMBER of databases at once (1 or more)
--progress loud status $T/one|--progress is auto, line, log or none
--wait soon status $T/one|--wait needs a number of SECONDS
--keep-runs -1 status $T/one|--keep-runs needs a NUMBER of runs (0 keeps none)
--bogus status $T/one|unknown option --bogus
--databases|--databases needs a FILE (- for stdin)
--databases $T/nolist status|cannot read the list of databases $T/nolist
--databases $T/empty.list status|the list $T/empty.list names no database
--databases $T/one.list dunning|usage: llupdate dunning DBPATH TYPE (several DBPATHs may stand for DBPATH)
--dry-run status $T/one|'status' changes nothing; --dry-run is for commands that write
--apply address $T/one|--apply is for 'recover'
EOF2
# Of -q and -v the last wins, bundled too.
expect_rc 0 "$LLUPDATE" --no-sync -vq war-colours "$T/one"
[ ! -s "$T/err" ] || fail "-vq is quiet: $(cat "$T/err")"
cp -R "$DEMO" "$T/qv"
expect_rc 0 "$LLUPDATE" --no-sync -qv war-colours "$T/qv"
grep -qx "$T/qv/BerichteLL/Wartung.war: rewritten (WAR colours)" "$T/err" || fail "-qv is verbose: $(cat "$T/err")"

# The command line's own conventions: "--" ends the options, a reading command offers no dry
# run, and the signals end a run with their own statuses (SIGHUP 129, SIGINT and SIGTERM 130).
cp -R "$DEMO" "$T/-db"
(cd "$T" && "$LLUPDATE" status -- -db >/dev/null 2>&1) || fail "'--' does not end the options"
"$LLUPDATE" status --help | grep -q -- "--dry-run" && fail "status offers a dry run"
for n in $(seq 231 700); do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/many/BerichteLL/R$n.bel"; done
for signal in HUP:129 INT:130 TERM:130; do
  cp -R "$T/many" "$T/sig"
  "$LLUPDATE" --json --keep-runs 0 ll12 "$T/sig" >/dev/null 2>"$T/err" &
  pid=$!
  sleep 0.3
  kill -"${signal%:*}" $pid
  wait $pid
  rc=$?
  [ $rc = "${signal#*:}" ] || [ $rc = 0 ] || fail "SIG${signal%:*} ended the run with $rc"
  [ $rc = 0 ] || grep -q '"call":"Summary",.*"interrupted":true,' "$T/err" || fail "SIG${signal%:*}'s summary: $(cat "$T/err")"
  rm -rf "$T/sig"
done

echo "cli tests passed"
