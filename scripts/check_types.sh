#!/usr/bin/env bash
# Type checks against the installed package (pip install ".[test]" brings mypy along): the
# stubs of sorvik and the annotations of sorvik_batch match the runtime, sorvik_batch is
# fully annotated, and the examples type-check strictly. PYTHON picks the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"

# No allowlist: every difference between the stubs and the runtime is an error.
"$python" -m mypy.stubtest --mypy-config-file pyproject.toml sorvik sorvik_batch
"$python" -m mypy --strict -p sorvik -p sorvik_batch
"$python" -m mypy --strict examples/
