#!/usr/bin/env bash
# Builds and runs every test: the C++ core tests (GoogleTest through ctest)
# and the Python suite against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -e /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
    else
        echo "GoogleTest is missing: install the Debian package libgtest-dev" >&2
        exit 1
    fi
fi

# The binding layer builds with warnings as errors, like the core below.
python3 -m pip install --quiet -C cmake.define.SORVIK_WERROR=ON ".[test]"

cmake -S . -B build/tests -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_BUILD_TESTS=ON -DSORVIK_WERROR=ON
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure

python3 -m pytest tests/python
