"""wuna.CompiledRuntime, the rt of semantics that compiled code runs as Python, as Python sees
the type: the reference Runtime's methods and properties with the same signatures, and an
object that is not bound to a running semantic refusing everything but the jump classes.

Its answers over compiled frames are tested natively (tests/native/rtcompiled_test.cpp)."""
import inspect

import pytest

import wuna

R, C = wuna.Runtime, wuna.CompiledRuntime


def public(cls):
    return sorted(n for n in dir(cls) if not n.startswith("_"))


def test_the_type_is_named_compiled_runtime_of_wuna():
    assert C.__name__ == "CompiledRuntime" and C.__module__ == "wuna"
    assert C.__qualname__ == "CompiledRuntime"
    assert "compiled" in C.__doc__


def test_it_offers_the_reference_runtimes_methods_and_properties():
    assert public(C) == public(R)


@pytest.mark.parametrize("name", [n for n in public(R) if callable(getattr(R, n))])
def test_each_method_has_the_reference_signature(name):
    assert inspect.signature(getattr(C, name)) == inspect.signature(getattr(R, name))


def test_it_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Mine", (C,), {})


# An object that no running semantic got (made by calling the class) is as one whose semantic
# returned: every method refuses with the same text, and frees without trouble.
@pytest.mark.parametrize("call", [
    lambda rt: rt.text(None),
    lambda rt: rt.eval(1),
    lambda rt: rt.load(None),
    lambda rt: rt.call(print, []),
    lambda rt: rt.error(None, "m"),
    lambda rt: rt.u8(b"a", 0),
    lambda rt: rt.wrapping_add(1, 2),
    lambda rt: rt.parse(None, "x"),
    lambda rt: rt.receiver,
    lambda rt: rt.varargs,
    lambda rt: rt.path,
    lambda rt: rt.context,
])
def test_an_unbound_rt_refuses(call):
    before = wuna._blocks()
    with pytest.raises(RuntimeError, match="^this rt belongs to a semantic that has returned$"):
        call(C())
    assert wuna._blocks() == before


def test_an_unbound_rt_still_names_the_jump_classes():
    rt = C()
    assert (rt.Return, rt.Break, rt.Continue, rt.Throw) == (
        wuna.Return, wuna.Break, wuna.Continue, wuna.Throw)
