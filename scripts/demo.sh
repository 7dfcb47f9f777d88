#!/bin/sh
# Builds llupdate, copies the demo database to a scratch directory (the repository is never
# changed), distributes the delivered forms, runs the conversion driver and shows what changed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
need_packages "the demo" $LLUPDATE_PACKAGES_BUILD
log="$build/demo-build.log"
mkdir -p "$build"
echo "== building llupdate in $build (the first time takes a few minutes; log: $log)"
{
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" -j2 --target llupdate
} >"$log" 2>&1 &
builder=$!
# The build's progress, one line per step of ten percent, so that something moves from the start.
shown=-1
while kill -0 "$builder" 2>/dev/null; do
  percent=$(grep -o '^\[ *[0-9]*%\]' "$log" 2>/dev/null | tail -n 1 | tr -dc '0-9')
  if [ -n "$percent" ] && [ $((percent / 10)) -gt "$shown" ]; then
    shown=$((percent / 10))
    echo "   building: $percent %"
  fi
  sleep 1
done
if ! wait "$builder"; then
  tail -n 30 "$log"
  echo "the build failed; the whole log is in $log" >&2
  exit 1
fi
echo "   built: $build/bin/llupdate"
llupdate="$build/bin/llupdate"

scratch="$build/demo"
rm -rf "$scratch"
mkdir -p "$scratch"
cp -R "$root/examples/demo-db/." "$scratch/db"
cp -R "$root/examples/demo-db/." "$scratch/before"
echo "Demo database: $scratch/db"

status=0
echo "== distribution of the delivered forms"
"$llupdate" distribute "$scratch/db" "$scratch/db/EXEDIR" demo || status=$?
echo "== conversion driver (its record goes to the database's llupdate-settings.sqlite)"
"$llupdate" -v convert "$scratch/db" || status=$?
echo "== what changed"
# The forms of both folders, each shown as UTF-8 text whatever its encoding (the forms themselves
# keep theirs); the program's own files beside them (its settings, lock and journal) are left out.
for side in before db; do
  for folder in BerichteLL BerichteLLOrg; do
    mkdir -p "$scratch/show/$side/$folder"
    for f in "$scratch/$side/$folder"/*; do
      [ -f "$f" ] || continue
      shown="$scratch/show/$side/$folder/$(basename "$f")"
      case "$(head -c 2 "$f" | od -An -tx1 | tr -d ' ')" in
        fffe | feff) from=UTF-16 ;;
        *) if iconv -f UTF-8 -t UTF-8 "$f" >/dev/null 2>&1; then from=UTF-8; else from=CP1252; fi ;;
      esac
      iconv -f "$from" -t UTF-8 "$f" >"$shown" 2>/dev/null || cp "$f" "$shown"
    done
  done
done
(cd "$scratch/show" && diff -ru before db) || true
echo "== where the database stands"
"$llupdate" status "$scratch/db"
echo "== the forms now"
"$llupdate" list "$scratch/db"
exit "$status"
