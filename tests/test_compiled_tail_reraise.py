"""A broad handler around statements that make a tail call through a helper compiled out of
line: the handler cleans up and raises again (the tail call still happens, in constant depth),
or swallows what it caught (the call is dropped, nothing leaks). Both modes print the same,
and the block semantic runs compiled, its handler raising the caught object bare or by name.
The handler variants are support.reraising_blocks'."""
import contextlib
import io

import pytest

import nomos
import wuna
from support.reraising_blocks import register_block
from support.small_language import parser


def hand_over(rt, callee, args, depth):
    """Makes the tail call after depth recursive calls (so it is compiled out of line)."""
    if depth == 0:
        rt.tail_call(callee, args)
    hand_over(rt, callee, args, depth - 1)


def make_language(variant, printed):
    rules = nomos.Rules(parser(), names=["Name"], functions=["FuncDef"], blocks=["Block"],
                        declare={"FuncDef.name": "function enclosing hoist",
                                 "FuncDef.params": "parameter"},
                        assign={"Assign.name": "variable"}, undeclared="global")
    lang = wuna.Language(parser(), rules)
    lang.function("FuncDef", params="params", body="body", name="name")

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        return a - b if node.op == "-" else a + b

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), [rt.eval(a) for a in node.args])

    @lang.exec("Return")
    def return_(node, rt):
        raise rt.Return(rt.eval(node.value))

    @lang.exec("Print")
    def print_(node, rt):
        printed.append(rt.eval(node.value))

    # `fail f(n);` returns "bottom" once n is below 0, else what the tail call f(n) gives.
    @lang.exec("Fail")
    def tail(node, rt):
        call = node.value
        args = [rt.eval(a) for a in call.args]
        if args[0] < 0:
            raise rt.Return("bottom")
        hand_over(rt, rt.eval(call.callee), args, 2)

    def note(*what):
        printed.append(what[0] if len(what) == 1 else what)

    register_block(lang, variant, note)
    lang.host(note)
    return lang


def run(variant, source, mode):
    printed = []
    lang = make_language(variant, printed)
    try:
        lang.load(source, "t.sl").run(mode)
    except wuna.Error as e:
        printed.append(str(e))
    return printed, lang.python_semantics()


SOURCES = {
    "once": "def g(a) { print a; return a + 1; }\ndef f(a) { fail g(a); }\nprint f(4);\n"
            "print f(f(1));\n",
    # Each level's handler sees the call pass; the recursion stays flat in both modes.
    "deep": "def f(n) { fail f(n - 1); }\nprint f(3000);\n",
    "deep_again": "def f(n) { fail f(n - 1); }\nprint f(2000);\nprint f(5);\n",
}


@pytest.mark.parametrize("variant", ["reraise", "raise_in_finally_try", "swallow", "raise_name",
                                     "raise_alias", "raise_other"])
@pytest.mark.parametrize("source", SOURCES.values(), ids=SOURCES.keys())
def test_a_caught_tail_call_goes_on_when_raised_again_and_is_dropped_when_swallowed(variant,
                                                                                   source):
    python, _ = run(variant, source, "python")
    compiled, semantics = run(variant, source, "compiled")
    assert compiled == python
    assert not any(isinstance(p, str) and "recursion" in p for p in python)
    assert "block" not in semantics


def test_the_tail_call_is_made_when_raised_again_and_not_when_swallowed():
    source = SOURCES["once"]
    # Each handler passes the jump on: f's the tail call, g's the return.
    tail, back = ("passing", "TailCall"), ("passing", "Return")
    assert run("reraise", source, "compiled")[0] == [tail, 4, back, 5, tail, 1, back, tail, 2,
                                                      back, 3]
    assert run("swallow", source, "compiled")[0] == ["swallowed", None, "swallowed",
                                                      "swallowed", None]


@pytest.mark.parametrize("variant", ["reraise", "raise_in_finally_try", "swallow", "raise_name"])
def test_a_caught_tail_call_leaves_no_block_behind(variant):
    printed = []
    lang = make_language(variant, printed)
    program = lang.load(SOURCES["once"] + "def h(n) { fail h(n - 1); }\nprint h(50);\n", "t.sl")
    program.run("compiled")
    wuna.collect()
    before = wuna._blocks()
    for _ in range(3):
        program.run("compiled")
    wuna.collect()
    assert wuna._blocks() == before
    assert "block" not in lang.python_semantics()


def test_a_caught_tail_call_replaced_by_another_error_leaves_no_block_behind():
    lang = make_language("raise_other", [])
    program = lang.load(SOURCES["once"], "t.sl")

    def failed_run():
        with pytest.raises(wuna.Error, match="replaced TailCall"):
            program.run("compiled")

    failed_run()
    wuna.collect()
    before = wuna._blocks()
    for _ in range(3):
        failed_run()
    wuna.collect()
    assert wuna._blocks() == before
    assert "block" not in lang.python_semantics()


# A to-be-closed variable's scope around calls that go on as tail calls: the scope's handler
# closes the value and passes each jump on.
LUA_CLOSE = """
local function closer(name)
  return setmetatable({}, {__close = function(_, err) print("close", name, err) end})
end
local function down(n)
  if n == 0 then return "bottom" end
  return down(n - 1)
end
local function scoped(n)
  local c <close> = closer(n)
  print("in", n)
  return down(n)
end
print(scoped(3))
do
  local d <close> = closer("block")
  print(pcall(function() local e <close> = closer("inner"); error("boom") end))
end
"""


def test_a_lua_close_scope_around_tail_calls_is_not_refused_for_its_raise(lua):
    outputs = []
    for mode in ("python", "compiled"):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            lua.language.load(LUA_CLOSE, "close.lua").run(mode)
        outputs.append(out.getvalue())
    assert outputs[1] == outputs[0]
    assert "close\t3\tnil" in outputs[0] and "bottom" in outputs[0]
    # Whatever else may keep the semantic in Python, never its handler's bare raise.
    reason = lua.language.python_semantics().get("run_close_local", "")
    assert "raise" not in reason, reason
