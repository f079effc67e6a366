"""wuna.Node, a node of a loaded program: its own attributes, its fields (labelled children,
converted by the grammar's actions) and how they hide attributes of the same name, the
"has no field" message, find, repr, hash and equality, lines and columns, and a node whose
program the collector cleared."""
import ctypes
import gc

import pytest

import pargo
import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = Let | Show | Quote | Long
Let = 'let' name:Name '=' value:Expr ';' -> Assign
Show = 'show' args:Expr (',' args:Expr)* ';'
Quote = 'quote' word:Name ';'
Long = 'long' LONGA:Name LONGB:Name LONGC:Name LONGD:Name LONGE:Name ';'
@silent Expr = Sum
@fold Sum = left:Atom (op:AddOp right:Atom)* -> Binary
@lift Atom = Float | Number | Quoted | Yes | No | Nothing | ListOf | TupleOf | DictOf | FirstOf | Dropped | Name
@token AddOp = '+' | '-' -> str
@token Number = [0-9]+ -> int
@token Float = [0-9]+ '.' [0-9]+ -> float
@token Quoted = '"' [^"]* '"' -> unquote
Yes = 'yes' -> True
No = 'no' -> False
Nothing = 'nothing' -> None
ListOf = '[' items:Expr* ']' -> list
TupleOf = '<' Expr* '>' -> tuple
DictOf = '{' (Entry | Name)* '}' -> dict
Entry = Expr ':' Expr -> tuple
FirstOf = 'first' '(' Expr* ')' -> first
@token Dropped = '#' [a-z]* -> drop
@token Name = [a-z_]+ -> str
@skip Space = [ \t\n]+
"""
# Field names of 120 bytes: four fit in the 509 bytes a "has no field" message lists.
LONG = {f"LONG{c}": c.lower() * 120 for c in "ABCDE"}
for short, long in LONG.items():
    GRAMMAR = GRAMMAR.replace(short, long)

SOURCE = ('let x = 1 + 2.5;\n'
          'show "hé", yes, no, nothing, [1 #c 2], <3 4>, {5: 6 k 7: 8 5: 9}, first(#a 9 10), first();\n'
          'quote zz;\n'
          'show [];\n'
          'show 7;\n'
          'long a b c d e;\n')

# A grammar with a field named text.
TEXT_GRAMMAR = r"""
Program = 'quote' text:Word
@token Word = [a-z]+ -> str
@skip Space = [ ]+
"""


@pytest.fixture(scope="module")
def language():
    return wuna.Language(pargo.compile(GRAMMAR))


@pytest.fixture
def program(language):
    return language.load(SOURCE)


@pytest.fixture
def root(program):
    return program.root


def one(root, rule, n=0):
    return root.find(rule)[n]


# ---- own attributes -----------------------------------------------------------------------

def test_own_attributes(root):
    let = one(root, "Let")
    assert let.kind == "Assign" and let.rule == "Let"
    assert let.text == "let x = 1 + 2.5;"
    assert let.span == (0, 16) and let.start == 0 and let.end == 16
    assert (let.line, let.column) == (1, 1)
    assert let.index == 1
    assert let.parent == root and root.parent is None
    assert let.fields == ["name", "value"]
    assert let.children == ["x", one(root, "Sum")]


def test_kind_is_the_same_interned_str_each_time(root):
    assert one(root, "Sum").kind is one(root, "Sum").kind == "Binary"
    assert one(root, "Sum").rule == "Sum"


@pytest.mark.parametrize("rule, line, column", [
    ("Program", 1, 1),
    ("Show", 2, 1),
    ("Yes", 2, 13),      # "hé" is four bytes: columns count bytes
    ("Quote", 3, 1),
    ("Show", 4, 1),
])
def test_lines_and_columns(root, rule, line, column):
    nodes = root.find(rule)
    node = next(n for n in nodes if n.line == line)
    assert node.column == column


def test_last_line_without_a_newline(language):
    node = language.load("show 1;\n\n  show 2;").root.find("Show")[1]
    assert (node.line, node.column) == (3, 3)


# ---- values of fields and children --------------------------------------------------------

def test_children_follow_the_actions(root):
    show = one(root, "Show")
    assert show.children == ["hé", True, False, None, [1, 2], (3, 4), {5: 9, 7: 8}, 9, None]
    assert type(one(root, "Number").children) is list


@pytest.mark.parametrize("rule, expected, kind", [
    ("Number", 1, wuna.I64),
    ("Float", 2.5, float),
    ("Quoted", "hé", str),
    ("AddOp", "+", str),
    ("Yes", True, bool),
    ("No", False, bool),
    ("Nothing", None, type(None)),
])
def test_token_values_through_a_parent_field(root, rule, expected, kind):
    node = one(root, rule)
    value = [v for v in node.parent.children if v == expected and type(v) is kind]
    assert value, (node, node.parent.children)


def test_scalar_values_are_computed_once(root):
    let = one(root, "Let")
    assert let.name is let.name
    show = one(root, "Show")
    assert show.args[0] is show.args[0]


def test_node_values_are_new_and_equal(root):
    let = one(root, "Let")
    a, b = let.value, let.value
    assert a is not b and a == b and hash(a) == hash(b)
    assert {a: 1}[b] == 1


@pytest.mark.parametrize("rule, n, field, expected", [
    ("Let", 0, "name", "x"),               # a single label: the one value
    ("Sum", 0, "left", 1),
    ("Show", 2, "args", [7]),              # a list label: a list even for one value
    ("Show", 1, "args", [[]]),
    ("ListOf", 1, "items", []),             # a list label with no child: an empty list
    ("Let", 0, "args", None),              # a label the kind does not use
    ("Quote", 0, "word", "zz"),
])
def test_labelled_values(root, rule, n, field, expected):
    assert getattr(one(root, rule, n), field) == expected


def test_a_field_hides_the_attribute_of_its_name():
    root = wuna.Language(pargo.compile(TEXT_GRAMMAR)).load("quote zz").root
    assert root.text == "zz"
    assert root.span == (0, 8) and root.fields == ["text"]


# ---- what is not there --------------------------------------------------------------------

@pytest.mark.parametrize("rule, message", [
    ("Let", "Assign has no field 'nope' (its fields: name, value)"),
    ("Yes", "Yes has no field 'nope' (its fields: none)"),
    ("Long", "Long has no field 'nope' (its fields: " + ", ".join(c * 120 for c in "abcd") + ")"),
])
def test_no_field_lists_the_fields_of_the_kind(root, rule, message):
    with pytest.raises(AttributeError) as caught:
        one(root, rule).nope
    assert str(caught.value) == message


def test_no_field_list_counts_each_name_without_its_separator():
    # 250 + ", " + 250 = 502 bytes listed; a name of 7 more makes 509 and still joins (its ", "
    # comes on top); the next, of 1, would pass 509 and ends the list.
    names = ["a" * 250, "b" * 250, "c" * 7, "d"]
    grammar = ("Program = 'x' " + " ".join(f"{n}:Word" for n in names) + "\n"
               "@token Word = [a-z]+ -> str\n@skip Space = [ ]+\n")
    root = wuna.Language(pargo.compile(grammar)).load("x p q r s").root
    with pytest.raises(AttributeError) as caught:
        root.nope
    assert str(caught.value) == "Program has no field 'nope' (its fields: " + ", ".join(names[:3]) + ")"


def test_no_field_message_is_cut_at_1024_bytes(root):
    name = "é" * 800
    with pytest.raises(AttributeError) as caught:
        getattr(one(root, "Let"), name)
    text = str(caught.value).encode()
    assert text.endswith(b"...") and len(text) <= 1023
    assert text.decode().startswith("Assign has no field 'éé")


def test_names_are_compared_whole(root):
    for name in ["kind\x00", "kin", "kindx", "Kind"]:
        with pytest.raises(AttributeError, match="has no field"):
            getattr(one(root, "Let"), name)


def test_attribute_names_must_be_strs(root):
    with pytest.raises(TypeError, match="an attribute name must be a str"):
        wuna.Node.__getattribute__(root, 5)


def test_dunder_names_are_pythons(root):
    assert root.__class__ is wuna.Node
    assert root.__doc__.startswith("A node of the program.")
    with pytest.raises(AttributeError):
        root.__nothing__


# ---- find ---------------------------------------------------------------------------------

def test_find_lists_the_node_and_its_descendants_of_a_rule(root):
    assert root.find("Program") == [root]
    sums = root.find("Sum")
    assert [n.text for n in sums] == ["1 + 2.5"]
    show = one(root, "Show")
    assert [n.text for n in show.find("Number")] == ["1", "2", "3", "4", "5", "6", "7", "8", "5",
                                                     "9", "9", "10"]
    assert one(root, "Number").find("Number") == [one(root, "Number")]


@pytest.mark.parametrize("rule", ["Binary", "Assign", "nope", ""])
def test_find_by_a_name_that_is_no_rule_is_empty(root, rule):
    assert root.find(rule) == []


def test_find_arguments(root):
    with pytest.raises(TypeError, match="a rule name must be a str"):
        root.find(5)


@pytest.mark.parametrize("args, kwargs", [((), {}), (("Sum", "Let"), {}), ((), {"rule": "Sum"}),
                                          (("Sum",), {"x": 1})])
def test_find_takes_one_positional_argument(root, args, kwargs):
    with pytest.raises(TypeError, match="^WrongArgumentCount$"):
        root.find(*args, **kwargs)


# ---- repr, hash, equality -----------------------------------------------------------------

@pytest.mark.parametrize("text, shown", [
    ('show "";', "<Show 'show \"\";'>"),
    ('show "' + "a" * 22 + '";', "<Show 'show \"" + "a" * 22 + "\";'>"),      # 30 bytes: whole
    ('show "' + "a" * 23 + '";', "<Show 'show \"" + "a" * 21 + "'...>"),       # 31: 27 and ...
    ('show "' + "a" * 20 + 'éb";', "<Show 'show \"" + "a" * 20 + "\ufffd'...>"),  # é cut in half
])
def test_repr_shows_kind_and_text(language, text, shown):
    assert repr(language.load(text).root.find("Show")[0]) == shown


def test_equality_and_hash(language, root):
    let = one(root, "Let")
    again = root.find("Let")[0]
    other = language.load(SOURCE).root.find("Let")[0]
    assert let == again and not (let != again) and hash(let) == hash(again)
    assert let != other and not (let == other)
    assert let != one(root, "Show")
    assert (let == 5) is False and (let != 5) is True
    with pytest.raises(TypeError):
        let < again
    assert len({let, again, other}) == 2


# ---- a node of a program that is gone -----------------------------------------------------

def clear(node):
    """Runs the collector's clear on a node, as when a cycle through its State is broken."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    tp_clear = 51
    ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(wuna.Node, tp_clear))(node)


def test_a_cleared_node_says_its_program_is_gone(language):
    node = language.load("show 1;").root
    twin = node.find("Program")[0]
    clear(node)
    assert repr(node) == "<node of a program that is gone>"
    for read in [lambda: node.text, lambda: node.kind, lambda: node.args, lambda: node.nope,
                 lambda: node.find("Show")]:
        with pytest.raises(RuntimeError, match="this node's program is gone"):
            read()
    assert node != twin and node == node
    assert hash(node) == hash(wuna.Node.__hash__(node))
    assert twin.text == "show 1;"
    del node
    gc.collect()
    assert twin.find("Show")[0].args == [1]
