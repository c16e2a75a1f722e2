#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time, starting from the
# seed corpora in tests/fuzz/corpus. Fails on the first finding; the input that found it is kept in
# build/fuzz/findings.
#   scripts/fuzz.sh [seconds per target]   # default 60
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_command_reader fuzz_system_audio_handler fuzz_conversion
findings=build/fuzz/findings
mkdir -p "$findings"
for target in command_reader system_audio_handler conversion; do
  work=$(mktemp -d)
  echo "=== fuzz_$target for ${seconds}s ==="
  if ! build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$work" "tests/fuzz/corpus/$target" 2>"$work.log"; then
    cat "$work.log"
    echo "fuzz_$target found a fault; the input is in $findings" >&2
    exit 1
  fi
  grep -E '^Done|stat::number_of_executed_units|stat::peak_rss_mb' "$work.log"
  rm -rf "$work" "$work.log"
done
