"""Calls of the reference mode, on the Toy language: arity by the function kind's missing and
extra options, rt.varargs and receivers, the depth limit, tail calls in constant depth, host
functions (I64 conversion both ways, the wording of their exceptions, rt.Throw), values that
cannot be called, and jumps that escape a function."""
import pytest

import wuna
from support.toy import error_of, message, probe, run, toy, where


def marks(lang, body):
    """Shown statements of a str (`"mark";`) run body(node, rt), collecting its results; the
    others evaluate their expression."""
    results = []

    @lang.exec("Shown")
    def shown(node, rt):
        if isinstance(node.value, str):
            results.append(body(node, rt))
        else:
            rt.eval(node.value)

    return results


# ---- arity ---------------------------------------------------------------------------------

@pytest.mark.parametrize("missing, extra, params, args, expected", [
    # missing "error": too few fails
    ("error", "error", "a, b", "1", "f() takes 2 arguments, 1 given"),
    ("error", "error", "a", "1, 2", "f() takes 1 argument, 2 given"),
    ("error", "error", "", "1", "f() takes 0 arguments, 1 given"),
    ("error", "drop", "a, b", "", "f() takes 2 arguments, 0 given"),
    # missing "none": the missing parameters are None
    ("none", "error", "a, b", "1", (1, None)),
    ("none", "error", "a, b", "", (None, None)),
    ("none", "error", "a", "1, 2", "f() takes 1 argument, 2 given"),
    # extra "drop" ignores, extra "keep" keeps (and binds as usual)
    ("error", "drop", "a, b", "1, 2, 3", (1, 2)),
    ("error", "keep", "a, b", "1, 2, 3, 4", (1, 2)),
    ("error", "error", "a, b", "1, 2", (1, 2)),
])
def test_arity(missing, extra, params, args, expected):
    lang = toy(missing=missing, extra=extra)
    body = "return [a, b];" if params == "a, b" else "return 0;"
    lang.eval("Pair")(lambda node, rt: tuple(rt.eval(node.children)))
    source = f"def f({params}) {{ {body} }}\nout(f({args}));"
    if isinstance(expected, str):
        error = error_of(lang, source)
        assert message(error) == expected
        assert where(source, error) == f"f({args})"
    else:
        run(lang, source)
        assert lang.printed == [expected]


def test_varargs_of_a_keeping_kind_reach_its_blocks():
    lang = toy(extra="keep")
    seen = marks(lang, lambda node, rt: rt.varargs)
    run(lang, """
def f(a) { "mark"; { var z = 1; var g = lambda() { return z; }; "mark"; } }
f(1, 2, 3);
f(1);
"mark";
""")
    assert seen == [(2, 3), (2, 3), (), (), ()]
    assert all(type(v) is wuna.I64 for v in seen[0])


def test_a_receiver_is_seen_by_the_method_and_its_closures():
    lang = toy()
    seen = marks(lang, lambda node, rt: rt.receiver)

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), rt.eval(node.args), receiver="obj")

    run(lang, 'def m() { "mark"; var g = lambda() { "mark"; }; g(); } m(); "mark";')
    assert seen == ["obj", "obj", None]


# ---- depth ---------------------------------------------------------------------------------

DEPTH = "def depth(n) { if n == 0 { return 0; } return 1 + depth(n - 1); }\nout(depth(%d));"


@pytest.mark.parametrize("max_depth", [1, 5, 200])
def test_max_depth_nested_calls_succeed_and_the_next_fails(max_depth):
    lang = toy(max_depth=max_depth)
    run(lang, DEPTH % (max_depth - 1))
    assert lang.printed == [max_depth - 1]
    source = DEPTH % max_depth
    error = error_of(lang, source)
    assert message(error) == f"call stack too deep (more than {max_depth} calls)"
    assert where(source, error) == "depth(n - 1)"
    assert len(error.stack) == max_depth


def test_a_deep_error_lists_its_calls_innermost_first():
    source = "def a() { return b(); }\ndef b() { return c(); }\ndef c() { return 1 / 0; }\nout(a());"
    error = error_of(toy(tail=False), source, path="deep.toy")
    assert message(error) == "division by zero"
    assert [name for name, note in error.stack] == ["c", "b", "a"]
    assert [note.line for name, note in error.stack] == [2, 1, 4]
    assert str(error).splitlines()[-3:] == [
        "  in c(), called at deep.toy:2:18",
        "  in b(), called at deep.toy:1:18",
        "  in a(), called at deep.toy:4:5",
    ]


