#!/usr/bin/env bash
# Builds and tests the package on each supported Python (3.10 to 3.13, from pyenv or the
# system), each in its own .venv-<version> and build/py-<version>, so the main .venv is left
# alone. Arguments are the versions to run (default: all four). Exits non-zero when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash dev/build.sh >/dev/null || exit 1   # the Debian packages and the main build
source dev/venv.sh

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)
failed=()
for v in "${versions[@]}"; do
  if ! find_python "$v" >/dev/null; then echo "python$v: not found"; failed+=("$v"); continue; fi
  venv=.venv-$v
  tools_venv $venv "$v" || { failed+=("$v"); continue; }
  echo "== Python $v"
  if ! $venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
       -Cbuild-dir=build/py-$v -Ccmake.define.WUNA_TESTS=ON -Cbuild.verbose=false . ; then
    failed+=("$v"); continue
  fi
  WUNA_BUILD_DIR=$PWD/build/py-$v $venv/bin/python -m pytest -q -p no:cacheprovider $WUNA_PYTEST_PARALLEL tests \
    || failed+=("$v")
  ctest --test-dir build/py-$v --output-on-failure -j "$(nproc)" | tail -n 3 || failed+=("$v")
done
if [ ${#failed[@]} -gt 0 ]; then echo "failed on: ${failed[*]}"; exit 1; fi
echo "passed on: ${versions[*]}"
