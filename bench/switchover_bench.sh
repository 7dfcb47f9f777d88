#!/bin/bash
# The switch-over and the driver at the speed of the disk: through the command line as people run
# it, over N generated forms (the demo's forms of every type and their old FileVersions, repeated),
# durable, against the durable floor on the same database (every byte read and written once,
# each new file flushed and renamed over its form, the folder flushed once), interleaved rounds,
# medians and their ratios; then the address job over 1,000 forms on a disk where a flush costs
# 5 ms (simulated: the flush calls of the process wait 5 ms), durable against --no-sync; and the
# system calls per form of the driver (strace, where it is installed).
#
#   bench/switchover_bench.sh build/bin/llupdate [N] [ROUNDS]
set -eu
. "$(dirname "$0")/kit.sh"
LLUPDATE=$(realpath "$1")
N=${2:-2000}
ROUNDS=${3:-3}
DEMO=$(cd "$(dirname "$0")/../examples/demo-db" && pwd)
T=$(mktemp -d "${TMPDIR:-/var/tmp}/switchover-bench.XXXXXX")
trap 'rm -rf "$T"' EXIT
CXX=${CXX:-c++}

# The floor, and the slow flush: two small programs of their own, built here.
cat >"$T/floor.cc" <<'CC'
// Reads every file of a folder, writes it to a new file, flushes that, renames it over the
// file, and flushes the folder once: what a durable rewrite of every form costs at least.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>
int main(int, char** argv) {
  std::string dir = argv[1];
  DIR* d = opendir(dir.c_str());
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  std::vector<char> buffer(1 << 20);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name, next = path + ".new";
    int in = open(path.c_str(), O_RDONLY), out = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t n;
    while ((n = read(in, buffer.data(), buffer.size())) > 0) (void)!write(out, buffer.data(), n);
    fdatasync(out);
    close(in);
    close(out);
    rename(next.c_str(), path.c_str());
  }
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  fsync(fd);
  close(fd);
}
CC
cat >"$T/slow_flush.cc" <<'CC'
// LD_PRELOAD: every flush of the process waits 5 ms first, as on a file server or a RAID
// controller without a write cache.
#include <dlfcn.h>
#include <sys/uio.h>
#include <time.h>
static void Wait() { timespec t{0, 5000000}; nanosleep(&t, nullptr); }
template <class F> F Next(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
extern "C" int fsync(int fd) { Wait(); return Next<int (*)(int)>("fsync")(fd); }
extern "C" int fdatasync(int fd) { Wait(); return Next<int (*)(int)>("fdatasync")(fd); }
extern "C" int syncfs(int fd) { Wait(); return Next<int (*)(int)>("syncfs")(fd); }
// A write that is on the disk when it returns flushes as well.
extern "C" ssize_t pwritev2(int fd, const iovec* v, int n, off_t at, int flags) {
  if (flags & (RWF_DSYNC | RWF_SYNC)) Wait();
  return Next<ssize_t (*)(int, const iovec*, int, off_t, int)>("pwritev2")(fd, v, n, at, flags);
}
CC
$CXX -O2 -o "$T/floor" "$T/floor.cc"
$CXX -O2 -shared -fPIC -o "$T/slow_flush.so" "$T/slow_flush.cc" -ldl

# N forms of every type the switch-over and the driver convert.
mkdir -p "$T/template/BerichteLL"
forms=("$DEMO"/BerichteLL/*)
for i in $(seq 1 "$N"); do
  f=${forms[$(((i - 1) % ${#forms[@]}))]}
  cp "$f" "$T/template/BerichteLL/F$i-$(basename "$f")"
done
mkdir -p "$T/address/BerichteLL"
for i in $(seq 1 1000); do cp "$DEMO/BerichteLL/Rechnung.bel" "$T/address/BerichteLL/F$i.bel"; done

fresh() { rm -rf "$T/db"; cp -R "$T/$1" "$T/db"; sync; }
slow() { LD_PRELOAD="$T/slow_flush.so" "$@"; }
for f in ll24 convert floor slow_durable slow_nosync; do : >"$T/$f.times"; done
for _ in $(seq 1 "$ROUNDS"); do
  fresh template; seconds "$LLUPDATE" -q ll24 "$T/db" >>"$T/ll24.times"
  fresh template; seconds "$LLUPDATE" -q convert "$T/db" >>"$T/convert.times"
  fresh template; seconds "$T/floor" "$T/db/BerichteLL" >>"$T/floor.times"
  fresh address; seconds slow "$LLUPDATE" -q address "$T/db" >>"$T/slow_durable.times"
  fresh address; seconds slow "$LLUPDATE" -q --no-sync address "$T/db" >>"$T/slow_nosync.times"
done
ll24=$(median <"$T/ll24.times"); convert=$(median <"$T/convert.times"); floor=$(median <"$T/floor.times")
durable=$(median <"$T/slow_durable.times"); nosync=$(median <"$T/slow_nosync.times")
printf '%d forms, durable, median of %d rounds (%s, %d cores)\n' "$N" "$ROUNDS" \
  "$(df -T "$T" | awk 'NR==2 {print $2}')" "$(nproc)"
awk -v a="$ll24" -v f="$floor" 'BEGIN {printf "  ll24:    %7.3f s, %.2fx the durable floor (%.3f s)\n", a, a / f, f}'
awk -v a="$convert" -v f="$floor" 'BEGIN {printf "  convert: %7.3f s, %.2fx the durable floor\n", a, a / f}'
awk -v a="$durable" -v b="$nosync" 'BEGIN {printf "  a flush of 5 ms, address over 1000 forms: durable %.3f s, --no-sync %.3f s, %.2fx\n", a, b, a / b}'
if command -v strace >/dev/null; then
  fresh template
  strace -f -c -o "$T/calls" "$LLUPDATE" -q convert "$T/db" >/dev/null 2>&1 || true
  calls=$(awk '$NF == "total" {print $4}' "$T/calls")
  awk -v c="$calls" -v n="$N" 'BEGIN {printf "  convert: %d system calls, %.1f per form\n", c, c / n}'
fi
