"""Lua programs run by the example (examples/lua/lua.py) in the reference mode print what Lua 5.4
prints.

Each tests/lua/NAME.lua has beside it NAME.out, its standard output as Debian's lua5.4 printed
it. A program that fails has NAME.err (the error text this implementation writes to standard
error, with its position and calls) and NAME.status (the exit status). Every program is run
with the command line, from tests/lua so that chunk names are the bare file names, and compared
with those files; when lua5.4 is installed it is run as well, and its output, its success and
the position and wording of its error must agree.

Beside the programs: functions of a program called and mapped from Python, the depth limit,
and the interactive session's entries.
"""
import shutil
import subprocess
import sys

import pytest

from support.lua import LUA_DIR, ROOT
from support.processes import python_env, stderr_when_ended

PROGRAMS_DIR = ROOT / "tests" / "lua"
PROGRAMS = sorted(PROGRAMS_DIR.glob("*.lua"))
LUA54 = shutil.which("lua5.4")

# Programs whose error message differs from lua5.4's by design (the program's stdout and
# failure still agree).
OWN_WORDING = {
    "err_deep.lua": "the depth limit is the language's max_depth: 'call stack too deep'",
    "err_syntax.lua": "syntax errors are the parser's diagnostics (and exit with status 2)",
}

# The child finds wuna, pargo and nomos where this interpreter found them.
ENV = python_env()


def run_ours(name, *options):
    return subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), *options, name],
                          cwd=PROGRAMS_DIR, capture_output=True, text=True, env=ENV,
                          timeout=600)


@pytest.mark.parametrize("path", PROGRAMS, ids=[p.name for p in PROGRAMS])
def test_program_prints_what_lua_prints(path):
    ours = run_ours(path.name)
    expected_out = path.with_suffix(".out").read_text()
    err_file = path.with_suffix(".err")
    assert ours.stdout == expected_out
    if err_file.exists():
        assert ours.stderr == err_file.read_text()
        assert ours.returncode == int(path.with_suffix(".status").read_text())
    else:
        assert ours.stderr == ""
        assert ours.returncode == 0
    if LUA54 is None:
        return  # the committed outputs came from lua5.4; only the live comparison is skipped
    theirs = subprocess.run([LUA54, path.name], cwd=PROGRAMS_DIR, capture_output=True,
                            text=True, timeout=600)
    assert theirs.stdout == ours.stdout
    assert (theirs.returncode == 0) == (ours.returncode == 0)
    if theirs.returncode != 0 and path.name not in OWN_WORDING:
        # "lua5.4: NAME.lua:LINE: MESSAGE" (or "lua5.4: MESSAGE") against our first line,
        # "NAME.lua:LINE:COLUMN: error[runtime]: ...MESSAGE"
        theirs_text = theirs.stderr.splitlines()[0].split(": ", 1)[1]
        first = ours.stderr.splitlines()[0]
        if theirs_text.startswith(path.name + ":"):
            line, message = theirs_text[len(path.name) + 1:].split(": ", 1)
            assert first.startswith(f"{path.name}:{line}:")
        else:
            message = theirs_text
        assert first.endswith(message)


def test_samples_print_what_lua_prints():
    for sample in sorted((LUA_DIR / "samples").glob("*.lua")):
        ours = subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), str(sample)],
                              capture_output=True, text=True, env=ENV, timeout=600)
        assert ours.returncode == 0, ours.stderr
        assert ours.stdout != ""
        if LUA54 is not None:
            theirs = subprocess.run([LUA54, str(sample)], capture_output=True, text=True)
            assert ours.stdout == theirs.stdout, sample.name


def test_tree_option_still_prints_the_tree():
    out = run_ours("closures.lua", "--tree")
    assert out.returncode == 0
    assert out.stdout.splitlines()[0] == "Chunk"


# 'auto' runs compiled code only when it runs no semantic as Python; until then it is the
# reference mode, with the reference mode's output and errors.
@pytest.mark.parametrize("name", ["closures.lua", "algorithms.lua", "control.lua",
                                  "err_deep.lua"])
def test_auto_mode_prints_what_the_reference_mode_prints(name):
    reference = run_ours(name)
    auto = run_ours(name, "--mode", "auto")
    assert (auto.stdout, auto.stderr, auto.returncode) == (
        reference.stdout, reference.stderr, reference.returncode)


