#!/usr/bin/env bash
# Machine independence: builds the core and its GoogleTest suites with
# Debian's aarch64 cross compiler and runs them under qemu-user.  The
# suites include the receipts of a fixed corpus of operations, compared with
# the same golden digests as on x86-64.  Needs root for the set-up (an arm64
# foreign architecture and the arm64 builds of libssl, libgmp and libgtest).
#
#   bash scripts/cross-aarch64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || { echo "cross: run as root once to add the arm64 architecture" >&2; exit 1; }
    dpkg --add-architecture arm64
fi
ensure_debian_packages g++-aarch64-linux-gnu qemu-user libssl-dev:arm64 libgmp-dev:arm64 libgtest-dev:arm64

out=build/aarch64
mkdir -p "$out"
# qemu-user here cannot start threads (a new thread never runs): the bulk
# parts run one after another on the calling thread, which gives the same state.
cross=(aarch64-linux-gnu-g++ -std=c++20 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math -DVARNIX_SERIAL_PARTS -Isrc)
libs=(-lgtest -lgtest_main -lgmpxx -lgmp -lcrypto -lpthread)
pids=()
for unit in src/*/*.cpp; do
    "${cross[@]}" -c "$unit" -o "$out/$(basename "${unit%.cpp}").o" &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done  # any unit that fails to compile fails the build
"${cross[@]}" tests/cpp/test_core.cpp tests/cpp/test_hist.cpp "$out"/*.o "${libs[@]}" \
    -o "$out/varnix_core_tests"
"${cross[@]}" tests/cpp/test_bigint.cpp "$out"/*.o "${libs[@]}" -o "$out/varnix_bigint_tests"
file "$out/varnix_core_tests" | cut -d, -f1-2
for suite in varnix_core_tests varnix_bigint_tests; do
    qemu-aarch64 -L /usr/aarch64-linux-gnu "$out/$suite" --gtest_brief=1
done
