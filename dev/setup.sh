#!/usr/bin/env bash
# Sets everything up and runs the demo: a sample Lua program through the example language.
set -euo pipefail
cd "$(dirname "$0")/.."
bash dev/build.sh
.venv/bin/python examples/lua/lua.py examples/lua/samples/demo.lua
