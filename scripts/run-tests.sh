#!/usr/bin/env bash
# Installs everything the tests need and runs them all: the wheel is built
# once, checked for stable-ABI compliance, installed into .venv and tested
# with pytest; the core's GoogleTest suite is built and run with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages g++ libssl-dev libgmp-dev libgtest-dev
ensure_java
ensure_venv tests/requirements.txt

# The release wheel, repaired to carry GMP and libcrypto, is what is tested.
bash scripts/build-wheel.sh dist
wheel=$(ls dist/varnix-*.whl)
.venv/bin/abi3audit --strict --report "$wheel"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"

.venv/bin/python -m pytest -q tests/python

echo "run-tests: compiling the core's GoogleTest suite"
.venv/bin/cmake -S . -B build/ctest -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVARNIX_MODULE=OFF -DVARNIX_TESTS=ON >/dev/null
.venv/bin/cmake --build build/ctest
.venv/bin/ctest --test-dir build/ctest --output-on-failure

# The same suites against the sanitized builds, then the fuzz targets for a
# bounded time each; both run alone as well (see README).
bash scripts/run-sanitizers.sh
bash scripts/run-fuzzers.sh
