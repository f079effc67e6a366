"""The reference interpreter's core, on a small language (Toy): dispatch of
exec and eval with their fallbacks (kinds without semantics), node values, the declared-type
check, the recursion limit a run sets, and how semantics' exceptions become runtime errors.
The toy language itself is in support/toy.py, shared with other tests of the reference mode."""
import sys

import pargo
import pytest

import wuna
from support.toy import Toy, error_of, make_rules, message, probe, run, toy, where


@pytest.fixture
def lang():
    return toy()


# ---- exec and eval -------------------------------------------------------------------------

def test_a_program_runs_its_statements_in_order(lang):
    run(lang, "var x = 1; out(x); x = x + 2; out(x * 10);")
    assert lang.printed == [1, 30]


def test_values_are_i64_and_overflow_is_an_error_at_the_semantic(lang):
    run(lang, "out(9223372036854775806 + 1);")
    assert type(lang.printed[0]) is wuna.I64
    source = "out(9223372036854775807 + 1);"
    error = error_of(lang, source)
    assert message(error) == "integer overflow"
    assert where(source, error) == "9223372036854775807 + 1"


def test_parentheses_need_no_semantic(lang):
    run(lang, "out((((2))) * (3 + 4));")
    assert lang.printed == [14]


def test_no_semantics_to_evaluate_several_children(lang):
    source = "out([1, 2]);"
    error = error_of(lang, source)
    assert message(error) == "no semantics to evaluate Pair"
    assert where(source, error) == "[1, 2]"
    assert error.diagnostic.code == "runtime"


def test_an_exec_only_kind_has_no_value(lang):
    ran = []
    lang.exec("Pair")(lambda node, rt: ran.append(node))
    probe(lang, lambda node, rt: rt.exec(node.value))
    run(lang, "[1, 2];")                          # as a statement it runs
    assert len(ran) == 1
    lang = toy()
    error = error_of(lang, "out([1, 2]);")
    assert message(error) == "no semantics to evaluate Pair"


def test_exec_of_an_eval_only_kind_evaluates_and_drops(lang):
    seen = []
    lang.eval("Paren")(lambda node, rt: seen.append(node.text) or 7)
    run(lang, "(1);")
    assert seen == ["(1)"]


def test_exec_without_semantics_runs_children_skipping_tokens(lang):
    # Program and Block have no semantics: their children run in order; the Name token of a
    # Var is not run (Var has a semantic), the ints under Shown are values, not statements.
    run(lang, "{ out(1); { out(2); } 5; } out(3);")
    assert lang.printed == [1, 2, 3]


def test_a_new_semantic_takes_effect_at_the_next_run(lang):
    program = run(lang, "out(2 + 3);")
    lang.eval("Binary")(lambda node, rt: "replaced")
    program.run()
    assert lang.printed == [5, "replaced"]


def test_a_rule_name_serves_a_class_kind():
    parser = pargo.compile("""
Program = stmts:Stmt*
@lift Stmt = Add
Add = left:Num '+' right:Num -> Plus
@token Num = [0-9]+ -> int
@skip S = [ ]+
""")
    lang = wuna.Language(parser)
    got = []
    lang.exec("Add")(lambda node, rt: got.append(rt.kind(node)))
    lang.load("1 + 2 3 + 4").run()
    assert got == ["Plus", "Plus"]


# ---- rt.eval and rt.exec on values ---------------------------------------------------------

def test_eval_of_lists_tuples_and_ints(lang):
    results = probe(lang, lambda node, rt: (
        rt.eval([node.value, node.value]),
        rt.eval((node.value, 3)),
        rt.eval(5),
        rt.eval("text"),
    ))
    run(lang, "1 + 1;")
    listed, tupled, five, text = results[0]
    assert listed == [2, 2] and type(listed) is list
    assert tupled[1] == 3 and isinstance(tupled[0], wuna.Node)   # the tuple itself
    assert type(five) is wuna.I64 and five == 5
    assert text == "text"


def test_eval_of_a_huge_int_fails(lang):
    results = []

    def body(node, rt):
        try:
            rt.eval(2 ** 64)
        except wuna.IntegerOverflow as e:
            results.append(str(e))

    probe(lang, body)
    run(lang, "1;")
    assert results == ["integer overflow"]


def test_a_semantic_returning_a_huge_int_fails_at_its_node(lang):
    lang.eval("Paren")(lambda node, rt: 2 ** 63)
    source = "out(1 + (2));"
    error = error_of(lang, source)
    assert message(error) == "integer overflow"
    assert where(source, error) == "(2)"


def test_exec_of_a_tuple_runs_each(lang):
    @lang.exec("Block")
    def block(node, rt):
        stmts = node.stmts
        rt.exec(tuple(reversed(stmts)))

    run(lang, "{ out(1); out(2); }")
    assert lang.printed == [2, 1]


@pytest.mark.parametrize("how", ["eval", "exec"])
@pytest.mark.parametrize("nesting", ["cycle", "deep"])
def test_lists_nested_without_end_fail_instead_of_crashing(lang, how, nesting):
    def body(node, rt):
        if nesting == "cycle":
            items = [node.value]
            items.append(items)
        else:
            items = [node.value]
            for _ in range(10 ** 6):
                items = [items]
        getattr(rt, how)(items)

    probe(lang, body)
    assert message(error_of(lang, "1;")) == "call stack too deep"


