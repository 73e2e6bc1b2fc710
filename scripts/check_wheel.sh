#!/usr/bin/env bash
# Builds the wheel as a user would, installs it into a fresh virtual environment with the
# test and cluster extras (the Dask glue is type-checked too), and runs the Python tests and
# the type checks there: the wheel alone must carry both modules, the stubs and the version
# metadata. PYTHON picks the interpreter that builds and makes the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$python" -m pip wheel --no-deps --wheel-dir "$work/dist" .
wheel="$(echo "$work"/dist/sorvik-*.whl)"
"$python" -m zipfile -l "$wheel"

"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install --quiet "$wheel[test,cluster]"

# The version the package reports is the one its metadata (and the wheel's name) carries.
version="$(basename "$wheel" | cut -d- -f2)"
reported="$("$venv_python" -c 'import sorvik_batch; print(sorvik_batch.__version__)')"
if [ "$reported" != "$version" ]; then
    echo "sorvik_batch.__version__ is $reported, the wheel's version $version" >&2
    exit 1
fi

"$venv_python" -m pytest tests/python
PYTHON="$venv_python" MYPY_CACHE_DIR="$work/mypy-cache" bash scripts/check_types.sh
