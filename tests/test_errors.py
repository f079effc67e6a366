"""Runtime errors: the message a Python exception escaping a semantic becomes (the whole
table, subclasses, long texts cut), the wuna.Error's diagnostic, its call stack and its text,
rt.error's code, rt.Throw uncaught, caught and thrown through calls, the jumps and wuna.Error
passing outer semantics unchanged, and errors that outlive their program.

The language here (also used by the run and call tests) is the small one of
support/small_language.py."""
import gc

import pytest

import pargo
import wuna
from support.small_language import failure, make_language, where


def raiser(exception):
    def fail(value):
        raise exception
    return fail


class Oops(Exception):
    pass


class MissingKey(KeyError):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


class Unreprable:
    def __repr__(self):
        raise ValueError("no text")


# ---- the message table ------------------------------------------------------------------

@pytest.mark.parametrize("exception, message", [
    (ZeroDivisionError("integer division or modulo by zero"), "division by zero"),
    (wuna.IntegerOverflow("anything"), "integer overflow"),
    (RecursionError("maximum recursion depth exceeded"), "call stack too deep"),
    (KeyError("x"), "key not found: 'x'"),
    (KeyError(3), "key not found: 3"),
    (KeyError(), "key not found"),
    (MissingKey("y"), "key not found: 'y'"),            # subclasses match their base
    (TypeError("unsupported operand"), "unsupported operand"),
    (IndexError("list index out of range"), "list index out of range"),
    (ValueError("bad"), "bad"),
    (AttributeError("no such attribute"), "no such attribute"),
    (RuntimeError("boom"), "RuntimeError: boom"),
    (Oops("it broke"), "Oops: it broke"),
    (Exception(), "Exception: "),
    (ArithmeticError("sum"), "ArithmeticError: sum"),  # a base class of a listed one
])
def test_a_python_exception_becomes_a_runtime_error_worded_by_the_table(exception, message):
    source = "x = 1;\nfail x;\n"
    error = failure(source, fail=raiser(exception))
    assert type(error) is wuna.Error
    start, end, line, column = where(source, "fail x;")
    d = error.diagnostic
    assert (d.severity, d.code, d.message) == ("error", "runtime", message)
    assert (d.span, d.line, d.column) == ((start, end), line, column)
    assert error.stack == []
    assert str(error) == d.render(source)


def test_a_division_by_zero_is_reported_at_the_expression_that_divides():
    source = "print 1;\nprint 10 / (2 - 2);\n"
    error = failure(source)
    start, end, line, column = where(source, "10 / (2 - 2)")
    assert error.diagnostic.message == "division by zero"
    assert (error.diagnostic.span, error.diagnostic.line, error.diagnostic.column) == \
        ((start, end), line, column)


@pytest.mark.parametrize("text", ["x" * 5000, "é" * 3000, "a" + "€" * 1000])
def test_long_messages_are_cut_on_a_character_boundary(text):
    error = failure("fail 1;", fail=raiser(ValueError(text)))
    message = error.diagnostic.message
    assert message.endswith("...") and text.startswith(message[:-3])
    assert len(message.encode()) < 1024 and len(message) > 300


@pytest.mark.parametrize("exception", [Unprintable(), KeyError(Unreprable())])
def test_an_exception_whose_text_cannot_be_made_is_the_failure(exception):
    error = failure("fail 1;", fail=raiser(exception))
    assert type(error) is ValueError and str(error) == "no text"


# ---- the call stack ---------------------------------------------------------------------

NESTED = """def a(x) {
  return b(x);
}
def b(x) {
  return c(x);
}
def c(x) {
  return x / 0;
}
print a(1);
"""


@pytest.mark.parametrize("path, shown", [(None, "<program>"), ("deep.calc", "deep.calc")])
def test_an_error_three_calls_deep_lists_the_calls_innermost_first(path, shown):
    error = failure(NESTED, path)
    d = error.diagnostic
    start, end, line, column = where(NESTED, "x / 0")
    assert (d.message, d.span, d.line, d.column) == ("division by zero", (start, end), line, column)
    sites = [("c", "c(x)"), ("b", "b(x)"), ("a", "a(1)")]
    assert [name for name, _ in error.stack] == ["c", "b", "a"]
    lines = []
    for (name, note), (expected, site) in zip(error.stack, sites):
        start, end, line, column = where(NESTED, site)
        assert type(note) is pargo.Diagnostic and name == expected
        assert (note.severity, note.code, note.message) == ("note", "call", f"in {name}()")
        assert (note.span, note.line, note.column) == ((start, end), line, column)
        lines.append(f"  in {name}(), called at {shown}:{line}:{column}")
    rendered = d.render(NESTED) if path is None else d.render(NESTED, path)
    assert str(error) == "\n".join([rendered] + lines)


