"""Forms of ordinary semantics that compile: each case is a small language run in the reference
mode and compiled, with the same output, and the semantic under test is not among those the
compiled run sends to Python (Language.python_semantics()).

- a jump (rt.Return, rt.Break, rt.Continue) raised by a semantic that runs as Python, inside
  semantics compiled inline around it: it travels as a compiled raise of it would (caught by
  their handlers of rt jumps, else leaving the function);
- node.find(kind) on a node known while compiling: a method call on the node;
- a local assigned at the top of a run-time loop body or of an except handler, read after that
  in the same body;
- type(x) is wuna.Node of a node known while compiling, and isinstance(x, wuna.Node) of any
  value known while compiling, decided then (the other branch, which can't be compiled for
  that value, is left out);
- rt.tail_call inside a loop of a program function's semantic;
- a str constant with lone surrogates (no native form): the semantic runs as Python, with
  the same result, instead of the run failing;
- the variables of the scopes around a node run through the run-time dispatch (a thunk), and
  rt.receiver / rt.varargs read there (the Lua example's methods and varargs).
"""
import contextlib
import gc
import io
import sys

import pytest

import wuna
from support.lua import LUA_DIR
from support.reraising_blocks import register_block
from support.small_language import make_language
from support.toy import toy

def language(printed):
    """The small language (functions, calls, sums, print); cases register their semantics
    over its own."""
    return make_language(printed)


def both_modes(make, source):
    """(printed in the reference mode, printed compiled, python_semantics() after the compiled
    run); a run's failure is printed as its text."""
    outputs = []
    for mode in ("python", "compiled"):
        printed = []
        lang = make(printed)
        program = lang.load(source, "t")
        try:
            program.run(mode)
        except wuna.Error as e:
            printed.append(str(e))
        outputs.append(printed)
    return outputs[0], outputs[1], lang.python_semantics()


def with_python_return(printed, catch):
    """Return runs as Python; a compiled Block semantic runs the statements around it, and with
    catch the program's compiled semantic receives an rt.Return that reaches the top."""
    lang = language(printed)

    @lang.exec("Return", native=False)
    def return_(node, rt):
        raise rt.Return(rt.eval(node.value))

    @lang.exec("Block")
    def block(node, rt):
        for s in node.stmts:
            rt.exec(s)

    if catch:
        @lang.exec("Program")
        def program(node, rt):
            try:
                rt.exec(node.stmts)
            except rt.Return as r:
                printed.append(("returned", r.args[0]))

    return lang


RETURNS = """
def f(x) { print x; return x + 1; print 99; }
def g(x) { return f(x) + 10; }
print g(1);
"""


@pytest.mark.parametrize("catch", [False, True], ids=["from_function", "caught_at_top"])
def test_a_python_semantics_return_leaves_the_compiled_semantics_around_it(catch):
    source = RETURNS + ("return 7; print 8;" if catch else "")
    python, compiled, sent = both_modes(lambda p: with_python_return(p, catch), source)
    assert compiled == python
    assert python[-1] == (("returned", 7) if catch else 12)
    assert "block" not in sent and "program" not in sent


def finds(printed):
    lang = language(printed)

    @lang.exec("Program")
    def program(node, rt):
        names = node.find("Name")
        printed.append(len(names))
        for name in names:
            printed.append(rt.text(name))
        printed.append(len(node.find("NoSuchKind")))
        rt.exec(node.stmts)

    return lang


def test_node_find_on_a_known_node_lists_the_nodes_of_the_kind():
    python, compiled, sent = both_modes(finds, "a = 1; print a + a; def f(x) { print x; }")
    assert compiled == python == [6, "a", "a", "a", "f", "x", "x", 0, 2]
    assert "program" not in sent


def loops(printed):
    lang = language(printed)

    @lang.exec("Print")
    def print_(node, rt):
        i = 0
        total = 0
        while i < 3:
            v = rt.eval(node.value) + i
            total = total + v
            i = i + 1
        for w in [node.value, node.value]:
            x = rt.eval(w)
            total = total + x
        r = 0
        try:
            r = 10 // (rt.eval(node.value) - 1)
        except ZeroDivisionError:
            q = -1
            r = q
        printed.append((total, r))

    return lang


def test_a_local_assigned_at_the_top_of_a_loop_body_or_handler_is_read_after_it():
    python, compiled, sent = both_modes(loops, "print 1; print 3;")
    assert compiled == python == [(8, -1), (18, 5)]
    assert "print_" not in sent


