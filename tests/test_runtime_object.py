"""The Python face of rt (wuna.Runtime), on the Toy language: the constructor and an inert
Runtime, argument errors, rt.loop with Break and Continue, rt.error, the node questions (kind,
text, span, scope, symbol, type_of, node_at) and the properties."""
import inspect

import pargo
import pytest

import wuna
from support.toy import error_of, message, probe, run, toy, where


def rt_of(lang, source, body):
    """Runs source with body(node, rt) as the Shown semantic; its results."""
    results = probe(lang, body)
    run(lang, source)
    return results


@pytest.fixture
def lang():
    return toy()


# ---- the object ----------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((1,), {}, "Runtime() takes at most 0 arguments (1 given)"),
    ((1, 2), {}, "Runtime() takes at most 0 arguments (2 given)"),
    ((), {"program": 1}, "Runtime() got an unexpected keyword argument 'program'"),
])
def test_constructor_errors(args, kwargs, expected):
    with pytest.raises(TypeError) as caught:
        wuna.Runtime(*args, **kwargs)
    assert str(caught.value) == expected


def test_an_inert_runtime(lang):
    rt = wuna.Runtime()
    assert repr(rt) == "Runtime()"
    assert (rt.path, rt.context, rt.receiver, rt.varargs) == (None, None, None, ())
    for call in (lambda: rt.eval(1), lambda: rt.exec([]), lambda: rt.call(print, []),
                 lambda: rt.node_at(0), lambda: rt.error(None, "x")):
        with pytest.raises(RuntimeError):
            call()
    assert rt.Return is wuna.Return and rt.Throw is wuna.Throw
    assert rt.Break is wuna.Break and rt.Continue is wuna.Continue


def test_a_subclass_and_repr_during_a_run(lang):
    class Mine(wuna.Runtime):
        pass

    assert repr(Mine()) == "Runtime()"
    seen = rt_of(lang, "1;", lambda node, rt: (repr(rt), type(rt)))
    assert seen == [("Runtime()", wuna.Runtime)]


def test_signatures_are_the_documented_ones():
    assert str(inspect.signature(wuna.Runtime.call)) == "(self, /, f, args, receiver=None)"
    assert str(inspect.signature(wuna.Runtime.eval)) == "(self, x, /)"
    assert wuna.Runtime.loop.__doc__.startswith("Run a loop's body once")


# ---- argument errors -----------------------------------------------------------------------

def failure(call):
    try:
        call()
    except Exception as e:
        return type(e).__name__, str(e)
    return None


@pytest.mark.parametrize("call, expected", [
    (lambda rt, n: rt.eval(), "WrongArgumentCount"),
    (lambda rt, n: rt.eval(n, n), "WrongArgumentCount"),
    (lambda rt, n: rt.eval(x=n), "WrongArgumentCount"),
    (lambda rt, n: rt.store(n), "WrongArgumentCount"),
    (lambda rt, n: rt.call(print), "call() missing required argument 'args'"),
    (lambda rt, n: rt.call(print, [], None, 4), "call() takes at most 3 positional arguments (4 given)"),
    (lambda rt, n: rt.call(print, [], f=print), "call() got multiple values for argument 'f'"),
    (lambda rt, n: rt.call(print, [], other=1), "call() got an unexpected keyword argument 'other'"),
    (lambda rt, n: rt.tail_call(f=print), "tail_call() missing required argument 'args'"),
    (lambda rt, n: rt.error(n), "error() missing required argument 'message'"),
    (lambda rt, n: rt.error(n, "m", code=None, x=1), "error() got an unexpected keyword argument 'x'"),
    (lambda rt, n: rt.error(n, 5), "message must be a str"),
    (lambda rt, n: rt.error(n, "m", 5), "code must be a str"),
    (lambda rt, n: rt.error(5, "m"), "node must be a node of the program"),
    (lambda rt, n: rt.load(5), "a variable's name must be a node of the program"),
    (lambda rt, n: rt.store("x", 1), "a variable's name must be a node of the program"),
    (lambda rt, n: rt.function(None), "a function's node must be a node of the program"),
    (lambda rt, n: rt.kind(1), "node must be a node of the program"),
    (lambda rt, n: rt.fresh(1), "node must be a node of the program"),
    (lambda rt, n: rt.call(print, 5), "'int' object is not iterable"),
    (lambda rt, n: rt.node_at("0"), "a node's index must be an int, not str"),
    (lambda rt, n: rt.node_at(1.0), "a node's index must be an int, not float"),
])
def test_argument_errors(lang, call, expected):
    seen = rt_of(lang, "1;", lambda node, rt: failure(lambda: call(rt, node)))
    assert seen == [("TypeError", expected)]


def test_a_node_of_another_program_is_not_a_node_of_the_program(lang):
    other = lang.load("1;").root
    seen = rt_of(lang, "1;", lambda node, rt: failure(lambda: rt.text(other)))
    assert seen == [("TypeError", "node must be a node of the program")]


# ---- rt.loop --------------------------------------------------------------------------------

def test_loop_results(lang):
    def paren(node, rt):
        jump = {1: rt.Break(), 2: rt.Continue(), 4: rt.Return(9)}.get(node.inner)
        if jump is not None:
            raise jump

    lang.exec("Paren")(paren)

    def body(node, rt):
        try:
            return rt.loop(node.value)
        except wuna.Return as r:
            return ("return", r.args)

    seen = rt_of(lang, "(1); (2); (3); (4);", body)
    assert seen == [False, True, True, ("return", (9,))]


