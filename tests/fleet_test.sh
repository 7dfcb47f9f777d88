#!/bin/sh
# Several databases in one call, as an operator runs it: each converted as a single run would,
# the broken, held and mismatched ones named while the others finish, the worst exit status, the
# JSON records, a Ctrl-C in the middle, and the Ansible module over three databases.
#   fleet_test.sh LLUPDATE DEMO_DB SOURCE_DIR
set -u
LLUPDATE=$1
DEMO=$2
SOURCE=$3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { printf "FAIL: %s\n" "$*"; exit 1; }
forms_of() { (cd "$1" && find BerichteLL BerichteLLOrg -path '*/.llupdate-*' -prune -o -type f -print | sort | xargs sha256sum); }

# Five databases, one without BerichteLL, one held by another run, one with the settings file of
# another database; beside them, the same databases converted one by one.
for i in 1 2 3 4 5; do cp -R "$DEMO" "$T/db$i"; cp -R "$DEMO" "$T/single$i"; done
mkdir "$T/broken"
"$LLUPDATE" --no-sync convert "$T/single3" >/dev/null 2>&1
cp "$T/single3/llupdate-settings.sqlite" "$T/db4/llupdate-settings.sqlite"  # db4: another's record
for i in 1 2 5; do "$LLUPDATE" --no-sync convert "$T/single$i" >/dev/null 2>&1; done
flock "$T/db5/BerichteLL" sleep 4 &
sleep 0.5
printf '%s\n' "# the customers" "$T/db1" "" "$T/broken" "$T/db5" "$T/db4" >"$T/list"
"$LLUPDATE" --no-sync --json --jobs 2 convert "$T/db2" --databases "$T/list" >"$T/out" 2>"$T/err"
rc=$?
wait
[ $rc = 2 ] || fail "the worst exit status is 2 (refused), not $rc: $(cat "$T/out" "$T/err")"
result() { grep "\"call\":\"DatabaseResult\",\"db\":\"$1\"" "$T/out" | sed 's/.*"result":"\([^"]*\)".*/\1/'; }
[ "$(result "$T/db1")" = converted ] && [ "$(result "$T/db2")" = converted ] || fail "results: $(cat "$T/out")"
[ "$(result "$T/broken")" = refused ] && [ "$(result "$T/db4")" = refused ] || fail "refusals: $(cat "$T/out")"
[ "$(result "$T/db5")" = held ] || fail "held: $(cat "$T/out")"
grep -q '"call":"FleetSummary","databases":5,"converted":2,"held":1,"refused":2,"exit":2}' "$T/out" || fail "summary: $(tail -1 "$T/out")"
grep -q "^{\"v\":1,\"db\":\"$T/db1\",\"call\":\"Result\"" "$T/out" || fail "the records do not carry their database"
grep -q "^{\"v\":1,\"db\":\"$T/db2\",\"call\":\"Progress\"" "$T/err" || fail "the progress does not carry its database"
for i in 1 2; do
  [ "$(forms_of "$T/db$i")" = "$(forms_of "$T/single$i")" ] || fail "db$i differs from a single run"
  [ "$("$LLUPDATE" -d "$T/db$i" setting CheckReportLL LetzterWert)" = 6 ] || fail "db$i's step record"
done
[ "$(forms_of "$T/db5")" = "$(forms_of "$DEMO")" ] || fail "the held database was changed"
# A database named twice, also by another path, runs once.
"$LLUPDATE" --no-sync --jobs 2 status "$T/db1" "$T/db1/" >"$T/out" 2>"$T/err" || fail "a database named twice: $(cat "$T/out" "$T/err")"
grep -q "^$T/db1/  *duplicate" "$T/out" && grep -q "the same database as $T/db1," "$T/err" || fail "the duplicate: $(cat "$T/out" "$T/err")"
# One settings file for several databases would let them record each other: refused.
LLUPDATE_SETTINGS="$T/shared.sqlite" "$LLUPDATE" convert "$T/db1" "$T/db2" >/dev/null 2>"$T/err"
[ $? = 2 ] && grep -q "each keeps its own settings file" "$T/err" || fail "a shared settings file: $(cat "$T/err")"
# Reading the journal needs no settings file: history takes any, also another database's.
LLUPDATE_SETTINGS="$T/shared.sqlite" "$LLUPDATE" history "$T/db1" "$T/db4" >/dev/null 2>"$T/err" ||
  fail "history with a settings file: $(cat "$T/err")"
