#!/bin/sh
# The three ways a host takes the component in: the installed CMake package (find_package), the
# sources inside its own build (add_subdirectory), and pkg-config against an installed shared
# library. Also: the installed files, the public headers one by one, the exported symbols, and
# the Debian packages.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$1
SOURCE=$(cd "$2" && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
CXX=${CXX:-c++}

# A database the host converts (a form with the old address field).
database() {
  rm -rf "$T/db"
  mkdir -p "$T/db/BerichteLL"
  printf '[UserSection]\r\nVersion=1\r\nReferenzbeleg=R\r\n  Spacing.Paragraph=8\r\n' >"$T/db/BerichteLL/Rechnung.bel"
}

# 1. find_package against the installed (static) package.
cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null
for f in bin/llupdate include/llupdate/report_ll_update.h include/llupdate/file_system.h \
         include/llupdate/version.h; do
  [ -e "$T/prefix/$f" ] || fail "$f not installed"
done
if command -v help2man >/dev/null; then
  [ -e "$T/prefix/share/man/man1/llupdate.1.gz" ] || fail "no man page installed"
fi
for header in "$T"/prefix/include/llupdate/*.h; do
  echo "#include <llupdate/$(basename "$header")>" | $CXX -std=c++17 -fsyntax-only -Wall -Wextra \
    -I"$T/prefix/include" -x c++ - || fail "$(basename "$header") does not stand alone"
done
cmake -S "$SOURCE/tests/install_host" -B "$T/host" -DCMAKE_PREFIX_PATH="$T/prefix" >/dev/null
cmake --build "$T/host" >/dev/null
database
"$T/host/host" "$T/db" "$T/settings1.sqlite" >/dev/null || fail "find_package host"
# find_package gives the shared library where it is installed.
if [ -n "$(find "$T/prefix" -name 'libllupdate.so.*')" ]; then
  objdump -p "$T/host/host" | grep -q "NEEDED *libllupdate.so" || fail "the find_package host is not linked to the shared library"
fi

# 2. add_subdirectory: the sources in the host's build.
cmake -S "$SOURCE/tests/install_host/subdirectory" -B "$T/sub" -DLLUPDATE_SOURCE_DIR="$SOURCE" \
  >/dev/null 2>"$T/sub.log" || { cat "$T/sub.log"; fail "configuring the subdirectory host"; }
cmake --build "$T/sub" -j2 >"$T/sub.log" 2>&1 || { tail -20 "$T/sub.log"; fail "building the subdirectory host"; }
database
"$T/sub/host" "$T/db" "$T/settings2.sqlite" >/dev/null || fail "add_subdirectory host"
# Inside the host's build llupdate is a library of the host: no command line of its own, and
# nothing of it in the host's installation.
[ ! -e "$T/sub/llupdate/bin/llupdate" ] || fail "add_subdirectory built the command line"
# Only what the host links is built: not the internal library of the command line, nor the
# changelog of the packages.
[ -z "$(find "$T/sub" -name 'libllupdate_internal*' -o -name 'changelog.gz')" ] ||
  fail "add_subdirectory built what the host does not link: $(find "$T/sub" -name 'libllupdate_internal*' -o -name 'changelog.gz')"
cmake --install "$T/sub" --prefix "$T/sub-prefix" >/dev/null 2>&1 || true
[ -z "$(find "$T/sub-prefix" -path '*llupdate*' 2>/dev/null)" ] ||
  fail "add_subdirectory installed llupdate into the host's prefix"


# 3. A build as a packager makes it (Release, prefix /usr): installed elsewhere, a host built
# with pkg-config alone links the shared library, which exports only the public interface.
cmake -S "$SOURCE" -B "$T/release" -DLLUPDATE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$T/release" -j2 >"$T/release.log" 2>&1 || { tail -20 "$T/release.log"; fail "release build"; }
DESTDIR="$T/staged" cmake --install "$T/release" >/dev/null
lib=$(find "$T/staged" -name 'libllupdate.so.*.*.*' | head -1)
[ -n "$lib" ] || fail "no versioned shared library installed"
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
case "$soname" in libllupdate.so.0.*) ;; *) fail "SONAME $soname" ;; esac
nm -DC --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; print }' |
  grep -vE '^ *((typeinfo|typeinfo name|vtable) for )?llupdate::[A-Za-z]' &&
  fail "the shared library exports what is not the public interface"
nm -DC --defined-only "$lib" |
  grep -E 'llupdate::(platform|host|text|files|catalogue|rewrites|ll15|component)::' &&
  fail "the shared library exports private symbols"
if command -v pkg-config >/dev/null; then
  pcdir=$(dirname "$(find "$T/staged" -name llupdate.pc | head -1)")
  # shellcheck disable=SC2046
  $CXX -o "$T/pc-host" "$SOURCE/tests/install_host/host.cc" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs llupdate) ||
    fail "pkg-config host"
  objdump -p "$T/pc-host" | grep -q "NEEDED *$soname" || fail "the pkg-config host is not linked to $soname"
  database
  LD_LIBRARY_PATH=$(dirname "$lib") "$T/pc-host" "$T/db" "$T/settings3.sqlite" >/dev/null ||
    fail "pkg-config host"
else
  echo "pkg-config missing: the pkg-config host is skipped"
fi

# 4. The Debian packages: llupdate (the command line), libllupdate<soversion> (the shared
# library) and libllupdate-dev (for hosts), lintian-clean where lintian is installed, unpacked
# into a scratch root; a host finds the library there with find_package.
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  (cd "$T/release" && cpack -G DEB -B "$T/pkg" >"$T/cpack.log" 2>&1) || { tail -20 "$T/cpack.log"; fail "cpack"; }
  cli=$(find "$T/pkg" -maxdepth 1 -name 'llupdate_*.deb' | head -1)
  runtime=$(find "$T/pkg" -maxdepth 1 -name 'libllupdate0.*_*.deb' | head -1)
  dev=$(find "$T/pkg" -maxdepth 1 -name 'libllupdate-dev_*.deb' | head -1)
  [ -n "$cli" ] && [ -n "$runtime" ] && [ -n "$dev" ] || fail "not three packages: $(ls "$T/pkg")"
  for deb in "$cli" "$runtime" "$dev"; do dpkg-deb -x "$deb" "$T/root"; done
  for f in usr/bin/llupdate usr/share/doc/llupdate/copyright usr/share/doc/llupdate/changelog.gz \
           usr/share/bash-completion/completions/llupdate usr/share/zsh/vendor-completions/_llupdate \
           usr/share/doc/libllupdate-dev/copyright usr/include/llupdate/report_ll_update.h; do
    [ -e "$T/root/$f" ] || fail "$f not in the packages"
  done
  [ -n "$(find "$T/root" -name libllupdate.a)" ] && [ -n "$(find "$T/root" -name libllupdate.so -type l)" ] ||
    fail "libllupdate-dev lacks the static library or the link to the shared one"
  if command -v file >/dev/null; then
    file "$T/root/usr/bin/llupdate" | grep -q 'not stripped' && fail "the packaged llupdate is not stripped"
  fi
  dpkg-deb -f "$dev" Depends | grep -q libsqlite3-dev || fail "libllupdate-dev does not depend on libsqlite3-dev"
  dpkg-deb -f "$cli" Maintainer | grep -q localhost && fail "maintainer at localhost"
  if command -v lintian >/dev/null; then
    lintian "$cli" "$runtime" "$dev" >"$T/lintian.txt" 2>&1
    grep -E '^[EW]:' "$T/lintian.txt" && fail "lintian: $(cat "$T/lintian.txt")"
  else
    echo "lintian missing: the packages are not checked by it"
  fi
  echo "packages: $(du -k "$cli" | cut -f1) KB llupdate, $(du -k "$runtime" | cut -f1) KB $(basename "${runtime%%_*}"), $(du -k "$dev" | cut -f1) KB libllupdate-dev"
  cmake -S "$SOURCE/tests/install_host" -B "$T/deb-host" -DCMAKE_PREFIX_PATH="$T/root/usr" >/dev/null
  cmake --build "$T/deb-host" >/dev/null || fail "a find_package host against libllupdate-dev"
  database
  objdump -p "$T/deb-host/host" | grep -q "NEEDED *$soname" || fail "the host built against the package is not linked to $soname"
  LD_LIBRARY_PATH="$T/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo .)" \
    "$T/deb-host/host" "$T/db" "$T/settings4.sqlite" >/dev/null || fail "the host built against the package"
fi
echo "install test passed"
