"""Program.run('compiled') while the code generator compiles no semantic: every semantic is
found uncompilable, runs as Python through the bridge with its reason kept for
python_semantics() (a strict language raises CompileError instead), and the compiled top
level walks the program's tree as the reference mode does, with the same output and the same
errors; report() fills its counts from the module state; compiled_ir() shows the module; the
compiled Program.call finds the program's global functions."""
import functools

import pargo
import pytest

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = Print | Div | Boom | Group
Print = 'print' value:Num ';'
Div = 'div' value:Num ';'
Boom = 'boom' ';'
Group = '{' stmts:Stmt* '}'
@token Num = [0-9]+ -> int
@skip Space = [ \t\n]+
"""

@functools.lru_cache(maxsize=None)
def parser():
    return pargo.compile(GRAMMAR)


def make_language(printed, python=False, **options):
    """Semantics that read their node's fields only (no rt operation). With python, print and
    div delete a slice, which has no compiled form: they run as Python through the bridge."""
    lang = wuna.Language(parser(), **options)

    if python:
        @lang.exec("Print")
        def print_(node, rt):
            del printed[len(printed):]
            printed.append(node.value)

        @lang.exec("Div")
        def div(node, rt):
            del printed[len(printed):]
            printed.append(100 // node.value)
    else:
        @lang.exec("Print")
        def print_(node, rt):
            printed.append(node.value)

        @lang.exec("Div")
        def div(node, rt):
            printed.append(100 // node.value)

    @lang.exec("Boom")
    def boom(node, rt):
        raise ValueError("boom went the semantic")

    return lang


def outcome(program, printed, mode):
    """What a run printed and raised: (printed, exception type, its text)."""
    printed.clear()
    try:
        program.run(mode)
    except Exception as e:
        return list(printed), type(e), str(e)
    return list(printed), None, None


@pytest.mark.parametrize("source", [
    "",
    "print 1; print 2;",
    "print 1; { print 2; { print 3; } } print 4;",
    "print 1; div 4; div 0; print 5;",
    "print 7; boom; print 8;",
    "{ div 50; { boom; } }",
])
@pytest.mark.parametrize("mode", ["compiled", "auto"])
@pytest.mark.parametrize("python", [False, True])
def test_a_compiled_run_prints_and_fails_as_the_reference_mode_does(source, mode, python):
    printed = []
    program = make_language(printed, python).load(source)
    expected = outcome(program, printed, "python")
    assert outcome(program, printed, mode) == expected
    # Again, from the module the first compiled run made.
    assert outcome(program, printed, mode) == expected


def test_each_semantic_the_program_runs_goes_to_python_with_its_reason():
    printed = []
    lang = make_language(printed, python=True)
    lang.load("print 1; { div 2; }").run("compiled")
    reasons = lang.python_semantics()
    # boom's node is never in the program: its semantic was never refused.
    assert sorted(reasons) == ["div", "print_"]
    for name, reason in reasons.items():
        assert reason.startswith(f"{__file__}:"), reason
        assert f": in {name}(): " in reason
        assert reason.endswith("`del` of a slice can't be compiled")


def test_semantics_the_code_generator_compiles_are_not_run_as_python():
    printed = []
    lang = make_language(printed)
    program = lang.load("print 1; { div 2; }")
    program.run("compiled", report=True)
    assert printed == [1, 50]
    assert lang.python_semantics() == {}
    assert "py_semantic" not in program.report()["python_crossings"]


def test_a_strict_language_raises_compile_error_and_keeps_no_reason():
    printed = []
    # The front end reads a semantic when it is registered: a strict language refuses it there.
    with pytest.raises(wuna.CompileError) as caught:
        make_language(printed, python=True, strict=True)
    text = str(caught.value)
    assert text.startswith(f"{__file__}:") and ": in print_(): " in text
    assert text.endswith("`del` of a slice can't be compiled")
    assert printed == []


@pytest.mark.parametrize("strict", [False, True])
def test_a_language_without_semantics_runs_compiled_on_the_calling_thread(strict):
    program = wuna.Language(parser(), strict=strict).load("print 1; { print 2; }")
    assert program.run("compiled", report=True) is None
    assert program.report()["python_crossings"] == {}
    assert program.report()["gil_taken"] == 0


def test_report_counts_the_compiled_run():
    printed = []
    program = make_language(printed, python=True).load("print 1; { print 2; div 5; }")
    assert program.report()["code"] is None
    program.run("compiled", report=True)
    report = program.report()
    assert report["python_crossings"] == {"py_semantic": 3}
    # Fast code while the optimized build runs in the background, unless the cache had it.
    assert (report["code"], report["optimizing"]) in {("fast", True), ("optimized", False)}
    assert report["cache"]["loaded"] + report["cache"]["compiled"] <= 1
    assert report["gil_taken"] >= 1
    assert (report["module_state"], report["speculated"]) == ({}, {})
    # The semantics run as Python are no Python functions compiled code called.
    assert "print_" not in report["python_functions"] and "div" not in report["python_functions"]
    # A run without report=True leaves the crossings of the last reported run.
    program.run("compiled")
    assert program.report()["python_crossings"] == {"py_semantic": 3}


def test_compiled_ir_shows_the_top_level_calling_the_semantics():
    printed = []
    program = make_language(printed, python=True).load("print 1; div 2;")
    ir = program.compiled_ir()
    assert "define" in ir and "_main(ptr" in ir
    assert ir.count("call i32 @wn_py_semantic(") == 2
    # Nothing ran, and the program itself was left alone.
    assert printed == [] and program.report()["code"] is None


def test_a_compiled_call_of_a_name_the_program_does_not_define_raises_key_error():
    printed = []
    program = make_language(printed).load("print 1;")
    for _ in range(2):
        with pytest.raises(KeyError) as caught:
            program.call("missing", mode="compiled")
        assert caught.value.args[0] == "the program defines no function 'missing'"
    # No global of that name: the top level is not run for it.
    assert printed == []


def test_a_compiled_call_of_a_strict_language_raises_compile_error():
    program = make_language([], strict=True).load("print 1;")
    with pytest.raises(wuna.CompileError):
        program.call("f", mode="compiled")


@pytest.mark.parametrize("depth, limit", [(10, 1400), (1000, 41000), (1_000_000, 40_001_000)])
def test_the_recursion_limit_is_raised_for_the_run_then_restored(depth, limit):
    import sys
    seen = []
    lang = wuna.Language(parser(), max_depth=depth)

    @lang.exec("Print")
    def print_(node, rt):
        seen.append(sys.getrecursionlimit())

    before = sys.getrecursionlimit()
    lang.load("print 1;").run("compiled")
    assert seen == [max(limit, before)]
    assert sys.getrecursionlimit() == before


def test_compiled_ir_names_its_symbols_apart_from_loaded_modules():
    program = make_language([]).load("print 1;")
    first, second = program.compiled_ir(), program.compiled_ir()
    assert first == second and "@wn_ir_main(" in first


def test_rt_error_with_a_code_gives_the_same_error_as_the_reference_mode():
    lang = wuna.Language(parser())

    @lang.exec("Boom")
    def boom(node, rt):
        rt.error(node, "no boom here", code="E42")

    program = lang.load("boom;")
    errors = {}
    for mode in ("python", "compiled"):
        with pytest.raises(wuna.Error) as caught:
            program.run(mode)
        errors[mode] = str(caught.value)
    assert errors["compiled"] == errors["python"]
    assert "error[E42]: no boom here" in errors["python"]


# ---- what compiled code hands the semantics it runs as Python --------------------------------

from support.small_language import make_language as make_small_language


def small_outcome(program, printed, mode):
    printed.clear()
    try:
        program.run(mode)
    except wuna.Error as e:
        return list(printed), "Error", str(e), [str(n) for _, n in e.stack]
    return list(printed), None, None, None


SMALL_PROGRAMS = [
    # functions defined by name (hoisted), their parameters, results and calls
    "def add(a, b) { return a + b; }\nprint add(2, 3);\nprint add(add(1, 1), 40);",
    # a function's variables, a global read inside a function, a nested function
    "x = 10;\ndef f(a) { y = a + x; return y; }\nprint f(5);\n"
    "def outer(a) { def inner(b) { return a + b; } return inner(1); }\nprint outer(41);",
    # an error inside nested calls: the same text and the same call stack
    "def div(a, b) { return a / b; }\ndef outer(a) { return div(a, 0); }\nprint outer(1);",
    "print missing + 1;",
    # a language exception thrown by a host function reaches the semantic that called it
    "try { boom(); } catch { print 2; }\nprint 3;",
    "def f() { return boom(); }\ntry { f(); } catch { print 4; }",
]


@pytest.mark.parametrize("source", SMALL_PROGRAMS)
def test_compiled_programs_with_functions_give_the_reference_results(source):
    def boom():
        raise wuna.Throw("thrown", "by the host")

    printed = []
    program = make_small_language(printed, hosts=[boom]).load(source, "small.calc")
    expected = small_outcome(program, printed, "python")
    assert small_outcome(program, printed, "compiled") == expected



# ---- Python functions compiled code could not compile ------------------------------------

def test_python_functions_is_the_processs_table_shown_by_every_program():
    from support.toy import toy
    lang = toy()
    lang.host("count", lambda x: x + 1)
    program = lang.load("out(count(1));")
    program.run("compiled")
    assert lang.printed == [2]
    functions = program.report()["python_functions"]
    assert all(isinstance(k, str) and isinstance(v, str) for k, v in functions.items())
    assert lang.load("1;").report()["python_functions"] == functions
    assert program.report()["python_functions"] is not functions
