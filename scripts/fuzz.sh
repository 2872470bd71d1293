#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on)
# and runs each for a bounded time: scripts/fuzz.sh [seconds-per-target] [target...]
# New inputs go to build-fuzz/corpus/<target>; crashes to build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(framing network_file position admin_payload location_page)
fi
bash scripts/deps.sh test clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRELVINT_FUZZ=ON -DBRELVINT_SANITIZE=ON -DBRELVINT_TESTS=OFF -DBRELVINT_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")
mkdir -p build-fuzz/crashes
status=0
for target in "${targets[@]}"; do
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  echo "== $target: ${seconds}s"
  if ! build-fuzz/fuzz_$target "$work" "fuzz/corpus/$target" -max_total_time="$seconds" \
      -max_len=70000 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$target-" 2>"build-fuzz/$target.log"; then
    echo "!! $target failed; see build-fuzz/$target.log"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb" "build-fuzz/$target.log" || true
done
exit $status
