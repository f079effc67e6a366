"""Variables, frames and functions of the reference mode, on the Toy language: loads and
stores by symbol scope, builtins reaching host functions, hoisting, frames of captured block
scopes and rt.fresh, closures, function values and their names, and the errors of each."""
import pargo
import pytest

import wuna
from support.toy import error_of, message, probe, run, toy, where


@pytest.fixture
def lang():
    return toy()


def test_a_global_is_kept_in_the_program_frame_after_the_run(lang):
    program = run(lang, "var x = 40; x = x + 2;")
    assert lang.printed == []
    # A second run starts from a new program frame.
    program2 = run(lang, "var y = 1; out(y);")
    assert lang.printed == [1]
    assert program is not program2


def test_a_function_sees_the_variables_of_where_it_was_made(lang):
    run(lang, """
def adder(n) { return lambda(x) { return x + n; }; }
var add2 = adder(2);
var add5 = adder(5);
out(add2(1)); out(add5(1));
""")
    assert lang.printed == [3, 6]


def test_a_recursive_call_finds_its_own_frame(lang):
    run(lang, "def fact(n) { if n < 2 { return 1; } return n * fact(n - 1); } out(fact(20));")
    assert lang.printed == [2432902008176640000]


def test_hoisted_functions_call_each_other_before_their_definitions(lang):
    run(lang, """
out(even(10));
def even(n) { if n == 0 { return 1; } return odd(n - 1); }
def odd(n) { if n == 0 { return 0; } return even(n - 1); }
""")
    assert lang.printed == [1]


def test_a_function_that_does_not_hoist_has_no_value_before_its_definition(lang):
    source = "out(f());\nfn f() { return 1; }"
    error = error_of(lang, source)
    assert message(error) == "'f' has no value yet"
    assert where(source, error) == "f"
    lang = toy()
    run(lang, "fn f() { return 1; }\nout(f());")
    assert lang.printed == [1]


def test_a_variable_read_before_its_store_has_no_value(lang):
    source = "def f() { return later; }\nout(f());\nvar later = 1;"
    error = error_of(lang, source)
    assert message(error) == "'later' has no value yet"
    assert (error.diagnostic.line, error.diagnostic.column) == (1, 18)


def test_a_block_variable_no_function_refers_to_lives_in_the_enclosing_frame(lang):
    # No function refers into the loop's block: its j lives in the program frame, where a
    # load at the top level finds it after the loop.
    source = "var i = 0;\nwhile i < 3 { var j = i * 10; i = i + 1; }\n1;"
    j = lang.load(source).root.find("Var")[1].name.index
    seen = probe(lang, lambda node, rt: rt.load(rt.node_at(j)))
    run(lang, source)
    assert seen == [20]


def test_a_captured_block_variable_is_out_of_reach_after_the_block(lang):
    source = "var i = 0;\nwhile i < 3 { var j = i; var f = lambda() { return j; }; i = i + 1; }\n1;"
    j = lang.load(source).root.find("Var")[1].name.index
    seen = probe(lang, lambda node, rt: rt.load(rt.node_at(j)))
    error = error_of(lang, source)
    assert message(error) == "'j' isn't reachable from here"
    assert seen == []


CLOSURES = """
var i = 0; var f0 = nothing; var f1 = nothing; var f2 = nothing;
while i < 3 {
    var j = i;
    var f = lambda() { return j; };
    if i == 0 { f0 = f; } else { if i == 1 { f1 = f; } else { f2 = f; } }
    i = i + 1;
}
out(f0()); out(f1()); out(f2());
"""


def test_each_run_of_a_captured_block_gets_new_variables(lang):
    # The while body's block is captured (the lambda refers to its j): each iteration runs it
    # in a new frame, so each closure keeps its own j.
    run(lang, CLOSURES)
    assert lang.printed == [0, 1, 2]


def fresh_language(fresh, report):
    """A language with a `for` whose variable lives in the for's own scope (captured by the
    lambdas of its body): with fresh set, rt.fresh gives each iteration a new variable, as
    Lua's for does. `!` runs report(node, rt, kept), kept being the functions made so far."""
    import nomos
    parser = pargo.compile(r"""
Program = stmts:Stmt*
@lift Stmt = For | Report | Shown | Body
For = 'for' var:Name 'to' stop:Number body:Body
Body = '{' stmts:Stmt* '}'
Report = '!'
Shown = value:Expr ';'
@lift Expr = Lambda | Number | Name
Lambda = 'lambda' '{' body:Ret '}'
Ret = value:Expr
@token Number = [0-9]+ -> int
@token Name = !(('for' | 'to' | 'lambda') ![a-z]) [a-z]+
@skip S = [ \n]+
""")
    rules = nomos.Rules(parser, names=["Name"], functions=["Lambda"], blocks=["For"],
                        declare={"For.var": "variable from body"})
    lang = wuna.Language(parser, rules)
    lang.function("Lambda")
    @lang.exec("Ret")
    def ret(node, rt):
        raise rt.Return(rt.eval(node.value))
    kept = []

    @lang.exec("For")
    def for_(node, rt):
        for i in range(node.stop):
            if fresh:
                rt.fresh(node)
            rt.store(node.var, i)
            rt.exec(node.body)

    @lang.exec("Lambda")
    def lambda_(node, rt):
        kept.append(rt.function(node))

    @lang.exec("Shown")
    def shown(node, rt):
        rt.exec(node.value)

    lang.exec("Report")(lambda node, rt: report(node, rt, kept))
    return lang


