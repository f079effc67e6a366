#!/usr/bin/env bash
# Builds what is needed, then runs every test: the Python tests and the native ones.
set -euo pipefail
cd "$(dirname "$0")/.."
bash dev/build.sh
.venv/bin/python -m pytest -q tests "$@"
ctest --test-dir build/py --output-on-failure -j "$(nproc)"
