#!/bin/sh
# The Windows in-process server under Wine, driven as a host drives it.
#   run_wine_tests.sh SOURCE_DIR WORK_DIR LLUPDATE [64|32]
# Builds vmreportllupdate.dll with mingw-w64 (64-bit, or 32-bit for 32-bit hosts), registers it
# in a fresh Wine prefix, checks the registered type library, converts a database from VBScript
# through CreateObject and compares the result with the Linux command line on an identical copy,
# checks where messages go (the component named per user; without one, standard error, or the
# event log for a host without standard handles), runs a VBScript host that brings its own
# settings store and message component and sets the host members, then unregisters and
# registers for one user.
set -u
SOURCE=$(cd "$1" && pwd)
WORK=$2
LLUPDATE=$3
BITS=${4:-64}
WINESERVER=/usr/lib/wine/wineserver
if [ "$BITS" = 32 ]; then
  WINE=/usr/lib/wine/wine
  TOOLCHAIN="$SOURCE/windows/mingw-w64-i686.cmake"
  export WINEARCH=win32
  WORK="$WORK/win32"
else
  WINE=/usr/lib/wine/wine64
  TOOLCHAIN="$SOURCE/windows/mingw-w64.cmake"
fi
fail() { printf 'FAIL: %s\n' "$*"; exit 1; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

mkdir -p "$WORK"
cmake -S "$SOURCE/windows" -B "$WORK/build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DLLUPDATE_WINDOWS_TESTS=ON -DLLUPDATE_WERROR=ON \
  >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log"; fail "configuring the Windows build"; }
cmake --build "$WORK/build" -j2 >"$WORK/build.log" 2>&1 || { tail -30 "$WORK/build.log"; fail "building the DLL"; }

T=$(mktemp -d)
export WINEPREFIX="$T/prefix" WINEDEBUG=-all
trap '"$WINESERVER" -k 2>/dev/null; rm -rf "$T"' EXIT
DLL=$(winpath "$WORK/build/vmreportllupdate.dll")
HOSTDLL=$(winpath "$WORK/build/llupdate_testhost.dll")
CLASS='HKCR\CLSID\{75BE382A-3718-4C82-9206-C04392B451EF}'

# Registering twice is harmless; the class, its ProgID and the type library are entered.
for i in 1 2; do "$WINE" regsvr32 /s "$DLL" >/dev/null 2>&1 || fail "regsvr32 $i"; done
"$WINE" regsvr32 /s "$HOSTDLL" >/dev/null 2>&1 || fail "registering the test host components"
"$WINE" reg query "$CLASS\\InprocServer32" /v ThreadingModel 2>/dev/null | grep -q Apartment || fail "ThreadingModel"
"$WINE" reg query 'HKCR\VMReportLLUpdate.clsReportLLUpdate\Clsid' >/dev/null 2>&1 || fail "ProgID"
"$WINE" reg query 'HKCR\TypeLib\{FD4587C5-F900-442E-975F-0872B14BD395}\2.0' >/dev/null 2>&1 || fail "type library"

"$WINE" "$WORK/build/typelib_check.exe" "$DLL" >"$T/typelib.txt" 2>&1
grep -q '^0 failed' "$T/typelib.txt" || { cat "$T/typelib.txt"; fail "type library check"; }

# The conversion through the automation interface, against the command line on a twin.
"$WINE" reg add "$CLASS" /v HostMessagesProgID /d LLUpdateTest.Messages /f >/dev/null 2>&1
cp -R "$SOURCE/examples/demo-db" "$T/windows"
cp -R "$SOURCE/examples/demo-db" "$T/linux"
LLUPDATE_TEST_MESSAGES=$(winpath "$T/messages.txt") "$WINE" cscript //nologo \
  "$(winpath "$SOURCE/windows/tests/scenario.vbs")" "$(winpath "$T/windows")" \
  "$(winpath "$T/windows/EXEDIR")" >"$T/script.txt" 2>&1
tr -d '\r' <"$T/script.txt" >"$T/script"
cat >"$T/expected" <<'END'
Kopiere_Neue_Formulare_LL True
Pruefe_Konvertiere_Formulare True
LetzterWert 6
again True
hidden True
SchreibschutzEntfernenAlleDateien [Empty]
missing False
done
END
cmp -s "$T/script" "$T/expected" || fail "script output: $(cat "$T/script.txt")"
grep -q '^ShowMessage|4|0|Die Datenbankversion entspricht einer Version vor Stand 6.7. ~^Die Umstellung der Formulare "auf_LL12" muss evtl. manuell erfolgen.$' "$T/messages.txt" \
  || fail "notice: $(cat "$T/messages.txt")"
