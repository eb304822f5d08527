#!/usr/bin/env bash
# Draws the README's pictures from the sample data (examples/files) with `vlntable ... plot`:
#   bash scripts/make-pictures.sh [OUT_DIR]    (default docs/)
# The command is $VLNTABLE, else build/tools/vlntable (built by scripts/test.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs}"
vlntable="${VLNTABLE:-$root/build/tools/vlntable}"
files="$root/examples/files"
mkdir -p "$out"
"$vlntable" cali plot D2230E013-28 28 --files "$files" --what comdata --mode TX --board 1 \
  --chip 1 --step 1 --channel 1,2 --out "$out/comdata.png"
"$vlntable" beam plot D2230E013-28 28 --files "$files" --mode RX --id 1 --out "$out/beam.png"
