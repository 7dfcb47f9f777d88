#!/bin/sh
# Packs the server's DLL pair (for 64-bit and for 32-bit hosts) with its README into
# OUT/llupdate-windows-VERSION.zip. The DLLs are built here with the mingw cross compilers and
# widl (and checked as the tests check them) unless built ones are given.
#   windows/package.sh SOURCE_DIR OUT_DIR [DLL64 DLL32]
set -eu
SOURCE=$(cd "$1" && pwd)
OUT=$(mkdir -p "$2" && cd "$2" && pwd)
version=$(sed -n 's/^project(llupdate VERSION \([0-9.]*\).*/\1/p' "$SOURCE/CMakeLists.txt")
stage="$OUT/llupdate-windows-$version"
rm -rf "$stage"
mkdir -p "$stage/win64" "$stage/win32"
if [ $# -ge 4 ] && [ -f "$3" ] && [ -f "$4" ]; then
  cp "$3" "$stage/win64/vmreportllupdate.dll"
  cp "$4" "$stage/win32/vmreportllupdate.dll"
else
  for bits in 64 32; do
    "$SOURCE/windows/tests/build_dll.sh" "$SOURCE" "$OUT/windows-$bits" "$bits" >/dev/null
    cp "$OUT/windows-$bits/vmreportllupdate.dll" "$stage/win$bits/vmreportllupdate.dll"
  done
fi
cp "$SOURCE/windows/README.md" "$SOURCE/LICENSE" "$stage/"
(cd "$OUT" && cmake -E tar cf "llupdate-windows-$version.zip" --format=zip \
  "llupdate-windows-$version")
rm -rf "$stage"
echo "$OUT/llupdate-windows-$version.zip"
