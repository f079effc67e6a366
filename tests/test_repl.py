"""Language.repl driven through patched input() and print(): entries over several lines, blank
and empty lines, values shown, errors printed while the loop goes on, what ends the loop, and
the arguments; then the real thing through a pseudo-terminal, with the small language of the
session tests and with the Lua example."""
import builtins
import os
import pty
import select
import subprocess
import sys
import time

import pytest

import wuna
from support.session_language import make_session_language

HERE = os.path.dirname(os.path.abspath(__file__))
LUA = os.path.join(HERE, "..", "examples", "lua", "lua.py")


class Console:
    """Feeds input() from a list of lines (then end of input, or the exception an item is) and
    records the prompts and every print() call as (args, kwargs)."""

    def __init__(self, lines, print_error=None):
        self.lines = list(lines)
        self.prompts = []
        self.calls = []
        self.print_error = print_error

    def input(self, prompt=""):
        self.prompts.append(prompt)
        if not self.lines:
            raise EOFError
        line = self.lines.pop(0)
        if isinstance(line, BaseException):
            raise line
        return line

    def print(self, *args, **kwargs):
        if self.print_error is not None:
            raise self.print_error
        self.calls.append((args, kwargs))

    @property
    def shown(self):
        return [args[0] for args, kwargs in self.calls if args and "file" not in kwargs]

    @property
    def errors(self):
        return [args[0] for args, kwargs in self.calls if kwargs.get("file") is sys.stderr]


@pytest.fixture
def printed():
    return []


@pytest.fixture
def lang(printed):
    return make_session_language(printed)


def run_repl(monkeypatch, lang, lines, print_error=None, **options):
    console = Console(lines, print_error)
    monkeypatch.setattr(builtins, "input", console.input)
    monkeypatch.setattr(builtins, "print", console.print)
    console.result = lang.repl(**options)
    return console


# ---- entries ------------------------------------------------------------------------------

def test_an_unfinished_entry_asks_for_more_lines(monkeypatch, lang, printed):
    console = run_repl(monkeypatch, lang, [
        "def inc(a) {",
        "  return a + 1;",
        "}",
        "print inc(1);",
        "inc(41);",
    ])
    assert console.prompts == ["> ", "... ", "... ", "> ", "> ", "> "]
    assert printed == [2]
    assert console.shown == [42]
    # End of input prints an empty line and returns None.
    assert console.calls[-1] == ((), {})
    assert console.result is None


def test_an_expression_over_several_lines(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["1 +", "", "  2", ";"])
    # The empty line ends the unfinished entry, which then fails to load; the next entry
    # starts at "  2".
    assert console.prompts == ["> ", "... ", "> ", "... ", "> "]
    assert len(console.errors) == 1
    assert console.shown == [2]
    console = run_repl(monkeypatch, lang, ["1 +", "  2", ";"])
    assert console.shown == [3]


def test_blank_lines_before_an_entry_are_skipped(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["", "   ", "\t\r", "5;"])
    assert console.prompts == ["> ", "> ", "> ", "> ", "> "]
    assert console.shown == [5]
    assert console.errors == []


def test_an_empty_line_runs_an_unfinished_entry(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["def f() {", "", "7;"])
    assert console.prompts == ["> ", "... ", "> ", "> "]
    assert len(console.errors) == 1
    assert console.shown == [7]


def test_a_syntax_error_before_the_end_runs_the_entry_at_once(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["x = = 1;", "2;"])
    assert console.prompts == ["> ", "> ", "> "]
    [error] = console.errors
    assert error.startswith("1:5:")
    assert console.shown == [2]


def test_entries_share_the_session(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["x = 20;", "def twice() { return x + x; }",
                                           "x = 21;", "twice();"])
    assert console.shown == [42]


def test_none_is_not_shown_and_show_is_called_for_values(monkeypatch, lang):
    seen = []
    console = run_repl(monkeypatch, lang, ["x = 1;", "x;", '"s";'], show=seen.append)
    assert seen == [1, "s"]
    assert console.shown == []


def test_prompts_can_be_chosen_and_none_means_the_default(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["def f() {", "}"], prompt="lua> ", more=">> ")
    assert console.prompts == ["lua> ", ">> ", "lua> "]
    console = run_repl(monkeypatch, lang, ["1;"], prompt=None, more=None, show=None)
    assert console.prompts == ["> ", "> "]
    assert console.shown == [1]


