"""pargo's surface: grammar metadata, the native tree and grammar capsules read back with
ctypes, node objects, to_ast values by action, syntax errors and grammar errors."""
import ctypes
import gc

import pytest

import pargo
from support.abi import GRAMMAR_ABI, GRAMMAR_CAPSULE, ErrorRecord, GrammarRecord, Node, TreeRecord, kind_of, \
    label_of, record_of
from support.pargo_grammars import statements

# ---- metadata ----------------------------------------------------------------------------


def test_metadata_tables_of_the_statement_grammar():
    p = statements()
    rules = p.rules()
    assert rules[:5] == ["Program", "Stmt", "Assign", "Print", "Block"]
    assert len(p.actions()) == len(rules) == len(p.labels())
    actions = dict(zip(rules, p.actions()))
    assert actions["Program"] == "Program" and actions["Stmt"] is None
    assert actions["Number"] == "int" and actions["Text"] == "unquote" and actions["List"] == "list"
    assert p.fields() == ["stmts", "name", "value", "args", "body", "left", "op", "right", "operand"]
    labels = dict(zip(rules, p.labels()))
    assert labels["Program"] == [("stmts", True)]  # inside a repetition
    assert labels["Assign"] == [("name", False), ("value", False)]
    assert labels["Print"] == [("args", True)]  # written twice in one sequence
    # a @fold rule is counted per folded node: the repetition does not make lists
    assert labels["Sum"] == [("left", False), ("op", False), ("right", False)]
    assert labels["Number"] == []
    assert p.literals()[:5] == ["let", "=", ";", "print", ","]
    assert len(p.literals()) == len(set(p.literals()))


@pytest.mark.parametrize(
    "grammar, rule, expected",
    [
        # labels of an unlabelled @silent rule belong to its caller, in order of first appearance
        ("A = x:B Pair\n@silent Pair = y:B z:B\nB = 'b'", "A", [("x", False), ("y", False), ("z", False)]),
        # ... and a repetition of it makes them lists
        ("A = Pair*\n@silent Pair = y:B z:B\nB = 'b'", "A", [("y", True), ("z", True)]),
        # alternatives do not add up; a labelled expression that can make several nodes is a list
        ("A = x:B | x:B x2:B\nB = 'b'", "A", [("x", False), ("x2", False)]),
        ("A = x:(B B)\nB = 'b'", "A", [("x", True)]),
        ("A = x:B?\nB = 'b'", "A", [("x", False)]),
        ("A = (x:B)+\nB = 'b'", "A", [("x", True)]),
        # a label over a token or a literal counts once
        ("A = x:'a' y:T\n@token T = 't'", "A", [("x", False), ("y", False)]),
    ],
)
def test_label_list_flags(grammar, rule, expected):
    p = pargo.compile(grammar)
    assert p.labels()[p.rules().index(rule)] == expected


def test_fields_and_literals_in_order_of_first_appearance():
    p = pargo.compile("A = b:'x' a:'y' b:'x' 'z' B\nB = c:'y' \"q'\"")
    assert p.fields() == ["b", "a", "c"]
    assert p.literals() == ["x", "y", "z", "q'"]


def test_version():
    assert pargo.version() == "0.6.0"


# ---- capsules ----------------------------------------------------------------------------

PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
PyCapsule_GetPointer.restype = ctypes.c_void_p
PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def read_tree(t):
    """The tree record and nodes as the documented offsets give them."""
    base = PyCapsule_GetPointer(t.capsule, b"pargo.tree.v1")
    raw = ctypes.string_at(base, 48)
    u32 = lambda o: int.from_bytes(raw[o:o + 4], "little")
    u64 = lambda o: int.from_bytes(raw[o:o + 8], "little")
    rec = {"abi": u32(0), "count": u32(4), "nodes": u64(8), "text": u64(16), "length": u64(24),
           "errors": u64(32), "error_ptr": u64(40)}
    nodes = (Node * rec["count"]).from_address(rec["nodes"])
    return rec, [(n.start, n.end, n.descendants, kind_of(n.word), label_of(n.word)) for n in nodes]


