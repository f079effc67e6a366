#!/usr/bin/env bash
# Brings this machine to a built tree: Debian packages, the .venv with Python 3.11 and the
# test tools, and the package (wuna, pargo, nomos) installed into it with the native tests
# built beside. Idempotent; quick when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."

source dev/packages.sh

if [ ! -x .venv/bin/python ]; then
  PY=$(command -v python3.11 || true)
  [ -n "$PY" ] || PY=$(ls -d "$HOME"/.pyenv/versions/3.11*/bin/python3.11 2>/dev/null | tail -n 1)
  [ -n "$PY" ] || { echo "python3.11 is needed" >&2; exit 1; }
  "$PY" -m venv .venv
fi

reqs="pip>=23.1 scikit-build-core>=0.10 cmake>=3.20 ninja pytest"
stamp=.venv/.wuna-tools
if [ "$(cat "$stamp" 2>/dev/null)" != "$reqs" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check $reqs
  echo "$reqs" > "$stamp"
fi

.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/py -Ccmake.define.WUNA_TESTS=ON -Cbuild.verbose=false .
