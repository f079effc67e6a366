"""Tiers: with tiers on, a compiled run that need not wait gets fast code while the optimized
build is emitted in the background; the first run after the build is done, or a call (which
waits for it), runs optimized code, with the same results. 'auto' runs as Python until
optimized code is at hand and never waits. With tiers off, optimized code comes at once."""
import pytest

import wuna
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