def test_tree_capsule_layout():
    p = statements()
    text = "let x = 1 + 2;\nprint x;"
    t = p.parse_tree(text)
    rec, nodes = read_tree(t)
    assert rec["abi"] == 1 and rec["count"] == len(t) and rec["errors"] == 0
    assert ctypes.string_at(rec["text"], rec["length"]) == text.encode()
    kind = p.rules().index
    field = lambda name: p.fields().index(name) + 1
    assert nodes == [
        (0, 23, 8, kind("Program"), 0),
        (0, 14, 5, kind("Assign"), field("stmts")),
        (4, 5, 0, kind("Name"), field("name")),
        (8, 13, 3, kind("Sum"), field("value")),
        (8, 9, 0, kind("Number"), field("left")),
        (10, 11, 0, kind("AddOp"), field("op")),
        (12, 13, 0, kind("Number"), field("right")),
        (15, 23, 1, kind("Print"), field("stmts")),
        (21, 22, 0, kind("Name"), field("args")),
    ]


def test_tree_capsule_outlives_dropped_tree():
    t = statements().parse_tree("let y = 2;")
    cap = t.capsule
    del t
    gc.collect()
    base = PyCapsule_GetPointer(cap, b"pargo.tree.v1")
    assert int.from_bytes(ctypes.string_at(base, 4), "little") == 1


def test_preorder_descendants_cover_each_subtree():
    t = statements().parse_tree("{ let a = (1 + 2) * 3; { print a, -a; } }\nprint [1, 2];")
    _, nodes = read_tree(t)
    for i, (start, end, desc, _, _) in enumerate(nodes):
        assert i + desc < len(nodes)
        for j in range(i + 1, i + desc + 1):  # every descendant lies inside its ancestor
            assert start <= nodes[j][0] <= nodes[j][1] <= end
    # the node objects agree with the records
    for i, n in enumerate(t.node(k) for k in range(len(t))):
        assert (n.start, n.end, n.index) == (nodes[i][0], nodes[i][1], i)


def test_grammar_capsule_entry_points():
    p = statements()
    cap = p.capsule
    record = record_of(cap, GRAMMAR_CAPSULE, GrammarRecord)
    assert record.abi == GRAMMAR_ABI and record.grammar and record.parse and not record.reserved and record.free

    parse = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_char_p,
                             ctypes.c_uint32, ctypes.c_void_p, ctypes.POINTER(ErrorRecord))(record.parse)
    free = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(record.free)
    tree = TreeRecord()
    out = ctypes.byref(tree)
    err = ErrorRecord()
    text = b"let x = 1;\nlet y = ;"
    assert parse(record.grammar, text, len(text), None, 0, out, ctypes.byref(err)) == 1
    assert (err.offset, err.line, err.column) == (19, 2, 9)
    assert err.message.startswith(b"expected ")
    assert parse(record.grammar, text, len(text), b"Nope", 0, out, ctypes.byref(err)) == -1
    assert parse(record.grammar, text, len(text), None, 2, out, ctypes.byref(err)) == 0
    assert tree.errorCount == 1  # one error recovered
    free(out)
    assert parse(record.grammar, b"", 0, b"Expr", 0, out, ctypes.byref(err)) == 1
    silent = pargo.compile("@silent A = 'a'")
    silent_record = record_of(silent.capsule, GRAMMAR_CAPSULE, GrammarRecord)
    assert parse(silent_record.grammar, b"a", 1, None, 0, out, ctypes.byref(err)) == -5


# ---- nodes and values --------------------------------------------------------------------


def test_node_objects():
    p = statements()
    t = p.parse_tree("let answer = 42;")
    root = t.node(0)
    assert (root.kind, root.rule, root.label, root.index) == ("Program", "Program", None, 0)
    (assign,) = root.children
    assert (assign.kind, assign.label, assign.text) == ("Assign", "stmts", "let answer = 42;")
    name, value = assign.children
    assert (name.rule, name.label, name.text, name.start, name.end) == ("Name", "name", "answer", 4, 10)
    assert value.to_ast() == 42 and name.to_ast() == "answer"
    assert t.text == "let answer = 42;" and t.errors == []
    with pytest.raises(IndexError):
        t.node(len(t))
    with pytest.raises(IndexError):
        t.node(-1)
    with pytest.raises(TypeError):
        t.node("0")


