"""The order the front end stores a folded set display's elements in reproduces CPython's set,
whatever the hash seed: the native SetOrder tests run again under several PYTHONHASHSEED
values, each in its own process (a str's hash, and so the set's layout, depends on the seed);
under 139 and 217 a probe of the 'k0' to 'k9' display jumps to a slot below the item it
collided with."""
import os
import subprocess

import pytest

from support.build import BUILD_DIR

BINARY = BUILD_DIR / "tests" / "native" / "wuna_native_tests"


@pytest.mark.skipif(not BINARY.exists(), reason="the native tests are not built")
@pytest.mark.parametrize("seed", ["0", "1", "2", "3", "17", "139", "217", "4242", "random"])
def test_set_order_matches_cpython_under_hash_seed(seed):
    env = dict(os.environ, PYTHONHASHSEED=seed)
    run = subprocess.run([str(BINARY), "--gtest_filter=*SetOrder*"], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert "[  PASSED  ]" in run.stdout
