"""Nested defs and lambdas of compiled semantics used as values: a sort key, a callback a host
function calls, a closure over a semantic's local returned and called later (reading and, with
`nonlocal`, writing that local), a recursive def handed out, lambdas made in a comprehension
and a loop, and the errors such functions raise or meet (their own raise, a wrong argument
count, a division by zero inside a sort key) through every road: a semantic's own call, rt.call
and a host function. Each program runs in 'python' and 'compiled' mode and must print the same
values and fail with the same error; the semantics must run compiled."""
import gc

import nomos
import pargo
import pytest

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = Print | Assign
Print = 'print' value:Expr ';'
Assign = name:Name '=' value:Expr ';'
@silent Expr = Sum
@fold Sum = left:Atom (op:Op right:Atom)* -> Binary
@lift Atom = Sort | Adder | Counter | Maker | Fact | Spread | Loop | Early | Each | Call
           | Number | Name | Paren
Sort = 'sort' '(' items:Expr (',' items:Expr)* ')'
Adder = 'adder' '(' value:Expr ')'
Counter = 'counter' '(' value:Expr ')'
Maker = 'maker' '(' value:Expr ')'
Fact = 'fact' '(' value:Expr ')'
Spread = 'spread' '(' items:Expr (',' items:Expr)* ')'
Loop = 'loop' '(' value:Expr ')'
Early = 'early' '(' value:Expr ')'
Each = 'each' '(' value:Expr ')'
Call = callee:Name '(' (args:Expr (',' args:Expr)*)? ')'
Paren = '(' Expr ')'
@token Op = '+' | '-' -> str
@token Number = [0-9]+ -> int
@token Name = !Keyword [a-z_] [a-z_0-9]*
@token Keyword = ('print' | 'sort' | 'adder' | 'counter' | 'maker' | 'fact' | 'spread'
                 | 'loop' | 'early' | 'each') ![a-z_0-9]