def test_kind_name_is_the_class_action_else_the_rule():
    p = pargo.compile("A = x:B -> Call\nB = 'b'")
    t = p.parse_tree("b")
    assert (t.node(0).kind, t.node(0).rule) == ("Call", "A")
    assert (t.node(1).kind, t.node(1).rule) == ("B", "B")
    ast = t.node(0).to_ast()
    assert (ast.kind, ast.start, ast.end, ast._fields) == ("Call", 0, 1, ("x",))
    assert ast.x.kind == "B"


ACTIONS = r"""
Top = Item (',' Item)* -> list
@lift Item = Pair | Tup | Map | Firsts | Yes | No | Nil | Skipped | Word
Pair = '<' Word Word '>' -> tuple
Tup = '(' (Item (';' Item)*)? ')' -> tuple
Map = '{' (Pair (';' Pair)*)? '}' -> dict
Firsts = '^' Item* '$' -> first
Yes = 'yes' -> True
No = 'no' -> False
Nil = 'nil' -> None
Skipped = '~' -> drop
@token Word = [a-z]+ -> str
@skip S = ' '+
"""


@pytest.mark.parametrize(
    "text, value",
    [
        ("yes, no, nil", [True, False, None]),
        ("<a b>, ()", [("a", "b"), ()]),
        ("(a; ~; b)", [("a", "b")]),  # drop children are left out
        ("{<a b>; <c d>}", [{"a": "b", "c": "d"}]),
        ("{}", [{}]),
        ("^ ~ a b $, ^ $", ["a", None]),
        ("~, a", ["a"]),
    ],
)
def test_actions_make_values(text, value):
    assert pargo.compile(ACTIONS).parse(text) == value


def test_dict_skips_children_that_are_not_pairs():
    p = pargo.compile("D = '{' (E (',' E)*)? '}' -> dict\n@lift E = P | W\nP = W ':' W -> tuple\n"
                      "@token W = [a-z]+ -> str")
    assert p.parse("{a:b,c,d:e}") == {"a": "b", "d": "e"}


@pytest.mark.parametrize(
    "grammar, text, labels",
    [
        # a lifted node takes the label of the reference, or none
        ("A = x:L\n@lift L = B | '(' B ')'\nB = 'b'", "(b)", [None, "x"]),
        ("A = L\n@lift L = y:B\nB = 'b'", "b", [None, None]),
        # a lift over two nodes keeps its own node
        ("A = x:L\n@lift L = B B\nB = [b]", "bb", [None, "x", None, None]),
        # a fold relabels each previous result with the first operand's label
        ("@fold S = l:B (r:B)*\nB = [b]", "bbb", [None, "l", "l", "r", "r"]),
        ("@fold S = l:B (r:B)*\nB = [b]", "b", [None]),
    ],
)
def test_lift_and_fold_labels(grammar, text, labels):
    t = pargo.compile(grammar).parse_tree(text)
    assert [t.node(i).label for i in range(len(t))] == labels


def test_fold_is_left_associative():
    p = statements()
    ast = p.parse("print 1 - 2 - 3;").stmts[0].args[0]
    assert (ast.left.left, ast.left.right, ast.right) == (1, 2, 3)


def test_word_literals_need_a_boundary():
    p = pargo.compile("A = 'end' B? | B\n@token B = [a-z]+\n@skip S = ' '*")
    assert p.parse_tree("endx").node(0).children[0].text == "endx"
    assert [c.text for c in p.parse_tree("end x").node(0).children] == ["x"]
    q = pargo.compile("A = '+' B\n@token B = [+a-z]+")
    assert q.parse_tree("++").node(1).text == "+"


def test_nodes_exclude_surrounding_whitespace_and_texts_are_utf8_bytes():
    p = pargo.compile("A = W+\n@token W = [a-zé€]+ -> str\n@skip S = [ \\n]+")
    t = p.parse_tree("  é€a \n bé  ")
    assert (t.node(0).start, t.node(0).end) == (2, 14)
    assert [(n.text, n.start, n.end) for n in t.node(0).children] == [("é€a", 2, 8), ("bé", 11, 14)]