@pytest.mark.parametrize("length, note, line_shown", [
    (40, "in {}()", True),
    (300, "in a call", True),       # the note's text does not fit its 256 bytes
    (1100, "in a call", False),     # nor the stack line its 1024: left out of the text
])
def test_long_function_names(length, note, line_shown):
    name = "f" * length
    source = f"def {name}() {{\n  return 1 / 0;\n}}\nprint {name}();\n"
    error = failure(source)
    ((shown_name, diagnostic),) = error.stack
    assert shown_name == name and diagnostic.message == note.format(name)
    assert (f"  in {name}(), called at <program>:4:7" in str(error)) == line_shown
    assert str(error).startswith(error.diagnostic.render(source))


def test_a_semantic_further_out_passes_the_error_on_unchanged():
    # The Call and Print semantics around the failing division see a wuna.Error: it is not
    # made again at their nodes.
    seen = []

    def note(value):
        return value

    lang = make_language(hosts=[note])

    @lang.eval("Call")
    def call(node, rt):
        try:
            return rt.call(rt.eval(node.callee), [rt.eval(a) for a in node.args])
        except BaseException as e:
            seen.append(e)
            raise

    source = "print note(note(4 / 0));"
    with pytest.raises(wuna.Error) as caught:
        lang.load(source).run()
    assert len(seen) == 2 and seen[0] is seen[1] is caught.value
    assert caught.value.diagnostic.span == where(source, "4 / 0")[:2]


def test_rt_error_gives_its_code_and_the_call_stack():
    source = "def check(x) {\n  error \"bad value\", \"range\";\n}\ncheck(1);\n"
    error = failure(source)
    d = error.diagnostic
    assert (d.code, d.message, d.line, d.column) == ("range", "bad value", 2, 3)
    assert [name for name, _ in error.stack] == ["check"]
    assert failure('error "plain";').diagnostic.code == "runtime"


def test_a_host_functions_exception_is_worded_with_its_name():
    def parse_int(text):
        return int(text)

    error = failure('print parse_int("x");', hosts=[parse_int])
    assert error.diagnostic.message == \
        "parse_int: ValueError: invalid literal for int() with base 10: 'x'"


def test_a_path_that_is_not_a_str_is_refused_by_the_load():
    # Refused at once: found only when an error text names it, it would replace that error.
    with pytest.raises(TypeError) as caught:
        failure("print 1 / 0;", 5)
    assert str(caught.value) == "path must be a str"


def test_an_error_outlives_its_program_and_language():
    error = failure(NESTED, "deep.calc")
    text = str(error)
    gc.collect()
    assert str(error) == text and error.stack[0][1].line == 5


# ---- Throw --------------------------------------------------------------------------------

@pytest.mark.parametrize("statement, message", [
    ("throw 42;", "42"),
    ('throw "oops";', "oops"),
    ('throw 7, "seven went wrong";', "seven went wrong"),
])
def test_an_uncaught_throw_ends_the_run_with_its_error_at_its_node(statement, message):
    source = f"print 1;\n{statement}\n"
    error = failure(source)
    assert type(error) is wuna.Error
    start, end, line, column = where(source, statement)
    d = error.diagnostic
    assert (d.message, d.code, d.span, d.line, d.column) == \
        (message, "runtime", (start, end), line, column)


def test_a_throw_through_calls_names_the_innermost_node_and_its_stack():
    source = "def inner() {\n  throw 5;\n}\ndef outer() {\n  return inner();\n}\nprint outer();\n"
    error = failure(source)
    assert error.diagnostic.line == 2 and error.diagnostic.message == "5"
    assert [name for name, _ in error.stack] == ["inner", "outer"]