grep -q '^ReportError|Ausgabe_Open|53|' "$T/messages.txt" || fail "ReportError: $(cat "$T/messages.txt")"
[ "$(wc -l <"$T/messages.txt")" = 2 ] || fail "messages: $(cat "$T/messages.txt")"
"$LLUPDATE" Kopiere_Neue_Formulare_LL "$T/linux" "$T/linux/EXEDIR" demo >/dev/null 2>&1 || fail "linux distribution"
"$LLUPDATE" --settings "$T/linux.sqlite" Pruefe_Konvertiere_Formulare "$T/linux" >/dev/null 2>&1 || fail "linux driver"
diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/linux" "$T/windows" >"$T/diff.txt" || { head -40 "$T/diff.txt"; fail "the trees differ"; }

# The message component named for the user (HKCU) instead of in the class key; without any,
# the messages go to standard error, and nothing waits for a person.
"$WINE" reg delete "$CLASS" /v HostMessagesProgID /f >/dev/null 2>&1
"$WINE" reg add 'HKCU\Software\VMReportLLUpdate' /v HostMessagesProgID /d LLUpdateTest.Messages /f \
  >/dev/null 2>&1 || fail "naming the message component for the user"
rm -f "$T/messages.txt"
LLUPDATE_TEST_MESSAGES=$(winpath "$T/messages.txt") "$WINE" cscript //nologo \
  "$(winpath "$SOURCE/windows/tests/scenario.vbs")" "$(winpath "$T/windows")" \
  "$(winpath "$T/windows/EXEDIR")" >/dev/null 2>&1
grep -q '^ReportError|Ausgabe_Open|53|' "$T/messages.txt" || fail "per-user component: $(cat "$T/messages.txt" 2>&1)"
"$WINE" reg delete 'HKCU\Software\VMReportLLUpdate' /f >/dev/null 2>&1
LLUPDATE_UNATTENDED=1 timeout 120 "$WINE" cscript //nologo \
  "$(winpath "$SOURCE/windows/tests/scenario.vbs")" "$(winpath "$T/windows")" \
  "$(winpath "$T/windows/EXEDIR")" >"$T/fallback.txt" 2>&1 || fail "the run without a message component: $(cat "$T/fallback.txt")"
grep -q 'Ausgabe_Open: 53' "$T/fallback.txt" || fail "no message on standard error: $(cat "$T/fallback.txt")"
# Unattended and without standard handles (a service, a scheduled task): the message goes to the
# event log, which Wine reports on its own error channel.
LLUPDATE_UNATTENDED=1 WINEDEBUG=-all,err+eventlog timeout 120 "$WINE" "$WORK/build/detached_run.exe" \
  cscript //nologo "$(winpath "$SOURCE/windows/tests/unattended.vbs")" "$(winpath "$T/windows")" \
  >"$T/eventlog.txt" 2>&1 || fail "the unattended run: $(cat "$T/eventlog.txt")"
grep -q 'err:eventlog:.*clsReportLLUpdate: error: Ausgabe_Open: 53' "$T/eventlog.txt" ||
  fail "no message in the event log: $(cat "$T/eventlog.txt")"

# The version resource carries the project's version.
# A host without the settings store: the message names what it must register.
"$WINE" reg delete 'HKCR\VMBSetting.VMSettings' /f >/dev/null 2>&1
LLUPDATE_UNATTENDED=1 timeout 120 "$WINE" cscript //nologo \
  "$(winpath "$SOURCE/windows/tests/no_settings.vbs")" "$(winpath "$T/windows")" >"$T/nosettings.txt" 2>&1
grep -q 'without settings False' "$T/nosettings.txt" && grep -q 'VMBSetting.VMSettings' "$T/nosettings.txt" ||
  fail "a missing settings store not named: $(cat "$T/nosettings.txt")"

# A host in VBScript that brings its own settings store and message component converts the demo
# database with nothing else registered, as the command line does, and records its steps in its
# own store; the second run has nothing to do.
cp -R "$SOURCE/examples/demo-db" "$T/script-host"
cp -R "$SOURCE/examples/demo-db" "$T/script-twin"
for run in first second; do
  timeout 120 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/examples/script_host.vbs")" \
    "$(winpath "$T/script-host")" >"$T/scripthost.txt" 2>&1
  tr -d '\r' <"$T/scripthost.txt" >"$T/scripthost"
  grep -qx 'Pruefe_Konvertiere_Formulare True' "$T/scripthost" || fail "script host, $run run: $(cat "$T/scripthost")"
  if [ $run = first ]; then
    grep -q '^notice: Die Datenbankversion entspricht einer Version vor Stand 6.7' "$T/scripthost" ||
      fail "script host's messages: $(cat "$T/scripthost")"
  else
    [ "$(wc -l <"$T/scripthost")" = 1 ] || fail "script host, second run: $(cat "$T/scripthost")"
  fi