# ---- tail calls ----------------------------------------------------------------------------

MUTUAL = """
def even(n) { if n == 0 { return 1; } return odd(n - 1); }
def odd(n) { if n == 0 { return 0; } return even(n - 1); }
out(even(%d));
"""


def test_a_million_tail_calls_run_in_constant_depth():
    lang = toy(max_depth=20)
    run(lang, MUTUAL % 1_000_000)
    assert lang.printed == [1]


def test_without_tail_calls_the_same_program_is_too_deep():
    lang = toy(max_depth=20, tail=False)
    error = error_of(lang, MUTUAL % 100)
    assert message(error) == "call stack too deep (more than 20 calls)"


def test_a_tail_call_to_a_host_function():
    lang = toy(max_depth=3)
    run(lang, "def f(x) { return out(x + 1); }\nf(1);")
    assert lang.printed == [2]


def test_tail_call_at_the_top_level_calls_at_once_and_returns():
    lang = toy()
    got = []

    def body(node, rt):
        try:
            rt.tail_call(rt.eval(node.value), [41])
        except wuna.Return as r:
            got.append(r.args)

    probe(lang, body)
    lang.host("inc", lambda x: x + 1)
    run(lang, "def inc(x) { return x + 1; } inc;")
    assert got == [(42,)]


def test_tail_call_inside_a_function_raises_tailcall():
    lang = toy()
    got = []

    def body(node, rt):
        try:
            rt.tail_call(lambda *a: lang.printed.append(a), (1, 2), receiver=None)
        except wuna.TailCall as t:
            got.append(t.args[1:])
            raise

    marks(lang, body)
    run(lang, 'def f() { "mark"; } f();')
    assert got == [((1, 2), None)]
    assert lang.printed == [(1, 2)]


# ---- host functions ------------------------------------------------------------------------

class Nameless:
    def __call__(self, *args):
        raise ValueError("bad")


def fail(*args):
    raise ValueError("bad")


def boom(*args):
    raise RuntimeError("x" * 2000)


@pytest.mark.parametrize("host, expected", [
    (fail, "fail: ValueError: bad"),
    (Nameless(), "host function: ValueError: bad"),
    (lambda a: {}["k"], "<lambda>: KeyError: 'k'"),
])
def test_host_exceptions_are_worded_with_the_hosts_name(host, expected):
    lang = toy()
    lang.host("fail", host)
    source = "var a = 1;\nout(fail(a));"
    error = error_of(lang, source)
    assert message(error) == expected
    assert where(source, error) == "fail(a)"
    assert error.diagnostic.code == "runtime"


def test_a_long_host_exception_text_is_cut():
    lang = toy()
    lang.host("boom", boom)
    error = error_of(lang, "boom();")
    text = message(error)
    assert text.startswith("boom: RuntimeError: xxx")
    assert len(text.encode()) == len("boom: ") + 512


def test_host_arguments_and_results_are_i64():
    lang = toy()
    got = []
    lang.host("count", lambda *a: got.append(a) or 2 ** 40)
    results = probe(lang, lambda node, rt: (
        rt.call(rt.eval(node.value), [1, True, 2.5, "s"]),
        rt.call(rt.eval(node.value), iter([2]), receiver="me"),
        rt.call(rt.eval(node.value), [], receiver=7)))
    run(lang, "count;")
    assert got == [(1, True, 2.5, "s"), ("me", 2), (7,)]
    assert [type(v) for v in got[0]] == [wuna.I64, bool, float, str]
    assert type(got[2][0]) is wuna.I64   # a receiver is an argument like the others
    assert results == [(2 ** 40,) * 3] and type(results[0][0]) is wuna.I64


def test_a_long_message_is_cut_with_dots():
    name = "f" * 1100
    error = error_of(toy(), f"def {name}(a) {{}}\n{name}();")
    text = message(error)
    assert len(text.encode()) == 1018 and text == name[:1015] + "..."