def known_node_types(printed):
    lang = language(printed)

    def binary_op(rt, x):
        # For a node known while compiling the first test is decided then; x.left of a Name
        # node would be None, whose kind can't be compiled.
        if type(x) is not wuna.Node or rt.kind(x) != "Binary":
            return "-"
        return rt.kind(x.left)

    @lang.exec("Print")
    def print_(node, rt):
        printed.append((binary_op(rt, node.value), type(node.value) is wuna.Node,
                        rt.eval(node.value)))

    return lang


def test_type_is_node_of_a_node_known_while_compiling_is_decided_then():
    python, compiled, sent = both_modes(known_node_types, "a = 2; print a; print a + 1; print 5;")
    assert compiled == python == [("-", True, 2), ("Name", True, 3), ("-", False, 5)]
    assert "print_" not in sent


def known_node_instances(printed):
    lang = language(printed)

    def binary_op(rt, x):
        # As above, with isinstance: a number known while compiling is no node, so the kind
        # test (which can't be compiled for a number) is left out.
        if not isinstance(x, wuna.Node) or rt.kind(x) != "Binary":
            return "-"
        return rt.kind(x.left)

    @lang.exec("Print")
    def print_(node, rt):
        printed.append((binary_op(rt, node.value), isinstance(node.value, (wuna.Node, str)),
                        rt.eval(node.value)))

    return lang


def test_isinstance_of_wuna_node_of_a_value_known_while_compiling_is_decided_then():
    python, compiled, sent = both_modes(known_node_instances,
                                        'a = 2; print a; print a + 1; print 5; print "s";')
    assert compiled == python == [("-", True, 2), ("Name", True, 3), ("-", False, 5),
                                  ("-", True, "s")]
    assert "print_" not in sent


def tail_calls_in_loops(printed):
    lang = language(printed)

    @lang.exec("Return")
    def return_(node, rt):
        v = node.value
        while True:
            if rt.kind(v) == "Call":
                rt.tail_call(rt.eval(v.callee), [rt.eval(a) for a in v.args])
            raise rt.Return(rt.eval(v))

    return lang


def test_rt_tail_call_inside_a_loop_of_a_function():
    source = """
    def g(x) { return x + 1; }
    def f(x) { return g(x + 10); }
    print f(1); print f(f(2));
    """
    python, compiled, sent = both_modes(tail_calls_in_loops, source)
    assert compiled == python == [12, 24]
    assert "return_" not in sent


LUA = """
local function count(...) return select('#', ...), ... end
print(count(1, 2, 3))
local Account = {balance = 10}
function Account:deposit(v) self.balance = self.balance + v; return self end
print(Account:deposit(5):deposit(1).balance)
local base = 100
local function outer() local inner = 1; return function() return base + inner end end
print(outer()())
"""


def test_lua_variables_receivers_and_varargs_compile():
    sys.path.insert(0, str(LUA_DIR))
    try:
        import lua
    finally:
        sys.path.remove(str(LUA_DIR))
    outputs = []
    for mode in ("python", "compiled"):
        program = lua.language.load(LUA, "forms.lua")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            program.run(mode)
        outputs.append(out.getvalue())
    assert outputs[1] == outputs[0] == "3\t1\t2\t3\n16\n101\n"
    sent = lua.language.python_semantics()
    assert "variable_value" not in sent and "vararg_value" not in sent


def surrogate_constants(printed):
    lang = language(printed)

    @wuna.comptime
    def raw(text):
        return text + "\udcff"

    @lang.exec("Print")
    def print_(node, rt):
        printed.append(ascii(raw("é") + str(rt.eval(node.value))))

    return lang


def test_a_constant_str_with_lone_surrogates_runs_as_python_with_the_same_result():
    # Such a str has no UTF-8, so no native form: the semantic that needs it is refused and
    # runs as Python, instead of the run failing on the conversion.
    python, compiled, sent = both_modes(surrogate_constants, "print 4;")
    assert compiled == python == [ascii("\xe9\udcff4")]
    assert "lone surrogates" in sent["print_"]


# ---- a bare raise in a handler that may have caught an rt jump -------------------------------

REJUMPS = {
    # the function's return passes through a try whose handler catches everything and re-raises
    "return": "def f() { try { return 5; } catch { print 0; } print 1; return 2; }\nprint f();\n",
    # nothing is caught: the handler never runs
    "no_jump": "def f() { try { print 3; } catch { print 0; } return 2; }\nprint f();\n",
}