def test_lists_nested_a_few_thousand_deep_are_walked(lang):
    def body(node, rt):
        items = [node.value]
        for _ in range(5000):
            items = [items]
        rt.exec(items)
        return rt.eval(items)

    results = probe(lang, body)
    run(lang, "out(7);")
    assert lang.printed == [7, 7]   # once by exec, once by eval
    value = results[0]
    for _ in range(5001):
        value = value[0]
    assert value is None


def test_nodes_of_another_tree_are_values_not_statements(lang):
    other = lang.load("out(99);")
    results = probe(lang, lambda node, rt: (rt.exec(other.root), rt.eval(other.root)))
    run(lang, "1;")
    assert lang.printed == []
    assert results[0][1] == other.root


# ---- exceptions of semantics ---------------------------------------------------------------

@pytest.mark.parametrize("raised, expected", [
    (ZeroDivisionError("whatever"), "division by zero"),
    (KeyError("x"), "key not found: 'x'"),
    (KeyError(), "key not found"),
    (RuntimeError("boom"), "RuntimeError: boom"),
    (ValueError("just this"), "just this"),
])
def test_a_semantics_exception_becomes_an_error_at_its_node(lang, raised, expected):
    def paren(node, rt):
        raise raised

    lang.eval("Paren")(paren)
    source = "var a = 1;\nout(a + (a));"
    error = error_of(lang, source)
    assert message(error) == expected
    assert where(source, error) == "(a)"
    assert (error.diagnostic.line, error.diagnostic.column) == (2, 9)


def test_pythons_recursion_error_is_call_stack_too_deep():
    lang = toy(max_depth=1)

    def deep(n):
        return deep(n + 1)

    probe(lang, lambda node, rt: deep(0))
    error = error_of(lang, "1;")
    assert message(error) == "call stack too deep"


def test_return_at_the_top_level_ends_the_run_as_return(lang):
    with pytest.raises(wuna.Return):
        run(lang, "return 1;")


# ---- declared types ------------------------------------------------------------------------

TYPED_RULES = make_rules(types={"literals": {"Number": "int", "Str": "str", "Nothing": "None"},
                                "infer": "value"})


@pytest.mark.parametrize("types, semantic_value, fails", [
    ({"int": int}, 5, False),
    ({"int": int}, True, True),
    ({"int": int}, 1.0, True),
    ({"int": int}, 2 ** 62, False),
    ({"int": str}, 5, True),
    ({"int": list}, 5, False),                 # a type that is not checked
    (lambda text: int if text == "int" else None, "x", True),
    (lambda text: None, "x", False),
])
def test_values_are_checked_against_declared_types(types, semantic_value, fails):
    lang = toy(rules=TYPED_RULES)
    lang.types(types)
    lang.exec("Var")(lambda node, rt: rt.store(node.name, semantic_value))
    source = "var n = 5;\nout(n);"
    if fails:
        error = error_of(lang, source)
        assert message(error) == "the value isn't what types() says the type int is"
    else:
        run(lang, source)
        assert lang.printed == [semantic_value]


def test_a_generic_type_text_is_looked_up_by_its_head():
    lang = toy(rules=make_rules(types={"literals": {"Number": "list[int]"}, "infer": "value"}))
    lang.types({"list": int})
    lang.exec("Var")(lambda node, rt: rt.store(node.name, "not an int"))
    error = error_of(lang, "var n = 5; out(n);")
    assert message(error) == "the value isn't what types() says the type list[int] is"


def test_a_failing_types_lookup_fails_the_eval():
    lang = toy(rules=TYPED_RULES)

    def lookup(text):
        raise LookupError("no types today")

    lang.types(lookup)
    # The lookup's exception fails the load; the Call semantic it passes through words it.
    error = error_of(lang, "var n = 5; out(n);")
    assert message(error) == "LookupError: no types today"


# ---- the run's recursion limit -------------------------------------------------------------

@pytest.mark.parametrize("max_depth", [1, 10, 100])
def test_the_recursion_limit_is_raised_for_the_run_and_restored(max_depth):
    lang = toy(max_depth=max_depth)
    before = sys.getrecursionlimit()
    seen = probe(lang, lambda node, rt: sys.getrecursionlimit())
    run(lang, "1;")
    assert seen == [max(before, max_depth * 40 + 1000)]
    assert sys.getrecursionlimit() == before


def test_overlapping_runs_restore_the_limit_when_the_last_ends():
    """Two runs overlap, the first to start ending first: the limit stays raised while the
    other still runs, and is what it was before both once both have ended."""
    import threading
    before = sys.getrecursionlimit()
    inside, release = threading.Event(), threading.Event()
    first_lang, second_lang = toy(max_depth=1000), toy(max_depth=10)
    probe(first_lang, lambda node, rt: (inside.set(), release.wait(10)))
    first = threading.Thread(target=first_lang.load("1;").run)

    def second(node, rt):
        release.set()
        first.join(10)                      # the first run has ended by now
        return sys.getrecursionlimit()

    seen = probe(second_lang, second)
    first.start()
    assert inside.wait(10)
    run(second_lang, "1;")
    assert seen == [1000 * 40 + 1000]
    assert sys.getrecursionlimit() == before
