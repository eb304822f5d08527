#!/usr/bin/env bash
# Installs what is missing, configures, builds into build/ and runs every test
# (C++ unit tests and the Python package's tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure
