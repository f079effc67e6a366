#!/usr/bin/env bash
# The virtual environments the build scripts share: finding an interpreter of a given
# version, and a venv with the build and test tools installed. Sourced by dev/build.sh,
# dev/sanitize.sh, dev/versions.sh and dev/test.sh; defines functions and settings only.

# What every venv of ours holds besides the package: pip new enough for -C (23.1), the build
# backend, CMake, Ninja, pytest and pytest-xdist.
WUNA_TOOLS="pip>=23.1 scikit-build-core>=0.10 cmake>=3.20 ninja pytest pytest-xdist"

# pytest's options for running the tests on every core: most of the time goes to compiling
# Lua programs in processes of their own, so tests are handed to whichever worker is free.
WUNA_PYTEST_PARALLEL="-n auto --dist worksteal"

# find_python VERSION: prints the path of a working pythonVERSION (the one on PATH, else
# pyenv's own build); returns 1 when there is none. A pyenv shim answers on PATH for versions
# that are not selected and then fails, hence the trial run.
find_python() {
  local v=$1 py
  for py in "$(command -v "python$v" || true)" \
            "$(ls -d "$HOME"/.pyenv/versions/"$v".*/bin/python"$v" 2>/dev/null | tail -n 1)"; do
    if [ -n "$py" ] && "$py" -c pass 2>/dev/null; then
      echo "$py"
      return 0
    fi
  done
  return 1
}

# tools_venv DIR VERSION: makes DIR a venv of pythonVERSION unless it is one already, and
# installs WUNA_TOOLS when the list differs from what it last installed there (a stamp in
# DIR keeps that quick). Returns non-zero, with a message, when either step fails.
tools_venv() {
  local venv=$1 v=$2 py
  if [ ! -x "$venv/bin/python" ]; then
    py=$(find_python "$v") || { echo "python$v is needed" >&2; return 1; }
    "$py" -m venv "$venv" || return 1
  fi
  if [ "$(cat "$venv/.wuna-tools" 2>/dev/null)" != "$WUNA_TOOLS" ]; then
    # shellcheck disable=SC2086  # one requirement per word
    "$venv/bin/python" -m pip install -q --disable-pip-version-check $WUNA_TOOLS || return 1
    echo "$WUNA_TOOLS" > "$venv/.wuna-tools"
  fi
}
