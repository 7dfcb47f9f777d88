# The Debian packages llupdate needs, in one place: scripts/demo.sh, scripts/test.sh and .ci/run
# take them from here. Sourced, not run.
#   need_packages WHAT PACKAGE...  installs what is missing when run as root on Debian; otherwise
#                                  prints the one command that would, and returns 1
# shellcheck shell=sh

# Building llupdate and running the demo.
LLUPDATE_PACKAGES_BUILD="cmake make g++ libsqlite3-dev pkgconf"
# The tests: GoogleTest; the power-cut test's ext4 image and loop device; the safety test's ACLs,
# attributes and second account; the package and install checks; the man page; the Ansible
# module's playbook.
LLUPDATE_PACKAGES_TEST="libgtest-dev libgmock-dev e2fsprogs util-linux acl attr passwd dpkg-dev \
binutils file lintian help2man ansible-core"
# The Windows server, built with the mingw cross compilers and widl, and its tests under Wine
# (wine32, for the 32-bit server, needs the i386 architecture: .ci/run adds it).
LLUPDATE_PACKAGES_WINDOWS="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
wine64 wine64-tools"
# The clang build, the sanitizer build with clang and the fuzz targets.
LLUPDATE_PACKAGES_CLANG="clang libclang-rt-14-dev"

# The packages of the list that are not installed.
missing_packages() {
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed" ||
      printf '%s ' "$package"
  done
}

need_packages() {
  what=$1
  shift
  command -v dpkg-query >/dev/null 2>&1 || return 0  # not Debian: the build says what it lacks
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing what $what needs: $missing"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
      >/dev/null 2>&1 ||
      { apt-get update -qq >/dev/null 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
          >/dev/null; } || {
      echo "installing $missing failed; try it yourself: apt-get install $missing" >&2
      return 1
    }
    return 0
  fi
  echo "$what needs these Debian packages, which are missing: $missing" >&2
  echo "install them as root with:  apt-get install $missing" >&2
  return 1
}
