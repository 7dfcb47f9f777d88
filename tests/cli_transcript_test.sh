#!/bin/sh
# The command line's words as a person reads them, whole: help, completions, list, status,
# previews, runs, history, recover and undo on the demo database, in text and JSON, compared with
# the transcript kept in tests/cli_transcript.txt. Paths, times, run names and the account are
# written as <T>, <time>, <run> and <who>.
#   cli_transcript_test.sh LLUPDATE DEMO_DB TRANSCRIPT        (LLUPDATE_WRITE_TRANSCRIPT=1 writes it)
set -u
LLUPDATE=$1
DEMO=$2
EXPECTED=$3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cp -R "$DEMO" "$T/db"
cd "$T" || exit 1
run() {
  printf '$ llupdate %s\n' "$*"
  "$LLUPDATE" --no-sync "$@" 2>&1
  printf '[exit %s]\n' $?
}
{
  run --help
  run convert --help
  run status --help
  run completion bash
  run completion zsh
  run list db
  run --json list db lst
  run status db
  run --json status db
  run --dry-run convert db
  run -v convert db
  run --json ll24 db
  run status db
  run history db
  run --json history db
  run undo --dry-run db
  run undo db
  run recover db
  run setting -d db CheckReportLL LetzterWert
  run --json setting -d db CheckReportLL LetzterWert
  run dunning db xyz
  run Suche_ErsetzeProjektdatei_LL12 missing.bel db
  run nonsense db
} | sed -e "s|$T|<T>|g" \
  -e 's/time: [0-9.]* s/time: <time>/' -e 's/"seconds":[0-9.]*/"seconds":<time>/' \
  -e 's/[0-9]\{8\}-[0-9]\{6\}\.[0-9]\{3\}-[0-9]*/<run>/g' \
  -e 's/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9][ T][0-9][0-9]:[0-9][0-9]:[0-9][0-9]\( UTC\)\?/<time>/g' \
  -e 's/<time>, [^ ]* ([0-9]*) on [^:]*:/<time>, <who> on <host>:/' \
  -e 's/, <time>, [^,)]*)/, <time>, <who>)/' -e 's/ [0-9.]* [KM]\?B kept/ <size> kept/g' \
  -e 's/"user":"[^"]*","account":"[0-9]*","host":"[^"]*","process":"[0-9]*"/"user":"<who>","account":"<uid>","host":"<host>","process":"<pid>"/' \
  >"$T/transcript"
if [ "${LLUPDATE_WRITE_TRANSCRIPT:-}" = 1 ]; then
  cp "$T/transcript" "$EXPECTED"
  exit 0
fi
diff -u "$EXPECTED" "$T/transcript" >"$T/diff" && exit 0
echo "FAIL: the command line's words differ from $EXPECTED (LLUPDATE_WRITE_TRANSCRIPT=1 writes it anew):"
head -60 "$T/diff"
exit 1
