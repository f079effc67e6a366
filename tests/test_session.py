"""Sessions: entries that see the names earlier entries defined (variables and functions, the
same variables, redefined by later entries), the value an entry gives by the kind of its last
statement, entries that fail to load or to run, and the arguments of Session.run.

The language here is the small one of support/session_language.py (shared with the REPL
tests)."""
import gc

import pytest

import pargo
import wuna
from support.session_language import GRAMMAR, make_session_language


@pytest.fixture
def printed():
    return []


@pytest.fixture
def session(printed):
    return make_session_language(printed).session()


# ---- names across entries -----------------------------------------------------------------

def test_a_later_entry_reads_and_writes_an_earlier_entrys_variable(session):
    assert session.run("x = 40;") is None
    assert session.names() == ["x"]
    assert session.run("x + 2;") == 42
    # Assigning it again writes the same variable: no new name, the next entry sees it.
    assert session.run("x = x + 1;") is None
    assert session.run("x;") == 41
    assert session.names() == ["x"]


def test_names_are_sorted_and_only_the_program_levels(session):
    session.run("b = 1; a = 2; def f(p) { inner = p; return p; }")
    assert session.names() == ["a", "b", "f"]
    session.run("f(1);")
    # f's global assignment stored into the frame of the entry that defined f, whose names were
    # recorded when that entry ended: the name comes only with an entry that names it.
    assert session.names() == ["a", "b", "f"]


def test_a_function_of_an_earlier_entry_runs_with_its_own_entrys_frames(session, printed):
    session.run("base = 100; def add(a, b) { print base; return a + b + base; }")
    assert session.run("add(2, 3);") == 105
    assert session.run("base = 1; add(2, 3);") == 6
    assert printed == [100, 1]


def test_functions_call_functions_of_earlier_entries_by_their_current_definition(session):
    session.run("def f() { return 1; }")
    session.run("def g() { return f() + 10; }")
    assert session.run("g();") == 11
    # f is defined again: g, made before, now reaches the new f through the session's names.
    session.run("def f() { return 2; }")
    assert session.run("g();") == 12
    assert session.names() == ["f", "g"]


def test_an_error_in_an_earlier_entrys_function_points_into_that_entry(session):
    first = "def bad(a) {\n  return a / 0;\n}"
    session.run(first)
    with pytest.raises(wuna.Error) as caught:
        session.run("\n\nbad(1);")
    error = caught.value
    assert error.diagnostic.message == "division by zero"
    assert error.diagnostic.line == 2
    assert error.diagnostic.span[0] == first.index("a / 0")
    assert [name for name, _ in error.stack] == ["bad"]


def test_host_functions_stay_reachable(session):
    assert session.run("double(21);") == 42
    session.run("def quad(x) { return double(double(x)); }")
    assert session.run("quad(3);") == 12


# ---- entry values -------------------------------------------------------------------------

@pytest.mark.parametrize("source, value", [
    ("1 + 2;", 3),                            # an expression of a kind with an eval semantic
    ("x = 5;", None),                          # an assignment: an exec semantic
    ("x = 5; x;", 5),                          # a bare name: the variable's value
    ("x = 5; x + 1; x = 7;", None),            # only the last statement counts
    ("7;", 7),                                 # a literal token standing alone
    ('"hi";', "hi"),
    ("(8);", 8),                               # a node without semantics over one token
    ("(1 + 2);", None),                        # ... over one node: a statement
    ("print 1;", None),
    ("def f() { return 1; }", None),           # a function definition
    ("def f() { return 1; } f;", "function"),  # the function value itself
    ("", None),                                # nothing at all
    ("  \n", None),
])
def test_the_value_of_an_entry_is_its_last_statements_when_that_is_an_expression(
        session, source, value):
    result = session.run(source)
    if value == "function":
        assert isinstance(result, wuna.Function)
    elif value is None:
        assert result is None
    else:
        assert result == value


def test_integer_values_are_checked_64_bit_ints(session):
    value = session.run("1 + 2;")
    assert type(value) is wuna.I64
    assert type(session.run("7;")) is wuna.I64


# ---- roots with semantics of their own ----------------------------------------------------

def test_the_roots_exec_semantic_gives_the_entrys_value():
    lang = make_session_language()

    @lang.exec("Program")
    def program(node, rt):
        for statement in node.stmts[:-1]:
            rt.exec(statement)
        return 2 ** 40 + rt.eval(node.stmts[-1])

    session = lang.session()
    value = session.run("x = 1; x + 1;")
    assert value == 2 ** 40 + 2 and type(value) is wuna.I64
    assert session.names() == ["x"]


def test_an_int_from_the_roots_exec_semantic_that_leaves_64_bits_fails():
    lang = make_session_language()

    @lang.exec("Program")
    def program(node, rt):
        return 2 ** 70

    with pytest.raises(wuna.Error) as caught:
        lang.session().run("1;")
    assert caught.value.diagnostic.message == "integer overflow"