# A database's run never starts a fleet of its own (it would start itself again, without end).
before=$(forms_of "$T/db3")
LLUPDATE_FLEET_MEMBER=1 "$LLUPDATE" --no-sync convert "$T/db3" "$T/db1" >/dev/null 2>"$T/err"
[ $? = 2 ] && grep -q "one database of a fleet and does not start a fleet" "$T/err" &&
  [ "$(forms_of "$T/db3")" = "$before" ] || fail "a fleet inside a fleet: $(cat "$T/err")"
# Text: a table, every database named with its result, and the reason given with the database's
# name as it stands (here names that are not all UTF-8, or hold control characters).
odd=$(printf '%s/br\303\266ken\344' "$T")
ctrl=$(printf '%s/tab\there\001' "$T")
mkdir "$odd" "$ctrl"
"$LLUPDATE" --no-sync status "$T/db1" "$odd" "$ctrl" >"$T/out" 2>"$T/err"
[ $? = 2 ] && grep -q "^$T/db1  *done" "$T/out" && LC_ALL=C grep -q "^$odd  *refused" "$T/out" &&
  LC_ALL=C grep -qF "'$odd' has no form directory" "$T/err" && LC_ALL=C grep -qF "'$ctrl' has no form directory" "$T/err" &&
  grep -qx "3 databases: 1 done, 2 refused" "$T/out" ||
  fail "the table: $(cat "$T/out" "$T/err")"

# The worst status wins, best to worst 0, 4, 5, 1: a database that showed errors, one that is
# held, one whose guard refused.
for d in ok err held pages; do cp -R "$DEMO" "$T/w-$d"; done
printf 'a\000b\r\n' >"$T/w-err/BerichteLL/Defekt.lbl"
"$LLUPDATE" --no-sync page-numbers "$T/w-pages" bel >/dev/null 2>&1
flock "$T/w-held/BerichteLL" sleep 6 &
sleep 0.3
while IFS='|' read -r want result first db; do
  "$LLUPDATE" --no-sync --json ll24 "$T/w-$first" "$T/w-$db" >"$T/out" 2>"$T/err"
  rc=$?
  [ $rc = "$want" ] || fail "ll24 of $first and $db ends with $rc, not $want: $(cat "$T/out")"
  grep -q "\"call\":\"DatabaseResult\",\"db\":\"$T/w-$db\",.*\"result\":\"$result\"" "$T/out" ||
    fail "$db: not $result: $(cat "$T/out")"
done <<EOF2
4|finished with errors|ok|err
5|held|err|held
EOF2
"$LLUPDATE" --no-sync --json page-numbers "$T/w-pages" "$T/w-held" bel >"$T/out" 2>"$T/err"
rc=$?
[ $rc = 1 ] && grep -q "\"db\":\"$T/w-pages\",.*\"result\":\"refused\"" "$T/out" ||
  fail "a guard's refusal beside a held database ends with $rc: $(cat "$T/out")"
wait