def test_any_and_classes_match_code_points():
    p = pargo.compile("A = . [^a] [\\x41-\\x43] [€-€]")
    assert p.parse_tree("€ßB€").node(0).end == 3 + 2 + 1 + 3


def test_parse_accepts_bytes_and_a_start_rule():
    p = statements()
    assert p.parse(b"let a = 1;").stmts[0].value == 1
    assert p.parse("1 + 2", start="Expr").right == 2


@pytest.mark.parametrize(
    "call, error, message",
    [
        # worded exactly as compiled code's parse words them, so both modes fail alike
        (lambda p: p.parse_tree("x", start="Nope"), ValueError, "unknown start rule"),
        (lambda p: p.parse_tree("x", start="N" * 300), ValueError, "unknown start rule"),
        (lambda p: pargo.compile("@silent A = 'a'").parse_tree("a"), ValueError,
         "the start rule matched but produced no nodes (is it @silent?)"),
        (lambda p: p.parse_tree(1), TypeError, "parse input must be str or bytes"),
        (lambda p: p.parse(bytearray(b"x")), TypeError, "parse input must be str or bytes"),
    ],
)
def test_parse_failure_messages(call, error, message):
    with pytest.raises(error) as info:
        call(statements())
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.parse_tree(1),
        lambda p: p.parse_tree("x", start=3),
        lambda p: p.parse(["x"]),
        lambda p: pargo.compile(b"A = 'a'"),
    ],
)
def test_wrong_argument_types(call):
    with pytest.raises(TypeError):
        call(statements())


def test_objects_cannot_be_made_directly():
    for cls in (pargo.GrammarParser, pargo.Tree, pargo.Node):
        with pytest.raises(TypeError):
            cls()


# ---- syntax errors -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, line, column, offset, message",
    [
        ("let x = ;", 1, 9, 8, "expected '-', Number, Float, Text, Name, '(' or '['"),
        ("let x = 1;\n  print 1 2;", 2, 11, 21, "expected MulOp, AddOp, ',' or ';'"),
        ("let x = 1", 1, 10, 9, "expected MulOp, AddOp or ';'"),
        ("let x = 1; }", 1, 12, 11, "expected 'let', 'print', '{' or end of input"),
        ('print "abc', 1, 7, 6, "expected '-', Number, Float, Text, Name, '(' or '['"),
        ("é let", 1, 1, 0, "expected 'let', 'print', '{' or end of input"),
    ],
)
def test_syntax_error_positions(text, line, column, offset, message):
    with pytest.raises(pargo.ParseError) as info:
        statements().parse(text)
    e = info.value
    assert (e.line, e.column, e.offset, e.message) == (line, column, offset, message)
    assert str(e) == f"line {line}, col {column}: {message}"
    assert isinstance(e, ValueError)


def test_parse_error_made_by_hand():
    e = pargo.ParseError("line 1, col 2: oops")
    assert str(e) == "line 1, col 2: oops" and e.offset is None and e.message is None
    e.offset, e.line, e.column, e.message = 1, 1, 2, "oops"
    assert (e.offset, e.line, e.column, e.message) == (1, 1, 2, "oops")


def test_diagnostic_attributes_and_render():
    d = pargo.Diagnostic("error", "syntax", "expected ';'", (13, 16), 2, 3)
    assert (d.severity, d.code, d.message, d.span, d.start, d.end, d.line, d.column) == \
        ("error", "syntax", "expected ';'", (13, 16), 13, 16, 2, 3)
    source = "let a = 1;\nx  yyy\nz"
    assert d.render(source, "prog.t") == "prog.t:2:3: error[syntax]: expected ';'\nx  yyy\n  ^~~"
    assert d.render(source).splitlines()[0] == "2:3: error[syntax]: expected ';'"
    assert "Diagnostic('error', 'syntax'" in repr(d)
    # columns count bytes: the caret sits under the character after a two-byte one
    e = pargo.Diagnostic("warning", "w1", "m", (2, 3), 1, 3)
    assert e.render("éx!").splitlines()[1:] == ["éx!", " ^"]
    # a span running past its line is cut at the line's end
    f = pargo.Diagnostic("error", "syntax", "m", (1, 9), 1, 2)
    assert f.render("abc\ndef").splitlines()[2] == " ^~"


