#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer, with AddressSanitizer and
# UndefinedBehaviorSanitizer) with Debian's clang and runs each for a bounded
# time, starting from the seed corpora in fuzz/corpus/ (new inputs go to
# build/fuzz/corpus/, never into the repository).  Any crash, sanitizer
# report or broken invariant stops the script with a non-zero status.
#
#   bash scripts/run-fuzzers.sh            # as CI runs it: 20 s for each operation
#                                          # target, 5 s for each decoder (past 10^6 runs)
#   bash scripts/run-fuzzers.sh 3600       # an hour per target
#   FUZZ_RUNS=10000000 bash scripts/run-fuzzers.sh 0   # a number of executions instead
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages clang-14 libclang-rt-14-dev libssl-dev libgmp-dev
seconds=${1:-20}
decoder_seconds=${1:-5}

out=build/fuzz
mkdir -p "$out"
# The core is instrumented for edge coverage, without tracing comparisons
# (its limb loops compare on every step, and tracing them took most of the
# time); the harnesses, whose oracles loop over thousands of bit positions,
# only for the sanitizers.  So the fuzzer's time goes to the code under test.
flags=(-std=c++20 -O2 -g -Isrc -Wall -Wextra -ffp-contract=off -fno-fast-math
       -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
objects=()
for unit in $(ls src/*/*.cpp | sed 's/\.cpp$//') fuzz/decode fuzz/ops fuzz/fuzz_maps; do
    object="$out/$(basename "$unit").o"
    cover=(); [[ $unit == src/* ]] && cover=(-fsanitize=fuzzer-no-link -fno-sanitize-coverage=trace-cmp)
    clang++-14 "${flags[@]}" "${cover[@]}" -c "$unit.cpp" -o "$object" &
    [[ $unit == src/* ]] && objects+=("$object")
done
wait
for target in decode ops fuzz_maps; do
    clang++-14 "${flags[@]}" -fsanitize=fuzzer "$out/$target.o" "${objects[@]}" -lcrypto -lgmpxx -lgmp \
        -o "$out/$target"
done

run() {  # name seconds binary seed-corpus [env...]
    local name=$1 binary=$3 seeds=$4 limit=(-max_total_time="$2")
    [ -n "${FUZZ_RUNS:-}" ] && limit=(-runs="$FUZZ_RUNS")
    shift 4
    mkdir -p "$out/corpus/$name"
    env "$@" "$binary" "${limit[@]}" -max_len=2048 -print_final_stats=1 -artifact_prefix="$out/$name-" \
        "$out/corpus/$name" "$seeds" >"$out/$name.log" 2>&1 || {
        tail -n 60 "$out/$name.log"
        echo "fuzz: $name FAILED (log: $out/$name.log)" >&2
        return 1
    }
    local runs
    runs=$(grep -o 'number_of_executed_units: [0-9]*' "$out/$name.log" | grep -o '[0-9]*$')
    echo "fuzz: $name: $runs executions, no failure"
}
for decoder in $(VX_DECODER=list "$out/decode" -runs=0 2>/dev/null | sed -n 's/^decoder: //p'); do
    mkdir -p "fuzz/corpus/decode-$decoder"
    run "decode-$decoder" "$decoder_seconds" "$out/decode" "fuzz/corpus/decode-$decoder" VX_DECODER="$decoder"
done
run ops "$seconds" "$out/ops" fuzz/corpus/ops
run maps "$seconds" "$out/fuzz_maps" fuzz/corpus/maps