# Ctrl-C in the middle: the databases in work finish their form, none is begun after, and the
# ones not started are named; each database is untouched or as after a single run, and no run
# was killed (the signal is passed on once: a second one would kill the run in its form).
mkdir -p "$T/big/BerichteLL"
for n in $(seq 1 400); do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/big/BerichteLL/R$n.bel"; done
: >"$T/biglist"
for i in 1 2 3 4 5 6 7 8 9 10; do cp -R "$T/big" "$T/big$i"; echo "$T/big$i" >>"$T/biglist"; done
"$LLUPDATE" --jobs 1 address --databases "$T/biglist" >"$T/out" 2>"$T/err" &
fleet=$!
sleep 0.4
kill -INT $fleet
wait $fleet
rc=$?
[ $rc = 130 ] || fail "an interrupted fleet ends with 130, not $rc: $(cat "$T/err")"
grep -q "$(printf '\033')" "$T/err" && fail "terminal escapes in a pipe: $(cat "$T/err")"
grep -q "not started" "$T/out" || fail "the databases not started are not named: $(cat "$T/out")"
old=$(sha256sum <"$T/big/BerichteLL/R1.bel")
for i in 1 2 3 4 5 6 7 8 9 10; do
  ls "$T/big$i/BerichteLL" | grep -q '^xx_\|^alt_' && fail "big$i: files of the run left"
  "$LLUPDATE" --json history "$T/big$i" | grep -q '"ended":"interrupted"' && fail "big$i: its run was killed"
  for f in "$T/big$i"/BerichteLL/*.bel; do
    [ "$(sha256sum <"$f")" = "$old" ] || grep -q "Firmendaten.NeueAnschrift" "$f" || fail "$f is half-way"
  done
done

# Ctrl-C while a database waits for another run that holds it: the signal reaches the database's
# run, which stops waiting at once (the holder still holds it when the fleet has ended) and
# changes nothing.
cp -R "$DEMO" "$T/waiting"
flock "$T/waiting/BerichteLL" sleep 20 &
holder=$!
sleep 0.3
echo "$T/waiting" >"$T/waitlist"
"$LLUPDATE" --no-sync --wait 60 address --databases "$T/waitlist" >"$T/out" 2>"$T/err" &
fleet=$!
sleep 1
kill -INT $fleet
wait $fleet
rc=$?
kill -0 $holder 2>/dev/null || fail "the waiting database was not stopped: $(cat "$T/out" "$T/err")"
kill $holder
[ $rc = 130 ] || fail "a fleet interrupted while it waits ends with 130, not $rc: $(cat "$T/err")"
[ "$(forms_of "$T/waiting")" = "$(forms_of "$DEMO")" ] || fail "the waiting database was changed"

# The Ansible module, run by the example playbook against this machine.
if command -v ansible-playbook >/dev/null; then
  for d in a b; do cp -R "$DEMO" "$T/an-$d"; done
  mkdir "$T/an-broken"
  HOME=$T ANSIBLE_LOCAL_TEMP=$T/.al ANSIBLE_REMOTE_TEMP=$T/.ar ANSIBLE_LIBRARY=$SOURCE/contrib/ansible/library \
    ANSIBLE_PYTHON_INTERPRETER=$(command -v python3) ansible-playbook -c local -i localhost, \
    "$SOURCE/contrib/ansible/convert.yml" -e "{\"llupdate\": \"$LLUPDATE\", \"databases\":
      [\"$T/an-a\", \"$T/an-broken\", \"$T/an-b\"], \"report\": \"$T/report.json\",
      \"llupdate_options\": [\"--no-sync\"]}" >"$T/ansible.log" 2>&1 || fail "ansible: $(tail "$T/ansible.log")"
  python3 - "$T" <<'PY' || fail "the facts the module reported: $(cat "$T/report.json")"
import json, sys
t = sys.argv[1]
r = json.load(open(t + "/report.json"))
by_db = {x["db"]: x["result"] for x in r["results"]}
assert r["failed"] and r["changed"] and r["rc"] == 2, r
assert by_db == {t + "/an-a": "converted", t + "/an-b": "converted", t + "/an-broken": "refused"}, by_db
assert r["summary"]["converted"] == 2 and r["summary"]["refused"] == 1, r["summary"]
PY
else
  echo "ansible-playbook missing (Debian package ansible-core): the Ansible test is skipped"
fi
echo "fleet test passed"
