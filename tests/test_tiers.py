"""Tiers: with tiers on, a compiled run that need not wait gets fast code while the optimized
build is emitted in the background; the first run after the build is done, or a call (which
waits for it), runs optimized code, with the same results. 'auto' runs as Python until
optimized code is at hand and never waits. With tiers off, optimized code comes at once."""
import pytest

import wuna
from support.processes import run_python
from support.small_language import make_language

SOURCE = "def add(a, b) {\n  return a + b;\n}\nprint add(1, 2);\n"


@pytest.fixture(autouse=True)
def fresh_cache(tmp_path):
    # An empty cache: no optimized code of an earlier run is at hand.
    wuna.configure(cache=str(tmp_path))
    yield
    wuna.configure(cache=True, cache_size=1 << 30, perf_map=False, tiers=True)


def state(program):
    report = program.report()
    return report["code"], report["optimizing"]


def test_a_compiled_run_gets_fast_code_and_a_call_waits_for_the_optimized():
    out = []
    program = make_language(printed=out).load(SOURCE)
    program.run("compiled")
    assert state(program) == ("fast", True)
    assert program.call("add", 3, 4, mode="compiled") == 7
    assert state(program) == ("optimized", False)
    program.run("compiled")
    # The call ran the top level once more, for its global frame.
    assert out == [3, 3, 3]
    assert state(program) == ("optimized", False)


def test_with_tiers_off_a_run_gets_optimized_code_at_once():
    wuna.configure(tiers=False)
    out = []
    program = make_language(printed=out).load(SOURCE)
    program.run("compiled")
    assert out == [3]
    assert state(program) == ("optimized", False)


def test_auto_runs_as_python_until_optimized_code_is_at_hand():
    out = []
    program = make_language(printed=out).load(SOURCE)
    program.run("auto")
    # The build started; the run did not wait for it.
    assert state(program) == (None, True)
    assert program.call("add", 3, 4, mode="compiled") == 7
    program.run("auto")
    assert out == [3, 3, 3]
    assert state(program) == ("optimized", False)


def test_auto_gives_the_reference_modes_output_and_errors():
    source = SOURCE + "print add(5, \"x\");\n"
    results = {}
    for mode in ("python", "auto", "auto"):
        out = []
        program = make_language(printed=out).load(source)
        with pytest.raises(wuna.Error) as caught:
            program.run(mode)
        results.setdefault(mode, []).append((out, str(caught.value)))
    assert results["auto"] == results["python"] * 2


def test_a_program_released_while_its_build_runs_frees_it_safely():
    for _ in range(3):
        out = []
        program = make_language(printed=out).load(SOURCE)
        program.run("compiled")
        assert out == [3]
        del program
    wuna.collect()


# Code compiled at run time (typed entries of hot functions) for a program whose optimized code
# is linked: fast code now, its optimized object written to the cache by a background job
# (waited for at exit), loaded by the next process instead of compiled again.
ADDED_AT_RUN_TIME = """
import wuna
from support.small_language import make_language

wuna.configure(cache=CACHE, tiers=TIERS)
source = "def add(a, b) {\\n  return a + b;\\n}\\ndef twice(a) {\\n  return add(a, a);\\n}\\n"
program = make_language(hot_calls=1).load(source + "print twice(4);\\n")
assert program.call("add", 3, 4, mode="compiled") == 7
program.run("compiled")
report = program.report()
print(report["code"], len(report["speculated"]), report["cache"]["loaded"],
      report["cache"]["compiled"])
"""


@pytest.mark.parametrize("tiers, first, files", [
    # The optimized build, then per typed entry fast code now and its optimized object later.
    (True, "optimized 2 0 3", 5),
    # Every typed entry optimized at once: nothing left for later.
    (False, "optimized 2 0 3", 3),
])
def test_code_added_to_optimized_code_is_fast_now_and_optimized_for_the_next_process(
        tmp_path, tiers, first, files):
    script = ADDED_AT_RUN_TIME.replace("CACHE", repr(str(tmp_path))).replace("TIERS", str(tiers))
    runs, counts = [], []
    for _ in range(2):
        runs.append(run_python(script))
        # Counted once the process is gone: it waited for its background jobs at exit.
        counts.append(len(list(tmp_path.iterdir())))
    for run in runs:
        assert (run.returncode, run.stderr) == (0, "")
    assert (runs[0].stdout, counts[0]) == (first + "\n", files)
    # The next process finds every object under the key of the optimized level.
    assert (runs[1].stdout, counts[1]) == ("optimized 2 3 0\n", files)
