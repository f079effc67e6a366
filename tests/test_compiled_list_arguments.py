"""A list made in a semantic and passed to a Python helper holds references to its items: they
are given back once, when the last holder is gone. A helper whose parameter holds the list
gives them back at its end; the caller, which made the list, must not give them back again
(else an item another list still holds is freed under it, and its block is reused for the next
value of its size). Each helper shape runs compiled and must give what the reference mode
gives."""
import pytest

import wuna
from support.small_language import make_language


def first_in_loop(out, values):
    for j in range(1):
        out.append(values[j])


def first_behind_if(out, values):
    v = None
    if 0 < len(values):
        v = values[0]
    out.append(v)


def store_all(out, names, values):
    for j in range(len(names)):
        v = None
        if j < len(values):
            v = values[j]
        out.append(v)


def returns_early(out, values):
    for v in values:
        if v == 1:
            out.append(v)
            return 1
    return 0


# One semantic per helper shape; each is a literal function (the compiler reads its source).
def unrolled_loop(node, rt):
    a, b = rt.eval(node.left), rt.eval(node.right)
    items = [a + "fast", "x"]
    n = []
    value = items[0]
    first_in_loop(n, [1, value])
    fresh = [str(i) + "zzz" for i in range(b)]
    return items[0] + str(len(n) + len(fresh))


def constant_if(node, rt):
    a, b = rt.eval(node.left), rt.eval(node.right)
    items = [a + "fast", "x"]
    n = []
    value = items[0]
    first_behind_if(n, [1, value])
    fresh = [str(i) + "zzz" for i in range(b)]
    return items[0] + str(len(n) + len(fresh))


def store_all_in_loop(node, rt):
    a, b = rt.eval(node.left), rt.eval(node.right)
    items = [a + "fast", "x"]
    n = []
    for k in [1, b]:
        value = items[k % 2]
        store_all(n, [node.left], [k, value])
    fresh = [str(i) + "zzz" for i in range(b)]
    return items[0] + str(len(n) + len(fresh))


def early_return(node, rt):
    a, b = rt.eval(node.left), rt.eval(node.right)
    items = [a + "fast", "x"]
    n = []
    value = items[0]
    returns_early(n, [b, 1, value])
    fresh = [str(i) + "zzz" for i in range(b)]
    return items[0] + str(len(n) + len(fresh))


@pytest.mark.parametrize("semantic", [unrolled_loop, constant_if, store_all_in_loop, early_return],
                         ids=lambda f: f.__name__)
def test_a_list_given_to_a_helper_gives_its_items_back_once(semantic):
    source = 'x = "q"; print x + 4; print x + 3; print x + 5;'
    outcomes = {}
    for mode in ("python", "compiled"):
        printed = []
        lang = make_language(printed)
        lang.eval("Binary")(semantic)
        lang.load(source, "p.sl").run(mode)
        outcomes[mode] = printed
        if mode == "compiled":
            assert semantic.__name__ not in lang.python_semantics()
    assert outcomes["python"][0].startswith("qfast")
    assert outcomes["compiled"] == outcomes["python"]
