"""The system's message rules where texts come from the user: a text holding a NUL keeps
everything after it, a long one is cut at the system's limit (1020 bytes, on a character
boundary, then "..."), a host function's exception text keeps up to 512 bytes, and callables
that take a fixed count of positional arguments report a wrong count as TypeError
"WrongArgumentCount"."""
import pytest

import pargo
import wuna
from support.small_language import make_language
from support.toy import error_of, message, probe, toy
from support.version import PROJECT_VERSION

CALLS = """def add(a, b) { return a + b; }
"""


@pytest.fixture
def program():
    program = make_language([]).load(CALLS)
    program.run()
    return program


# ---- texts with a NUL ----------------------------------------------------------------------

@pytest.mark.parametrize("use", ["call", "map"])
@pytest.mark.parametrize("name", ["add\x00", "ad\x00d", "\x00", "add\x00" + "x" * 2000])
def test_an_unknown_name_is_shown_whole(program, use, name):
    with pytest.raises(KeyError) as caught:
        program.call(name) if use == "call" else program.map(name, [()])
    [text] = caught.value.args
    expected = f"the program defines no function '{name}'"
    if len(expected.encode()) < 1024:
        assert text == expected
    else:
        assert text == expected[:1020] + "..."


@pytest.mark.parametrize("use", ["call", "map"])
def test_an_unknown_keyword_is_shown_whole(program, use):
    with pytest.raises(TypeError) as caught:
        if use == "call":
            program.call("add", 1, 2, **{"mo\x00de": 1})
        else:
            program.map("add", [(1, 2)], **{"mo\x00de": 1})
    assert str(caught.value) == f"{use}() got an unexpected keyword argument 'mo\x00de'"


def fail_with(text):
    def host(*args):
        raise ValueError(text)
    return host


def test_a_host_exception_text_with_a_nul_is_kept_whole():
    lang = toy()
    lang.host("fail", fail_with("before\x00after"))
    assert message(error_of(lang, "fail();")) == "host: ValueError: before\x00after"


def test_a_host_name_with_a_nul_is_kept_whole():
    lang = toy()
    host = fail_with("bad")
    host.__name__ = "ho\x00st"
    lang.host("fail", host)
    assert message(error_of(lang, "fail();")) == "ho\x00st: ValueError: bad"


@pytest.mark.parametrize("length, kept", [(500, 500), (512, 512), (513, 512), (3000, 512)])
def test_a_host_exception_text_keeps_512_bytes(length, kept):
    lang = toy()
    # "ValueError: " and the text make the exception's text.
    lang.host("fail", fail_with("y" * (length - len("ValueError: "))))
    text = message(error_of(lang, "fail();"))
    assert text == "host: " + ("ValueError: " + "y" * length)[:kept]


def test_rt_error_keeps_a_nul_and_what_follows(monkeypatch):
    lang = toy()
    probe(lang, lambda node, rt: rt.error(node, "one\x00two"))
    assert message(error_of(lang, "1;")) == "one\x00two"


# ---- rt.error cuts long messages as every message is cut -------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("y" * 1023, "y" * 1023),
    ("y" * 1024, "y" * 1020 + "..."),
    ("y" * 3000, "y" * 1020 + "..."),
    # A character across the cut goes whole.
    ("y" * 1019 + "\u00e9" * 10, "y" * 1019 + "..."),
    ("y" * 1018 + "\u00e9" * 10, "y" * 1018 + "\u00e9" + "..."),
    ("\u4e2d" * 400, "\u4e2d" * 340 + "..."),
])
def test_rt_error_cuts_a_long_message(text, expected):
    lang = toy()
    probe(lang, lambda node, rt: rt.error(node, text))
    assert message(error_of(lang, "1;")) == expected


# ---- a wrong count of arguments -------------------------------------------------------------

def no_argument_callables():
    lang = wuna.Language(pargo.compile("P = 'x'"))
    program = lang.load("x")
    session = lang.session()
    return [
        ("wuna.version", wuna.version),
        ("wuna._blocks", wuna._blocks),
        ("wuna.collect", wuna.collect),
        ("wuna.clear_cache", wuna.clear_cache),
        ("Language.python_semantics", lang.python_semantics),
        ("Language.session", lang.session),
        ("Program.report", program.report),
        ("Session.names", session.names),
    ]


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((1, 2), {}), ((), {"x": 1}),
                                          ((None,), {})])
def test_callables_without_arguments_report_a_wrong_count(args, kwargs):
    for name, callable_ in no_argument_callables():
        with pytest.raises(TypeError) as caught:
            callable_(*args, **kwargs)
        assert str(caught.value) == "WrongArgumentCount", name


def test_callables_without_arguments_still_answer():
    answers = {name: callable_() for name, callable_ in no_argument_callables()
               if name not in ("wuna.collect", "wuna.clear_cache")}
    assert answers["wuna.version"] == PROJECT_VERSION
    assert type(answers["wuna._blocks"]) is int
    assert answers["Language.python_semantics"] == {}
    assert type(answers["Language.session"]) is wuna.Session
    assert type(answers["Program.report"]) is dict
    assert answers["Session.names"] == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((len, len), {}), ((), {"fn": len})])
def test_comptime_takes_one_argument(args, kwargs):
    with pytest.raises(TypeError) as caught:
        wuna.comptime(*args, **kwargs)
    assert str(caught.value) == "WrongArgumentCount"

    def f(x):
        return x
    assert wuna.comptime(f) is f


@pytest.mark.parametrize("name, signature", [
    ("version", "($module, /)"), ("_blocks", "($module, /)"), ("collect", "($module, /)"),
    ("clear_cache", "($module, /)"), ("comptime", "($module, arg0, /)"),
])
def test_signatures_are_kept(name, signature):
    assert getattr(wuna, name).__text_signature__ == signature
