"""Python functions that compiled code calls at run time - helpers reached through rt.call
(too big to inline: the call site's entry cell), host functions of the program - are compiled
into the run's module on their first call and called natively from then on. Each program runs
in 'python' and 'compiled' mode with the same printed values and error text; with the
crossings report on, a compiled function adds no "python function <name>" crossing and is not
listed in report()["python_functions"], while one that can't be compiled is listed with its
reason, tallied per call, and still gives the reference result through Python."""
import pytest

import wuna
from support import small_language


def pc_blend(a, b):
    """More than 40 expression nodes: rt.call takes the entry-cell road, not the inline one."""
    if a == 13:
        raise ValueError("unlucky " + str(b))
    x = a * 3 + b * 5 - (a // 7) * 2 + (a % 5) * (b % 3) + (a - b) // 4
    y = (x % 11) * (x % 13) + (x // 17) - (a % 19) * (b + 2) + x * 2 - a * 3 + b
    z = (x + y) % 997 + (x - y) % 991 + (x * y) % 983 + (x % 7) * (y % 5) - (x // 3)
    if z % 2 == 0:
        z = z // 2 + (x % 3) * (y % 3) + (a % 4) * 7 + b * b - x % 9
    return z


def pc_refused(a, b):
    """The front end refuses a del of a slice: the function runs as Python."""
    items = [a, b, a + b]
    del items[0:1]
    return items[0] * 100 + items[1]


def pc_escape(rt, a):
    """Raises rt.Return out of a function called with rt.call when a > 3."""
    if a > 3:
        raise rt.Return(a)
    return a * 2


def pc_make_adder(k):
    def pc_add(a, b):
        return a + b + k
    return pc_add


PC_ADDERS = [pc_make_adder(1000), pc_make_adder(2000)]


def pc_score(a):
    """A host function of the program: a loop over its argument."""
    t = 0
    i = 0
    while i < a:
        t = t + i * i - (i % 3) * 2 + (i // 2) * (a % 5) + (t % 7) - (i * 3) % 11
        i = i + 1
    return t


def pc_count_to(n):
    """A host function whose result is a plain Python int (it crosses as the language's)."""
    return sum(range(n))


def make_language(printed, plus):
    """The small language whose '+' calls plus(a, b) through rt.call, '-' calls
    pc_escape(rt, a) and '/' divides; the program calls the host functions pc_score and
    pc_count_to."""
    lang = small_language.make_language(printed, hosts=[pc_score, pc_count_to])

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        if node.op == "+":
            return rt.call(plus, [a, b])
        if node.op == "-":
            return rt.call(pc_escape, [rt, a])
        return a // b

    return lang


def outcome(source, plus, mode):
    """(printed, error text or None), the crossings and the semantics run as Python."""
    printed = []
    lang = make_language(printed, plus)
    program = lang.load(source, "prog.sl")
    try:
        program.run(mode, report=True)
        error = None
    except wuna.Error as caught:
        error = str(caught)
    report = program.report()
    return (printed, error), report, lang.python_semantics()


def crossed(report, f):
    return report["python_crossings"].get("python function " + f.__qualname__, 0)


@pytest.mark.parametrize("source, plus, printed", [
    ("print 1 + 2; print 5 + 7; x = 40; print x + x;", pc_blend,
     [pc_blend(1, 2), pc_blend(5, 7), pc_blend(40, 40)]),
    ("print pc_score(7); print pc_score(9); print pc_score(0);", pc_blend,
     [pc_score(7), pc_score(9), 0]),
    # A Python int result comes back as the language's int: it adds like one.
    ("print pc_count_to(5) + 1; print pc_count_to(100);", pc_blend,
     [pc_blend(10, 1), 4950]),
    # The compiled function runs in a program function too.
    ("def f(a) { return a + 3; } print f(2); print f(9);", pc_blend,
     [pc_blend(2, 3), pc_blend(9, 3)]),
], ids=["rt.call", "host", "host-int", "in-function"])
def test_a_function_called_from_compiled_code_runs_compiled(source, plus, printed):
    expected, _, _ = outcome(source, plus, "python")
    assert expected == (printed, None)
    got, report, semantics = outcome(source, plus, "compiled")
    assert got == expected
    assert semantics == {}
    for f in (plus, pc_score, pc_count_to):
        assert crossed(report, f) == 0
        assert f.__qualname__ not in report["python_functions"]


def test_a_python_exception_inside_the_compiled_function_reaches_the_program():
    source = "print 1 + 2; print 13 + 4; print 3 + 3;"
    expected, _, _ = outcome(source, pc_blend, "python")
    assert expected[0] == [pc_blend(1, 2)]
    assert "pc_blend: ValueError: unlucky 4" in expected[1]
    got, report, _ = outcome(source, pc_blend, "compiled")
    assert got == expected
    assert crossed(report, pc_blend) == 0


def test_a_host_functions_own_exception_reaches_the_program():
    # A str is no range bound: Python's own TypeError, worded by the host function's name.
    source = 'print pc_count_to(3); print pc_count_to("x");'
    expected, _, _ = outcome(source, pc_blend, "python")
    assert expected[0] == [3] and "TypeError" in expected[1]
    got, _, _ = outcome(source, pc_blend, "compiled")
    assert got == expected


def test_an_rt_jump_escaping_the_compiled_function_is_the_rt_call_failure():
    got, report, semantics = outcome("print 1 - 2; print 5 - 1; print 7;", pc_blend, "compiled")
    assert got[0] == [2]
    assert got[1].startswith("prog.sl:1:20: error[runtime]: rt.Return, rt.Break or rt.Continue "
                             "raised out of a function called with rt.call")
    # Compiled with its rt argument (not through Python).
    assert crossed(report, pc_escape) == 0 and semantics == {}


def test_a_function_that_cant_be_compiled_runs_as_python_with_its_reason():
    source = "print 1 + 2; print 4 + 5; print 6 + 0;"
    expected, _, _ = outcome(source, pc_refused, "python")
    assert expected == ([203, 509, 6], None)
    got, report, _ = outcome(source, pc_refused, "compiled")
    assert got == expected
    assert report["python_functions"]["pc_refused"] == "`del` of a slice can't be compiled"
    # Never compiled again: every call goes through Python and is counted.
    assert crossed(report, pc_refused) == 3


def test_a_host_function_called_with_too_few_arguments_gets_pythons_error():
    source = "print pc_score(2); print pc_score();"
    expected, _, _ = outcome(source, pc_blend, "python")
    assert expected[0] == [pc_score(2)]
    assert "pc_score() missing 1 required positional argument: 'a'" in expected[1]
    got, report, _ = outcome(source, pc_blend, "compiled")
    assert got == expected


def pc_make_capped(max):
    """The free variable is named like a builtin: the analyses would take it for max()."""
    def pc_capped(a, b):
        return a + b if a + b < max else max
    return pc_capped


PC_CAPPED = pc_make_capped(5)


def pc_pick_capped(a):
    return PC_CAPPED


def closure_outcome(source, mode, pick):
    """'+' calls pick(a)(a, b) through rt.call, the closure chosen at run time."""
    printed = []
    lang = small_language.make_language(printed)

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        return rt.call(pick(a), [a, b])

    program = lang.load(source, "prog.sl")
    program.run(mode, report=True)
    assert lang.python_semantics() == {}
    return printed, program.report()


def pc_pick_adder(a):
    return PC_ADDERS[a % 2]


def test_closures_of_one_def_share_an_entry_that_reads_each_ones_cells():
    source = "print 1 + 2; print 2 + 2; print 3 + 4; print 8 + 0;"
    expected, _ = closure_outcome(source, "python", pc_pick_adder)
    assert expected == [2003, 1004, 2007, 1008]
    got, report = closure_outcome(source, "compiled", pc_pick_adder)
    assert got == expected
    assert crossed(report, PC_ADDERS[0]) == 0
    assert "pc_make_adder.<locals>.pc_add" not in report["python_functions"]


def pc_make_nested(k):
    """A nested function would read k as it was while compiling."""
    def pc_nesting(a, b):
        def pc_shift(x):
            return x + k
        return pc_shift(a) + pc_shift(b) * 2
    return pc_nesting


PC_NESTINGS = [pc_make_nested(1000), pc_make_nested(2000)]


def pc_pick_nesting(a):
    return PC_NESTINGS[a % 2]


@pytest.mark.parametrize("pick, name, reason, expected", [
    (pc_pick_capped, "pc_make_capped.<locals>.pc_capped",
     "in pc_capped(): a free variable named like a global or builtin can't be compiled",
     [3, 4, 5, 5]),
    (pc_pick_nesting, "pc_make_nested.<locals>.pc_nesting",
     "in pc_nesting(): a nested function in a function with free variables can't be compiled",
     [6005, 3006, 6011, 3008]),
], ids=["shadowing", "nested"])
def test_a_closure_whose_cells_cant_be_read_runs_as_python_with_its_reason(pick, name, reason,
                                                                         expected):
    source = "print 1 + 2; print 2 + 2; print 3 + 4; print 8 + 0;"
    assert closure_outcome(source, "python", pick)[0] == expected
    got, report = closure_outcome(source, "compiled", pick)
    assert got == expected
    assert report["python_functions"][name].endswith(reason)
    assert report["python_crossings"]["python function " + name] == 4


class PcScale:
    def __init__(self, k):
        self.k = k

    def pc_scaled(self, a):
        t = 0
        i = 0
        while i < a:
            t = t + i * self.k - (i % 3) * 2 + (i // 2) * (a % 5) + (t % 7) - (i * 3) % 11
            i = i + 1
        return t


def test_a_bound_method_is_compiled_as_its_function_with_self_first():
    pc_scaled = PcScale(3).pc_scaled
    outcomes = []
    for mode in ("python", "compiled"):
        printed = []
        lang = small_language.make_language(printed, hosts=[pc_scaled])
        program = lang.load("print pc_scaled(5); print pc_scaled(8);", "prog.sl")
        program.run(mode, report=True)
        outcomes.append(printed)
    assert outcomes == [[19, 76], [19, 76]]
    report = program.report()
    assert crossed(report, PcScale.pc_scaled) == 0
    assert "PcScale.pc_scaled" not in report["python_functions"]
