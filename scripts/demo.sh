#!/bin/sh
# Builds llupdate, copies the demo database to a scratch directory (the repository is never
# changed), distributes the delivered forms, runs the conversion driver and shows what changed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j2 --target llupdate >/dev/null
llupdate="$root/build/bin/llupdate"

scratch="$root/build/demo"
rm -rf "$scratch"
mkdir -p "$scratch"
cp -R "$root/examples/demo-db/." "$scratch/db"
cp -R "$root/examples/demo-db/." "$scratch/before"
echo "Demo database: $scratch/db"

status=0
echo "== distribution of the delivered forms"
"$llupdate" distribute "$scratch/db" "$scratch/db/EXEDIR" demo || status=$?
echo "== conversion driver (its record goes to the database's llupdate-settings.sqlite)"
"$llupdate" convert "$scratch/db" || status=$?
echo "== what changed"
# Forms in UTF-16 are shown as text; the forms themselves stay in their encoding.
for side in before db; do
  mkdir -p "$scratch/show/$side"
  cp -R "$scratch/$side/." "$scratch/show/$side"
  for f in $(find "$scratch/show/$side" -type f); do
    if [ "$(head -c 2 "$f" | od -An -tx1 | tr -d ' ')" = fffe ]; then
      iconv -f UTF-16 -t UTF-8 "$f" >"$f.txt" && mv "$f.txt" "$f"
    fi
  done
done
(cd "$scratch/show" && diff -ru -x llupdate-settings.sqlite -x .llupdate-lock before db) || true
echo "== where the database stands"
"$llupdate" status "$scratch/db"
echo "== the forms now"
"$llupdate" list "$scratch/db"
exit "$status"
