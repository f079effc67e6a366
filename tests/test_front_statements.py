"""The compiler front end reading semantics: statements, imports, deletes, parameters and the
reasons (text and position) of what it refuses, through Language.ir() and CompileError."""
import gc
import linecache
import sys
import textwrap

import pytest

import wuna
from support.front import body, load, parser, strict  # noqa: F401 (fixtures)


@pytest.mark.parametrize("source, text", [
    ("def f(a, b, *rest):\n    pass\n", "def f(a, b, rest):\n    pass\n"),
    ("def f():\n    pass\n", "def f():\n    pass\n"),
    ("def f(node, rt, k=1):\n    global n\n    x: int\n    pass\n",
     "def f(node, rt, k):\n    pass\n    pass\n    pass\n"),
    ("def f(a):\n    import os.path\n", "def f(a):\n    os#1 = import os.path (top)\n"),
    ("def f(a):\n    import os.path as p\n", "def f(a):\n    p#1 = import os.path\n"),
    ("def f(a):\n    from . import x\n", "def f(a):\n    x#1 = import ..x\n"),
    ("def f(a):\n    from ..m import x as y\n", "def f(a):\n    y#1 = import ..m.x\n"),
    ("def f(a):\n    from m import a, b\n",
     "def f(a):\n    a#0 = import m.a\n    b#1 = import m.b\n"),
    ("def f(a):\n    import x, y.z\n",
     "def f(a):\n    x#1 = import x (top)\n    y#2 = import y.z (top)\n"),
    ("def f(a):\n    del a\n", "def f(a):\n    del a#0\n"),
    ("def f():\n    del a, b\n", "def f():\n    del a#0\n    del b#1\n"),
    ("def f():\n    try:\n        pass\n    except:\n        raise\n    else:\n        return\n"
     "    finally:\n        pass\n",
     "def f():\n    try:\n        pass\n    except:\n        raise\n    else:\n        return\n"
     "    finally:\n        pass\n"),
    ("def f():\n    try:\n        import m\n    finally:\n        del m\n",
     "def f():\n    try:\n        m#0 = import m (top)\n    finally:\n        del m#0\n"),
])
def test_statements_print_as_ir(parser, tmp_path, source, text):
    fn = load(tmp_path, source)
    lang = wuna.Language(parser)
    assert lang.ir(fn) == text
    assert lang.python_semantics() == {}


@pytest.mark.parametrize("source, reason, line, column", [
    ("def f(node):\n    match node:\n        case 1:\n            pass\n",
     "`match` can't be compiled", 2, 5),
    ("def f(node):\n    async for x in node:\n        pass\n", "`async for` can't be compiled", 2, 5),
    ("def f(node):\n    class C:\n        pass\n", "a nested `class` can't be compiled", 2, 5),
    ("def f(node):\n    async def g():\n        pass\n", "`async def` can't be compiled", 2, 5),
    ("def f(node):\n    del node.b\n", "`del` of Attribute can't be compiled", 2, 9),
    ("def f(node):\n    del node[1:2]\n", "`del` of a slice can't be compiled", 2, 9),
    ("def f(node):\n    del (a, b)\n", "`del` of Tuple can't be compiled", 2, 9),
    ("def f(node):\n    from m import *\n", "`from ... import *` can't be compiled", 2, 5),
    ("def f(a, /, b):\n    pass\n",
     "only plain parameters can be compiled (no keyword-only or positional-only ones)", 1, 1),
    ("def f(a, *, b):\n    pass\n",
     "only plain parameters can be compiled (no keyword-only or positional-only ones)", 1, 1),
    ("def f(**kw):\n    pass\n", "**kwargs can't be compiled", 1, 1),
    ("def f(a):\n    if a:\n        nonlocal x\n", "`nonlocal` outside a nested function", 1, 1),
    ("f = lambda node, rt: node\n", "only functions defined with def can be compiled", 0, 0),
    ("def deco(fn):\n    return fn\n\n@deco\n@deco\ndef f(node):\n    del node.b\n",
     "`del` of Attribute can't be compiled", 7, 9),
    ("class C:\n    def f(node):\n        del node.b\nf = C.f\n",
     "`del` of Attribute can't be compiled", 3, 13),
    ("if True:\n\tdef f(node):\n\t\tdel node.b\n", "`del` of Attribute can't be compiled", 3, 7),
    # A name declared global or nonlocal can't be bound as a local by these statements.
    ("def f(node):\n    global x\n    del x\n",
     "`del` of a `global` or `nonlocal` name can't be compiled", 3, 9),
    ("def f(node):\n    global os\n    import os\n",
     "`import` as a `global` or `nonlocal` name can't be compiled", 3, 5),
    ("def f(node):\n    global e\n    try:\n        pass\n    except E as e:\n        pass\n",
     "`except ... as` a `global` or `nonlocal` name can't be compiled", 5, 5),
])
def test_refusals_give_reason_and_position(strict, tmp_path, source, reason, line, column):
    fn = load(tmp_path, source)
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(fn)
    error = caught.value
    expected_line = line or fn.__code__.co_firstlineno
    assert (error.reason, error.line, error.column) == (reason, expected_line, column)
    assert error.file == fn.__code__.co_filename
    assert str(error) == f"{error.file}:{expected_line}:{column}: in {fn.__name__}(): {reason}"


@pytest.mark.parametrize("fn, qualname", [
    (eval("lambda node, rt: None"), "<lambda>"),
    (len, "len"),
])
def test_functions_without_source_are_refused(strict, fn, qualname):
    # Another test in this process may have left lines for "<string>" in linecache.
    linecache.cache.pop("<string>", None)
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(fn)
    assert caught.value.reason == f"the source of {qualname}() isn't available"
    assert caught.value.column == 0


def test_reading_the_same_function_twice_gives_the_same_text(parser, tmp_path):
    fn = load(tmp_path, "def f(a):\n    import os.path\n    del a\n")
    lang = wuna.Language(parser)
    first = lang.ir(fn)
    assert lang.ir(fn) == first
    other = wuna.Language(parser)
    assert other.ir(fn) == first


def test_a_lenient_language_keeps_the_reason(parser, tmp_path):
    fn = load(tmp_path, "def f(node):\n    del node.b\n")
    lang = wuna.Language(parser)
    lang.eval("Print")(fn)
    assert lang.python_semantics() == {
        "f": f"{fn.__code__.co_filename}:2:9: in f(): `del` of Attribute can't be compiled"}


def test_reading_again_and_again_keeps_no_reference(parser, tmp_path):
    fn = load(tmp_path, "def f(a):\n    import os\n")
    before = sys.getrefcount(fn)
    for _ in range(200):
        lang = wuna.Language(parser)
        lang.ir(fn)
        del lang
    gc.collect()
    assert sys.getrefcount(fn) == before