@pytest.mark.parametrize("fresh, expected", [(True, [0, 1, 2]), (False, [2, 2, 2])])
def test_fresh_gives_each_iteration_its_own_variable(fresh, expected):
    values = []

    def report(node, rt, kept):
        values.extend(rt.call(f, []) for f in kept)

    # (A block right under the program shares the global scope: the for is put in a Body.)
    fresh_language(fresh, report).load("{ for i to 3 { lambda { i }; } } !").run()
    assert values == expected


def test_fresh_of_a_scope_not_being_run_fails():
    def report(node, rt, kept):
        rt.fresh(rt.node_at(2))

    with pytest.raises(wuna.Error) as caught:
        fresh_language(False, report).load("{ for i to 1 { lambda { i }; } } !").run()
    assert message(caught.value) == "rt.fresh(): this scope isn't the one being run"


def test_fresh_of_a_scope_that_is_not_captured_does_nothing():
    def report(node, rt, kept):
        rt.fresh(rt.node_at(2))

    fresh_language(False, report).load("{ for i to 1 { 5; } } !").run()


@pytest.mark.parametrize("source, expected", [
    ("out(nohost);", "no host function for the builtin 'nohost'"),
    ("nohost = 1;", "can't assign to the builtin 'nohost'"),
])
def test_builtins_without_hosts(lang, source, expected):
    error = error_of(lang, source)
    assert message(error) == expected
    assert where(source, error) == "nohost"


def test_a_builtin_is_its_host_function(lang):
    seen = probe(lang, lambda node, rt: rt.eval(node.value))
    run(lang, "out;")
    assert seen[0].__name__ == "out"


def test_variables_need_rules():
    lang = toy(rules=None)
    probe(lang, lambda node, rt: rt.load(node.value))
    error = error_of(lang, "x;")
    assert message(error) == "variables need rules with a scopes() rule"
    # Without a symbol a name node is no variable to eval either.
    error = error_of(toy(rules=None), "out(1);")
    assert message(error) == "no semantics to evaluate Name"


def test_a_node_that_is_no_variable(lang):
    errors = []

    @lang.exec("Shown")
    def shown(node, rt):
        for op in (lambda: rt.load(node.value), lambda: rt.store(node.value, 1)):
            try:
                op()
            except wuna.Error as e:
                errors.append(message(e))

    run(lang, "1 + 2;")
    assert errors == ["'1 + 2' is not a variable"] * 2


@pytest.mark.parametrize("value, stored", [
    (2 ** 63 - 1, 2 ** 63 - 1),
    (-2 ** 63, -2 ** 63),
    (True, True),
    ("text", "text"),
])
def test_stores_make_ints_i64(lang, value, stored):
    lang.exec("Var")(lambda node, rt: rt.store(node.name, value))
    seen = probe(lang, lambda node, rt: rt.eval(node.value))
    run(lang, "var x = 0; x;")
    assert seen == [stored]
    assert type(seen[0]) is (wuna.I64 if type(value) is int else type(value))


def test_storing_a_huge_int_fails_at_the_name(lang):
    lang.exec("Var")(lambda node, rt: rt.store(node.name, 2 ** 64))
    source = "var big = 0;"
    error = error_of(lang, source)
    assert message(error) == "integer overflow"
    assert where(source, error) == "big"


def test_functions_and_their_names(lang):
    seen = probe(lang, lambda node, rt: rt.eval(node.value))
    run(lang, "def named() {} named; lambda() {};")
    named, anonymous = seen
    assert type(named) is wuna.Function and repr(named) == "<function named>"
    assert repr(anonymous) == "<function <anonymous>>"


def test_function_of_a_node_of_another_kind(lang):
    errors = []

    @lang.exec("Shown")
    def shown(node, rt):
        try:
            rt.function(node.value)
        except wuna.Error as e:
            errors.append(message(e))

    run(lang, "(1);")
    assert errors == ["Paren isn't a function kind (Language.function)"]


def test_a_variable_out_of_reach():
    # A name bound to a function's parameter, loaded where that function's frame is not in
    # the chain (by a semantic at the top level).
    lang = toy()
    errors = []

    @lang.exec("Shown")
    def shown(node, rt):
        params = rt.node_at(1).params
        try:
            rt.load(params[0])
        except wuna.Error as e:
            errors.append(message(e))

    run(lang, "def f(a) {}\n1;")
    assert errors == ["'a' isn't reachable from here"]