def test_compiled_mode_fails_cleanly_or_runs():
    out = run_ours("closures.lua", "--mode", "compiled")
    if out.returncode == 0:
        assert out.stdout == (PROGRAMS_DIR / "closures.out").read_text()
    else:
        assert out.returncode == 1
        assert out.stderr.startswith("lua.py: ") or "error" in out.stderr
        assert "Traceback" not in out.stderr


def test_without_a_file_an_interactive_session_starts():
    entries = ("x = 20\nfunction f(a)\n  return a + x\nend\n"
               "return f(1), 'b'\nerror('oops')\nprint(x)\n")
    out = subprocess.run([sys.executable, str(LUA_DIR / "lua.py")], input=entries,
                         capture_output=True, text=True, env=ENV, timeout=60)
    assert out.returncode == 0
    # the prompts, the shown results, the continuation prompts of the function's lines
    assert out.stdout == "> > >> >> > 21\tb\n> > 20\n> \n"
    assert "stdin:1: oops" in out.stderr


def test_the_interactive_session_checks_entries_as_a_file_is_checked():
    # refused entries run nothing (the print before the bad goto) and the session goes on;
    # a goto across lines of one entry runs
    entries = ("print('never') goto nowhere\nlocal x <const> = 1; x = 2\nbreak\n"
               "for i = 1, 2 do\nif i == 2 then goto done end\nprint(i)\nend ::done::\n"
               "return [==[a]]b]==]\n")
    out = subprocess.run([sys.executable, str(LUA_DIR / "lua.py")], input=entries,
                         capture_output=True, text=True, env=ENV, timeout=60)
    assert out.returncode == 0
    assert out.stdout == "> > > > >> >> >> 1\n> a]]b\n> \n"
    assert out.stderr.splitlines() == [
        "stdin:1:28: error[syntax]: no visible label 'nowhere' for <goto> at line 1",
        "stdin:1:24: error[syntax]: attempt to assign to const variable 'x'",
        "stdin:1:6: error[syntax]: break outside loop at line 1",
    ]


def test_command_line_arguments_are_arg_and_the_main_chunks_varargs(tmp_path):
    script = tmp_path / "args.lua"
    script.write_text("print(select('#', ...), ...)\nprint(#arg, arg[1], arg[2])\n"
                      "local function f(...) return select('#', ...) end\n"
                      "print(f(), f(...))\n")
    expected = "2\tx\t2.5\n2\tx\t2.5\n0\t2\n"
    ours = subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), str(script), "x", "2.5"],
                          capture_output=True, text=True, env=ENV, timeout=60)
    assert (ours.stdout, ours.returncode) == (expected, 0)
    if LUA54 is not None:
        theirs = subprocess.run([LUA54, str(script), "x", "2.5"], capture_output=True, text=True)
        assert theirs.stdout == expected


def test_bytes_that_are_no_program_are_a_syntax_error(tmp_path):
    garbage = tmp_path / "garbage.lua"
    garbage.write_bytes(bytes(range(256)) * 3)
    out = run_ours(str(garbage))
    assert out.returncode == 2
    assert "error[syntax]" in out.stderr
    assert "Traceback" not in out.stderr


def test_missing_file_is_reported():
    out = run_ours("no_such_file.lua")
    assert out.returncode == 1
    assert out.stderr.startswith("lua.py: ")


CALLS = """
function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
local function swap(a, b) return b, a end
function nothing() end
function one_nil() return nil end
function greet(name) return "hello " .. name end
function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
function field(t) return t.field end
function sum(...) local s = 0 for _, v in ipairs({...}) do s = s + v end return s end
function check(n) if n < 0 then error("negative " .. n) end return n * 2 end
counter = 0
function bump() counter = counter + 1 return counter end
"""


@pytest.fixture(scope="module")
def calls(lua):
    return lua.language.load(CALLS, "calls.lua")


@pytest.mark.parametrize("name, args, result", [
    ("fib", (20,), 6765),
    ("swap", (1, 2.5), (2.5, 1)),        # several results: a tuple
    ("nothing", (), None),               # no result
    ("one_nil", (), (None,)),            # a single nil
    ("greet", ("bob",), "hello bob"),
    ("sum", (1, 2, 3, 4), 10),           # varargs
    ("sum", (), 0),
])
def test_program_call_returns_lua_results(calls, name, args, result):
    assert calls.call(name, *args, mode="python") == result


