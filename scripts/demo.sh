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
"$llupdate" Kopiere_Neue_Formulare_LL "$scratch/db" "$scratch/db/EXEDIR" demo || status=$?
echo "== conversion driver"
"$llupdate" --settings "$scratch/settings.sqlite" Pruefe_Konvertiere_Formulare "$scratch/db" ||
  status=$?
echo "== what changed"
diff -ru "$scratch/before" "$scratch/db" || true
exit "$status"
