"""A function whose code grows past a few thousand blocks compiles the semantics of its further
nodes as functions of their own (pieces): a long Lua program's top level is cut into many, and
runs as the reference mode runs it. Each piece reads the program's variables through frames and
hands its jumps back as statuses: locals set in one piece and read in another, break out of a
loop whose body was cut out, return from a function body cut up, an error caught by pcall
across a cut, a closure capturing a top-level local, and an uncaught error naming its line."""
import re
import shutil
import subprocess
import sys

import pytest

from support.lua import LUA_DIR
from support.processes import python_env

GROUP = """\
do
  local v = {i} * 2
  if v % 3 == 0 then acc = acc + v else acc = acc - 1 end
  for j = 1, 5 do
    if j == 3 then break end
    acc = acc + j
  end
  local ok, err = pcall(function() error("boom {i}") end)
  print(ok, err, acc)
  local function f(x)
    if x > 100 then return x end
    return x + v
  end
  acc = acc + f(1)
  kept[{i}] = function() return v end
end
"""


# A local of the top level that a function reads, changed by the top level and read through the
# function from a piece that doesn't name it: the piece's call must hand it over all the same.
CAPTURED = """\
local x = 1
local function get() return x end
x = 2
do print(get()) end
x = x + 1
print(get(), x)
"""


def program(groups, tail=""):
    body = "".join(GROUP.replace("{i}", str(i)) for i in range(groups))
    return ("acc = 0\nkept = {}\n" + body +
            "local sum = 0\nfor i = 0, %d do sum = sum + kept[i]() end\nprint(acc, sum)\n"
            % (groups - 1) + CAPTURED + tail)


def function_sizes(ir):
    sizes, current = {}, None
    for line in ir.splitlines():
        m = re.match(r'define [^@]*@"?([^"( ]+)"?\(', line)
        if m:
            current = m.group(1)
            sizes[current] = 0
        elif line == "}":
            current = None
        elif current:
            sizes[current] += 1
    return sizes


GROUPS = 12


def test_a_long_top_level_is_cut_into_pieces(lua):
    source = program(GROUPS)
    compiled = lua.language.load(source, "long.lua")
    sizes = function_sizes(compiled.compiled_ir())
    # Inline, the top level alone would be most of the module; cut, no function comes near it.
    assert sizes["wn_ir_main"] < sum(sizes.values()) / 4
    assert max(sizes.values()) < sum(sizes.values()) / 4


def run(path, mode):
    # Run where the file is: lua5.4 shortens a long chunk name in its messages.
    out = subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), "--mode", mode, path.name],
                         capture_output=True, text=True, env=python_env(), timeout=600,
                         cwd=path.parent)
    return out.stdout, out.stderr, out.returncode


@pytest.mark.parametrize("tail", [
    "",
    "local t = nil\nprint(t.x)\n",
    "error('last words')\n",
], ids=["ends", "index_error", "error_call"])
def test_a_program_cut_into_pieces_runs_as_the_reference_mode(tmp_path, tail):
    path = tmp_path / "long.lua"
    path.write_text(program(GROUPS, tail))
    python = run(path, "python")
    assert python[0].count("\n") == GROUPS + 3
    assert run(path, "compiled") == python
    if shutil.which("lua5.4"):
        native = subprocess.run(["lua5.4", path.name], capture_output=True, text=True,
                                cwd=path.parent)
        assert native.stdout == python[0]
