"""A str constant with lone surrogates (a byte string that isn't UTF-8 kept as surrogate
escapes, as the Lua example keeps them) compiles: it stays the Python str it is, as such a
str converted at run time does, and every operation on it gives the reference mode's result:
equality, hashing as a dict or set key, length, concatenation on either side, containment,
text (str, repr, ascii, f-strings, printing) and the value Python receives back. Such a str
written in a semantic's own source (a literal, the text of an f-string) is read the same way:
registering the semantic doesn't fail."""
import contextlib
import io
import linecache

import pytest

import wuna
from support.small_language import make_language

# Each case: the expression print's semantic appends, over s (the constant "a\udcff"), t (the
# same text made at run time from the program's string), and v (the program's string "a").
CASES = {
    "back_to_python": "s",
    "equal_to_run_time_text": "s == t",
    "not_equal_to_plain": "s != v",
    "equal_to_constant": "s == raw('a')",
    "length": "len(s)",
    "concat_left": "s + v",
    "concat_right": "v + s",
    "concat_both": "s + s",
    "concat_run_time": "t + s",
    "dict_key_lookup": "{s: 1}.get(t, 0)",
    "dict_key_from_run_time": "{t: 2}[s]",
    "dict_key_mixed": "len({s: 1, t: 2, v: 3})",
    "set_membership": "t in {s}",
    "contains": "raw('') in s",
    "contains_plain": "v in s",
    "str": "str(s)",
    "repr": "repr(s)",
    "ascii": "ascii(s)",
    "fstring": "f'<{s}>'",
    "fstring_repr": "f'{s!r}'",
    "type": "type(s) is str",
    "isinstance": "isinstance(s, str)",
    "truth": "1 if s else 0",
    "index": "s[1]",
    "slice": "s[:1]",
    "method": "s.upper()",
    "encode": "s.encode('utf-8', 'surrogateescape')",
    "hash_equal": "hash(s) == hash(t)",
    "list_of_it": "[s, v]",
    "tuple_of_it": "(s, 1)",
    "ordering": "s < t + v",
    # written in the semantic's own source
    "literal": "'a\\udcff'",
    "literal_equal": "'a\\udcff' == t",
    "literal_concat": "v + '\\udcff'",
    "literal_length": "len('a\\udcff')",
    "literal_key": "{'a\\udcff': 5}[t]",
    "fstring_text": "f'{v}\\udcff'",
    "fstring_text_first": "f'\\udcff{v}!'",
    "fstring_spec_fill": "f'{v:\\udcff>3}'",
    # a spec made at run time that is such a str: formatted by Python, as wn_format reads a
    # native str block only
    "spec_from_constant": "f'{v:{s[1]}>3}'",
    "spec_from_run_time_text": "f'{v:{t[1]}^5}'",
    "spec_with_conversion": "f'{v!r:{s[1]}>5}'",
    "spec_invalid": "f'{v:{s}}'",
    "spec_plain_run_time": "f'{v:{v}>3}'",
    # what formatting such a str gives is a str to every operation after it
    "formatted_length": "len(f'{s:>4}')",
    "formatted_items": "[c for c in f'{s}!']",
    "formatted_key": "{f'{s}': 1}[t]",
    "formatted_type": "type(f'{t}') is str",
}


def language(printed, expression, body=None):
    """The small language whose print appends the expression (or, with body, runs that
    semantic body), made from source so that each case is one small compiled semantic;
    linecache holds that source for the compiler, which reads it as it reads a file's."""
    lang = make_language(printed)

    @wuna.comptime
    def raw(text):
        return text + "\udcff"

    body = body or f"    printed.append({expression})\n"
    source = ("def print_(node, rt):\n"
              "    v = rt.eval(node.value)\n"
              "    s = raw('a')\n"
              "    t = v + raw('')\n" + body)
    scope = {"raw": raw, "printed": printed}
    path = f"<surrogate case {expression}>"
    linecache.cache[path] = (len(source), None, source.splitlines(True), path)
    exec(compile(source, path, "exec"), scope)
    lang.exec("Print")(scope["print_"])
    return lang


def both_modes(expression, source='print "a";', body=None):
    outputs = []
    semantics = None
    for mode in ("python", "compiled"):
        printed = []
        lang = language(printed, expression, body)
        try:
            lang.load(source, "t").run(mode)
        except wuna.Error as e:
            printed.append(str(e))
        outputs.append(printed)
        semantics = lang.python_semantics()
    return outputs[0], outputs[1], semantics


def types(values):
    return [[type(y) for y in x] if isinstance(x, (list, wuna.List)) else type(x)
            for x in values]


@pytest.mark.parametrize("expression", CASES.values(), ids=CASES.keys())
def test_a_surrogate_constant_behaves_as_the_python_str(expression):
    python, compiled, semantics = both_modes(expression)
    assert compiled == python
    # a list reaches Python as the runtime's List proxy: its items are compared
    assert types(compiled) == types(python)
    assert "print_" not in semantics, semantics


def test_a_caught_error_keeps_the_surrogates_of_its_message():
    # format's ValueError names the spec as it is: the message a handler reads, and the
    # runtime error of a run it ends, keep the lone surrogate
    body = ("    try:\n"
            "        printed.append(f'{v:{s}}')\n"
            "    except ValueError as e:\n"
            "        printed.append(str(e))\n")
    python, compiled, semantics = both_modes("caught", body=body)
    with pytest.raises(ValueError) as raised:  # the running interpreter's wording (3.10: no spec)
        format("a", "a\udcff")
    assert compiled == python == [str(raised.value)]
    assert "print_" not in semantics, semantics


def test_printing_a_surrogate_constant_writes_what_python_writes():
    outputs = []
    for mode in ("python", "compiled"):
        lang = make_language([])

        @wuna.comptime
        def raw(text):
            return text + "\udcff"

        @lang.exec("Print")
        def print_(node, rt):
            print(raw("x"), rt.eval(node.value))

        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            lang.load('print "a";', "t").run(mode)
        outputs.append(out.getvalue())
        semantics = lang.python_semantics()
    assert outputs[1] == outputs[0] == "x\udcff a\n"
    assert "print_" not in semantics, semantics
