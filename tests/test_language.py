"""Making a Language: its constructor's arguments and limits, the grammar it reads from the
parser (kind names from rules and -> classes, labels, what a parser must give), types(),
function kinds, an object whose constructor never ran, and collection of reference cycles."""
import gc
import weakref

import pytest

import wuna
from support.parsers import FakeParser, small_parser
from support.processes import run_python


@pytest.fixture(scope="module")
def parser():
    return small_parser()


# ---- the constructor ---------------------------------------------------------------------

P = object()  # stands for the parser in the tables


def resolve(args, kwargs, parser):
    return ([parser if a is P else a for a in args],
            {k: parser if v is P else v for k, v in kwargs.items()})


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((P, None, 1, 1, False, 6), {}, TypeError,
     "Language() takes at most 5 positional arguments (6 given)"),
    ((), {}, TypeError, "Language() missing required argument 'parser'"),
    ((), {"rules": None}, TypeError, "Language() missing required argument 'parser'"),
    ((P,), {"parser": P}, TypeError, "Language() got multiple values for argument 'parser'"),
    ((P, None), {"rules": None}, TypeError,
     "Language() got multiple values for argument 'rules'"),
    ((P, None, 5, 5, True), {"strict": False}, TypeError,
     "Language() got multiple values for argument 'strict'"),
    ((P,), {"max_depth": "3"}, TypeError, "Language() argument 'max_depth' has the wrong type"),
    ((P,), {"hot_calls": 1.5}, TypeError, "Language() argument 'hot_calls' has the wrong type"),
    # the parameters are read in order: the first problem is the one reported
    ((P,), {"max_depth": "3", "depth": 3}, TypeError,
     "Language() argument 'max_depth' has the wrong type"),
    ((P,), {"depth": 3}, TypeError, "Language() got an unexpected keyword argument 'depth'"),
    ((P,), {"max_depth": 0}, ValueError, "max_depth must be at least 1"),
    ((P,), {"hot_calls": -5}, ValueError, "hot_calls must be at least 1"),
    ((P,), {"max_depth": 0, "hot_calls": 0}, ValueError, "max_depth must be at least 1"),
])
def test_constructor_argument_errors(parser, args, kwargs, error, message):
    args, kwargs = resolve(args, kwargs, parser)
    with pytest.raises(error) as caught:
        wuna.Language(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("kwargs", [{"max_depth": 2**70}, {"hot_calls": -2**64}])
def test_limits_outside_64_bits_raise_overflow(parser, kwargs):
    with pytest.raises(OverflowError):
        wuna.Language(parser, **kwargs)


@pytest.mark.parametrize("args, kwargs", [
    ((None, 50, 10, True), {}),
    ((), {"max_depth": 10**7}),   # kept as the most depth there is
    ((), {"max_depth": True, "hot_calls": 2**62}),
    ((), {"max_depth": None, "hot_calls": None, "strict": None, "rules": None}),
    ((object(),), {}),            # rules are kept as given
])
def test_constructor_accepts(parser, args, kwargs):
    lang = wuna.Language(parser, *args, **kwargs)
    assert repr(lang) == "Language()"


def test_a_language_subclass_constructs_through_its_base(parser):
    class Mine(wuna.Language):
        def __init__(self, parser):
            super().__init__(parser, strict=True)

    lang = Mine(parser)
    assert isinstance(lang.eval("Print"), wuna.Registrar)


# ---- the grammar read from the parser ------------------------------------------------------

@pytest.mark.parametrize("grammar, kwargs, error, message", [
    (FakeParser(rules=KeyError("no rules")), {}, KeyError, "'no rules'"),
    (FakeParser(["A"], fields=RuntimeError("no fields")), {}, RuntimeError, "no fields"),
    # an old parser package: labels() is missing
    (FakeParser(["A"], labels=AttributeError("labels")), {}, ImportError,
     "wuna needs pargo 0.3.6 or later (parser.labels())"),
    # the grammar's failure comes before the limits' checks
    (FakeParser(["A"], labels=AttributeError("labels")), {"max_depth": 0}, ImportError,
     "wuna needs pargo 0.3.6 or later (parser.labels())"),
    (FakeParser([5]), {}, TypeError, "a rule name must be a str"),
    (FakeParser(["A"], actions=[5]), {}, TypeError, "an action must be a str"),
    (FakeParser(["A"], fields=[b"x"]), {}, TypeError, "a label must be a str"),
    (FakeParser(["A"], labels=[[(5, False)]]), {}, TypeError, "a label must be a str"),
    (FakeParser(["A"], actions=[]), {}, TypeError, "parser.actions() must give one item per rule"),
    (FakeParser(["A"], labels=[]), {}, TypeError, "parser.labels() must give one item per rule"),
    (FakeParser(["A"], fields=[f"f{i}" for i in range(256)]), {}, ValueError,
     "the grammar has 256 fields (labels): wuna takes at most 255"),
    (FakeParser([f"R{i}" for i in range(4096)]), {}, ValueError,
     "the grammar has 4096 rules: wuna takes at most 4095"),
])
def test_grammar_reading_failures(grammar, kwargs, error, message):
    with pytest.raises(error) as caught:
        wuna.Language(grammar, **kwargs)
    assert str(caught.value) == message


def test_grammars_at_the_limits_are_read():
    fields = [f"f{i}" for i in range(255)]
    rules = [f"R{i}" for i in range(4095)]
    labels = [[("f254", True)]] + [[] for _ in rules[1:]]
    lang = wuna.Language(FakeParser(rules, fields=fields, labels=labels))
    lang.eval("R4094")
    lang.function("R0", params="f254", body="R1")


KINDS = FakeParser(["Expr", "Call", "Num", "Neg", "Group"],
                   actions=[None, "Invoke", "int", "Invoke", "first"],
                   fields=["body"], labels=[[], [("body", False)], [], [], []])


@pytest.mark.parametrize("kind, known", [
    ("Expr", True),      # a rule without an action
    ("Num", True),       # a rule whose action makes a value, not a class
    ("Call", True),      # a rule whose action makes a class: its rule name still names it
    ("Invoke", True),    # ... and so does the class
    ("int", False),      # a value action is no kind
    ("first", False),
    ("<error>", False),  # a language's own grammar has no error kind
    ("expr", False),
])
def test_kind_names_come_from_rules_and_classes(kind, known):
    lang = wuna.Language(KINDS)
    if known:
        assert isinstance(lang.eval(kind), wuna.Registrar)
    else:
        with pytest.raises(ValueError) as caught:
            lang.eval(kind)
        assert str(caught.value) == f"the grammar has no rule or -> class named '{kind}'"


def test_an_action_with_a_nul_is_a_class_not_a_value_action():
    lang = wuna.Language(FakeParser(["R"], actions=["str\x00x"]))
    assert isinstance(lang.eval("str\x00x"), wuna.Registrar)


# A parser whose lists change while they are read: the truth test of the first label flag
# (which runs while the grammar is read) empties one of them, freeing what it held. The
# grammar read is the one given.
CHANGED_WHILE_READ = """
    import gc, wuna

    class Flag:
        def __bool__(self):
            (lists[WHICH] if WHICH != "pairs" else lists["labels"][0]).clear()
            gc.collect()
            return True

    lists = {"rules": ["A", "B"], "actions": [None, "Bee"], "fields": ["x", "y"],
             "labels": [[("x", Flag()), ("y", False)], []]}

    class Parser:
        def rules(self): return lists["rules"]
        def actions(self): return lists["actions"]
        def fields(self): return lists["fields"]
        def labels(self): return lists["labels"]

    lang = wuna.Language(Parser())
    del lists
    for kind in ["A", "B", "Bee"]:
        lang.eval(kind)
    lang.function("A", params="x", body="y")
    print("read")
"""


@pytest.mark.parametrize("which", ["rules", "actions", "labels", "pairs"])
def test_lists_changed_while_the_grammar_is_read_do_not_matter(which):
    code = CHANGED_WHILE_READ.replace("WHICH", repr(which))
    out = run_python(code)
    assert (out.returncode, out.stdout, out.stderr) == (0, "read\n", "")


def test_a_language_constructed_again_while_its_parser_is_read_keeps_no_trace_of_it():
    inner = FakeParser(["Inner"])

    class Outer(FakeParser):
        def rules(self):
            lang.__init__(inner)      # completes before the outer construction goes on
            lang.exec("Inner", native=False)(print)
            return super().rules()

    lang = wuna.Language(FakeParser(["Start"]))
    lang.__init__(Outer(["Outer"]))
    assert isinstance(lang.eval("Outer"), wuna.Registrar)
    with pytest.raises(ValueError):
        lang.eval("Inner")
    assert lang.python_semantics() == {}
    freed = weakref.ref(inner)
    del inner
    gc.collect()
    assert freed() is None


def test_a_field_listed_twice_is_still_a_label():
    lang = wuna.Language(FakeParser(["F", "B"], fields=["body", "params", "body"]))
    assert lang.function("F") is None
    assert lang.function("F", params="params", body="body") is None


# ---- types() -----------------------------------------------------------------------------

def test_types_takes_a_dict_or_a_callable(parser):
    lang = wuna.Language(parser)
    assert lang.types({"int": int}) is None
    assert lang.types(str) is None
    assert lang.types(lambda text: int) is None
    with pytest.raises(TypeError) as caught:
        lang.types(5)
    assert str(caught.value) == "types() takes a dict of type names, or a function of a type's text"


@pytest.mark.parametrize("args, kwargs", [((), {}), (({}, {}), {}), ((), {"mapping": {}})])
def test_types_takes_one_positional_argument(parser, args, kwargs):
    with pytest.raises(TypeError, match="^WrongArgumentCount$"):
        wuna.Language(parser).types(*args, **kwargs)


# ---- function kinds ------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs", [
    {"kind": "FuncDef"},                   # by class; params, body and name by their labels
    {"kind": "Def"},                       # by rule
    {"kind": "Lambda", "body": "value", "name": None, "hoist": False},
    {"kind": "FuncDef", "body": "Block"},  # the body as a rule, not a label
    {"kind": "Def", "missing": "none", "extra": "keep"},
    {"kind": "Def", "missing": "error", "extra": "drop"},
    {"kind": "Def", "params": None, "body": None, "missing": None, "extra": None},
])
def test_function_kinds_are_declared(parser, kwargs):
    lang = wuna.Language(parser)
    assert lang.function(**kwargs) is None
    assert lang.function(**kwargs) is None  # a second declaration replaces the first