@skip Space = [ \t\n]+
"""

SEMANTICS = ["sort", "adder", "counter", "maker", "fact", "spread", "loop", "early", "each"]

_PARSER = []


def apply(f, x):
    """A host function the compiled code may compile itself: it calls f as compiled code."""
    return f(x)


def nums(n):
    """A list only known at run time."""
    return list(range(n))


def twice(f, x):
    """A host function that stays Python (map): it calls f as a Python callable."""
    return list(map(f, [x, x + 1]))


def make_language(hosts=()):
    if not _PARSER:
        _PARSER.append(pargo.compile(GRAMMAR))
    parser = _PARSER[0]
    rules = nomos.Rules(parser, names=["Name"], assign={"Assign.name": "variable"},
                        undeclared="global",
                        builtins=["apply", "twice", "nums"] + [h.__name__ for h in hosts])
    lang = wuna.Language(parser, rules)
    printed = []

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        if node.op == "+":
            return a + b
        return a - b

    @lang.exec("Print")
    def print_(node, rt):
        printed.append(rt.eval(node.value))

    @lang.exec("Assign")
    def assign(node, rt):
        rt.store(node.name, rt.eval(node.value))

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), [rt.eval(a) for a in node.args])

    # Sorted by the remainder of 100 by the item, then by the item: a key that captures
    # nothing, and one that captures a local (the item count).
    @lang.eval("Sort")
    def sort(node, rt):
        items = [rt.eval(a) for a in node.items]
        m = len(items)
        by_rest = sorted(items, key=lambda x: (100 // x, x))
        return sorted(by_rest, key=lambda x: x % m) + [m]

    # A closure over the semantic's local, returned; it raises past 1000.
    @lang.eval("Adder")
    def adder(node, rt):
        n = rt.eval(node.value)

        def add(x):
            if x > 1000:
                raise ValueError("too big for " + str(n) + ": " + str(x))
            return x + n
        return add

    # A closure that writes the local it shares with the semantic, called once here.
    @lang.eval("Counter")
    def counter(node, rt):
        count = rt.eval(node.value)

        def step(by):
            nonlocal count
            count = count + by
            return count
        step(1)
        return step

    # A function that makes closures: two frames out.
    @lang.eval("Maker")
    def maker(node, rt):
        n = rt.eval(node.value)

        def outer(a):
            return lambda b: a * 100 + b * 10 + n
        return outer

    # A recursive def handed out.
    @lang.eval("Fact")
    def fact(node, rt):
        base = rt.eval(node.value)

        def f(k):
            if k <= 1:
                return base
            return k * f(k - 1)
        return f

    # Lambdas made in a comprehension share its variable, as Python's do.
    @lang.eval("Spread")
    def spread(node, rt):
        items = [rt.eval(a) for a in node.items]
        fs = [lambda y: y * k for k in items]
        total = 0
        for f in fs:
            total = total + f(1)
        return total

    # A lambda made on each turn of a loop over its own variable.
    @lang.eval("Loop")
    def loop(node, rt):
        total = 0
        for i in range(rt.eval(node.value)):
            g = lambda z: z + i
            total = total + g(total)
        return total

    # A closure that reads a variable its semantic assigns only on one path.
    @lang.eval("Early")
    def early(node, rt):
        g = lambda: late + 1
        if rt.eval(node.value) > 0:
            late = rt.eval(node.value)
        return g()

    # Lambdas made over a list known at run time only, in a comprehension and in a loop: each
    # sees its variable's last value, as Python's do.
    @lang.eval("Each")
    def each(node, rt):
        fs = [lambda y: y * k for k in rt.eval(node.value)]
        g = lambda: -1
        for v in rt.eval(node.value):
            g = lambda: v + 10
        return [f(1) for f in fs] + [g()]

    for host in (apply, twice, nums) + tuple(hosts):
        lang.host(host)
    return lang, printed


def outcome(source, mode):
    lang, printed = make_language()
    program = lang.load(source, "closures.x")
    try:
        program.run(mode)
    except wuna.Error as e:
        return printed, str(e), lang
    return printed, None, lang


CASES = [
    # Sort keys: the items sorted as Python sorts them; the count of items last.
    ("print sort(13, 2, 31, 5, 40);", [[40, 5, 31, 2, 13, 5]]),
    ("x = 4; x = x + 1; print sort(13, x, 7);", [[13, 7, 5, 3]]),
    # A closure returned, kept in a variable, called later through rt.call and by hosts.
    ("x = 4; x = x + 1; a = adder(x); print a(4); print apply(a, 10); print twice(a, 7);",
     [9, 15, [12, 13]]),
    # nonlocal: the closure and the semantic share the variable; later calls go on from it.
    ("c = counter(5); print c(2); print c(3); print twice(c, 10);", [8, 11, [21, 32]]),
    ("m = maker(7); b = m(3); print b(4); print apply(apply(m, 2), 9);", [347, 297]),
    ("f = fact(1); print f(5); print twice(f, 3); print apply(f, 1);", [120, [6, 24], 1]),
    ("print spread(2, 3, 4); print loop(4);", [12, 11]),
    # Two closures of one function keep their own frames.
    ("a = adder(1); b = adder(100); print a(1) + b(1);", [103]),
    ("print early(5);", [6]),
    ("print each(nums(3)); print each(nums(0));", [[2, 2, 2, 12], [-1]]),
]


@pytest.mark.parametrize("source, expected", CASES)
def test_nested_functions_as_values_give_what_python_gives(source, expected):
    printed, error, _ = outcome(source, "python")
    assert (printed, error) == (expected, None)
    printed, error, lang = outcome(source, "compiled")
    assert (printed, error) == (expected, None)
    compiled_as_python = lang.python_semantics()
    assert not set(SEMANTICS) & set(compiled_as_python), compiled_as_python


ERRORS = [
    # The closure's own raise, through rt.call and through a host that stays Python.
    ("a = adder(4); print a(2000);", "add: ValueError: too big for 4: 2000", "a(2000)"),
    ("a = adder(4); print twice(a, 2000);", "twice: ValueError: too big for 4: 2000",
     "twice(a, 2000)"),
    ("a = adder(4); print apply(a, 2000);", "too big for 4: 2000", "apply(a, 2000)"),
    # Python's texts of a call with the wrong number of arguments.
    ("a = adder(4); print a(1, 2);",
     "add: TypeError: make_language.<locals>.adder.<locals>.add() takes 1 positional "
     "argument but 2 were given", "a(1, 2)"),
    ("m = maker(1); print m();",
     "outer: TypeError: make_language.<locals>.maker.<locals>.outer() missing 1 required "
     "positional argument: 'a'", "m()"),
    # A free variable without a value yet: Python's NameError, in the running version's words.
    ("print early(0);", "free variable 'late'", "early(0)"),
    # A key that fails inside the sort: the error as the key raised it.
    ("x = 0; print sort(13, 2, x);", "division by zero", "sort(13, 2, x)"),
]


@pytest.mark.parametrize("source, text, where", ERRORS)
def test_errors_of_nested_functions_read_as_in_python(source, text, where):
    printed, python_error, _ = outcome(source, "python")
    assert python_error is not None and text in python_error
    assert source[source.index(where):].startswith(where)
    printed_compiled, compiled_error, lang = outcome(source, "compiled")
    assert (printed_compiled, compiled_error) == (printed, python_error)
    assert not set(SEMANTICS) & set(lang.python_semantics())


def test_a_closure_given_to_python_can_not_run_after_its_run():
    # The host keeps the function past the run: its code and frames belong to that run.
    kept = []

    def keep(f):
        kept.append(f)
        return 0

    lang, printed = make_language(hosts=[keep])
    program = lang.load("a = adder(4); print keep(a);", "closures.x")
    program.run("compiled")
    assert printed == [0] and len(kept) == 1
    with pytest.raises(RuntimeError, match="can only be called during its run"):
        kept[0](1)


def test_a_nested_function_that_keeps_rt_runs_as_python():
    # rt stands for the run's frame without holding it: a function value keeping it is not
    # compiled, and the semantic that makes one runs as Python, with the reason kept.
    lang, printed = make_language()

    @lang.eval("Counter")
    def counter(node, rt):
        v = rt.eval(node.value)
        return lambda: v + rt.eval(node.value)

    lang.load("c = counter(2); print 1;", "closures.x").run("compiled")
    assert printed == [1]
    reason = lang.python_semantics().get("counter", "")
    assert "rt read by a nested function isn't compiled yet" in reason


def test_function_values_and_their_frames_are_released():
    # Closures, the frames they keep, and the values those hold go when the run lets go of
    # them: runs again and again leave no block behind (the printed values dropped each time).
    lang, printed = make_language()
    programs = [lang.load(source, "closures.x") for source, _ in CASES]
    programs += [lang.load(source, "closures.x") for source, _, _ in ERRORS]

    def run_all():
        for program in programs:
            try:
                program.run("compiled")
            except wuna.Error:
                pass
            printed.clear()
        gc.collect()
        wuna.collect()

    run_all()
    before = wuna._blocks()
    for _ in range(3):
        run_all()
    assert wuna._blocks() == before