done
"$WINE" reg query 'HKCU\Software\ScriptHost\Standard\CheckReportLL' /v LetzterWert 2>/dev/null | grep -q 'REG_SZ *6' ||
  fail "the script's store holds no step 6"
"$LLUPDATE" --settings "$T/twin.sqlite" Pruefe_Konvertiere_Formulare "$T/script-twin" >/dev/null 2>&1 || fail "linux driver (twin)"
diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/script-twin" "$T/script-host" >"$T/diff.txt" || { head -40 "$T/diff.txt"; fail "the script host's tree differs"; }
timeout 60 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/host_members.vbs")" >"$T/members.txt" 2>&1
tr -d '\r' <"$T/members.txt" >"$T/members"
printf 'defaults 0 True True True\nset 2.5 False False\nnegative 5 2.5 True\n' >"$T/members.expected"
cmp -s "$T/members" "$T/members.expected" || fail "host members: $(cat "$T/members")"

# Names: a path given as a form name never touches the form; device names (which would open the
# device and wait for ever) and names Windows forbids are left with a message, and every other
# form is converted as the command line converts it.
cp -R "$SOURCE/examples/demo-db" "$T/names"; mkdir "$T/names/db"; mv "$T/names/BerichteLL" "$T/names/db/"
cp "$T/names/db/BerichteLL/Rechnung.bel" "$T/names/Rechnung.bel"
for n in aux.bel CON.bel 'Rech:nung.bel' 'nul.war'; do cp "$T/names/Rechnung.bel" "$T/names/db/BerichteLL/$n"; done
cp -R "$T/names/db" "$T/names-linux"
# The host's message component gets a handled error's cause as standard error does.
"$WINE" reg add "$CLASS" /v HostMessagesProgID /d LLUpdateTest.Messages /f >/dev/null 2>&1
LLUPDATE_TEST_MESSAGES=$(winpath "$T/names.msg") timeout 120 "$WINE" cscript //nologo \
  "$(winpath "$SOURCE/windows/tests/names.vbs")" "$(winpath "$T/names/db")" >"$T/names.txt" 2>&1
"$WINE" reg delete "$CLASS" /v HostMessagesProgID /f >/dev/null 2>&1
tr -d '\r' <"$T/names.txt" >"$T/names.out"
printf 'path False\naddress True\nll24 True\ndone\n' >"$T/names.expected"
cmp -s "$T/names.out" "$T/names.expected" || fail "names: $(cat "$T/names.txt" "$T/names.msg")"
grep -q 'cause: 76 Pfad nicht gefunden: .*\\\.\.\\\.\.\\Rechnung.bel' "$T/names.msg" || fail "the cause did not reach the host: $(cat "$T/names.msg")"
for n in aux.bel CON.bel 'Rech:nung.bel' nul.war; do
  [ "$(grep -c "$n wird übersprungen" "$T/names.msg")" = 2 ] || fail "$n not left with a message: $(cat "$T/names.msg")"
done
cmp -s "$SOURCE/examples/demo-db/BerichteLL/Rechnung.bel" "$T/names/Rechnung.bel" || fail "a path as a name touched a form"
for n in aux.bel CON.bel 'Rech:nung.bel' nul.war; do
  cmp -s "$T/names/Rechnung.bel" "$T/names/db/BerichteLL/$n" || fail "$n was changed"
  rm "$T/names/db/BerichteLL/$n" "$T/names-linux/BerichteLL/$n"
done
"$LLUPDATE" --no-sync address "$T/names-linux" >/dev/null 2>&1 && "$LLUPDATE" --no-sync ll24 "$T/names-linux" >/dev/null 2>&1 ||
  fail "linux twin of the names test"
diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/names-linux" "$T/names/db" >"$T/diff.txt" || { head -20 "$T/diff.txt"; fail "names: the forms differ"; }

