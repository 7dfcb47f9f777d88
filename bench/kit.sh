# What the benchmarks share (sourced): the time a command takes and the median of a column.
# shellcheck shell=bash

# seconds COMMAND...: runs it (its output and failure ignored) and prints the seconds it took.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}'
}

# median < NUMBERS: the median of one number per line.
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