def test_lines_are_read_as_utf8_text(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ['"h\u00e9" +',  '"\u4e2d";'])
    assert console.prompts == ["> ", "... ", "> "]
    assert console.shown == ["h\u00e9\u4e2d"]


def test_the_parsers_offsets_are_bytes(monkeypatch, lang):
    # The error is at byte 13, past the text's 13 characters but not its 18 bytes: the
    # entry is finished (and fails to load) rather than waiting for more.
    console = run_repl(monkeypatch, lang, ['"\u00e9\u00e9\u00e9\u00e9\u00e9" = 1;', "2;"])
    assert console.prompts == ["> ", "> ", "> "]
    assert len(console.errors) == 1 and console.shown == [2]


def test_a_line_with_a_lone_surrogate_is_decoded_with_replacement(monkeypatch, lang):
    # U+D800 stands for no byte: its three bytes are malformed, each replaced.
    console = run_repl(monkeypatch, lang, ['"a\ud800b";'])
    assert console.shown == ["a\ud800b".encode("utf-8", "surrogatepass").decode("utf-8", "replace")]


@pytest.mark.parametrize("line, typed", [
    ('"a\udc80b";', b'"a\x80b";'),
    ('"h\udce9";', b'"h\xe9";'),
    ('"\udcc3\udca9";', b'"\xc3\xa9";'),      # escaped bytes that make a character
    ('"\u00e9\udce9\ud800";', b'"\xc3\xa9\xe9\xed\xa0\x80";'),
])
def test_a_line_is_the_bytes_typed_as_a_file_gives_them(monkeypatch, lang, line, typed):
    # input() gives a byte its stream could not decode as a surrogate escape (U+DC80 to
    # U+DCFF); the entry is what those bytes read as from a file, malformed ones replaced once.
    console = run_repl(monkeypatch, lang, [line])
    from_file = (typed + b"\n").decode("utf-8", "replace")
    assert console.shown == [lang.session().run(from_file)]
    assert console.errors == []


# ---- long entries -------------------------------------------------------------------------

class Counting:
    """A parser passing on to a pargo parser, counting the bytes it was asked to parse."""

    def __init__(self, parser):
        self.parser = parser
        self.parsed = 0

    def parse_tree(self, text, *args, **kwargs):
        self.parsed += len(text)
        return self.parser.parse_tree(text, *args, **kwargs)

    def parse(self, text, *args, **kwargs):
        self.parsed += len(text)
        return self.parser.parse(text, *args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.parser, name)


@pytest.fixture
def counted(monkeypatch, printed):
    """The small language over a Counting parser, and the parser."""
    from support import session_language
    compile_ = session_language.pargo.compile
    made = []
    monkeypatch.setattr(session_language.pargo, "compile",
                        lambda grammar: made.append(Counting(compile_(grammar))) or made[-1])
    lang = make_session_language(printed)
    monkeypatch.undo()
    return lang, made[0]


def long_function(count):
    return (["def f() {"] + [f"  x{i} = {i};" for i in range(count)] +
            [f"  return x{count - 1} + 1;", "}"])


def test_a_long_pasted_entry_is_parsed_in_proportion_to_its_length(monkeypatch, counted):
    lang, parser = counted
    lines = long_function(6000) + ["f();"]
    console = run_repl(monkeypatch, lang, lines)
    assert console.shown == [6000] and console.errors == []
    # Parsing the whole entry again at each of its lines would take thousands of times its
    # length.
    assert parser.parsed < 100 * sum(len(line) + 1 for line in lines)


def test_a_long_entry_ends_on_its_closing_line(monkeypatch, lang):
    lines = long_function(2000)
    console = run_repl(monkeypatch, lang, lines + ["f();"])
    assert console.prompts == ["> "] + ["... "] * (len(lines) - 1) + ["> ", "> "]
    assert console.shown == [2000]


def test_a_syntax_error_deep_in_a_long_entry_still_ends_it(monkeypatch, lang):
    lines = long_function(2000)
    lines[1500] = "  x = = 1;"
    console = run_repl(monkeypatch, lang, lines + ["", "7;"])
    # The entry ends with the error soon after it, not at its closing line; the lines after
    # it start entries of their own (which fail where they do not fit).
    assert console.errors[0].startswith("1501:7:")
    assert console.prompts.index("> ", 1) < len(lines) - 1
    assert console.shown[-1] == 7


