"""What a semantic run as Python inside a compiled run sees when a node it runs fails: the
same as in the reference mode. A Python exception raised below (by a called helper, or by the
node's own semantic) reaches it as the run's Error, located at the node that failed; what is
no Exception (KeyboardInterrupt) passes through unchanged. The program's final error is the
same in both modes."""
import pytest

import wuna
from support.small_language import make_language


class Oops(Exception):
    pass


def subtract(a, b):
    return a - b


def raise_oops(a, b):
    raise Oops("no")


def raise_interrupt(a, b):
    raise KeyboardInterrupt("stop")


# (name, what the Binary semantic calls, the program)
CASES = [
    ("type_error_in_helper", subtract, 'x = "ab";\nprint x - 2;\n'),
    ("own_exception", raise_oops, "print 1 +\n  2;\n"),
    ("interrupt", raise_interrupt, "print 1 + 2;\n"),
]


def run(mode, helper, source):
    """Runs source with Binary compiled (it calls helper) and Print run as Python, which
    records what rt.eval of its value raised; (what Print saw, the run's error text)."""
    seen = []
    lang = make_language([], python_print=True)

    @lang.eval("Binary")
    def binary(node, rt):
        return helper(rt.eval(node.left), rt.eval(node.right))

    @lang.exec("Print")
    def print_(node, rt):
        try:
            rt.eval(node.value)
        except BaseException as e:
            seen.append((type(e).__name__, str(e)))
            raise

    try:
        lang.load(source, "t.sl").run(mode)
    except wuna.Error as e:
        return seen, str(e)
    except KeyboardInterrupt as e:
        return seen, "KeyboardInterrupt: " + str(e)
    return seen, None


@pytest.mark.parametrize("name, helper, source", CASES)
def test_a_python_semantic_sees_what_the_reference_mode_shows_it(name, helper, source):
    expected = run("python", helper, source)
    assert expected[1] is not None
    assert run("compiled", helper, source) == expected


def test_the_error_names_the_node_that_failed_not_the_python_semantic_above_it():
    seen, error = run("compiled", subtract, 'x = "ab";\nprint x - 2;\n')
    assert seen[0][0] == "Error"
    assert error.startswith("t.sl:2:7: error[runtime]: unsupported operand type(s) for -")


# ---- exceptions that are no Exception, raised by compiled semantics ---------------------------

class Quit(BaseException):
    pass


def interrupting(raised, handler):
    """Print's semantic, compiled, raises raised() when its value is 3; handler: how a try
    around the raise treats it (None: no try)."""

    def make(printed):
        lang = make_language(printed)

        if handler is None:
            @lang.exec("Print")
            def print_(node, rt):
                v = rt.eval(node.value)
                if v == 3:
                    raise raised("stop")
                printed.append(v)
        elif handler == "reraise":
            @lang.exec("Print")
            def print_(node, rt):
                v = rt.eval(node.value)
                try:
                    if v == 3:
                        raise raised("stop")
                except BaseException as e:
                    printed.append(("seen", type(e).__name__))
                    raise
                printed.append(v)
        else:  # "exception": a handler of Exception lets it pass
            @lang.exec("Print")
            def print_(node, rt):
                v = rt.eval(node.value)
                try:
                    if v == 3:
                        raise raised("stop")
                except Exception:
                    printed.append("caught")
                printed.append(v)

        return lang

    return make


def inner_exit(printed):
    """A SystemExit raised by a compiled Binary inside a compiled Print whose handler catches
    Exception: it is no Exception, so it passes (it once became a runtime Error there)."""
    lang = make_language(printed)

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        if a == 1:
            raise SystemExit("inner")
        return a + b

    @lang.exec("Print")
    def print_(node, rt):
        try:
            printed.append(rt.eval(node.value))
        except Exception:
            printed.append("caught as Exception")

    return lang


def outcome(make, mode):
    printed = []
    lang = make(printed)
    try:
        lang.load("print 2; print 1 + 2; print 4;\n", "t").run(mode)
    except BaseException as e:  # noqa: B036 - what leaves the run is the point
        return printed, type(e).__name__, str(e), lang
    return printed, None, None, lang


NOT_EXCEPTIONS = {
    f"{cls.__name__}-{handler}": interrupting(cls, handler)
    for cls in (KeyboardInterrupt, SystemExit, Quit)
    for handler in (None, "reraise", "exception")
}
NOT_EXCEPTIONS["systemexit-across-semantics"] = inner_exit


@pytest.mark.parametrize("make", NOT_EXCEPTIONS.values(), ids=NOT_EXCEPTIONS.keys())
def test_a_raise_of_what_is_no_exception_leaves_the_compiled_run_unchanged(make):
    expected = outcome(make, "python")
    got = outcome(make, "compiled")
    assert expected[1] not in (None, "Error")
    assert got[:3] == expected[:3]
    assert "print_" not in got[3].python_semantics()
