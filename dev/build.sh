#!/usr/bin/env bash
# Brings this machine to a built tree: Debian packages, the .venv with Python 3.11 and the
# test tools, and the package (wuna, pargo, nomos) installed into it with the native tests
# built beside. Idempotent; quick when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."

source dev/packages.sh
source dev/venv.sh

tools_venv .venv 3.11

# WUNA_WERROR=ON in the environment makes every warning fail the build.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/py -Ccmake.define.WUNA_TESTS=ON -Ccmake.define.WUNA_WERROR="${WUNA_WERROR:-OFF}" \
  -Cbuild.verbose=false .
