"""Semantic functions for the front-end tests, loaded from module files so that their source
is readable the way a language's own semantics are."""
import importlib.util
import itertools

import pytest

import wuna
from support.parsers import small_parser

_count = itertools.count()


def load(tmp_path, source, name="f"):
    """The function `name` of a module file made from source. Source that Python's compiler
    rejects but ast.parse accepts (await or async for in a plain def, nonlocal without a
    binding) is swapped in after a stand-in of the same lines was loaded."""
    module = f"front_case_{next(_count)}"
    path = tmp_path / f"{module}.py"
    try:
        compile(source, str(path), "exec")
        stand_in = None
    except SyntaxError:
        stand_in = "\n".join(line if i == 0 else "    pass" for i, line in
                             enumerate(source.splitlines())) + "\n"
    path.write_text(stand_in or source)
    spec = importlib.util.spec_from_file_location(module, path)
    loaded = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(loaded)
    if stand_in:
        path.write_text(source)  # another size: linecache reads it again
    return getattr(loaded, name)


def body(*lines, params="a, b"):
    """The source of a semantic f(params) whose body is the given lines."""
    return f"def f({params}):\n" + "".join(f"    {line}\n" for line in lines)


# Fixtures of the front-end tests, imported by their modules.
@pytest.fixture(scope="module")
def parser():
    return small_parser()


@pytest.fixture
def strict(parser):
    return wuna.Language(parser, strict=True)
