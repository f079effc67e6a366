"""pargo and nomos as modules: a second import after dropping them from sys.modules shares the
first start-up's classes (the native code knows only those), their native classes cannot be
made from Python, a result holds its class alive for exactly its own life, and an isolated
subinterpreter is refused them. Each case runs in a fresh interpreter, so that a crash fails the
test instead of ending the run."""
import sys

import pytest

from support.processes import run_python

GRAMMAR = "P = (items:L)*\\nL = 'let' name:N ';' -> Let\\n@token N = [a-z]+\\n@skip S = ' '*"


@pytest.mark.parametrize("module, names", [
    ("pargo", ["GrammarParser", "Tree", "Node", "ParseError", "GrammarError", "Diagnostic", "Ast"]),
    ("nomos", ["_Result", "Rules", "Analysis", "Symbol"]),
])
def test_importing_again_shares_the_first_start_up(module, names):
    result = run_python(f"""
        import sys
        import {module} as first
        del sys.modules["{module}"]
        import {module} as second
        assert second is not first
        for name in {names!r}:
            assert getattr(second, name) is getattr(first, name), name
        # the functions are each module's own, bound to it
        assert second.version.__self__ is second and second.version() == first.version()
    """)
    assert result.returncode == 0, result.stderr


def test_a_parser_package_imported_again_raises_the_classes_of_either_module():
    # the native code raises the classes the first start-up took from the face; a second
    # start-up that made its own would leave `except second.ParseError` catching nothing
    result = run_python(f"""
        import sys
        import pargo as first
        del sys.modules["pargo"]
        import pargo as second
        try:
            second.compile("P = (")
        except first.GrammarError:
            pass
        else:
            raise AssertionError("no GrammarError")
        parser = second.compile("{GRAMMAR}")
        assert isinstance(parser, first.GrammarParser)
        try:
            first.compile("{GRAMMAR}").parse("let 1;")
        except second.ParseError:
            pass
        else:
            raise AssertionError("no ParseError")
        assert isinstance(parser.parse_tree("let a;"), first.Tree)
    """)
    assert result.returncode == 0, result.stderr


def test_rules_made_before_a_second_import_analyse_trees_after_it():
    result = run_python(f"""
        import sys
        import nomos as first
        import pargo
        parser = pargo.compile("{GRAMMAR}")
        rules = first.Rules(parser, names=["N"], declare={{"Let.name": "variable"}})
        del sys.modules["nomos"]
        del sys.modules["pargo"]
        import nomos as second
        import pargo
        assert pargo.compile("{GRAMMAR}").rules() == parser.rules()
        again = second.Rules(pargo.compile("{GRAMMAR}"), names=["N"],
                             declare={{"Let.name": "variable"}})
        for r in (rules, again):
            analysis = r.analyze(parser.parse_tree("let a; let b;"))
            assert [s.name for s in analysis.symbols] == ["a", "b"]
            assert type(analysis._result) is first._Result is second._Result
    """)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("make", [
    "nomos._Result()",
    "nomos._Result.__new__(nomos._Result)",
    "pargo.GrammarParser()",
    "pargo.Tree()",
    "pargo.Node()",
])
def test_native_classes_cannot_be_made_from_python(make):
    result = run_python(f"""
        import nomos, pargo
        try:
            {make}
        except TypeError as e:
            print("TypeError", e)
        else:
            print("made")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("TypeError"), result.stdout


def test_results_hold_their_class_for_their_life_only():
    # each result takes a reference to its class and gives it back when freed: a count that
    # grows is a leak, one that shrinks frees the class under its instances
    result = run_python(f"""
        import gc, sys
        import nomos, pargo
        parser = pargo.compile("{GRAMMAR}")
        rules = nomos.Rules(parser, names=["N"], declare={{"Let.name": "variable"}})
        tree = parser.parse_tree("let a; let b;")
        rules.analyze(tree)
        gc.collect()
        before = sys.getrefcount(nomos._Result)
        kept = [rules.analyze(tree) for _ in range(200)]
        assert sys.getrefcount(nomos._Result) == before + 200
        del kept
        gc.collect()
        print(sys.getrefcount(nomos._Result) - before)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter module checks came in 3.12")
@pytest.mark.parametrize("module", ["pargo", "nomos", "wuna"])
def test_an_isolated_subinterpreter_cannot_import_the_process_wide_classes(module):
    # the classes and the face's objects are one set per process; an interpreter of its own
    # must be refused them rather than share objects across interpreters
    result = run_python(f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                interpreters = None
        if interpreters is None:
            print("no-interpreters")
        else:
            sub = interpreters.create()
            try:
                failure = interpreters.run_string(sub, "import {module}")
            except Exception as e:
                failure = e
            interpreters.destroy(sub)
            print("refused" if "does not support loading in subinterpreters" in str(failure)
                  else f"imported: {{failure}}")
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "no-interpreters":
        pytest.skip("this Python has no interpreters module")
    assert result.stdout.strip() == "refused"
