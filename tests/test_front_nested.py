"""The compiler front end reading nested defs and lambdas: how they print in Language.ir(),
calls of a nested def by name (which pass what it captures), and the reasons for what it
refuses. What the closure analysis decides (frame slots, capture references) is checked by the
native tests in tests/native/front_closure_test.cpp."""
import pytest

import wuna
from support.front import body, load, parser, strict  # noqa: F401 (fixtures)


@pytest.mark.parametrize("source, text", [
    # A lambda is a closure value; a def leaves a pass where it stood.
    (body("k = 2", "g = lambda x: x * k", "return g(1), (lambda: 0)"),
     body("k#2 = 2", "g#3 = <lambda><closure>", "return (tuple g#3(1), <lambda><closure>)")),
    (body("def h(x):", "    return x + a", "return h(1), h"),
     body("pass", "return (tuple h<nested>(1, None, a#0), h<closure>)")),
    # A def called by name gets its arguments, None, then what it captures (in the order
    # ast.walk meets the names: breadth first).
    (body("def g(c):", "    return c + a + b", "return g(1)"),
     body("pass", "return g<nested>(1, None, b#1, a#0)")),
    # h captures what the g it calls captures, though it never names a.
    (body("def g(c):", "    return c + a", "def h():", "    return g(1)", "return h()"),
     body("pass", "pass", "return h<nested>(None, a#0)")),
    # A recursive def reaches itself by name, not through a capture.
    (body("def g(n):", "    return g(n)", "return g(1)"),
     body("pass", "return g<nested>(1, None)")),
    # A name assigned after the def is captured all the same.
    (body("def g():", "    return late", "late = 1", "return g()"),
     body("pass", "late#2 = 1", "return g<nested>(None, late#2)")),
    (body("n = 0", "def inc():", "    nonlocal n", "    n += 1", "inc()", "return n"),
     body("n#2 = 0", "pass", "inc<nested>(None, n#2)", "return n#2")),
    # Called from a comprehension, the def still gets the function's variable: it can't see
    # the comprehension's.
    (body("def h():", "    return a", "return [h() for a in b]"),
     body("pass", "return [h<nested>(None, a#0) for a#2 in b#1]")),
    # A local of the caller named like a def is called as that local.
    (body("g = len", "return g(a)"), body("g#2 = global len", "return g#2(a#0)")),
    # A def of its own named like a variable around it: the function's own, captured from
    # nowhere.
    (body("def h():", "    def a():", "        return 1", "    return a()", "return h()"),
     body("pass", "return h<nested>(None)")),
])
def test_nested_functions_print_as_ir(parser, tmp_path, source, text):
    fn = load(tmp_path, source)
    lang = wuna.Language(parser)
    assert lang.ir(fn) == text
    assert lang.python_semantics() == {}


_PLAIN = "parameters must be plain ones (no defaults, keyword-only or positional-only ones)"


@pytest.mark.parametrize("source, reason, line, column", [
    (body("@staticmethod", "def g():", "    pass", "return 1"),
     "a nested def with decorators can't be compiled", 2, 6),
    (body("g = lambda *c: 0", "return g"), "a lambda's *args and **kwargs can't be compiled",
     2, 9),
    (body("def g(**kw):", "    pass", "return 1"),
     "a nested def's *args and **kwargs can't be compiled", 2, 5),
    (body("def g(x=1):", "    pass", "return 1"), "a nested def's " + _PLAIN, 2, 5),
    (body("def g(*, k):", "    pass", "return 1"), "a nested def's " + _PLAIN, 2, 5),
    (body("return lambda c=1: c"), "a lambda's " + _PLAIN, 2, 12),
    (body("return lambda c, /: c"), "a lambda's " + _PLAIN, 2, 12),
    (body("def g():", "    nonlocal z", "    z = 1", "return 1"),
     "no variable z around g for its `nonlocal`", 2, 5),
    # Calls of a nested def by name.
    (body("def g(c, d):", "    return c", "return g(1)"), "g() takes 2 arguments", 4, 12),
    (body("def g(c):", "    return c", "return g(c=1)"),
     "keyword arguments to the nested function g can't be compiled", 4, 12),
    (body("def g(c):", "    return c", "return g(*a)"), "*unpacking can't be compiled", 4, 14),
    # The caller would pass another variable of the same name than the one the def reads.
    (body("def g():", "    return a", "def h(a):", "    return g()", "return h(1)"),
     "a isn't reachable where the nested function g is called", 5, 16),
    (body("def g():", "    return a", "def h():", "    a = 2", "    return g()", "return h()"),
     "a isn't reachable where the nested function g is called", 6, 16),
    (body("def g():", "    return a", "def h():", "    global a", "    return g()",
          "return h()"),
     "a isn't reachable where the nested function g is called", 6, 16),
    # A def over a name that is also a variable: the variable would keep its other value.
    (body("def a(x):", "    return x", "return a(1)"),
     "a nested def that rebinds the name a can't be compiled", 2, 5),
    (body("global g", "def g():", "    return 1", "return g()"),
     "a nested def that rebinds the name g can't be compiled", 3, 5),
    # A def in a block may or may not have run when it is called.
    (body("if a:", "    def g():", "        return 1", "return 2"),
     "a nested def inside an if, a loop or a try can't be compiled", 3, 9),
    (body("for x in a:", "    def g():", "        return x", "return 2"),
     "a nested def inside an if, a loop or a try can't be compiled", 3, 9),
    # In h, g is h's own def, not yet read: not f's g.
    (body("def g():", "    return 1", "def h():", "    x = g()", "    def g():",
          "        return 2", "    return x", "return h()"),
     "the nested function g used before its def can't be compiled", 5, 13),
    # Refusals inside a nested function carry their own positions.
    (body("def g():", "    return b @ a", "return g()"),
     "the operator MatMult can't be compiled", 3, 16),
    (body("g = lambda: [*a]", "return g"), "*unpacking can't be compiled", 2, 18),
])
def test_nested_refusals_give_reason_and_position(strict, tmp_path, source, reason, line,
                                                  column):
    fn = load(tmp_path, source)
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(fn)
    error = caught.value
    assert (error.reason, error.line, error.column) == (reason, line, column)


def test_nested_functions_read_twice_give_the_same_text(parser, tmp_path):
    fn = load(tmp_path, body("k = 1", "def g():", "    return k", "return g(), (lambda: g)"))
    first = wuna.Language(parser).ir(fn)
    assert wuna.Language(parser).ir(fn) == first
