#!/usr/bin/env bash
# Builds the libFuzzer targets when needed (clang++ with AddressSanitizer and
# UndefinedBehaviorSanitizer, into build-fuzz/) and runs one of them, or each in turn.
#
#   bash scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET: csv, json, cali_parse, kit_parse, beam_load, delta_parse, or all.
# Seeds come from fuzz/corpus/TARGET; the inputs a run finds are kept in
# build-fuzz/corpus/TARGET for the next run, and a crashing input is written to
# build-fuzz/artifacts/. The run stops with a non-zero status at the first finding.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(csv json cali_parse kit_parse beam_load delta_parse)
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]   (TARGET: ${targets[*]} or all)" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
if [ "$target" = all ]; then
  for t in "${targets[@]}"; do
    bash "$0" "$t" "$seconds" "$@"
  done
  exit 0
fi
target=${target#fuzz_}
case " ${targets[*]} " in
  *" $target "*) ;;
  *) echo "unknown fuzz target '$target' (known: ${targets[*]})" >&2; exit 2 ;;
esac

build=build-fuzz
# Assertions stay on (no -DNDEBUG), so that the JSON library's own checks take part. -O2 runs
# the sanitized targets about a fifth faster than -O1; a build made with other flags is
# configured again.
flags="-O2 -g"
if [ ! -f "$build/build.ninja" ] ||
  ! grep -qxF "CMAKE_CXX_FLAGS_RELWITHDEBINFO:STRING=$flags" "$build/CMakeCache.txt"; then
  cmake -S . -B "$build" -G Ninja -DARVCORE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

# Longest input per target: enough for a few dozen table rows or a small beam table.
case "$target" in
  cali_parse) max_len=8192 ;;
  beam_load | json) max_len=6144 ;;
  *) max_len=4096 ;;
esac
dict_name=$target
case "$target" in
  cali_parse) dict_name=cali ;;
  kit_parse) dict_name=kit ;;
  beam_load) dict_name=beam ;;
  delta_parse) dict_name=delta ;;
esac

corpus="$build/corpus/$target"
mkdir -p "$corpus" "$build/artifacts"
echo "fuzz_$target: ${seconds}s"
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -dict="fuzz/dict/$dict_name.dict" \
  -artifact_prefix="$build/artifacts/$target-" "$@" "$corpus" "fuzz/corpus/$target"