@pytest.mark.parametrize("argument, result, expected", [
    (2 ** 70, 0, "integer overflow"),
    (1, 2 ** 64, "integer overflow"),
])
def test_ints_outside_64_bits_fail(argument, result, expected):
    lang = toy()
    lang.host("count", lambda x: result)
    probe(lang, lambda node, rt: rt.call(rt.eval(node.value), [argument]))
    error = error_of(lang, "count;")
    assert message(error) == expected


def test_a_throw_from_a_host_travels_with_its_error():
    lang = toy()

    def throw(v):
        raise wuna.Throw(v)

    lang.host("throw", throw)
    caught = []

    def body(node, rt):
        try:
            rt.eval(node.value)
        except rt.Throw as e:
            caught.append((e.value, message(e._wuna_error)))

    probe(lang, body)
    run(lang, "throw(7);")
    assert caught == [(7, "7")]
    # Uncaught, the run ends with the runtime error made where the Throw first left.
    source = "def f() { out(throw(\"oops\")); }\nf();"
    lang2 = toy()
    lang2.host("throw", throw)
    error = error_of(lang2, source)
    assert message(error) == "oops"
    assert where(source, error) == 'throw("oops")'
    assert [name for name, note in error.stack] == ["f"]


@pytest.mark.parametrize("source, expected", [
    ("var x = 5; x();", "'int' value is not callable"),
    ("nothing();", "'None' value is not callable"),
    ('"s"();', "'str' value is not callable"),
])
def test_values_that_are_not_callable(source, expected):
    lang = toy()
    if expected is None:
        with pytest.raises(wuna.LoadError):
            lang.load(source)
        return
    error = error_of(lang, source)
    assert message(error) == expected


@pytest.mark.parametrize("value, name", [
    (True, "bool"), (1.5, "float"), ("s", "str"), ([], "list"), ((), "tuple"), ({}, "dict"),
    (object(), "object"),
])
def test_not_callable_type_names(value, name):
    lang = toy()
    probe(lang, lambda node, rt: rt.call(value, []))
    error = error_of(lang, "1;")
    assert message(error) == f"'{name}' value is not callable"


@pytest.mark.parametrize("jump", ["break", "continue"])
def test_a_jump_escaping_a_function_is_an_error_at_the_call(jump):
    lang = toy()
    source = f"def f() {{ {jump}; }}\nout(f());"
    error = error_of(lang, source)
    assert message(error) == "break or continue outside a loop"
    assert where(source, error) == "f()"


def test_a_function_of_another_program_cannot_be_called():
    lang = toy()
    kept = []
    probe(lang, lambda node, rt: kept.append(rt.eval(node.value)))
    run(lang, "def f() {} f;")
    probe(lang, lambda node, rt: rt.call(kept[0], []))
    error = error_of(lang, "1;")
    assert message(error) == "a function of another program can't be called here"


def test_return_value_huge_int_fails():
    lang = toy()
    lang.exec("Return")(lambda node, rt: (_ for _ in ()).throw(rt.Return(2 ** 64)))
    error = error_of(lang, "def f() { return 1; }\nout(f());")
    assert message(error) == "integer overflow"


def test_a_session_entry_calls_a_function_of_an_earlier_entry():
    lang = toy()
    session = lang.session()
    session.run("var g = 10; def f(x) { return x + g; }")
    session.run("out(f(1));")
    session.run("g = 5; out(f(1));")
    session.run("def k() { return f(100); }")
    session.run("out(k());")
    assert lang.printed == [11, 6, 105]



@pytest.mark.parametrize("mode", ["python", "compiled"])
@pytest.mark.parametrize("extra", ["error", "drop", "keep"])
@pytest.mark.parametrize("source", [
    "def f(a) { out((0)); var v = (0); out(v); } f(1); out((0));",
    # a closure gives f a frame of its own, where the extra arguments would be a slot
    "def f(a) { var g = lambda() { return a; }; out((0)); var v = (0); out(v); out(g()); }"
    " f(1); out((0));",
], ids=["stack", "frame"])
def test_varargs_without_extra_arguments_are_the_empty_tuple_in_every_mode(source, extra, mode):
    lang = toy(extra=extra)

    @lang.eval("Paren")
    def varargs(node, rt):
        return rt.varargs

    lang.load(source).run(mode)
    assert [v for v in lang.printed if v != 1] == [(), (), ()]
    assert "varargs" not in lang.python_semantics()
