#!/usr/bin/env bash
# The sanitizer stage: the core's GoogleTest suites and the module built
# with AddressSanitizer and UndefinedBehaviorSanitizer (gcc), the GoogleTest
# suites run on it and pytest run against the sanitized module.  Every
# sanitizer report aborts its process (-fno-sanitize-recover=all), so any
# report makes this script, and CI, fail.
#
#   bash scripts/run-sanitizers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages g++ libssl-dev libgtest-dev
ensure_venv tests/requirements.txt

# gcc -Wmaybe-uninitialized misreads the instrumented code (std::variant moves), so
# it is off in this build only.
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
warn="-Wno-maybe-uninitialized"
build=build/sanitize
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVARNIX_MODULE=ON -DVARNIX_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$san $warn" \
    -DCMAKE_EXE_LINKER_FLAGS="$san" -DCMAKE_MODULE_LINKER_FLAGS="$san" >/dev/null
.venv/bin/cmake --build "$build"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=abort_on_error=1
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
    .venv/bin/ctest --test-dir "$build" --output-on-failure

# The interpreter is not built with the sanitizers: the runtime is preloaded
# (with libstdc++, whose __cxa_throw the runtime must find at start-up),
# Python's allocator gives way to malloc so that every object is checked,
# and leak detection is off (the interpreter frees little at exit; the
# module's reference and memory growth is the leak test's business).
# The sanitized extensions are installed the way the wheel lays them out.
rm -rf "$build/site"
.venv/bin/cmake --install "$build" --prefix "$build/site" >/dev/null
echo "sanitize: pytest against $(cd "$build/site" && ls varnix.*so varnix_arrays/*.so | tr '\n' ' ')"
# Fewer hypothesis examples than the plain run; the typing checks run mypy
# and pyright, no native code, so they are left to the plain run, as are the
# Spark tests and the documents' blocks: their native calls are the ones the
# other tests make, and Spark's launcher script hangs (in ps) with the
# sanitizer runtime preloaded.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONPATH="$PWD/$build/site" VARNIX_HYPOTHESIS_PROFILE=sanitize \
    .venv/bin/python -m pytest -q -s -p no:cacheprovider --ignore=tests/python/test_arrays_typing.py \
    --ignore=tests/python/test_arrays_spark.py --ignore=tests/python/test_docs.py tests/python
