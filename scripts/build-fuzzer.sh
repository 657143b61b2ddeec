#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the request fuzzer (clang, libFuzzer, ASan, UBSan) into build/fuzz and prints its path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root/tests/fuzz" -B "$root/build/fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/fuzz" -j"$(nproc)" >&2
echo "$root/build/fuzz/request_fuzzer"
