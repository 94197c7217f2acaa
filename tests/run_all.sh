#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs the C++
# tests (normal and under AddressSanitizer + UndefinedBehaviorSanitizer), then the
# Python tests of the extension module.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}"
  else
    echo "missing system packages: ${need_apt[*]} (install them as root)" >&2
    exit 1
  fi
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja

jobs=$(nproc)

echo "== Include directions =="
python3 tests/check_layers.py

echo "== C++ tests (release) =="
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
python3 tests/check_build_flags.py build/release
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== C++ tests (address + undefined-behaviour sanitizers) =="
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON \
  -DVORN_BUILD_BENCH=OFF >/dev/null
python3 tests/check_build_flags.py build/sanitize
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== Python tests (NumPy 2, then NumPy 1.x, one wheel) =="
bash tests/run_python.sh
