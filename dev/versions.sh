#!/usr/bin/env bash
# Builds and tests the package on each supported Python (3.10 to 3.13, from pyenv or the
# system), each in its own .venv-<version> and build/py-<version>, so the main .venv is left
# alone. Arguments are the versions to run (default: all four). Exits non-zero when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash dev/build.sh >/dev/null || exit 1   # the Debian packages and the main build

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)
reqs="pip>=23.1 scikit-build-core>=0.10 cmake>=3.20 ninja pytest"
failed=()
for v in "${versions[@]}"; do
  # pyenv's own builds first: its shims answer for versions that are not selected, then fail.
  py=$(ls -d "$HOME"/.pyenv/versions/"$v".*/bin/python"$v" 2>/dev/null | tail -n 1)
  [ -n "$py" ] || py=$(command -v "python$v" || true)
  if [ -z "$py" ] || ! "$py" -c pass 2>/dev/null; then echo "python$v: not found"; failed+=("$v"); continue; fi
  venv=.venv-$v
  [ -x $venv/bin/python ] || "$py" -m venv $venv
  if [ "$(cat $venv/.wuna-tools 2>/dev/null)" != "$reqs" ]; then
    $venv/bin/python -m pip install -q --disable-pip-version-check $reqs && echo "$reqs" > $venv/.wuna-tools
  fi
  echo "== Python $v"
  if ! $venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
       -Cbuild-dir=build/py-$v -Ccmake.define.WUNA_TESTS=ON -Cbuild.verbose=false . ; then
    failed+=("$v"); continue
  fi
  WUNA_BUILD_DIR=$PWD/build/py-$v $venv/bin/python -m pytest -q -p no:cacheprovider tests || failed+=("$v")
  ctest --test-dir build/py-$v --output-on-failure -j "$(nproc)" | tail -n 3 || failed+=("$v")
done
if [ ${#failed[@]} -gt 0 ]; then echo "failed on: ${failed[*]}"; exit 1; fi
echo "passed on: ${versions[*]}"
