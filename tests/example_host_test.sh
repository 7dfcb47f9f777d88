#!/bin/sh
# The example host converts a copy of the demo database and prints the call's summary; the
# command line prints the same counts for another copy.
#   example_host_test.sh EXAMPLE_HOST LLUPDATE DEMO_DB
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
echo "example host passed: $host"