def reraising_try(printed):
    """Try's semantic notes every exception passing through its body and raises it again, as
    a semantic closing a resource does."""
    lang = language(printed)

    @lang.exec("Try")
    def try_(node, rt):
        try:
            rt.exec(node.body)
        except BaseException:
            printed.append("passing")
            raise

    return lang


@pytest.mark.parametrize("source", REJUMPS.values(), ids=REJUMPS.keys())
def test_an_rt_jump_raised_again_by_a_bare_raise_stays_the_jump(source):
    # Compiled, the re-raised rt.Return once became the run's failure "Return: 5"; the handler
    # now issues the jump it received again, and the semantic runs compiled.
    python, compiled, semantics = both_modes(reraising_try, source)
    assert compiled == python
    assert "try_" not in semantics


# ---- a re-raised rt jump in loops, functions and nested try statements -----------------------

def reraising_block(variant):
    """A Toy language whose Block semantic runs its statements inside a try whose broad handler
    notes what passes and raises it again (variant: the shape of that try, one of
    support.reraising_blocks)."""

    def make():
        lang = toy(tail=False)
        printed = lang.printed  # what out() shows and what the handlers note, in order

        # Compiled too (the Toy's own runs its operators from a dict, as Python): a semantic
        # run as Python may leave a tail call pending, which a broad handler would receive.
        @lang.eval("Binary")
        def binary(node, rt):
            a, b, op = rt.eval(node.left), rt.eval(node.right), node.op
            if op == "+":
                return a + b
            if op == "-":
                return a - b
            if op == "*":
                return a * b
            if op == "/":
                return a // b
            if op == "<":
                return a < b
            return a == b

        def note(*what):
            printed.append(what[0] if len(what) == 1 else what)

        register_block(lang, variant, note)
        lang.host(note)
        return lang

    return make


def toy_outputs(make, source):
    """(printed and the run's error per mode, python_semantics() after the compiled run)."""
    outputs = []
    for mode in ("python", "compiled"):
        lang = make()
        try:
            lang.load(source, "t").run(mode)
        except wuna.Error as e:
            lang.printed.append(str(e))
        outputs.append(lang.printed)
    return outputs[0], outputs[1], lang.python_semantics()


RERAISED = {
    "break": "def f() { var i = 0; while i < 5 { i = i + 1; if i == 3 { break; } out(i); }"
             " out(i); }\nf();",
    "continue": "def f() { var i = 0; while i < 4 { i = i + 1; if i == 2 { continue; } out(i); }"
                " out(i); }\nf();",
    "return_value": "def f(x) { if x == 1 { { return 10; } } { return x * 10; } }\n"
                    "out(f(1)); out(f(3));",
    "failure": "def f(x) { out(x); out(10 / x); }\nf(5); f(0); out(1);",
    "no_jump": "{ out(1); { out(2); } }",
}


@pytest.mark.parametrize("variant", ["reraise", "raise_name", "finally", "raise_in_finally_try",
                                     "outer_catches"])
@pytest.mark.parametrize("source", RERAISED.values(), ids=RERAISED.keys())
def test_a_bare_raise_issues_the_caught_rt_jump_again(variant, source):
    python, compiled, semantics = toy_outputs(reraising_block(variant), source)
    assert compiled == python
    assert "block" not in semantics


def live_jumps():
    return sum(isinstance(o, (wuna.Return, wuna.Break, wuna.Continue)) for o in gc.get_objects())


@pytest.mark.parametrize("variant", ["reraise", "raise_name", "outer_catches"])
def test_a_raised_again_jump_leaves_no_block_or_exception_behind(variant):
    # The handler's caught object, the carried value and the object raised by name are each
    # released once: later runs leave the counts where the first left them.
    source = ('def f(x) { if x == 1 { { return "v" + "w"; } } { return "u" + "x"; } }\n'
              'var i = 0; while i < 3 { i = i + 1; if i == 2 { continue; } out(f(i)); }')
    lang = reraising_block(variant)()
    program = lang.load(source, "t")
    program.run("compiled")
    wuna.collect()
    gc.collect()
    before = wuna._blocks(), live_jumps()
    for _ in range(3):
        program.run("compiled")
    wuna.collect()
    gc.collect()
    assert (wuna._blocks(), live_jumps()) == before
    assert "vw" in lang.printed and "ux" in lang.printed
