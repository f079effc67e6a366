"""A small language whose program is a list of `case <number>;` statements, for tests that run
one semantic over each case's node in the reference and the compiled modes and compare what
they print and raise."""
import functools

import pargo

import wuna

GRAMMAR = r"""
Program = stmts:Case*
Case = 'case' value:Num ';'
@token Num = [0-9]+ -> int
@skip Space = [ \t\n]+
"""

SOURCE = "case 1; case 2; case 3; case 5;"


@functools.lru_cache(maxsize=None)
def parser():
    return pargo.compile(GRAMMAR)


def make_language(semantic):
    """A language whose Case statements run the semantic."""
    lang = wuna.Language(parser())
    lang.exec("Case")(semantic)
    return lang


def outcome(program, mode, capfd):
    """What a run printed and raised: (output, exception type, its text)."""
    capfd.readouterr()
    try:
        program.run(mode)
    except Exception as e:
        return capfd.readouterr().out, type(e), str(e)
    return capfd.readouterr().out, None, None


def assert_compiled_as_reference(semantic, capfd):
    """The semantic, run over every case, prints and raises compiled what it does in the
    reference mode, and compiles: it does not run as Python."""
    lang = make_language(semantic)
    program = lang.load(SOURCE)
    expected = outcome(program, "python", capfd)
    assert outcome(program, "compiled", capfd) == expected
    assert semantic.__name__ not in lang.python_semantics()


def assert_reference_runs(semantic, fails, capfd):
    """The fixture itself: the semantic runs over every case in the reference mode, printing,
    and fails (with wuna.Error) exactly when it means to, so a typo in it can't make the
    compiled comparison meaningless."""
    program = make_language(semantic).load(SOURCE)
    out, kind, text = outcome(program, "python", capfd)
    assert out
    assert kind is (wuna.Error if fails else None), text


def assert_same_in_both_modes(semantic, capfd, source=SOURCE):
    """The semantic runs over the source's cases without failing in the reference mode, prints
    the same compiled, and compiles. What it printed, and the program (for its report and
    IR)."""
    lang = make_language(semantic)
    program = lang.load(source)
    expected = outcome(program, "python", capfd)
    assert expected[1] is None, expected
    assert outcome(program, "compiled", capfd) == expected
    assert semantic.__name__ not in lang.python_semantics(), lang.python_semantics()
    return expected[0], program


def failed(e):
    """What a failing call raised, as a semantic prints it: the exception's type and text."""
    return type(e).__name__ + ": " + str(e)
