#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through CTest), an abi3
# audit of the built wheel, and the Python tests against the installed wheel.
#
# Packages go into the active Python environment (a virtual environment is
# best). On a fresh machine it first fetches what is missing: GoogleTest and a
# C++ compiler with apt when run as root (otherwise it stops and prints the
# command to run), and CMake >= 3.26 from PyPI when the system's is older.
# The core is compiled once: one CMake tree builds the C++ tests and the
# extension module, and the wheel is packed from that tree.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
BUILD=build/tests

echo "== build requirements"
# GoogleTest's headers; GTEST_ROOT, when set, is the only prefix looked at.
have_gtest() {
  local root
  for root in ${GTEST_ROOT:-/usr /usr/local}; do
    [ -f "$root/include/gtest/gtest.h" ] && return 0
  done
  return 1
}
missing=()
have_gtest || missing+=(libgtest-dev)
command -v c++ >/dev/null || command -v g++ >/dev/null || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing: ${missing[*]}; install it, then run this again:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

# Stable-ABI modules need CMake >= 3.26; Debian 12 ships 3.25.
cmake_recent() {
  local v
  v=$(cmake --version 2>/dev/null | grep -oE '[0-9]+\.[0-9]+' | head -n 1) || return 1
  [ -n "$v" ] && [ "$(printf '%s\n' 3.26 "$v" | sort -V | head -n 1)" = 3.26 ]
}
if ! cmake_recent; then
  "$PYTHON" -m pip install --quiet "cmake>=3.26" ninja
  # The package's own binaries, wherever its scripts landed on PATH.
  PATH="$("$PYTHON" -c 'import cmake; print(cmake.CMAKE_BIN_DIR)'):$PATH"
  hash -r
  cmake_recent || { echo "no CMake >= 3.26 even after installing it from PyPI" >&2; exit 1; }
fi
"$PYTHON" -m pip install --quiet "abi3audit" "pytest>=7" "hypothesis>=6" "scipy>=1.10" \
  "numpy>=1.23" "mypy>=1.8"
"$PYTHON" -m pip install --quiet "dask[distributed]>=2024.1"  # the [dask] extra: tests/python/test_distributed.py

echo "== build (core, C++ tests and extension module in $BUILD)"
rm -rf dist
CMAKE_BUILD_PARALLEL_LEVEL=$JOBS "$PYTHON" -m pip wheel . --no-deps -w dist \
  -C build-dir="$BUILD" -C cmake.define.QUINTARA_BUILD_TESTS=ON

echo "== C++ unit tests"
# The embedded-interpreter tests import NumPy from the active environment.
PYTHONPATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')" \
  ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"

echo "== abi3 audit and install"
"$PYTHON" -m abi3audit --strict --report dist/quintara-*.whl
"$PYTHON" -m pip install --force-reinstall --no-deps dist/quintara-*.whl

# Labelled layer: its runtime and plot dependencies, then mypy --strict on the package.
"$PYTHON" -m pip install --quiet pandas pandas-stubs matplotlib && "$PYTHON" -m mypy --strict python/quintara

echo "== Python tests"
"$PYTHON" -m pytest "$@"
