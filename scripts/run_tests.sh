#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through CTest), an abi3
# audit of the built wheel, and the Python tests against the installed wheel.
# Needs a C++20 compiler, CMake >= 3.26 and GoogleTest (Debian: libgtest-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -DQUINTARA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j "$JOBS"
ctest --test-dir build/cpp-tests --output-on-failure -j "$JOBS"

echo "== wheel build and abi3 audit"
"$PYTHON" -m pip install --quiet "abi3audit" "pytest>=7" "hypothesis>=6" "scipy>=1.10" "numpy>=1.23" "mypy>=1.8"
"$PYTHON" -m pip install --quiet "dask[distributed]>=2024.1"  # the [dask] extra: tests/python/test_distributed.py
rm -rf dist
"$PYTHON" -m pip wheel . --no-deps -w dist
"$PYTHON" -m abi3audit --strict --report dist/quintara-*.whl
"$PYTHON" -m pip install --force-reinstall --no-deps dist/quintara-*.whl

# Labelled layer: its runtime and plot dependencies, then mypy --strict on the package.
"$PYTHON" -m pip install --quiet pandas pandas-stubs matplotlib && "$PYTHON" -m mypy --strict python/quintara

echo "== Python tests"
"$PYTHON" -m pytest "$@"
