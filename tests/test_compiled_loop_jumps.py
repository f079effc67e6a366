"""Jumps out of loops in compiled programs: break, continue and return raised by a statement
inside a loop's body, at the top level of the program, in functions, in nested loops and under
try/finally, give the reference mode's output and errors; the loop semantics, which drive the
body with rt.loop, compile (they are not among Language.python_semantics()), with their rt
calls compiled at the site rather than called on a run-time rt."""
import functools

import pargo
import pytest

import wuna
from support.toy import GRAMMAR as TOY_GRAMMAR
from support.toy import make_rules, toy

# Toy with for loops over a range and try/finally.
GRAMMAR = (TOY_GRAMMAR
           .replace("| Block | Assign | Shown", "| Block | Assign | Shown | For | Try")
           .replace("Shown = value:Expr ';'",
                    "Shown = value:Expr ';'\n"
                    "For = 'for' var:Name 'in' lo:Expr '..' hi:Expr body:Block\n"
                    "Try = 'try' body:Block 'finally' final:Block")
           .replace("| 'continue'", "| 'continue' | 'for' | 'in' | 'try' | 'finally'"))


@functools.lru_cache(maxsize=None)
def parser():
    return pargo.compile(GRAMMAR)


def make_language(held=False, python_jumps=False):
    """Toy's loops drive their bodies with rt.loop, and so does For; out(x) appends x to
    lang.printed. With held, the loops and try statements reach rt through a variable they
    assign, which compiled code keeps as a run-time value: their rt calls are method calls at
    run time. With python_jumps, break and continue run as Python (their jump reaches compiled
    code through the bridge)."""
    rules = make_rules(parser(), declare={"For.var": "variable"})
    lang = toy(rules, parser=parser())

    @lang.exec("For")
    def for_(node, rt):
        for i in range(rt.eval(node.lo), rt.eval(node.hi)):
            rt.store(node.var, i)
            if not rt.loop(node.body):
                break

    @lang.exec("Try")
    def try_(node, rt):
        try:
            rt.exec(node.body)
        finally:
            rt.exec(node.final)

    if held:
        @lang.exec("While")
        def while_(node, rt):
            r = None
            while rt.eval(node.cond):
                r = rt
                if not r.loop(node.body):
                    break

        @lang.exec("For")
        def for_(node, rt):
            r = None
            for i in range(rt.eval(node.lo), rt.eval(node.hi)):
                r = rt
                r.store(node.var, i)
                if not r.loop(node.body):
                    break

        @lang.exec("Try")
        def try_(node, rt):
            r = None
            r = rt
            try:
                r.exec(node.body)
            finally:
                r.exec(node.final)

    if python_jumps:
        @lang.exec("Break", native=False)
        def break_(node, rt):
            raise rt.Break()

        @lang.exec("Continue", native=False)
        def continue_(node, rt):
            raise rt.Continue()

    return lang


# The loops, and Toy's Return, which asks isinstance(value, wuna.Node) before rt.kind(value):
# decided while compiling, so it compiles for a value that is no node too.
LOOPS = ["while_", "for_", "ret"]

# Each program prints what it did; those marked * also end in a failure whose text must agree.
PROGRAMS = {
    "top_while_break":
        "var i = 0; while i < 5 { i = i + 1; if i == 3 { break; } } out(i);",
    "top_while_continue":
        "var i = 0; var s = 0; while i < 5 { i = i + 1; if i == 2 { continue; } s = s + i; }"
        " out(s); out(i);",
    "top_while_break_first_statement":
        "var i = 0; while i < 5 { if i == 2 { break; } i = i + 1; } out(i);",
    "top_for_break":
        "var s = 0; for k in 0 .. 10 { s = s + k; if k == 4 { break; } } out(s); out(k);",
    "top_for_continue":
        "var s = 0; for k in 0 .. 6 { if k == 3 { continue; } s = s + k; } out(s);",
    "top_nested_break_inner":
        "var n = 0; var i = 0; while i < 3 { i = i + 1; for j in 0 .. 5 { if j == 2 { break; }"
        " n = n + 1; } } out(n); out(i);",
    "top_nested_continue_outer":
        "var n = 0; for a in 0 .. 4 { var j = 0; while j < 3 { j = j + 1; n = n + j; }"
        " if a == 1 { continue; } n = n + 100; } out(n);",
    "function_while_return":
        "def f(x) { while 1 { return 5; } return 0; } out(f(1));",
    "function_while_break":
        "def f(x) { var i = 0; while i < x { i = i + 1; if i == 3 { break; } } return i; }"
        " out(f(10)); out(f(2));",
    "function_for_return":
        "def f(x) { for k in 0 .. 10 { if k == x { return k * 10; } } return 99; }"
        " out(f(4)); out(f(20));",
    "function_nested_return":
        "def f(x) { var i = 0; while i < 4 { i = i + 1; for k in 0 .. 4 { if k * i == x"
        " { return i * 10 + k; } } } return 0; } out(f(6)); out(f(7));",
    "function_for_continue":
        "def f(x) { var s = 0; for k in 0 .. x { if k == 2 { continue; } s = s + k; }"
        " return s; } out(f(5));",
    "recursion_in_loop":
        "def f(x) { var i = 0; while 1 { if x < 1 { return 0; } i = i + f(x - 1) + 1;"
        " if i < 3 { continue; } return i; } } out(f(3));",
    "top_try_finally_break":
        "var i = 0; while i < 5 { i = i + 1; try { if i == 2 { break; } out(i); }"
        " finally { out(100 + i); } } out(i);",
    "top_try_finally_continue":
        "for k in 0 .. 3 { try { if k == 1 { continue; } out(k); } finally { out(10 + k); } }",
    "function_try_finally_return":
        "def f(x) { for k in 0 .. 5 { try { if k == x { return k; } } finally { out(k); } }"
        " return 9; } out(f(2)); out(f(7));",
    "loop_inside_try_finally":
        "def f(x) { try { while 1 { x = x + 1; if 3 < x { return x; } } } finally"
        " { out(0 - x); } } out(f(1));",
    "function_tail_return":
        "def g(x) { return x + 1; } def f(x) { while 1 { return g(x); } } out(f(4));",
    "function_try_finally_return_no_loop":
        "def f(x) { try { return x + 1; } finally { out(0); } } out(f(1));",
    "failure_in_loop*":
        "var i = 0; while i < 5 { i = i + 1; out(10 / (3 - i)); } out(i);",
    "failure_in_function_loop*":
        "def f(x) { for k in 0 .. 5 { out(x / (2 - k)); } } f(8);",
}