def test_program_call_keeps_the_globals_between_calls(calls):
    first = calls.call("bump", mode="python")
    assert calls.call("bump", mode="python") == first + 1


def test_program_call_errors(lua, calls):
    import wuna
    with pytest.raises(KeyError, match="the program defines no function 'nope'"):
        calls.call("nope", mode="python")
    with pytest.raises(wuna.Error) as e:
        calls.call("field", None, mode="python")
    assert e.value.diagnostic.message == "attempt to index a nil value (local 't')"
    assert e.value.diagnostic.line == 8


def test_depth_limit_is_max_depth(lua, calls):
    import wuna
    # depth(n) nests n + 1 calls
    assert calls.call("depth", lua.MAX_DEPTH - 1, mode="python") == lua.MAX_DEPTH - 1
    with pytest.raises(wuna.Error) as e:
        calls.call("depth", lua.MAX_DEPTH, mode="python")
    assert e.value.diagnostic.message == \
        "call stack too deep (more than %d calls)" % lua.MAX_DEPTH
    assert len(e.value.stack) == lua.MAX_DEPTH


def test_program_map_calls_in_order(calls):
    try:
        result = calls.map("fib", [1, 2, 3, 10, 20])
    except Exception as e:  # mapping may need the compiled mode
        pytest.skip(f"Program.map: {e}")
    assert result == [1, 1, 2, 55, 6765]


def test_program_map_raises_the_error_of_the_lowest_failing_item(calls):
    import wuna
    assert calls.map("check", [1, 2, 3]) == [2, 4, 6]
    with pytest.raises(wuna.Error) as e:
        calls.map("check", [1, -2, 3, -4])
    assert e.value.diagnostic.message == "calls.lua:10: negative -2"


def test_a_million_tail_calls_take_no_depth(lua):
    program = lua.language.load(
        "function even(n) if n == 0 then return true end return odd(n - 1) end\n"
        "function odd(n) if n == 0 then return false end return even(n - 1) end\n", "tail.lua")
    assert program.call("even", 1_000_000, mode="python") is True


def test_session_entries_see_earlier_names(lua):
    import wuna
    session = lua.language.session()
    assert session.run("x = 40 local function add(a, b) return a + b end function twice(v) "
                       "return add(v, v) end") is None
    assert session.run("return x + 2") == 42
    assert session.run("return twice(x), 'second'") == (80, "second")
    with pytest.raises(wuna.Error):
        session.run("y = 1 error('stop')")
    assert session.run("return y") == 1
    assert {"x", "twice", "y"} <= set(session.names())


# ---- what stops a Lua program from outside --------------------------------------------------

PCALL_LOOP = "print('running')\nwhile true do pcall(function() while true do end end) end\n"


def test_ctrl_c_stops_a_program_that_catches_errors(tmp_path):
    """pcall catches runtime errors, not the interrupt: the first Ctrl-C stops the program,
    and any more sent meanwhile change nothing."""
    import signal
    import time
    script = tmp_path / "loop.lua"
    script.write_text(PCALL_LOOP)
    process = subprocess.Popen([sys.executable, str(LUA_DIR / "lua.py"), str(script)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    assert process.stdout.readline() == b"running\n"
    for _ in range(3):
        time.sleep(0.3)
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
    err = stderr_when_ended(process, timeout=60)
    assert process.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")


def test_sys_exit_in_a_library_function_exits_with_its_status(tmp_path):
    """A library function calling sys.exit(3), even under pcall, ends lua.py as Python would:
    with status 3, nothing printed after."""
    script = tmp_path / "exit.lua"
    script.write_text("print(1)\nprint(pcall(os.exit))\nprint(2)\n")
    driver = (
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "import lua, luavalues\n"
        "luavalues.raw_set(lua.LIBRARIES['os'], 'exit', lambda *args: sys.exit(3))\n"
        "sys.exit(lua.main([%r]))\n"
    ) % (str(LUA_DIR), str(script))
    done = subprocess.run([sys.executable, "-c", driver], capture_output=True, text=True,
                          env=ENV, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (3, "1\n", "")
