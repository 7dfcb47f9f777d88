#!/bin/bash
# Plants one-line faults in src/ and cli/ at random, one at a time, and tells which the quick suite
# catches: a measure of the tests, by room, run on demand (it takes about half a minute a fault).
#   scripts/mutate.sh [--seed N] [--count N] [--room ROOM] [--work DIR]
# It works on a copy of the tree (the files git knows, as they are now), so the working tree is
# never changed. A fault that does not compile is not counted. Each surviving fault is listed
# with its diff: read them, some change nothing a test could see (equivalent faults).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seed=1
count=40
room=""
work=${TMPDIR:-/tmp}/llupdate-mutate
while [ $# -gt 0 ]; do
  case "$1" in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --room) room=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--seed N] [--count N] [--room ROOM] [--work DIR]" >&2; exit 2 ;;
  esac
done
RANDOM=$seed

rm -rf "$work/tree"
mkdir -p "$work/tree"
(cd "$root" && git ls-files -z | xargs -0 tar -cf - 2>/dev/null) | tar -C "$work/tree" -xf -
echo "== building the unchanged copy in $work/build"
cmake -S "$work/tree" -B "$work/build" -DCMAKE_BUILD_TYPE=Debug >"$work/configure.log" 2>&1
# The build runs the program (for its man page and completions): a fault that makes it hang ends
# the build after a while (status 124).
build() { timeout 1200 cmake --build "$work/build" -j2 >"$work/build.log" 2>&1; }
suite() {
  local status=0
  timeout 900 ctest --test-dir "$work/build" -j2 --timeout 120 --stop-on-failure \
    -LE "wine|crashwalk|powercut|safety|install" \
    >"$work/test.log" 2>&1 || status=$?
  # A test that failed or timed out can leave the programs it started running (a fault may make
  # them start one another): they would hold the next build and the next suite.
  pkill -KILL -f "^$work/build/" 2>/dev/null || true
  return $status
}
build || { tail -20 "$work/build.log"; echo "the unchanged copy does not build" >&2; exit 1; }
suite || { echo "the unchanged copy fails its tests: see $work/test.log" >&2; exit 1; }

# The faults: a pattern (sed's basic regular expressions) and what replaces its first match on
# the line.
patterns=('==' '!=' ' < ' ' > ' ' <= ' ' >= ' '&&' '||' '\btrue\b' '\bfalse\b' ' + 1\b' ' - 1\b'
  'if (!' 'return \(.*\);' '\b\([0-9]\+\)\b' '^\(\s*\)\([a-zA-Z_].*;\)\s*$')
replacements=('!=' '==' ' <= ' ' >= ' ' < ' ' > ' '||' '\&\&' 'false' 'true' ' - 1' ' + 1'
  'if (' 'return !(\1);' '(\1 + 1)' '\1;  \/\/ \2')
# The code lines of a file where a pattern matches: not comments, includes or blank lines.
candidates() {
  sed -n "/$2/=" "$1" | while read -r n; do
    sed -n "${n}p" "$1" | grep -qE '^\s*(//|#|\*|/\*)' || echo "$n"
  done
}

# The code of the chosen line, without a comment at its end.
code_of() { sed -n "${line}p" "$1" | sed 's|\s*//.*||'; }

mapfile -t files < <(cd "$work/tree" && find src cli -name '*.cc' ! -name '*_test.cc' | sort)
if [ -n "$room" ]; then
  mapfile -t files < <(printf '%s\n' "${files[@]}" | grep -E "^(src/)?$room/")
fi
[ ${#files[@]} -gt 0 ] || { echo "no sources in room '$room'" >&2; exit 2; }

declare -A killed total
survivors="$work/survivors.txt"
: >"$survivors"
planted=0
tries=0
while [ $planted -lt "$count" ] && [ $tries -lt $((count * 20)) ]; do
  tries=$((tries + 1))
  file=${files[RANDOM % ${#files[@]}]}
  f=$((RANDOM % ${#patterns[@]}))
  mapfile -t lines < <(candidates "$work/tree/$file" "${patterns[f]}")
  [ ${#lines[@]} -gt 0 ] || continue
  line=${lines[RANDOM % ${#lines[@]}]}
  cp "$work/tree/$file" "$work/original"
  sed -i "${line}s/${patterns[f]}/${replacements[f]}/" "$work/tree/$file"
  if [ "$(code_of "$work/original")" = "$(code_of "$work/tree/$file")" ]; then
    cp "$work/original" "$work/tree/$file"
    continue  # the fault does not apply to this line, or only to its comment
  fi
  change=$(diff -U0 "$work/original" "$work/tree/$file" | tail -n +3 || true)
  r=$(echo "$file" | cut -d/ -f2)
  [[ $file == cli/* ]] && r=cli
  built=0
  build || built=$?
  if [ $built -eq 0 ] || [ $built -eq 124 ]; then
    planted=$((planted + 1))
    total[$r]=$((${total[$r]:-0} + 1))
    if [ $built -eq 124 ]; then
      # The program hangs where the build runs it: caught as the suite's timeouts would.
      killed[$r]=$((${killed[$r]:-0} + 1))
      echo "killed    $file:$line (the program hangs)"
    elif suite; then
      printf '%s:%s\n%s\n\n' "$file" "$line" "$change" >>"$survivors"
      echo "survived  $file:$line"
    else
      killed[$r]=$((${killed[$r]:-0} + 1))
      echo "killed    $file:$line"
    fi
  fi
  cp "$work/original" "$work/tree/$file"
  touch "$work/tree/$file"
done
build >/dev/null || true

echo "== faults caught by the quick suite (seed $seed)"
all_killed=0
all_total=0
for r in $(printf '%s\n' "${!total[@]}" | sort); do
  k=${killed[$r]:-0}
  t=${total[$r]}
  all_killed=$((all_killed + k))
  all_total=$((all_total + t))
  printf '%-10s %3d of %3d  %3d %%\n' "$r" "$k" "$t" $((100 * k / t))
done
[ $all_total -gt 0 ] && printf '%-10s %3d of %3d  %3d %%\n' all $all_killed $all_total $((100 * all_killed / all_total))
echo "survivors, with their diffs: $survivors"