def test_a_root_with_an_eval_semantic_runs_as_a_statement():
    seen = []
    lang = make_session_language()

    @lang.eval("Program")
    def program(node, rt):
        seen.append(len(node.stmts))
        return 5

    assert lang.session().run("1; 2;") is None
    assert seen == [2]


# ---- failing entries ----------------------------------------------------------------------

def test_a_failing_entry_keeps_what_it_stored_and_earlier_names(session):
    session.run("x = 1;")
    with pytest.raises(wuna.Error) as caught:
        session.run("y = 2; z = 1 / 0; w = 3;")
    assert caught.value.diagnostic.message == "division by zero"
    assert session.names() == ["x", "y"]
    assert session.run("x + y;") == 3


def test_an_entry_that_does_not_load_changes_nothing(session):
    session.run("x = 1;")
    with pytest.raises(wuna.LoadError) as caught:
        session.run("y = 2; x = = 3;")
    assert "1:" in str(caught.value)
    assert session.names() == ["x"]
    assert session.run("x;") == 1


def test_an_uncaught_throw_ends_the_entry_with_its_runtime_error(printed):
    lang = make_session_language(printed)

    @lang.exec("Print")
    def throw(node, rt):
        raise rt.Throw(rt.eval(node.value))

    session = lang.session()
    source = "x = 3;\nprint 12;"
    with pytest.raises(wuna.Error) as caught:
        session.run(source)
    assert caught.value.diagnostic.message == "12"
    assert caught.value.diagnostic.span[0] == source.index("print")
    assert session.run("x;") == 3


def test_a_name_with_no_value_yet_is_an_error_and_not_recorded(session):
    session.run("def f() { return later; }")
    with pytest.raises(wuna.Error) as caught:
        session.run("f();")
    assert caught.value.diagnostic.message == "'later' has no value yet"
    assert session.names() == ["f"]


def test_a_session_goes_on_after_errors(session):
    for _ in range(3):
        with pytest.raises(wuna.Error):
            session.run("1 / 0;")
    assert session.run("n = 3; n;") == 3


def test_a_language_without_rules_runs_entries_without_names():
    lang = wuna.Language(pargo.compile(GRAMMAR))

    @lang.eval("Binary")
    def binary(node, rt):
        return rt.eval(node.left) + rt.eval(node.right)

    @lang.exec("Assign")
    def assign(node, rt):
        rt.store(node.name, rt.eval(node.value))

    session = lang.session()
    assert session.run("1 + 2;") == 3
    # A name node is no variable: without rules it has no symbol.
    assert session.run("x;") is None
    with pytest.raises(wuna.Error) as caught:
        session.run("x = 1;")
    assert caught.value.diagnostic.message == "variables need rules with a scopes() rule"
    assert session.names() == []


# ---- arguments and objects ----------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "WrongArgumentCount"),
    (("x;", "y;"), {}, "WrongArgumentCount"),
    ((), {"source": "x;"}, "WrongArgumentCount"),
    ((5,), {}, "source must be a str"),
    ((b"x;",), {}, "source must be a str"),
])
def test_run_argument_errors(session, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        session.run(*args, **kwargs)
    assert str(caught.value) == message


def test_a_str_subclass_is_a_source(session):
    class Text(str):
        pass
    assert session.run(Text("4;")) == 4


def test_a_session_made_by_calling_the_class_refuses():
    bare = wuna.Session()
    assert repr(bare) == "Session()"
    for call in (lambda: bare.run("1;"), bare.names):
        with pytest.raises(RuntimeError):
            call()


def test_sessions_are_separate(printed):
    lang = make_session_language(printed)
    one, two = lang.session(), lang.session()
    one.run("x = 1;")
    assert two.names() == []
    with pytest.raises(wuna.Error) as caught:
        two.run("x;")
    assert caught.value.diagnostic.message == "'x' has no value yet"
    assert repr(one) == "Session()"


def sessions():
    gc.collect()
    return sum(1 for o in gc.get_objects() if type(o) is wuna.Session)


def test_a_session_in_a_reference_cycle_is_collected():
    before = sessions()
    lang = make_session_language()
    session = lang.session()
    # The language's host function holds the session, which holds the language.
    lang.host("keep", lambda: session)
    session.run("def f() { return 1; } f();")
    assert sessions() == before + 1
    del session, lang
    assert sessions() == before


def test_values_of_entries_outlive_the_session():
    session = make_session_language().session()
    function = session.run("k = 3; def f() { return k; } f;")
    del session
    gc.collect()
    assert isinstance(function, wuna.Function)


def test_deep_recursion_in_an_entry_uses_the_entrys_stack():
    lang = make_session_language(max_depth=5000)
    session = lang.session()
    # No conditionals in this language: a chain of 3000 functions, each calling the next.
    source = "def f0() { return 0; }\n" + "".join(
        f"def f{i}() {{ return f{i - 1}() + 1; }}\n" for i in range(1, 3000))
    session.run(source)
    assert session.run("f2999();") == 2999
