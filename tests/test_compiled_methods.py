"""Method calls, set operations, struct, checksums and the OS library in compiled semantics:
each semantic runs over cases whose values are known at run time only, in the reference and
the compiled modes, and prints and raises the same (values, the order sets iterate in, the
exception type and text of every failing call), and compiles (it does not run as Python)."""
import dataclasses

import pytest

import wuna
from support.cases import assert_same_in_both_modes, failed, make_language, outcome

# case n gives the semantic the run-time int n; every case picks its own receivers.
CASES = " ".join("case %d;" % n for n in range(8))


STRS = ["abc", "  Hello World  ", "a,b,,c", "Straße", "ǅungla ΣΑΣ", "x\ny\r\nz", "", "ǈ٣2"]


def str_methods(node, rt):
    s = STRS[node.value]
    t = s + ""
    print(t.upper(), t.lower(), t.strip(), t.lstrip(" a"), t.rstrip("c "), t.find("b"),
          t.rfind("a"), t.count("a"), t.startswith("a"), t.endswith(("c", "d")))
    print(t.split(","), t.split(), t.splitlines(), t.partition(","), t.rpartition(" "),
          t.replace("a", "AA"), "-".join([t, t]), t.encode(), t.isupper(), t.islower())
    print(t.isdigit(), t.isalpha(), t.isalnum(), t.isspace())
    for step in range(6):
        try:
            if step == 0:
                print(t.index("q"))
            elif step == 1:
                print(t.rindex("q"))
            elif step == 2:
                print(t.split(""))
            elif step == 3:
                print(t.encode("ascii"))
            elif step == 4:
                print(t.find(1))
            else:
                print(t.join([t, 1]))
        except UnicodeError as e:
            print(failed(e), e.start, e.end, e.reason)
        except (ValueError, TypeError) as e:
            print(failed(e))


BYTES = [b"abc", b"a b\tc\n", b"\xff\xfe", b"x,y,,z", b"", b"\xc3\xa9t\xc3\xa9", b"ABCdef", b"aaa"]


def bytes_methods(node, rt):
    b = BYTES[node.value] + b""
    print(b.find(b"b"), b.rfind(b""), b.count(b""), b.count(b"a"), b.find(98), b.hex(),
          b.lower(), b.upper(), b.strip(), b.lstrip(b"a"), b.rstrip(None))
    print(b.split(b","), b.replace(b"a", b"AA"), b"|".join([b, b]), b.startswith((b"a", b"x")),
          b.endswith(b"c"), b.decode("LATIN-1"))
    for step in range(6):
        try:
            if step == 0:
                print(b.decode())
            elif step == 1:
                print(b.decode("ascii"))
            elif step == 2:
                print(b.decode("utf_8"))
            elif step == 3:
                print(b.index(b"q"))
            elif step == 4:
                print(b.split(b""))
            else:
                print(b.find(256))
        except UnicodeError as e:
            print(failed(e), e.start, e.end, e.reason)
        except ValueError as e:
            print(failed(e))


LISTS = [[1, 2, 1], [], ["a"], [1.0, 1, True], [[1], [2]], [3, 1, 2], [None], [1, 2, 3, 4]]


def list_methods(node, rt):
    items = list(LISTS[node.value])
    print(items.count(1), items)
    try:
        print(items.index(1), items.pop(), items)
    except (ValueError, IndexError) as e:
        print(failed(e))
    items.extend(items)
    items.extend((7, 8))
    print(items, items.pop(-2), items)
    for step in range(2):
        try:
            print(items.pop(40) if step == 0 else items.extend(5))
        except (IndexError, TypeError) as e:
            print(failed(e))


DICTS = [{"a": 1}, {}, {1: "x", 2: "y"}, {"a": [1], "b": None}, {(1, 2): 3}, {1.0: 5},
         {"k": 1, "j": 2}, {True: 0}]


