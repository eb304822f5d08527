#!/usr/bin/env bash
# Times `vlntable cali plot --what comdata` of one step of a large calibration table, whole
# command: interpreter start, matplotlib, parse, figure, PNG.
#   bash bench/plot_comdata.sh [DATA_DIR] [RUNS]
# DATA_DIR (default /tmp/arvcore-bench-plot) receives the 45 MB default table of
# scripts/gen_cali.py when it has none. Prints each run's wall time and the median.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-/tmp/arvcore-bench-plot}"
runs="${2:-5}"
vlntable="${VLNTABLE:-$root/build/tools/vlntable}"
sn=D2230E013-28
if [ ! -f "$dir/${sn}_28GHz.csv" ]; then
  /usr/bin/python3 "$root/scripts/gen_cali.py" "$dir" >/dev/null
fi
ls -l "$dir/${sn}_28GHz.csv" >&2
times=()
for i in $(seq "$runs"); do
  start=$(date +%s%N)
  "$vlntable" cali plot "$sn" 28 --files "$dir" --what comdata --mode RX --board 4 --step 8 \
    --out "$dir/comdata.png" 2>/dev/null
  ms=$((($(date +%s%N) - start) / 1000000))
  times+=("$ms")
  echo "run $i: $ms ms"
done
printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print "median: " a[int((NR+1)/2)] " ms of " NR " runs"}'
