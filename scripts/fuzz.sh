#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang-14) and runs each for a
# bounded time under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh [seconds]     seconds per fuzzer, default 60
#
# Each fuzzer starts from its seed corpus in tests/fuzz/corpus/<fuzzer>/ and
# writes what it learns to a scratch corpus under the build folder, so the
# seeds in the source tree stay as they are. Exits non-zero when a build fails
# or any fuzzer finds a crash, a leak or a time-out; the input that caused it
# is left in build/fuzz/findings/.
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [seconds per fuzzer]" >&2
  exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

findings=$build/findings
mkdir -p "$findings"

# Longest input per fuzzer: a whole image; a descriptor as long as the kernel
# passes on; a sent block and a reply with room to spare.
declare -A max_len=(
  [image_verify_fuzzer]=73728
  [report_descriptor_fuzzer]=4096
  [exchange_reply_fuzzer]=256
  [record_line_fuzzer]=4096
)

failed=()
for fuzzer in image_verify_fuzzer report_descriptor_fuzzer exchange_reply_fuzzer record_line_fuzzer; do
  scratch=$build/corpus/$fuzzer
  mkdir -p "$scratch"
  echo "== $fuzzer: ${seconds} s"
  # -timeout: one input running longer than 10 s counts as a hang.
  if ! "$build/tests/fuzz/$fuzzer" "$scratch" "tests/fuzz/corpus/$fuzzer" \
      -max_total_time="$seconds" -max_len="${max_len[$fuzzer]}" -timeout=10 -rss_limit_mb=2048 \
      -use_value_profile=1 -print_final_stats=1 -artifact_prefix="$findings/$fuzzer-" \
      >"$build/$fuzzer.log" 2>&1; then
    failed+=("$fuzzer")
    tail -n 40 "$build/$fuzzer.log"
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$fuzzer.log" || true
  fi
done

if ((${#failed[@]} > 0)); then
  echo "fuzzing found a fault in: ${failed[*]} (inputs in $findings)" >&2
  exit 1
fi
echo "fuzzing: no fault found"
