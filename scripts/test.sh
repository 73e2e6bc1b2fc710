#!/usr/bin/env bash
# Builds and runs every test: the C++ core tests (GoogleTest through ctest), the Python
# suite against the installed modules, and every example in the documentation. Python
# work happens in a virtual environment of its own (.venv, made when missing; PYTHON
# picks another interpreter), so it runs whatever the system Python allows.
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

python="${PYTHON:-}"
if [ -z "$python" ]; then
    [ -x .venv/bin/python ] || python3 -m venv .venv
    python=.venv/bin/python
fi

# The binding layers build with warnings as errors, like the core below. The cluster and
# docs extras let the Dask, Parquet and documentation tests run rather than skip.
echo "building and installing sorvik (a minute or two)"
"$python" -m pip install --quiet -C cmake.define.SORVIK_WERROR=ON ".[test,cluster,docs]"

cmake -S . -B build/tests -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_BUILD_TESTS=ON -DSORVIK_WERROR=ON
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure

"$python" -m pytest tests/python
"$python" docs/run_examples.py
