#!/bin/sh
# Builds the server for 64-bit or 32-bit hosts and checks the file: a PE32(+) DLL with the
# exports COM looks up, a version resource with the project's version and a type library for
# its bitness.
#   build_dll.sh SOURCE_DIR WORK_DIR 64|32
set -eu
SOURCE=$(cd "$1" && pwd)
WORK=$2
BITS=$3
fail() { printf 'FAIL: %s\n' "$*"; exit 1; }
if [ "$BITS" = 32 ]; then
  toolchain="$SOURCE/windows/mingw-w64-i686.cmake" kind='PE32 executable' objdump=i686-w64-mingw32-objdump
else
  toolchain="$SOURCE/windows/mingw-w64.cmake" kind='PE32+ executable' objdump=x86_64-w64-mingw32-objdump
fi
cmake -S "$SOURCE/windows" -B "$WORK" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLLUPDATE_WERROR=ON \
  >"$WORK.configure.log" 2>&1 || { cat "$WORK.configure.log"; fail "configuring"; }
cmake --build "$WORK" -j2 >"$WORK.build.log" 2>&1 || { tail -30 "$WORK.build.log"; fail "building"; }
dll="$WORK/vmreportllupdate.dll"
file "$dll" | grep -q "$kind (DLL)" || fail "not a $BITS-bit DLL: $(file "$dll")"
for name in DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer; do
  $objdump -p "$dll" | grep -q "\] $name\$" || fail "export $name missing"
done
version=$(sed -n 's/^project(llupdate VERSION \([0-9.]*\).*/\1/p' "$SOURCE/CMakeLists.txt")
strings -el "$dll" | grep -qx "$version" || fail "no version $version in the resource"
strings -el "$dll" | grep -q "($BITS-bit)" || fail "the resource does not say $BITS-bit"
# The type library is written for the DLL's bitness, so that hosts of that bitness find it
# registered (its system kind: 1 win32, 3 win64).
expected=$([ "$BITS" = 32 ] && echo 1 || echo 3)
syskind=$(($(od -An -tu1 -j20 -N1 "$WORK/generated/vmreportllupdate.tlb") & 15))
[ "$syskind" = "$expected" ] || fail "the type library is for system kind $syskind, not $expected"
echo "the $BITS-bit server: $dll"