def test_one_long_line_runs_as_from_a_file(monkeypatch, lang):
    # Checking the entry makes its tree only: the values of a deep tree would need more of the
    # interpreter's recursion than a run's own thread grants itself.
    # (5000 terms: far past the main thread's recursion limit, and within what a run allows
    # itself on every interpreter; 3.12 and 3.13 count C recursion too.)
    line = " + ".join(["1"] * 5000) + ";"
    console = run_repl(monkeypatch, lang, [line])
    assert console.errors == []
    assert console.shown == [5000] == [lang.session().run(line)]


# ---- errors -------------------------------------------------------------------------------

def test_runtime_errors_are_printed_and_the_loop_goes_on(monkeypatch, lang):
    console = run_repl(monkeypatch, lang, ["y = 1;", "1 / 0;", "y + 1;"])
    [error] = console.errors
    # A wuna.Error prints as its text alone: the rendered diagnostic and the call stack.
    assert "division by zero" in error and not error.startswith("Error")
    assert console.shown == [2]


def test_a_load_error_prints_the_rendered_diagnostics(monkeypatch, lang):
    source = "x = ;"
    with pytest.raises(wuna.LoadError) as caught:
        lang.load(source + "\n")
    console = run_repl(monkeypatch, lang, [source])
    assert console.errors == [str(caught.value)]


@pytest.mark.parametrize("line, text", [
    (5, "TypeError: line must be a str"),
    (b"1;", "TypeError: line must be a str"),
    (KeyboardInterrupt(), "KeyboardInterrupt: "),
    (ValueError("odd"), "ValueError: odd"),
])
def test_errors_of_input_are_printed_and_the_entry_dropped(monkeypatch, lang, line, text):
    console = run_repl(monkeypatch, lang, ["def f() {", line, "3;"])
    assert console.errors == [text]
    assert console.prompts == ["> ", "... ", "> ", "> "]
    assert console.shown == [3]


@pytest.mark.parametrize("error", [RuntimeError, EOFError])
def test_an_exception_of_show_is_printed(monkeypatch, lang, error):
    # Only input()'s EOFError ends the REPL.
    def show(value):
        raise error(f"cannot show {value}")
    console = run_repl(monkeypatch, lang, ["1;", "2;"], show=show)
    name = error.__name__
    assert console.errors == [f"{name}: cannot show 1", f"{name}: cannot show 2"]


def test_system_exit_ends_the_repl(monkeypatch, lang):
    def show(value):
        raise SystemExit(value)
    with pytest.raises(SystemExit) as caught:
        run_repl(monkeypatch, lang, ["4;", "5;"], show=show)
    assert caught.value.code == 4


def test_a_failure_to_print_an_error_ends_the_repl(monkeypatch, lang):
    with pytest.raises(OSError, match="closed"):
        run_repl(monkeypatch, lang, ["1 / 0;"], print_error=OSError("closed"))


def test_without_sys_stderr_errors_go_to_print(monkeypatch, lang):
    monkeypatch.delattr(sys, "stderr")
    console = run_repl(monkeypatch, lang, ["1 / 0;"])
    assert len(console.calls) == 2 and "division by zero" in console.calls[0][0][0]
    assert console.calls[0][1] == {}


