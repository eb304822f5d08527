#!/usr/bin/env bash
# Builds the project when needed and runs the vlntable command on the bundled sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if [ ! -x build/tools/vlntable ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build --target vlntable >/dev/null
files=examples/files
sn=D2230E013-28
./build/tools/vlntable cali check --files "$files" "$sn" 28
./build/tools/vlntable cali show --files "$files" "$sn" 28
./build/tools/vlntable device --files "$files" "$sn" 28
./build/tools/vlntable beam show --files "$files" "$sn" 28
