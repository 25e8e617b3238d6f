#!/usr/bin/env bash
# Builds the documentation site into build/docs: the guides, the API
# reference from the installed package's docstrings, the command-line
# reference from its argument parser, and the walkthroughs in docs/examples,
# each executed (a walkthrough that raises fails the build, and so does any
# Sphinx warning, a broken cross-reference included).
#
# The documentation tools come from PyPI (docs/requirements.txt) into the
# active Python environment before the build; the build itself fetches
# nothing. quintara must be importable: when it is not, it is installed from
# this checkout first.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
OUT=build/docs

echo "== documentation tools"
"$PYTHON" -m pip install --quiet -r docs/requirements.txt
if ! "$PYTHON" -c "import quintara" 2>/dev/null; then
  echo "== quintara is not installed: installing this checkout"
  "$PYTHON" -m pip install --quiet .
fi

echo "== sphinx-build (quintara $("$PYTHON" -c 'import quintara; print(quintara.__version__)'))"
# From scratch, so every walkthrough runs (the gallery skips unchanged ones).
rm -rf "$OUT" docs/walkthroughs docs/sg_execution_times.rst
MPLBACKEND=Agg "$PYTHON" -m sphinx -W --keep-going -b html docs "$OUT"
echo "documentation in $OUT/index.html"