@pytest.mark.parametrize("args, kwargs, message", [
    (("a", "b", None, 1), {}, "repl() takes at most 3 positional arguments (4 given)"),
    (("a",), {"prompt": "b"}, "repl() got multiple values for argument 'prompt'"),
    ((), {"shown": print}, "repl() got an unexpected keyword argument 'shown'"),
])
def test_argument_errors(lang, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        lang.repl(*args, **kwargs)
    assert str(caught.value) == message


# ---- through a pseudo-terminal ------------------------------------------------------------

def take_terminal():
    """In the child: make the terminal on stdin its controlling terminal, so that Ctrl-C
    typed there interrupts it."""
    import fcntl
    import termios
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def drive(argv, lines, timeout=60):
    """Runs argv on a pseudo-terminal, typing each line (a str) once the output so far ends
    with a prompt ("> " or "... "), then Ctrl-D. A bytes item is typed as it is, half a
    second after the item before it, prompt or not. Returns everything the program wrote."""
    leader, follower = pty.openpty()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TERM="dumb")
    process = subprocess.Popen(argv, stdin=follower, stdout=follower, stderr=follower,
                               env=env, close_fds=True, start_new_session=True,
                               preexec_fn=take_terminal)
    os.close(follower)
    output = b""
    mark = 0   # how much had been written when the last line was typed
    typed = 0.0   # when it was typed
    pending = list(lines) + [b"\x04"]
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([leader], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:   # the program ended and closed the terminal
                    break
                if not chunk:
                    break
                output += chunk
            raw = pending and isinstance(pending[0], bytes) and pending[0] != b"\x04"
            if raw and time.monotonic() - typed > 0.5:
                os.write(leader, pending.pop(0))
                typed = time.monotonic()
            elif (pending and not raw and not ready and len(output) > mark
                    and output.rstrip(b" ").endswith((b">", b"..."))):
                item = pending.pop(0)
                os.write(leader, item if item == b"\x04" else item.encode() + b"\n")
                mark = len(output)
                typed = time.monotonic()
            if process.poll() is not None and not ready:
                break
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        os.close(leader)
    return output.decode("utf-8", "replace").replace("\r\n", "\n"), process.returncode


SMALL = f"""
import sys
sys.path.insert(0, {HERE!r})
from support.session_language import make_session_language
printed = []
lang = make_session_language(printed)
lang.repl()
"""


def test_the_repl_on_a_terminal():
    output, status = drive([sys.executable, "-c", SMALL], [
        "def half(a) {",
        "  return a / 2;",
        "}",
        "half(9) + x;",
        "half(84);",
    ])
    assert status == 0, output
    assert "... " in output
    assert "'x' has no value yet" in output
    assert "\n42\n" in output


def lua_ready():
    try:
        sys.path.insert(0, os.path.dirname(LUA))
        import lua
        return getattr(lua, "language", None) is not None
    except Exception:
        return False
    finally:
        sys.path.pop(0)


@pytest.mark.skipif(not lua_ready(), reason="the Lua example has no semantics yet")
def test_the_lua_repl_on_a_terminal():
    output, status = drive([sys.executable, LUA], [
        "function double(x)",
        "  return x * 2",
        "end",
        "print(nil + 1)",
        "print(double(21))",
    ])
    assert status == 0, output
    assert "... " in output or ">> " in output
    assert "attempt to perform arithmetic on a nil value" in output
    assert "\n42\n" in output


@pytest.mark.skipif(not lua_ready(), reason="the Lua example has no semantics yet")
@pytest.mark.parametrize("encoding", [None, "utf-8:strict"])
def test_the_lua_repl_reads_the_bytes_typed_as_a_file_run_does(tmp_path, encoding):
    program = tmp_path / "e9.lua"
    program.write_bytes(b"print(#'\xe9')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if encoding:
        env["PYTHONIOENCODING"] = encoding
    else:
        env.pop("PYTHONIOENCODING", None)
    from_file = subprocess.run([sys.executable, LUA, str(program)], capture_output=True,
                               env=env, timeout=60)
    typed = subprocess.run([sys.executable, LUA], input=b"print(#'\xe9')\nreturn #'\xe9'\n",
                           capture_output=True, env=env, timeout=60)
    assert from_file.stdout == b"3\n"
    assert typed.stdout == b"> 3\n> 3\n> \n", typed.stderr


@pytest.mark.skipif(not lua_ready(), reason="the Lua example has no semantics yet")
def test_the_lua_repl_takes_a_long_line_as_a_file_run_does(tmp_path):
    source = "print(" + " + ".join(["1"] * 20000) + ")\n"
    program = tmp_path / "long.lua"
    program.write_text(source)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    from_file = subprocess.run([sys.executable, LUA, str(program)], capture_output=True,
                               text=True, env=env, timeout=60)
    typed = subprocess.run([sys.executable, LUA], input=source, capture_output=True,
                           text=True, env=env, timeout=60)
    assert from_file.stdout == "20000\n"
    assert typed.stdout == "> 20000\n> \n" and typed.stderr == ""


@pytest.mark.skipif(not lua_ready(), reason="the Lua example has no semantics yet")
def test_ctrl_c_stops_a_running_entry_and_the_repl_goes_on():
    output, status = drive([sys.executable, LUA], ["while true do end", b"\x03", "print(6 * 7)"])
    assert status == 0, output
    assert "KeyboardInterrupt: " in output
    assert "\n42\n" in output


@pytest.mark.skipif(not lua_ready(), reason="the Lua example has no semantics yet")
def test_ctrl_c_stops_an_entry_that_catches_errors_and_the_repl_goes_on():
    # pcall catches runtime errors, not the interrupt.
    output, status = drive([sys.executable, LUA], [
        "while true do pcall(function() while true do end end) end", b"\x03", "print(6 * 7)"])
    assert status == 0, output
    assert "KeyboardInterrupt: " in output
    assert "\n42\n" in output
