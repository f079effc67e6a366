"""What Lua refuses before a chunk runs about its blocks (examples/lua/luacheck.py): gotos
without a visible label, labels defined twice, gotos into the scope of a local, break outside a
loop, assignments to <const> and <close> variables and bad attributes. Each case is a chunk with
the line and the words lua5.4 reports, or None when lua5.4 runs it; with lua5.4 installed the
table is checked against it too."""
import shutil
import subprocess

import pytest

from support.lua import lua_example

LUA54 = shutil.which("lua5.4")

CASES = [
    # gotos and labels
    ("goto nowhere", 2, "no visible label 'nowhere' for <goto> at line 1"),
    ("do goto a end ::a::", None, None),
    ("do ::a:: end goto a", 2, "no visible label 'a' for <goto> at line 1"),
    ("local function f() goto out end ::out::", 1,
     "no visible label 'out' for <goto> at line 1"),
    ("local f = function() goto l1 end", 2, "no visible label 'l1' for <goto> at line 1"),
    ("x = 1 goto nowhere", 2, "no visible label 'nowhere' for <goto> at line 1"),
    ("goto\nfar\nprint(1)", 4, "no visible label 'far' for <goto> at line 2"),
    ("if x then goto e else goto e end ::e::", None, None),
    ("if x then ::e:: goto e end ::e::", None, None),
    # a label twice: Lua reads the labels after the first before it, so the line named is the
    # later label's
    ("::a:: ::a::", 2, "label 'a' already defined on line 1"),
    ("::a:: ; ::b:: ::a::", 2, "label 'a' already defined on line 1"),
    ("::a::\ndo ::a:: end", 2, "label 'a' already defined on line 1"),
    ("do ::a:: end ::a:: print(1)", None, None),
    # into the scope of a local; a label ending its block is outside the block's locals, but
    # not before until
    ("goto f\nlocal x\n::f::", None, None),
    ("goto f\nlocal x\n::f::\n;;", None, None),
    ("do goto f\nlocal x\n::f:: end", None, None),
    ("do goto f\nlocal x, y\n::f:: print(x) end", 3,
     "<goto f> at line 1 jumps into the scope of local 'x'"),
    ("do local a goto l; local b ::l:: end", None, None),
    ("do local a goto l; local b ::l:: ::m:: print(b) end", 1,
     "<goto l> at line 1 jumps into the scope of local 'b'"),
    ("goto l; do end ::l:: local q", None, None),
    ("goto l; local q; ::l:: ::m::", None, None),
    ("local x = 1 repeat goto f; local x; ::f:: until x", 1,
     "<goto f> at line 1 jumps into the scope of local 'x'"),
    ("repeat goto f; local x; ::f:: print(1) until x", 1,
     "<goto f> at line 1 jumps into the scope of local 'x'"),
    ("local n = 0 while n < 2 do n = n + 1 goto continue; local z = 1; ::continue:: end",
     None, None),
    ("for i = 1, 3 do local c <close> = nil; goto next; ::next:: end", None, None),
    ("local a <close> = nil; goto z; local b; ::z::", None, None),
    ("do goto e; local c <close> = nil; print(c) ::e:: end", None, None),
    # break is a goto too: the first one left unresolved is reported
    ("for i = 1, 2 do break end break", 2, "break outside loop at line 1"),
    ("goto a; break", 2, "no visible label 'a' for <goto> at line 1"),
    ("break; goto a", 2, "break outside loop at line 1"),
    ("local function f()\n  if x then break end\nend\nlocal y = 1", 4,
     "break outside loop at line 2"),
    # <const> and <close>
    ("local x <const> = 1; x = 2", 1, "attempt to assign to const variable 'x'"),
    ("local x <close> = nil; x = 2", 1, "attempt to assign to const variable 'x'"),
    ("local x <const> = 1; local function f() x = 3 end", 1,
     "attempt to assign to const variable 'x'"),
    ("local x <const> = 1; do local x = 2; x = 3 end", None, None),
    ("local x <const> = 1; function x() end", 2, "attempt to assign to const variable 'x'"),
    ("local t <const> = {}; t.a = 1; function t.f() end", None, None),
    ("local a, b <const> = 1, 2; a = 3; b = 4", 1, "attempt to assign to const variable 'b'"),
    ("local x <const> = 1\nlocal y = x\ny, x = 1, 2", 3,
     "attempt to assign to const variable 'x'"),
    ("local x <const> = 1\nfor x = 1, 2 do x = 0 end", None, None),
    ("local x <foo> = 1", 1, "unknown attribute 'foo'"),
    ("local x <foo> = 1 goto nowhere", 1, "unknown attribute 'foo'"),
    ("local x <const>, y <close> = 1", None, None),
    ("local x <close>, y <close> = 1", 1, "multiple to-be-closed variables in local list"),
]


def ours(source):
    lua = lua_example()
    tree = lua.parser.parse_tree(source)
    found = lua.luacheck.first_error(source, tree)
    if found is None:
        return None, None
    return lua.luacheck.line_at(source, found[0]), found[1]


@pytest.mark.parametrize("source,line,message", CASES, ids=[c[0] for c in CASES])
def test_checks_refuse_what_lua_refuses(source, line, message, tmp_path):
    assert ours(source + "\n") == (line, message)
    if LUA54 is None:
        return
    chunk = tmp_path / "c.lua"
    chunk.write_text(source + "\n")
    loaded = subprocess.run([LUA54, "-e", "assert(loadfile('c.lua'))"], cwd=tmp_path,
                            capture_output=True, text=True)
    if line is None:
        assert loaded.returncode == 0, loaded.stderr
    else:
        assert f"c.lua:{line}: {message}" in loaded.stderr


@pytest.mark.parametrize("source,line", [
    ("do\n  local y = = 1\n  ::c::\nend\n", 2),
    ("for i = 1, 2 do\n  goto c\n  ::c::\nend\nlocal x = = 2\n", 5),
    ("local s = [===[ ]==] ]===]\n print(s)\nx = = 1\n", 3),
])
def test_syntax_errors_near_labels_and_long_strings_are_found_where_they_are(source, line):
    tree = lua_example().parser.parse_tree(source, recover=True)
    assert tree.errors and tree.errors[0].line == line