# A top-level program's loop over a condition known at run time, as a program function's.
IN_FUNCTION = {
    "top": "var i = 0; while i < 5 { i = i + 1; if i == 3 { break; } } out(i);",
    "function": "def f() { var i = 0; while i < 5 { i = i + 1; if i == 3 { break; } }"
                " out(i); } f();",
}


def outputs(source, held=False, python_jumps=False):
    """(printed, and the failure's text if any, per mode), python_semantics() after the
    compiled run, the compiled program."""
    results = []
    for mode in ("python", "compiled"):
        lang = make_language(held, python_jumps)
        program = lang.load(source, "t")
        try:
            program.run(mode)
        except wuna.Error as e:
            lang.printed.append(str(e))
        results.append(lang.printed)
    return results[0], results[1], lang.python_semantics(), program


@pytest.mark.parametrize("source", PROGRAMS.values(), ids=PROGRAMS.keys())
def test_a_jump_out_of_a_loop_runs_as_in_the_reference_mode(source):
    python, compiled, semantics, _ = outputs(source)
    assert compiled == python
    assert not set(LOOPS) & set(semantics), semantics


# Through a run-time rt too: a jump out of r.loop's body (a return out of the function, a
# tail call) comes back from the method call as its exception object and goes on as the jump.
HELD = PROGRAMS


@pytest.mark.parametrize("source", HELD.values(), ids=HELD.keys())
def test_loops_through_a_run_time_rt_see_the_top_levels_variables(source):
    # r.loop(body), r.store(...) on an rt kept in a variable run through the frame: the top
    # level's variables kept in registers go there before the call and are read back after.
    python, compiled, semantics, _ = outputs(source, held=True)
    assert compiled == python
    assert not set(LOOPS + ["try_"]) & set(semantics), semantics


@pytest.mark.parametrize("name", PROGRAMS.keys())
def test_the_reference_mode_runs_each_program(name):
    python, _, _, _ = outputs(PROGRAMS[name])
    failed = isinstance(python[-1], str)
    assert failed == name.endswith("*"), python


@pytest.mark.parametrize("source", IN_FUNCTION.values(), ids=IN_FUNCTION.keys())
def test_the_loops_rt_calls_are_compiled_at_their_site(source):
    # A run-time rt would reach its methods through wn_call_method, where a jump out of the
    # body comes back as a failure: the loop's code has no method call at all.
    python, compiled, _, program = outputs(source)
    assert compiled == python == [3]
    assert "call i1 @wn_call_method" not in program.compiled_ir()



# A break or continue that leaves a function's body: the runtime error is reported at the call
# of the function (where the reference mode's function call fails), with the same call stack.
OUTSIDE = {
    "break_in_function":
        "def f() { out(2); break; } f();",
    "continue_in_function":
        "def f() { out(2); continue; } out(1); f();",
    "break_in_branch":
        "def f(x) { if x { break; } return 1; } out(f(0)); out(f(1));",
    "called_in_a_loop":
        "def g() { break; } def f() { var i = 0; while i < 2 { i = i + 1; g(); } } f(); out(3);",
    "recursion":
        "def g(n) { if n < 1 { continue; } return g(n - 1) + 1; } out(g(3));",
    "called_twice_in_one_expression":
        "def g(n) { if n == 2 { break; } return n; } out(g(1) + g(2));",
    # f is called often enough to run through its typed entry before the jump
    "hot_function":
        "def f(x) { if x == 300 { break; } return x; } var i = 0; var s = 0;"
        " while i < 400 { i = i + 1; s = s + f(i); } out(s);",
    "lambda":
        "var h = lambda(x) { if 1 < x { continue; } return x; }; out(h(1)); out(h(2));",
}


@pytest.mark.parametrize("held", [False, True], ids=["rt", "held_rt"])
@pytest.mark.parametrize("python_jumps", [False, True], ids=["compiled", "python_jump"])
@pytest.mark.parametrize("source", OUTSIDE.values(), ids=OUTSIDE.keys())
def test_a_jump_out_of_a_function_fails_at_the_call(source, held, python_jumps):
    python, compiled, _, _ = outputs(source, held, python_jumps)
    assert isinstance(python[-1], str) and "break or continue outside a loop" in python[-1]
    assert compiled == python
