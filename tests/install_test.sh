#!/bin/sh
# Installs the build into a scratch prefix and builds and runs a separate host project against
# the installed package.
set -eu
BUILD=$1
SOURCE=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null
for f in bin/llupdate include/llupdate/report_ll_update.h; do
  [ -e "$T/prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
if command -v help2man >/dev/null; then
  [ -e "$T/prefix/share/man/man1/llupdate.1" ] || { echo "FAIL: no man page installed"; exit 1; }
fi
cmake -S "$SOURCE/tests/install_host" -B "$T/host" -DCMAKE_PREFIX_PATH="$T/prefix" >/dev/null
cmake --build "$T/host" >/dev/null
mkdir -p "$T/db/BerichteLL"
printf '[UserSection]\r\nVersion=1\r\nReferenzbeleg=R\r\n  Spacing.Paragraph=8\r\n' >"$T/db/BerichteLL/Rechnung.bel"
"$T/host/host" "$T/db"
echo "install test passed"
