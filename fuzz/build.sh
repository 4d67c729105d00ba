#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UBSan, then (with
# an argument: the number of runs, or seconds with -max_total_time given)
# runs the map programs from the seed corpus.
#   bash fuzz/build.sh                     # build only: build/fuzz/fuzz_maps
#   bash fuzz/build.sh -runs=200000        # build, then fuzz from fuzz/corpus/maps
# Needs clang++ (14 or later) and its compiler-rt (Debian: clang-14,
# libclang-rt-14-dev), and libgmp-dev for the exact statistics.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++ || command -v clang++-14)}
mkdir -p build/fuzz
"$CXX" -std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -Isrc fuzz/fuzz_maps.cpp \
    src/exact/acc.cpp src/exact/dot.cpp src/exact/fast.cpp src/stats/bigint.cpp src/stats/moments.cpp \
    src/maps/ordered_map.cpp src/maps/keyed.cpp src/maps/replicated.cpp \
    -lgmpxx -lgmp -o build/fuzz/fuzz_maps
if [ $# -gt 0 ]; then
    mkdir -p build/fuzz/corpus
    build/fuzz/fuzz_maps -artifact_prefix=build/fuzz/ "$@" build/fuzz/corpus fuzz/corpus/maps
fi
