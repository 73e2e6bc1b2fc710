#!/usr/bin/env bash
# Sanitizer job: the C++ tests and the whole Python suite against builds with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

# No -Werror here: instrumented code draws false -Wmaybe-uninitialized
# warnings from GCC; the regular builds in scripts/test.sh keep warnings fatal.
sanitize=(-DSORVIK_SANITIZE=ON -DSORVIK_WERROR=OFF)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# C++ tests, with leak detection.
cmake -S . -B build/sanitize-tests -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_BUILD_TESTS=ON "${sanitize[@]}"
cmake --build build/sanitize-tests -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize-tests --output-on-failure

# The extension, installed into a venv of its own.
python3 -m venv build/sanitize-venv
build/sanitize-venv/bin/python -m pip install --quiet -C build-dir=build/sanitize-extension \
    -C cmake.define.SORVIK_SANITIZE=ON -C cmake.define.SORVIK_WERROR=OFF ".[test]"

# The interpreter is not instrumented, so the sanitizer runtime has to be
# loaded first, and libstdc++ with it: the runtime looks up the real C++ throw
# when it starts, and without libstdc++ already loaded every throw aborts.
# Leak detection stays off here: the interpreter keeps its own allocations
# to the end, and reference leaks are bench/python/leak_check.py's job.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0 \
    build/sanitize-venv/bin/python -m pytest -p no:cacheprovider -q tests/python
