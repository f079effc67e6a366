#!/usr/bin/env bash
# Builds what is needed, then runs every test: the Python tests and the native ones.
set -euo pipefail
cd "$(dirname "$0")/.."
source dev/venv.sh
bash dev/build.sh
# shellcheck disable=SC2086  # one option per word
.venv/bin/python -m pytest -q $WUNA_PYTEST_PARALLEL tests "$@"
ctest --test-dir build/py --output-on-failure -j "$(nproc)"