def test_a_caught_throw_never_becomes_an_error():
    printed = []
    source = "def inner() {\n  throw 5;\n}\ntry { inner(); } catch { print 2; }\nprint 3;\n"
    assert make_language(printed).load(source).run() is None
    assert printed == [2, 3]


def test_a_throw_from_a_host_function_keeps_its_value_and_gets_its_error():
    caught = []

    def thrower():
        raise wuna.Throw("from the host")

    lang = make_language(hosts=[thrower])

    @lang.exec("Try")
    def try_(node, rt):
        try:
            rt.exec(node.body)
        except rt.Throw as e:
            caught.append(e)

    source = "try { thrower(); } catch { }"
    lang.load(source).run()
    (throw,) = caught
    assert throw.value == "from the host"
    assert type(throw._wuna_error) is wuna.Error
    assert throw._wuna_error.diagnostic.span == where(source, "thrower()")[:2]


def test_a_throw_whose_text_cannot_be_made_ends_the_run_as_the_throw():
    # Giving the Throw its error fails (str() of its value raises): the failure is dropped
    # and the Throw goes on without an error, so the run ends with the Throw itself.
    value = Unprintable()

    def fail(_):
        raise wuna.Throw(value)

    error = failure("fail 1;", fail=fail)
    assert type(error) is wuna.Throw and error.value is value
    assert not hasattr(error, "_wuna_error") and error.__context__ is None


@pytest.mark.parametrize("preset, raised", [
    (KeyError("mine"), "the preset exception"),
    ("not an exception", "the throw"),
])
def test_a_throw_that_carries_an_error_already_keeps_it(preset, raised):
    def fail(value):
        throw = wuna.Throw(value)
        throw._wuna_error = preset
        raise throw

    error = failure("fail 1;", fail=fail)
    if raised == "the throw":
        assert type(error) is wuna.Throw and error._wuna_error == preset
    else:
        assert error is preset


def test_a_return_at_the_top_level_ends_the_run_as_wuna_return():
    error = failure("print 1;\nreturn 2;\nprint 3;")
    assert type(error) is wuna.Return


# ---- exceptions that are no Exception ------------------------------------------------------

class Halt(BaseException):
    pass


STOPPING = [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), Halt("halt")]

# The exception comes out of a function two calls deep, inside a try whose catch would take a
# wuna.Error or a Throw (as a language's pcall does).
STOPPED = """def inner() {
  fail 1;
  return stop();
}
def outer() { return inner(); }
try { print outer(); } catch { print 2; }
print 3;
"""


def catching_language(printed, caught, stopping, where):
    """The small language whose `fail` (where == "semantic") or host function stop() (where ==
    "host") raises stopping, and whose try catches what a language's own error catching does
    (recording it in caught)."""
    def stop(*_):
        raise stopping

    lang = make_language(printed, fail=stop if where == "semantic" else (lambda value: None),
                         hosts=[stop])

    @lang.exec("Try")
    def try_(node, rt):
        try:
            rt.exec(node.body)
        except (rt.Throw, wuna.Error) as e:
            caught.append(e)
            rt.exec(node.handler)

    return lang


@pytest.mark.parametrize("stopping", STOPPING, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("where", ["semantic", "host"])
@pytest.mark.parametrize("how", ["run", "call", "session"])
def test_an_exception_that_is_no_exception_passes_through_unchanged(stopping, where, how):
    printed, caught = [], []
    lang = catching_language(printed, caught, stopping, where)
    with pytest.raises(BaseException) as raised:
        if how == "run":
            lang.load(STOPPED).run()
        elif how == "call":
            # f's try is the outermost semantic: the top level only defines.
            head = STOPPED.index("try")
            source = STOPPED[:head] + "def f() {\n  " + STOPPED[head:-1] + "\n}\n"
            lang.load(source).call("f", mode="python")
        else:
            lang.session().run(STOPPED)
    assert raised.value is stopping
    assert caught == [] and printed == []


def test_an_exception_subclass_still_becomes_a_catchable_runtime_error():
    printed, caught = [], []
    catching_language(printed, caught, Oops("mine"), "host").load(STOPPED).run()
    assert [e.diagnostic.message for e in caught] == ["stop: Oops: mine"]
    assert printed == [2, 3]
