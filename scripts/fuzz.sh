#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fuzzes the request parser and the router's admission decision for N minutes (default 10), starting
# from the checked-in seed corpus; new inputs go to build/fuzz/corpus, findings to build/fuzz/findings.
# Usage: scripts/fuzz.sh [MINUTES]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
minutes="${1:-10}"

"$root/scripts/install-deps.sh"
"$root/scripts/build-fuzzer.sh" >/dev/null
work="$root/build/fuzz"
mkdir -p "$work/corpus" "$work/findings"
cp -n "$root/tests/fuzz/corpus/"* "$work/corpus/"
"$work/request_fuzzer" -max_total_time=$((minutes * 60)) -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$work/corpus"
