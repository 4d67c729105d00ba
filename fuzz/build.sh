#!/usr/bin/env bash
# Builds build/fuzz/fuzz_maps (libFuzzer, ASan, UBSan) and, given libFuzzer
# options, runs it from the seed corpus:  bash fuzz/build.sh -max_total_time=60
# Needs clang++ 14 or later with compiler-rt (Debian: clang-14,
# libclang-rt-14-dev) and libgmp-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++ || command -v clang++-14)}
mkdir -p build/fuzz/corpus
"$CXX" -std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc fuzz/fuzz_maps.cpp src/exact/{acc,dot,fast}.cpp src/stats/{bigint,moments}.cpp \
    src/maps/{ordered_map,keyed,replicated}.cpp -lgmpxx -lgmp -o build/fuzz/fuzz_maps
if [ $# -gt 0 ]; then
    build/fuzz/fuzz_maps -artifact_prefix=build/fuzz/ "$@" build/fuzz/corpus fuzz/corpus/maps
fi