def dict_methods(node, rt):
    d = dict(DICTS[node.value])
    print(d.get("a"), d.get(1, "none"), d.get((1, 2)))
    print(d.pop("a", "gone"), d.pop(1, None), d)
    try:
        print(d.pop("zz"))
    except KeyError as e:
        print(failed(e))
    try:
        print(d.get([1]))
    except TypeError as e:
        print(failed(e))
    print(d.copy(), list(d.keys()), d.setdefault("n", 4), d)


SETS = [["a", "b", "c"], [1, 2, 3], ["w%d" % i for i in range(40)], [], [1.0, 2, "2"],
        [(1, 2), (2, 1)], ["s%d" % (i * 7) for i in range(60)], [True, 1, 0]]


def set_methods(node, rt):
    s = set(SETS[node.value])
    other = set(SETS[(node.value + 2) % 8])
    print(sorted(map(repr, s)), list(s.union(["z", 1])), list(s.intersection(other, s)),
          list(s.difference(other, ["a"])), list(s.symmetric_difference(other)))
    print(s.issubset(other), s.issuperset(set()), s.isdisjoint(other))
    for step in range(4):
        try:
            if step == 0:
                s.add([1])
            elif step == 1:
                s.remove("missing")
            elif step == 2:
                set().pop()
            else:
                s.union(5)
        except (KeyError, TypeError) as e:
            print(failed(e))
    t = s.copy()
    t.intersection_update(other, s, [1, "a"])
    u = s.copy()
    u.difference_update(other, ["a", 1])
    v = s.copy()
    v.symmetric_difference_update(other)
    w = s.copy()
    w.update(other, ["q"])
    w.discard("q")
    print(list(t), list(u), list(v), list(w), s)


@dataclasses.dataclass
class Vec:
    x: int
    y: int = 0

    def norm1(self):
        return abs(self.x) + abs(self.y)

    def scaled(self, k):
        return Vec(self.x * k, self.y * k)

    @staticmethod
    def unit():
        return Vec(1, 0)

    @property
    def size(self):
        return self.x * self.y


class Base:
    def hello(self, greeting):
        return greeting + " " + str(self.v)

    def norm1(self):
        return -1


@dataclasses.dataclass
class Child(Base):
    v: int


@dataclasses.dataclass
class Holder:
    fn: object

    def use(self, a):
        return self.fn(a) + 1


class Slotted(Base):
    __slots__ = ("v", "greet")

    def __init__(self, v):
        self.v = v


def twice(a):
    return a * 2


def record_methods(node, rt):
    # Receivers read back from a list: their classes are known at run time only.
    items = [Vec(node.value, 2), Child(node.value), Slotted(node.value)]
    for r in items[node.value % 3:] + items[:node.value % 3]:
        print(r.norm1(), r.hello("hi") if not isinstance(r, Vec) else r.scaled(3))
    h = [Holder(twice), Holder(abs)][node.value % 2]
    print(h.fn(-node.value), h.use(-3), items[0].unit(), items[0].size)
    try:
        print(items[node.value % 3].missing())
    except AttributeError as e:
        print(failed(e))


def record_method_failures(node, rt):
    items = [Vec(node.value, 2), Child(node.value)]
    print(items[node.value % 2].scaled(1, 2))


METHODS = [str_methods, bytes_methods, list_methods, dict_methods, set_methods,
           record_methods]


@pytest.mark.parametrize("semantic", METHODS, ids=lambda f: f.__name__)
def test_method_calls_give_the_reference_results_and_errors(semantic, capfd):
    assert_same_in_both_modes(semantic, capfd, CASES)


def test_a_record_method_called_wrongly_fails_with_pythons_text(capfd):
    lang = make_language(record_method_failures)
    program = lang.load(CASES)
    expected = outcome(program, "python", capfd)
    assert expected[1] is wuna.Error and "scaled() takes 2 positional arguments" in expected[2]
    assert outcome(program, "compiled", capfd) == expected