def test_a_loop_with_break_and_continue(lang):
    run(lang, """
var i = 0;
while i < 10 { i = i + 1; if i == 3 { continue; } if i == 6 { break; } out(i); }
out(i);
""")
    assert lang.printed == [1, 2, 4, 5, 6]


def test_other_exceptions_pass_through_loop(lang):
    probe(lang, lambda node, rt: 1 / 0)
    error = error_of(lang, "while 1 { 1; }")
    assert message(error) == "division by zero"


# ---- rt.error -------------------------------------------------------------------------------

def test_error_at_the_running_node_and_at_a_given_node(lang):
    probe(lang, lambda node, rt: rt.error(None, "stop here"))
    source = "var a = 1;\n  a + 1;"
    error = error_of(lang, source)
    assert message(error) == "stop here" and error.diagnostic.code == "runtime"
    assert where(source, error) == "a + 1;"
    probe(lang, lambda node, rt: rt.error(node.value.left, "the left", code="mine"))
    error = error_of(lang, source)
    assert (message(error), error.diagnostic.code) == ("the left", "mine")
    assert (error.diagnostic.line, error.diagnostic.column) == (2, 3)


def test_error_inside_a_function_carries_the_stack(lang):
    lang.eval("Paren")(lambda node, rt: rt.error(None, "inner"))
    source = "def f() { return (1); }\nout(f());"
    error = error_of(lang, source, path="f.toy")
    assert message(error) == "inner"
    assert where(source, error) == "(1)"
    assert [(name, note.message, note.code, note.line) for name, note in error.stack] == [
        ("f", "in f()", "call", 2)]
    assert str(error).endswith("\n  in f(), called at f.toy:2:5")


# ---- node questions -------------------------------------------------------------------------

def test_kind_text_span(lang):
    seen = rt_of(lang, "var x = 1;\nx  +  2;", lambda node, rt: (
        rt.kind(node.value), rt.text(node.value), rt.span(node.value), rt.kind(node)))
    assert seen == [("Binary", "x  +  2", (11, 18), "Shown")]


def test_kind_is_not_hidden_by_a_field_named_kind():
    parser = pargo.compile("""
Program = stmts:Decl*
Decl = 'decl' kind:Word name:Word
@token Word = [a-z]+
@skip S = [ ]+
""")
    lang = wuna.Language(parser)
    seen = []
    lang.exec("Decl")(lambda node, rt: seen.append((rt.kind(node), node.kind.text)))
    lang.load("decl int x").run()
    assert seen == [("Decl", "int")]


def test_scope_symbol_and_type_of():
    lang = toy()
    source = "var g = 1;\ndef f(a) { a; }\nf(2); g;"

    def body(node, rt):
        v = node.value
        if not isinstance(v, wuna.Node) or rt.kind(v) != "Name":
            return rt.eval(v)
        scope = rt.scope(v)
        return (rt.text(v), None if scope is None else rt.kind(scope), rt.symbol(v).name,
                rt.type_of(v))

    seen = rt_of(lang, source, body)
    assert seen[0] == ("a", "Def", "a", None)
    assert seen[2] == ("g", "Program", "g", None)


def test_symbol_and_type_of_without_rules():
    lang = toy(rules=None)
    seen = rt_of(lang, "x;", lambda node, rt: (rt.symbol(node.value), rt.type_of(node.value),
                                              rt.scope(node.value)))
    assert seen == [(None, None, None)]


def test_node_at(lang):
    def body(node, rt):
        root = rt.node_at(0)
        out = [root == node.parent, rt.node_at(node.index) == node]
        for bad in (-1, 10 ** 6):
            out.append(failure(lambda: rt.node_at(bad)))
        out.append(failure(lambda: rt.node_at(2 ** 70))[0])
        return out

    seen = rt_of(lang, "1;", body)
    assert seen == [[True, True, ("IndexError", "no node -1"),
                     ("IndexError", "no node 1000000"), "OverflowError"]]


# ---- properties ----------------------------------------------------------------------------

def test_path_and_context(lang):
    seen = probe(lang, lambda node, rt: (rt.path, rt.context))
    lang.load("1;", "here.toy").run()
    lang.load("1;").run()
    assert seen == [("here.toy", None), (None, None)]


def test_properties_are_read_only(lang):
    seen = rt_of(lang, "1;", lambda node, rt: failure(lambda: setattr(rt, "path", "x")))
    assert seen[0][0] == "AttributeError"


def test_the_method_table_in_order():
    names = [name for name, value in vars(wuna.Runtime).items()
             if callable(value) and not name.startswith("_")]
    readers = [f"{s}{w}{e}" for w in ("8",) for s in ("u", "i") for e in ("",)] + [
        f"{s}{w}{e}" for w in ("16", "32", "64") for s in ("u", "i") for e in ("le", "be")]
    wrapping = [f"wrapping_{op}" for op in ("add", "sub", "mul", "shl", "shr", "ushr")]
    assert names == ["eval", "fresh", "exec", "loop", "load", "store", "function", "call",
                     "tail_call", "error", "kind", "text", *readers, "parse", *wrapping,
                     "span", "scope", "symbol", "type_of", "node_at"]


class Sentinel:
    def __init__(self, flags):
        self.flags = flags

    def __del__(self):
        self.flags.append("freed")


def test_a_runtime_kept_in_a_variable_of_its_program_is_collected():
    import gc
    flags = []
    lang = toy()

    @lang.eval("Pair")
    def pair(node, rt):
        sentinel = Sentinel(flags)
        return lambda: (rt, sentinel)     # stored in a global: frame -> closure -> rt -> frame

    run(lang, "var k = [1, 2];")
    gc.collect()
    assert flags == ["freed"]
