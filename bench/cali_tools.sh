#!/bin/bash
# Times `vlntable cali check`, `cali diff` and `cali list` on large inputs:
#   check: one 45 MB table (the default of gen_cali.py, 4,1,4, 8 steps, about 590,000 DATA rows)
#   diff:  two such tables of different seeds
#   list:  1,000 small tables in one directory
# Usage: bench/cali_tools.sh [BUILD_DIR] [GEN_CALI]   (defaults: build, scripts/gen_cali.py)
# Each command runs 5 times; the best wall time is printed (GNU time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
gen=${2:-$root/scripts/gen_cali.py}
vlntable=$build/tools/vlntable
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$gen" "$work/a" >/dev/null
/usr/bin/python3 "$gen" "$work/b" --seed 2 >/dev/null
a=$(ls "$work"/a/*.csv)
b=$(ls "$work"/b/*.csv)
mkdir "$work/many"
head -c 2000 "$a" >"$work/one.csv"
for i in $(seq 1 1000); do
  cp "$work/one.csv" "$work/many/D2230E$(printf %04d "$i")-28_28GHz.csv"
done

best() {
  local name=$1
  shift
  local t best_t=
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f "%e" -o "$work/time" "$@" >/dev/null 2>&1 || true
    t=$(tail -1 "$work/time")
    if [[ -z $best_t ]] || awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; fi
  done
  printf '%-6s %6s s  (%s)\n' "$name" "$best_t" "$*"
}

echo "table: $(stat -c %s "$a") bytes"
best check "$vlntable" cali check --files "$work/a" D2230E013-28 28
best diff "$vlntable" cali diff "$a" "$b"
best list "$vlntable" cali list --files "$work/many"
