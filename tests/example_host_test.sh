#!/bin/sh
# The example host converts a copy of the demo database and prints the call's summary; the
# command line prints the same counts for another copy.
# The example preview names the forms the command line's --dry-run names and changes nothing.
#   example_host_test.sh EXAMPLE_HOST LLUPDATE DEMO_DB EXAMPLE_PREVIEW
set -eu
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cp -R "$3" "$T/a"
cp -R "$3" "$T/b"
"$1" "$T/a" >"$T/host.out" || { cat "$T/host.out"; echo "FAIL: the example host"; exit 1; }
"$2" address "$T/b" >/dev/null 2>"$T/cli.err"
host=$(sed -n 's/^done: examined \([0-9]*\), rewritten \([0-9]*\), unchanged \([0-9]*\), refused \([0-9]*\), failed \([0-9]*\), errors \([0-9]*\)$/\1 \2 \3 \4 \5 \6/p' "$T/host.out")
cli=$(sed -n 's/^forms examined: \([0-9]*\), rewritten: \([0-9]*\), unchanged: \([0-9]*\), refused: \([0-9]*\), failed: \([0-9]*\), errors shown: \([0-9]*\), .*/\1 \2 \3 \4 \5 \6/p' "$T/cli.err")
[ -n "$host" ] && [ "$host" = "$cli" ] || { echo "FAIL: host '$host', command line '$cli'"; exit 1; }
cp -R "$3" "$T/c"
"$4" "$T/c" >"$T/preview.out" || { cat "$T/preview.out"; echo "FAIL: the example preview"; exit 1; }
grep -q '^+.*Spacing.Paragraph=Firmendaten.NeueAnschrift' "$T/preview.out" || { echo "FAIL: no diff"; exit 1; }
diff -r "$3" "$T/c" >/dev/null || { echo "FAIL: the preview changed the database"; exit 1; }
# The UTF-16 form (Wartung.war) is shown as text: no NUL byte in the diffs.
[ "$(tr -d '\000' <"$T/preview.out" | wc -c)" = "$(wc -c <"$T/preview.out")" ] ||
  { echo "FAIL: the example shows a form's raw bytes"; exit 1; }
# The same forms change, each shown as text (both decode the forms before diffing).
"$2" --dry-run address "$T/c" 2>/dev/null | grep '^--- ' >"$T/cli.files"
grep '^--- ' "$T/preview.out" >"$T/host.files"
cmp -s "$T/cli.files" "$T/host.files" || { echo "FAIL: the previews differ"; diff "$T/cli.files" "$T/host.files"; exit 1; }
echo "example host passed: $host"