NO_LABELS = FakeParser(["F", "Block"], fields=["body"])
NO_BODY = FakeParser(["F", "Block"], fields=["params", "name"])


@pytest.mark.parametrize("grammar, args, kwargs, error, message", [
    (None, ("Def",) * 8, {}, TypeError, "function() takes at most 7 positional arguments (8 given)"),
    (None, (), {}, TypeError, "function() missing required argument 'kind'"),
    (None, ("Def",), {"kind": "Def"}, TypeError, "function() got multiple values for argument 'kind'"),
    (None, ("Def", "params"), {"params": "x"}, TypeError,
     "function() got multiple values for argument 'params'"),
    (None, ("Def",), {"hoisted": True}, TypeError,
     "function() got an unexpected keyword argument 'hoisted'"),
    (None, (5,), {}, TypeError, "kind must be a str"),
    (None, ("Nope",), {}, ValueError, "the grammar has no rule or -> class named 'Nope'"),
    (None, ("Def",), {"missing": "Error"}, ValueError,
     "missing= is \"error\" or \"none\", not 'Error'"),
    (None, ("Def",), {"missing": 0}, TypeError, "missing must be a str"),
    (None, ("Def",), {"extra": "keep\0"}, ValueError,   # equal as C text only, named whole
     "extra= is \"error\", \"drop\" or \"keep\", not 'keep\0'"),
    (None, ("Def",), {"extra": "more"}, ValueError,
     "extra= is \"error\", \"drop\" or \"keep\", not 'more'"),
    (None, ("Def",), {"extra": 1}, TypeError, "extra must be a str"),
    (None, ("Def",), {"params": 5}, TypeError, "a label must be a str"),
    (None, ("Def",), {"params": "args"}, ValueError, "the grammar has no label 'args'"),
    (None, ("Def",), {"name": "title"}, ValueError, "the grammar has no label 'title'"),
    (None, ("Def",), {"body": 5}, TypeError, "body must be a str"),
    (None, ("Def",), {"body": "FuncDef"}, ValueError,  # a class is no rule
     "the grammar has no label or rule 'FuncDef' (the function's body)"),
    (NO_BODY, ("F",), {}, ValueError,
     "the grammar has no label 'body': say which label is the function's body"),
    # without params and name labels, parameters and names are simply absent
    (NO_LABELS, ("F",), {}, None, None),
    (NO_BODY, ("F",), {"body": "Block"}, None, None),
    # the first problem in order: missing= is checked before the labels
    (NO_BODY, ("F",), {"missing": "x"}, ValueError, "missing= is \"error\" or \"none\", not 'x'"),
])
def test_function_errors(parser, grammar, args, kwargs, error, message):
    lang = wuna.Language(parser if grammar is None else grammar)
    if error is None:
        assert lang.function(*args, **kwargs) is None
        return
    with pytest.raises(error) as caught:
        lang.function(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("call", [
    lambda lang: lang.function("\ud800"),
    lambda lang: lang.function("Def", missing="\ud800"),
    lambda lang: lang.function("Def", extra="\ud800"),
    lambda lang: lang.function("Def", params="\ud800"),
    lambda lang: lang.function("Def", body="\ud800"),
    lambda lang: lang.exec("\ud800"),
    lambda lang: lang.eval(["Print", "\ud800"]),
])
def test_a_str_argument_without_utf8_is_an_encoding_error(parser, call):
    # A str is the right type: the error is its text, not a TypeError about the type.
    with pytest.raises(UnicodeEncodeError):
        call(wuna.Language(parser))


@pytest.mark.parametrize("call, message", [
    (lambda lang: lang.exec("Print\0x"), "the grammar has no rule or -> class named 'Print\0x'"),
    (lambda lang: lang.eval(["Print", "Print\0x"]),
     "the grammar has no rule or -> class named 'Print\0x'"),
    (lambda lang: lang.function("Def\0x"), "the grammar has no rule or -> class named 'Def\0x'"),
    (lambda lang: lang.function("Def", params="name\0x"), "the grammar has no label 'name\0x'"),
    (lambda lang: lang.function("Def", body="body\0x"),
     "the grammar has no label or rule 'body\0x' (the function's body)"),
    (lambda lang: lang.function("Def", missing="none\0x"),
     "missing= is \"error\" or \"none\", not 'none\0x'"),
], ids=["exec", "eval-list", "function-kind", "params", "body", "missing"])
def test_messages_name_a_text_with_a_nul_whole(parser, call, message):
    lang = wuna.Language(parser)
    with pytest.raises(ValueError) as caught:
        call(lang)
    assert str(caught.value) == message


# ---- objects whose constructor never ran -----------------------------------------------------

METHOD_CALLS = [
    ("types", ({},)), ("python_semantics", ()), ("ir", (lambda: 0,)), ("eval", ("Print",)),
    ("exec", ("Print",)), ("function", ("Def",)), ("host", (print,)),
    ("native_host", ("f", None)),
]


@pytest.mark.parametrize("name, args", METHOD_CALLS)
def test_methods_of_an_unconstructed_language_raise(name, args):
    lang = wuna.Language.__new__(wuna.Language)
    assert repr(lang) == "Language()"
    with pytest.raises(RuntimeError, match="constructor"):
        getattr(lang, name)(*args)


def test_a_failed_constructor_leaves_a_language_without_a_grammar(parser):
    lang = wuna.Language(parser)
    with pytest.raises(ValueError):
        lang.__init__(parser, max_depth=0)
    with pytest.raises(RuntimeError, match="constructor"):
        lang.eval("Print")
    lang.__init__(parser)  # constructed again, it works again
    assert isinstance(lang.eval("Print"), wuna.Registrar)


def test_a_registrar_outliving_its_cleared_language_raises(parser):
    lang = wuna.Language(parser)
    registrar = lang.eval("Print")
    with pytest.raises(ValueError):
        lang.__init__(parser, hot_calls=0)
    with pytest.raises(RuntimeError, match="constructor"):
        registrar(lambda node, rt: 0)


class Empties:
    """An argument whose truth, __name__ or items empty the language (constructing it again
    with a bad limit leaves it without a grammar) while a method is reading it."""

    def __init__(self, lang, parser):
        self.lang, self.parser = lang, parser

    def _empty(self):
        with pytest.raises(ValueError):
            self.lang.__init__(self.parser, max_depth=0)

    def __bool__(self):
        self._empty()
        return True

    @property
    def __name__(self):
        self._empty()
        return "show"

    def __call__(self, value):
        return value

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        self._empty()
        return "Print"


@pytest.mark.parametrize("call", [
    lambda lang, arg: lang.eval("Print", native=arg),
    lambda lang, arg: lang.exec(arg),
    lambda lang, arg: lang.function("Def", hoist=arg),
    lambda lang, arg: lang.host(arg),
    lambda lang, arg: lang.exec("Print")(arg),   # its name read for the front end's error
], ids=["eval-native", "exec-kinds", "function-hoist", "host-name", "semantic-name"])
def test_a_language_emptied_by_its_own_arguments_raises(parser, call):
    lang = wuna.Language(parser)
    arg = Empties(lang, parser)
    with pytest.raises(RuntimeError, match="constructor"):
        call(lang, arg)
    # nothing kept in the emptied language holds the argument
    freed = weakref.ref(arg)
    del arg, lang
    gc.collect()
    assert freed() is None


# ---- release and collection ------------------------------------------------------------------

class Sentinel:
    def __init__(self, flags):
        self.flags = flags

    def __del__(self):
        self.flags.append("freed")


@pytest.mark.parametrize("native", [True, False])
def test_a_language_in_a_cycle_with_its_semantics_is_collected(parser, native):
    flags = []

    def make():
        lang = wuna.Language(parser)
        sentinel = Sentinel(flags)

        @lang.exec("Print", native=native)
        def run_print(node, rt):
            return lang, sentinel  # the semantic holds its own language

        @lang.host
        def show(value):
            return lang

        lang.types(lambda text: lang)

    make()
    gc.collect()
    assert flags == ["freed"]


@pytest.mark.parametrize("keep", ["closure", "attribute"])
def test_a_language_in_a_cycle_through_a_registrar_is_collected(parser, keep):
    flags = []

    class Lang(wuna.Language):
        pass

    def make():
        lang = Lang(parser)
        lang.sentinel = Sentinel(flags)
        registrar = lang.exec("Print")
        if keep == "attribute":
            lang.registrar = registrar
        else:
            @registrar
            def run_print(node, rt):
                return registrar

    make()
    gc.collect()
    assert flags == ["freed"]


def test_code_run_while_a_language_is_released_finds_it_empty(parser):
    lang = wuna.Language(parser)
    seen = []

    class Probe:
        def __del__(self):
            try:
                lang.eval("Print")
            except RuntimeError:
                seen.append("refused")

    lang.exec("Print", native=False)(lambda node, rt, probe=Probe(): None)
    lang.__init__(parser)  # releases the semantic, whose probe then looks at the language
    assert seen == ["refused"]
    assert isinstance(lang.eval("Print"), wuna.Registrar)
