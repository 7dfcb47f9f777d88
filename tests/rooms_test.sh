#!/bin/bash
# The house rules a change can break without a failing call: a room includes only the rooms below
# it, the text room only the standard library, and what stays per thread is only what the host's
# contract or a memory cache puts there (a new thread_local is call state until shown otherwise).
# The command line and the public headers include only public headers (and the command line its
# own); an operation's name stands only in its declaration, its body, the operation table and the
# IDL, and the driver's record key only in the table's header.
#   rooms_test.sh SOURCE_DIR
set -u
cd "$1/src" || exit 2
rooms=(text platform host journal files catalogue rewrites ll15 component)
failed=0
rank() { local i; for i in "${!rooms[@]}"; do [[ ${rooms[$i]} == "$1" ]] && echo "$i" && return; done; echo -1; }
for file in */*.h */*.cc; do
  [[ $file == *_test.cc ]] && continue  # a test may use any room to set its case up
  room=${file%%/*}
  mine=$(rank "$room")
  while IFS= read -r used; do
    theirs=$(rank "$used")
    if (( theirs > mine )); then
      echo "$file: the room $room includes $used, which stands above it"
      failed=1
    fi
    if [[ $room == text && $used != text ]]; then
      echo "$file: the text room includes $used"
      failed=1
    fi
  done < <(sed -n 's/^#include "\([a-z0-9_]*\)\/.*/\1/p' "$file")
  if [[ $room == text ]] && grep -q '^#include "llupdate/' "$file"; then
    echo "$file: the text room includes a public header"
    failed=1
  fi
done
allowed="text/text_io.cc host/object_factory.cc host/progress.cc"
while IFS=: read -r file _; do
  if [[ " $allowed " != *" $file "* ]]; then
    echo "$file: a thread_local (call state is handed down with the job)"
    failed=1
  fi
done < <(grep -rn 'thread_local' --include=*.cc --include=*.h --exclude=*_test.cc . | sed 's|^\./||')
cd "$1" || exit 2
while IFS=: read -r file header; do
  echo "$file: includes $header, which is not public"
  failed=1
done < <(grep -o '^#include "[a-z0-9_]*/[^"]*"' cli/* include/llupdate/* |
  grep -v '#include "llupdate/' | sed 's/#include //')
product=(src cli include windows/*.cc windows/*.h windows/*.idl)
for name in $(sed -n 's/^      {"\([A-Za-z0-9_]*\)",$/\1/p' src/component/operation_table.cc) CheckReportLL; do
  files=$(grep -rlw --include=*.cc --include=*.h --include=*.idl --exclude=*_test.cc "$name" "${product[@]}")
  most=4
  [[ $name == CheckReportLL ]] && most=1
  if (( $(wc -w <<<"$files") > most )); then
    echo "$name stands in more than $most product files:" $files
    failed=1
  fi
done
exit $failed
