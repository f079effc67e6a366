"""What keeps pargo from crashing or hanging on hostile input: nesting bounded by counts and
by the running thread's stack (in grammar text, in parsed text and in values), grammars of
very many alternatives, memoised backtracking, and Ctrl-C during a long parse. Reproducers
of crashes and hangs run in a child interpreter, so that a regression fails its test (a
crash, or a hang past a timeout far above the time needed) instead of taking pytest down."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

import pargo

TESTS = pathlib.Path(__file__).parent


def run_child(code, timeout=60):
    """Runs code in a fresh interpreter (with the tests on its path); its stdout."""
    try:
        r = subprocess.run([sys.executable, "-"], input=textwrap.dedent(code), capture_output=True, text=True,
                           timeout=timeout, cwd=TESTS)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child ran past {timeout} s")
    assert r.returncode == 0, f"the child failed ({r.returncode}):\n{r.stderr}"
    return r.stdout


# ---- nesting in grammar text -------------------------------------------------------------


@pytest.mark.parametrize("ops", ["*", "+", "?", "*+?"])
def test_postfix_operators_count_as_nesting(ops):
    # each operator wraps the one before: 30000 of them nest 30000 deep
    out = run_child(f"""
        import pargo
        try:
            pargo.compile('A = "a"' + {ops!r} * 10000)
        except pargo.GrammarError as e:
            print(e)
    """)
    assert out == "line 1, column 207: expression nested too deeply\n"


def test_postfix_operators_below_the_limit_compile():
    p = pargo.compile("A = 'a'" + "?" * 199)
    assert len(p.parse_tree("a")) == 1


COMPILE_IN_SMALL_THREAD = """
    import threading, pargo
    threading.stack_size(1 << 20)
    def work():
        try:
            p = pargo.compile(GRAMMAR)
            print("compiled", len(p.rules()))
        except pargo.GrammarError as e:
            print(e)
    t = threading.Thread(target=work)
    t.start()
    t.join()
"""


def test_long_rule_chains_compile_in_a_small_thread():
    # every rule starts with the next, 4094 deep, each body nested 60 deep
    out = run_child(textwrap.dedent("""
        GRAMMAR = "\\n".join([f"R{i} = " + "('c'? " * 60 + f"R{i + 1} 'b'?" + ")" * 60 for i in range(4093)]
                             + ["R4093 = 'a'"])
    """) + textwrap.dedent(COMPILE_IN_SMALL_THREAD))
    assert out == "compiled 4094\n"


def test_long_silent_rule_chains_are_refused_in_a_small_thread():
    # labels are counted through @silent rules: a chain too deep for the stack is refused
    out = run_child(textwrap.dedent("""
        GRAMMAR = "\\n".join(["R0 = x:R1"] + [f"@silent R{i} = x:" + "('c'? " * 60 + f"R{i + 1} 'b'?" + ")" * 60
                                               for i in range(1, 4093)] + ["@silent R4093 = 'a'"])
    """) + textwrap.dedent(COMPILE_IN_SMALL_THREAD))
    assert out.startswith("line ") and out.endswith(": @silent rules nested too deeply\n")


# ---- nesting in parsed text and values ---------------------------------------------------


def test_deep_nesting_in_a_small_thread_is_nesting_too_deep():
    out = run_child("""
        import threading, pargo
        from support.pargo_grammars import statements
        threading.stack_size(1 << 20)
        def work():
            text = "print " + "(" * 100000 + "1" + ")" * 100000 + ";"
            try:
                statements().parse(text)
            except pargo.ParseError as e:
                print(e.message)
            t = statements().parse_tree(text, recover=True)
            print([d.message for d in t.errors])
            print(statements().parse("print " + "(" * 60 + "1" + ")" * 60 + ";").stmts[0].args)
        t = threading.Thread(target=work)
        t.start()
        t.join()
    """)
    assert out.splitlines() == ["nesting too deep", "['nesting too deep']", "[1]"]


def test_deep_values_in_a_small_thread_are_a_recursion_error():
    out = run_child("""
        import sys, threading, pargo
        p = pargo.compile("P = '(' inner:P ')' | 'a'")
        tree = p.parse_tree("(" * 1800 + "a" + ")" * 1800)
        sys.setrecursionlimit(1_000_000)  # only the stack is left to stop the recursion
        threading.stack_size(256 << 10)
        def work():
            try:
                tree.root.to_ast()
                print("made")
            except RecursionError as e:
                print(e)
        t = threading.Thread(target=work)
        t.start()
        t.join()
        print(p.parse("(" * 50 + "a" + ")" * 50).inner.inner.kind)
    """)
    assert out.splitlines() == ["nesting too deep while making a node's value", "P"]


# ---- work that must stay linear ----------------------------------------------------------


def test_backtracking_is_memoised():
    # each level tries B three times: 3^300 steps without the memo
    out = run_child("""
        import pargo
        p = pargo.compile("A = B 'x' | B 'y' | B\\nB = '(' A ')' | 'a'")
        text = "(" * 300 + "a" + ")" * 300
        print(len(p.parse_tree(text)))
        try:
            p.parse_tree(text[:-1])
        except pargo.ParseError as e:
            print(e)
        t = p.parse_tree(text[:-1], recover=True)
        print([(d.message, d.span) for d in t.errors])
    """)
    assert out.splitlines() == ["602", "line 1, col 601: expected 'x', 'y' or ')'",
                                "[(\"expected 'x', 'y' or ')'\", (600, 600))]"]


def test_many_alternatives_compile_and_fail_in_linear_time():
    # quadratic work here took minutes; linear takes a second
    out = run_child("""
        import pargo
        n = 300_000
        p = pargo.compile("A = " + " | ".join(f"'w{i}'" for i in range(n)))
        for _ in range(5):
            try:
                p.parse("zzz")
            except pargo.ParseError as e:
                message = e.message
        print(message.startswith("expected 'w0', 'w1', 'w2', "), len(p.literals()))
        print(len(p.parse_tree(f"w{n - 1}")))
    """)
    assert out.splitlines() == ["True 300000", "1"]


# ---- Ctrl-C ------------------------------------------------------------------------------


def test_ctrl_c_stops_a_long_parse():
    # Every level of A recovers from the error at '!' (so nothing is memoised): each tries B
    # three times, 3^60 steps. SIGINT comes from a timer thread once the parse is running.
    out = run_child("""
        import os, signal, threading, pargo
        p = pargo.compile('''
            @recover A = (B 'x' | B 'y' | B) ('!' 'z')*
            B = '(' A ')' | 'a'
        ''')
        try:
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            p.parse_tree("(" * 60 + "a!" + ")" * 60, recover=True)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        print(len(p.parse_tree("((a))", recover=True)))
    """)
    assert out.splitlines() == ["interrupted", "6"]


def test_a_signal_handler_that_does_not_raise_lets_the_parse_go_on():
    out = run_child("""
        import os, signal, threading, pargo
        from support.pargo_grammars import statements
        seen = []
        signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))
        text = "print 1 + 2 * (3 - 4);\\n" * 200_000
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        t = statements().parse_tree(text)
        print(len(t) == len(statements().parse_tree(text)), len(t.root.children))
    """)
    assert out.splitlines() == ["True 200000"]