# A database below a path longer than 260 characters is converted as any other.
long="$T/long/$(printf 'Datenbank-mit-einem-sehr-langen-Namen-%02d/' $(seq 1 7) | tr -d ' ')db"
mkdir -p "$long" && cp -R "$SOURCE/examples/demo-db/BerichteLL" "$long/" && cp -R "$long" "$T/long-linux"
[ ${#long} -gt 300 ] || fail "the long path is only ${#long} characters"
timeout 120 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/names.vbs")" \
  "$(winpath "$long")" >"$T/long.txt" 2>"$T/long.err"
tr -d '\r' <"$T/long.txt" >"$T/long.out"
cmp -s "$T/long.out" "$T/names.expected" || fail "long path: $(cat "$T/long.txt" "$T/long.err")"
"$LLUPDATE" --no-sync address "$T/long-linux" >/dev/null 2>&1 && "$LLUPDATE" --no-sync ll24 "$T/long-linux" >/dev/null 2>&1 ||
  fail "linux twin of the long path"
diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/long-linux" "$long" >"$T/diff.txt" || { head -20 "$T/diff.txt"; fail "long path: the forms differ"; }

# Hosts killed at random moments of the address job over 300 forms, then run again: every form
# is there and converted byte for byte as the command line converts it, nothing left beside.
mkdir -p "$T/kills/BerichteLL"
for i in $(seq 1 30); do
  for f in "$SOURCE"/examples/demo-db/BerichteLL/*; do cp "$f" "$T/kills/BerichteLL/K${i}_$(basename "$f")"; done
done
cp -R "$T/kills" "$T/kills-linux"
"$LLUPDATE" --no-sync address "$T/kills-linux" >/dev/null 2>&1 || fail "linux twin of the kills"
for i in $(seq 1 "${LLUPDATE_WINE_KILLS:-6}"); do
  rm -rf "$T/killed"; cp -R "$T/kills" "$T/killed"
  "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/job.vbs")" address "$(winpath "$T/killed")" \
    >/dev/null 2>&1 &
  pid=$!
  # Killed once it holds the database, a random moment into its work.
  for _ in $(seq 1 200); do grep -q running "$T/killed/BerichteLL/.llupdate-lock" 2>/dev/null && break; sleep 0.05; done
  sleep "0.$(printf '%03d' $((RANDOM % 600)))"
  kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null
  timeout 300 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/job.vbs")" address \
    "$(winpath "$T/killed")" >"$T/killed.txt" 2>&1
  grep -q '^address True' "$T/killed.txt" || fail "kill $i: the run after it: $(cat "$T/killed.txt")"
  diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/kills-linux" "$T/killed" >"$T/diff.txt" ||
    { head -20 "$T/diff.txt"; fail "kill $i: the forms differ from an uninterrupted run"; }
done

# The journal through a script host: the address job on the demo database with a read-only form,
# taken back (the forms and attributes of before, byte for byte), and the undo taken back (the
# command line's result); the history names the three runs.
rm -rf "$T/journal" "$T/journal-before" "$T/journal-linux"
cp -R "$SOURCE/examples/demo-db" "$T/journal"
chmod 444 "$T/journal/BerichteLL/Rechnung.bel"
cp -a "$T/journal" "$T/journal-before"
cp -a "$T/journal" "$T/journal-linux"
"$LLUPDATE" --no-sync address "$T/journal-linux" >/dev/null 2>&1 || fail "linux twin of the journal"
undos=0
for step in address undo undo history; do
  timeout 120 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/job.vbs")" $step \
    "$(winpath "$T/journal")" >"$T/journal.txt" 2>&1
  case $step in
    history)
      [ "$(grep -c 'UndoLastRun' "$T/journal.txt")" = 2 ] &&
        grep -q 'Umstellung_Auf_Neue_Anschrift' "$T/journal.txt" || fail "history: $(cat "$T/journal.txt")"
      continue ;;
    *) grep -q "^$step True" "$T/journal.txt" || fail "journal $step: $(cat "$T/journal.txt")" ;;
  esac
  [ $step = undo ] && undos=$((undos + 1))
  if [ $undos = 1 ] && [ $step = undo ]; then
    expected="$T/journal-before"
    [ "$(stat -c %a "$T/journal/BerichteLL/Rechnung.bel")" = 444 ] ||
      fail "journal: the read-only attribute did not come back"
  else
    expected="$T/journal-linux"
  fi
  diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$expected" "$T/journal" >"$T/diff.txt" ||
    { head -20 "$T/diff.txt"; fail "journal: after $step the forms are not as expected"; }
done

# The crash walk against the Windows file system: the address job and the LL24 switch-over on
# the demo database, killed at every point where the server writes, and with that point failing
# as on a full disk, each followed by a plain run that must end as an uninterrupted run ends
# (LLUPDATE_WINE_CRASH_STEP=N takes every N-th point only, for a quicker run by hand).
job() {  # JOB DB [FAULT] -> the script's output in $T/job.txt
  # Wine under load sometimes fails to start the script host at all (ShellExecuteEx, or not a
  # word): nothing of the job ran then, and it is started once more. A job that was to be killed
  # says nothing either; it is not started again.
  for _ in 1 2; do
    LLUPDATE_TEST_FAULT=${3:-} timeout 120 "$WINE" cscript //nologo \
      "$(winpath "$SOURCE/windows/tests/job.vbs")" "$1" "$(winpath "$2")" >"$T/job.txt" 2>&1
    case ${3:-} in kill:*) break ;; esac
    grep -q 'ShellExecuteEx failed' "$T/job.txt" || [ ! -s "$T/job.txt" ] || break
    sleep 1
  done
}
for jobname in address ll24; do
  rm -rf "$T/walk-linux" "$T/walk"; cp -R "$SOURCE/examples/demo-db" "$T/walk-linux"
  "$LLUPDATE" --no-sync $jobname "$T/walk-linux" >/dev/null 2>&1
  cp -R "$SOURCE/examples/demo-db" "$T/walk"
  job $jobname "$T/walk" "count:$(winpath "$T/points")"
  points=$(cat "$T/points" 2>/dev/null || echo 0)
  [ "$points" -gt 10 ] || fail "$jobname: only $points points where the server writes"
  step=${LLUPDATE_WINE_CRASH_STEP:-1}
  for mode in kill fail; do
    at=1
    while [ $at -le "$points" ]; do
      rm -rf "$T/walk"; cp -R "$SOURCE/examples/demo-db" "$T/walk"
      job $jobname "$T/walk" "$mode:$at"
      [ $mode = fail ] && { grep -q "^$jobname " "$T/job.txt" || fail "$jobname, $mode at $at of $points: no result: $(cat "$T/job.txt")"; }
      job $jobname "$T/walk"
      grep -q "^$jobname True" "$T/job.txt" || fail "$jobname, $mode at $at of $points: the run after it: $(cat "$T/job.txt")"
      diff -r -x '.llupdate-lock*' -x '.llupdate-journal' "$T/walk-linux" "$T/walk" >"$T/diff.txt" ||
        { head -20 "$T/diff.txt"; fail "$jobname, $mode at $at of $points: the forms differ from an uninterrupted run"; }
      at=$((at + step))
    done
  done
done

# A second host is refused while another holds the database, and says by whom; the record is
# made read-only as for an account that may not write it (Wine as root writes it all the same).
cp -R "$SOURCE/examples/demo-db" "$T/locked"
"$LLUPDATE" --no-sync address "$T/locked" >/dev/null 2>&1  # the record exists
chmod a-w "$T/locked/BerichteLL/.llupdate-lock"
# The holders hold until the test releases them (at most 110 s): under load the script host may
# take longer to start than any fixed hold.
rm -f "$T/release"
"$WINE" "$WORK/build/hold_open.exe" "$(winpath "$T/locked/BerichteLL/.llupdate-lock")" 110 lock \
  "$(winpath "$T/release")" >"$T/lockholder.txt" 2>&1 &
holder=$!
for _ in $(seq 1 200); do grep -q held "$T/lockholder.txt" 2>/dev/null && break; sleep 0.1; done
grep -q held "$T/lockholder.txt" || fail "the lock could not be held: $(cat "$T/lockholder.txt")"
job ll24 "$T/locked"
touch "$T/release"
wait $holder 2>/dev/null  # (a killed Wine launcher would leave the holder running)
grep -q '^ll24 False' "$T/job.txt" && grep -q 'von einem anderen Lauf bearbeitet' "$T/job.txt" ||
  fail "a host that may not write the record ran beside the holder: $(cat "$T/job.txt")"
cmp -s "$SOURCE/examples/demo-db/BerichteLL/Etikett.lbl" "$T/locked/BerichteLL/Etikett.lbl" ||
  fail "a refused host changed a form"

# A form another program holds open: left exactly as it was, read-only attribute too, nothing
# left beside it, and the message says that it was not replaced.
cp -R "$SOURCE/examples/demo-db" "$T/held"
# Wine's server sometimes drops a new client under load ("recvmsg: Connection reset by peer"):
# the holder is started a second time then.
rm -f "$T/release"
for attempt in 1 2; do
  "$WINE" "$WORK/build/hold_open.exe" "$(winpath "$T/held/BerichteLL/Rechnung.bel")" 110 open \
    "$(winpath "$T/release")" >"$T/formholder.txt" 2>&1 &
  holder=$!
  for _ in $(seq 1 200); do grep -q held "$T/formholder.txt" 2>/dev/null && break; sleep 0.1; done
  grep -q held "$T/formholder.txt" && break
  kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
  [ $attempt = 1 ] && ! grep -q "wine client error" "$T/formholder.txt" && break
  sleep 1
done
grep -q held "$T/formholder.txt" || fail "the form could not be held open: $(cat "$T/formholder.txt")"
# A script host that said not a word never started (Wine under load): it is started once more,
# on the same folder, so that whatever a first start did to the form is still seen below.
for _ in 1 2; do
  timeout 120 "$WINE" cscript //nologo "$(winpath "$SOURCE/windows/tests/held.vbs")" \
    "$(winpath "$T/held")" >"$T/held.txt" 2>"$T/held.err"
  [ -s "$T/held.txt" ] || [ -s "$T/held.err" ] && break
  sleep 1
done
touch "$T/release"
wait $holder 2>/dev/null
tr -d '\r' <"$T/held.txt" >"$T/held.out"
printf 'held True\nread-only True\ndone\n' >"$T/held.expected"
cmp -s "$T/held.out" "$T/held.expected" || fail "held form: $(cat "$T/held.txt" "$T/held.err")"
cmp -s "$SOURCE/examples/demo-db/BerichteLL/Rechnung.bel" "$T/held/BerichteLL/Rechnung.bel" || fail "the held form changed"
ls -a "$T/held/BerichteLL" | grep -qi '^xx_\|^alt_\|^rf.*\.tmp$\|llupdate-[0-9a-f]' && fail "left beside the held form: $(ls -a "$T/held/BerichteLL")"
grep -q 'Rechnung.bel konnte nicht ersetzt werden und ist unverändert: 55' "$T/held.err" || fail "the held form's message: $(cat "$T/held.err")"

version=$(sed -n 's/^project(llupdate VERSION \([0-9.]*\).*/\1/p' "$SOURCE/CMakeLists.txt")
strings -el "$WORK/build/vmreportllupdate.dll" | grep -qx "$version" || fail "no version $version in the resource"

# Unregistering leaves the registry clean.
"$WINE" regsvr32 /u /s "$DLL" >/dev/null 2>&1 || fail "unregistering"
for key in "$CLASS" 'HKCR\VMReportLLUpdate.clsReportLLUpdate' 'HKCR\TypeLib\{FD4587C5-F900-442E-975F-0872B14BD395}'; do
  "$WINE" reg query "$key" >/dev/null 2>&1 && fail "$key is still registered"
done
# For one user (regsvr32 /n /i:user): below HKCU\Software\Classes, nothing for the machine, and
# removed again. (Wine's COM reads only the machine's classes, so no object is created here.)
"$WINE" regsvr32 /s /n /i:user "$DLL" >/dev/null 2>&1 || fail "registering for the user"
USERCLASSES='HKCU\Software\Classes'
# A key that must be there is asked for up to three times: Wine's server sometimes drops a new
# client under load, and the query then fails without an answer.
reg_has() {
  for _ in 1 2 3; do
    "$WINE" reg query "$@" 2>/dev/null && return 0
    sleep 1
  done
  return 1
}
reg_has "$USERCLASSES\CLSID\{75BE382A-3718-4C82-9206-C04392B451EF}\InprocServer32" /v ThreadingModel |
  grep -q Apartment || fail "per-user class"
reg_has "$USERCLASSES\VMReportLLUpdate.clsReportLLUpdate\Clsid" >/dev/null || fail "per-user ProgID"
"$WINE" reg query 'HKCR\VMReportLLUpdate.clsReportLLUpdate' >/dev/null 2>&1 && fail "a per-user registration wrote for the machine"
"$WINE" regsvr32 /u /s /n /i:user "$DLL" >/dev/null 2>&1 || fail "unregistering for the user"
for key in "$USERCLASSES\CLSID\{75BE382A-3718-4C82-9206-C04392B451EF}" "$USERCLASSES\VMReportLLUpdate.clsReportLLUpdate"; do
  "$WINE" reg query "$key" >/dev/null 2>&1 && fail "$key is still registered"
done
echo "wine tests passed"