# ---- grammar errors ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "grammar, message",
    [
        ("", "line 1, column 1: the grammar has no rules"),
        ("A = 'a'\nB = C", "line 2, column 5: unknown rule 'C'"),
        ("A = 'a'\n A = 'b'", "line 2, column 2: rule 'A' is defined twice"),
        ("A = 'a\nB = 'b'", "line 1, column 5: unterminated literal"),
        ("A = [a-", "line 1, column 5: unterminated character class"),
        ("A = [z-a]", "line 1, column 6: a range must go upward"),
        ("A = 'a' 'b\\q'", "line 1, column 11: unknown escape \\q"),
        ("@tok A = 'a'", "line 1, column 1: unknown flag '@tok'"),
        ("A 'a'", "line 1, column 3: expected '=' after the rule name 'A'"),
        ("A = ", "line 1, column 5: expected an expression, found the end of the grammar"),
        ("A = ('a'", "line 1, column 9: expected ')'"),
        ("A = 'a' | )", "line 1, column 11: expected an expression, found ')'"),
        ("A = 'a' | \u00e9", "line 1, column 11: expected an expression, found '\u00e9'"),
        ("A = \u20ac", "line 1, column 5: expected an expression, found '\u20ac'"),
        ("A = 'a' ->", "line 1, column 11: expected an action name after '->'"),
        ("A = 'a' -> str 'b'", "line 1, column 16: expected a rule after the action"),
        ("@skip A = ' '\n@skip B = '\\t'", "line 2, column 7: only one rule can be @skip"),
        ("@fold A = 'a' 'b'", "line 1, column 7: the body of the @fold rule 'A' must be 'first rest*'"),
        ("A = B 'x'\nB = A 'y' | 'z'", "line 1, column 1: the rule 'A' is left-recursive"),
        ("A = 'x'? A", "line 1, column 1: the rule 'A' is left-recursive"),
        ("A = " + "(" * 300 + "'a'" + ")" * 300, "line 1, column 105: expression nested too deeply"),
        ("A = " + " ".join(f"l{i}:'a'" for i in range(256)), "line 1, column 2190: more than 255 label names"),
        ("\n".join(f"R{i} = 'a'" for i in range(4095)), "line 4095, column 1: more than 4094 rules"),
    ],
)
def test_bad_grammars(grammar, message):
    with pytest.raises(pargo.GrammarError) as info:
        pargo.compile(grammar)
    assert str(info.value) == message
    assert isinstance(info.value, ValueError)


def test_grammar_notation_details():
    # comments, both quotes, escapes, flags on their own lines, a rule ending after its action
    p = pargo.compile("# top\n@token\nA = \"\\x41\\n\" '\\'' [\\]\\-] -> str # c\nB = A")
    assert p.parse("A\n']") == "A\n']" and p.literals() == ["A\n", "'"]


def test_readme_worked_example():
    import pathlib

    readme = (pathlib.Path(__file__).parent.parent / "companions" / "pargo" / "README.md").read_text()
    grammar = readme.split("## A worked example\n\n```\n")[1].split("```")[0]
    p = pargo.compile(grammar)
    assert repr(p.parse("let x = 1 + 2 * y;")) == \
        "Program(stmts=[Assign(name='x', value=Binary(left=1, op='+', right=Binary(left=2, op='*', right='y')))])"
    t = p.parse_tree("let x = 1 + 2 * y;")
    assert [(t.node(i).kind, t.node(i).label) for i in range(len(t))] == [
        ("Program", None), ("Assign", "stmts"), ("Name", "name"), ("Binary", "value"), ("Number", "left"),
        ("AddOp", "op"), ("Binary", "right"), ("Number", "left"), ("MulOp", "op"), ("Name", "right")]
