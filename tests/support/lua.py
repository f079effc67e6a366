"""The Lua example (examples/lua/lua.py) for the tests: its folder, its samples, and the module
itself, imported once as `lua` so that every test module shares one parser and one language."""
import importlib
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
LUA_DIR = ROOT / "examples" / "lua"
SAMPLES = sorted((LUA_DIR / "samples").glob("*.lua"))


def lua_example():
    """The example's module, imported from its folder on the first call (the folder leaves
    sys.path again); raises what the import raises."""
    if "lua" in sys.modules:
        return sys.modules["lua"]
    sys.path.insert(0, str(LUA_DIR))
    try:
        return importlib.import_module("lua")
    finally:
        sys.path.remove(str(LUA_DIR))
