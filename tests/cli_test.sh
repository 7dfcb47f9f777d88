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

mkdir -p "$T/dir/sub"; echo a >"$T/dir/a"; echo b >"$T/dir/sub/b"; chmod 444 "$T/dir/a" "$T/dir/sub/b"
expect_rc 0 "$LLUPDATE" --json SchreibschutzEntfernenAlleDateien "$T/dir"
[ -w "$T/dir/a" ] && [ "$(stat -c %a "$T/dir/a")" = 644 ] || fail "AlleDateien did not clear a"
[ "$(stat -c %a "$T/dir/sub/b")" = 444 ] || fail "AlleDateien touched a subdirectory"
grep -qx '{"operation":"SchreibschutzEntfernenAlleDateien","result":null}' "$T/out" || fail "json result: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" SchreibschutzEntfernenAlleDateien "$T/nothing"

expect_rc 0 "$LLUPDATE" --settings "$T/s.sqlite" setting CheckReportLL LetzterWert 3
expect_rc 0 "$LLUPDATE" --settings "$T/s.sqlite" setting CheckReportLL LetzterWert
[ "$(cat "$T/out")" = 3 ] || fail "setting read back '$(cat "$T/out")'"
head -c 5000 /dev/urandom >"$T/junk.sqlite"
expect_rc 1 "$LLUPDATE" --settings "$T/junk.sqlite" setting CheckReportLL LetzterWert
grep -q "junk.sqlite" "$T/err" || fail "no file named for a junk settings file"
expect_rc 1 "$LLUPDATE" --settings "$T" setting CheckReportLL LetzterWert

expect_rc 2 "$LLUPDATE" NoSuchOperation
grep -q "unknown operation" "$T/err" || fail "unknown operation not named"
expect_rc 2 "$LLUPDATE" SchreibschutzEntfernen
expect_rc 2 "$LLUPDATE" SchreibschutzEntfernen a b
expect_rc 2 "$LLUPDATE"
expect_rc 0 "$LLUPDATE" --help

# A job whose catalogue cannot be built skips the type, reports it and succeeds.
expect_rc 0 "$LLUPDATE" --json Umstellung_auf_LL12 "$T/nodb"
[ "$(grep -c '"text":"Allgemeiner Fehler in Aufbau_Array' "$T/err")" = 3 ] || fail "LL12 on a missing db"
expect_rc 1 "$LLUPDATE" --json Suche_ErsetzeProjektdatei_LL12 a.bel "$T/nodb"
grep -qx '{"operation":"Suche_ErsetzeProjektdatei_LL12","result":false}' "$T/out" || fail "json false: $(cat "$T/out")"
grep -q '^{"call":"ReportError","title":"clsReportLLUpdate","routine":"Ausgabe_Open","number":76,"description":"Pfad nicht gefunden: .*a.bel","flag":true}$' "$T/err" || fail "json record: $(cat "$T/err")"
mkdir -p "$T/db/BerichteLL"
printf '[UserSection]\r\nVersion=3\r\nReferenzbeleg=R\r\n[Description]\r\nFileVersion=24\r\n' >"$T/db/BerichteLL/b.lst"
printf '[UserSection]\r\nVersion=2\r\n' >"$T/db/BerichteLL/A.LST"
expect_rc 0 "$LLUPDATE" --json list "$T/db" lst
[ "$(sed -n 1p "$T/out")" = "{\"name\":\"A.LST\",\"path\":\"$T/db\\\\BerichteLL\\\\A.LST\",\"version\":\"2\",\"referenzbeleg\":\"\",\"fileversion\":\"\"}" ] || fail "list row 1: $(cat "$T/out")"
[ "$(sed -n 2p "$T/out" | cut -c1-15)" = '{"name":"b.lst"' ] || fail "list row 2: $(cat "$T/out")"
expect_rc 0 "$LLUPDATE" list "$T/db"
[ "$(wc -l <"$T/out")" = 2 ] && grep -q '^b.lst  *3  *R$' "$T/out" || fail "list all: $(cat "$T/out")"
expect_rc 1 "$LLUPDATE" list "$T/nodb"

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

echo "cli tests passed"
