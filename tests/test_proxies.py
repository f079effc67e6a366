"""What Python sees of native lists, dicts and records: wuna.List, wuna.Dict and wuna.Record,
live views that change the native value in place.

The backbone is differential: each operation runs on a proxy of a native copy and on a plain
list or dict, and both must give the same result, the same contents afterwards (read again
through a new conversion of the native value), or the same exception with the same text."""
import dataclasses
import gc
import sys

import pytest

import wuna
from support import native


@pytest.fixture(autouse=True)
def blocks_come_back():
    """Every native block a test makes is gone when it ends."""
    gc.collect()
    wuna.collect()
    before = wuna._blocks()
    yield
    gc.collect()
    wuna.collect()
    assert wuna._blocks() == before


def outcome(operation, target):
    """The result of the operation, or the exception's type and text (its args for a
    KeyError, whose text is the repr of its key)."""
    try:
        result = operation(target)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome compared
        detail = error.args if isinstance(error, KeyError) else str(error)
        return ("raised", type(error), detail)
    if isinstance(result, (wuna.List, wuna.Dict)):
        result = list(result) if isinstance(result, wuna.List) else dict(result)
    if type(result).__name__ in ("dict_keys", "dict_values", "dict_items"):
        result = list(result)
    return result


def assign(key, value):
    def operation(target):
        target[key] = value
    return operation


def delete(key):
    def operation(target):
        del target[key]
    return operation


def inplace(op, other):
    def operation(target):
        before = target
        if op == "+=":
            target += other
        else:
            target *= other
        return target is before
    return operation


LIST = [3, "a", 1.5, [4, 5], None, 3]

LIST_OPERATIONS = [
    ("len", len),
    ("item", lambda l: l[1]),
    ("negative item", lambda l: l[-1]),
    ("item past end", lambda l: l[6]),
    ("negative past start", lambda l: l[-7]),
    ("str index", lambda l: l["a"]),
    ("float index", lambda l: l[1.0]),
    ("huge index", lambda l: l[2**70]),
    ("slice", lambda l: l[1:4]),
    ("slice with step", lambda l: l[::-2]),
    ("slice out of range", lambda l: l[10:20]),
    ("contains", lambda l: 1.5 in l),
    ("contains nested", lambda l: [4, 5] in l),
    ("not contains", lambda l: 9 in l),
    ("append", lambda l: l.append(7)),
    ("extend tuple", lambda l: l.extend((7, 8))),
    ("extend generator", lambda l: l.extend(i for i in range(3))),
    ("extend int", lambda l: l.extend(5)),
    ("insert", lambda l: l.insert(2, "x")),
    ("insert far left", lambda l: l.insert(-100, "x")),
    ("insert far right", lambda l: l.insert(100, "x")),
    ("insert huge", lambda l: l.insert(2**70, "x")),
    ("insert one argument", lambda l: l.insert(1)),
    ("pop", lambda l: l.pop()),
    ("pop first", lambda l: l.pop(0)),
    ("pop negative", lambda l: l.pop(-2)),
    ("pop past end", lambda l: l.pop(6)),
    ("pop far negative", lambda l: l.pop(-7)),
    ("pop huge", lambda l: l.pop(-2**70)),
    ("remove", lambda l: l.remove(3)),
    ("remove absent", lambda l: l.remove(9)),
    ("index", lambda l: l.index([4, 5])),
    ("index absent", lambda l: l.index(9)),
    ("index absent str", lambda l: l.index("zz")),
    ("count", lambda l: l.count(3)),
    ("clear", lambda l: l.clear()),
    ("reverse", lambda l: l.reverse()),
    ("copy", lambda l: l.copy()),
    ("sort unorderable", lambda l: l.sort()),
    ("sort by key", lambda l: l.sort(key=str, reverse=True)),
    ("set item", assign(1, "b")),
    ("set negative item", assign(-1, 9)),
    ("set past end", assign(6, 0)),
    ("set str index", assign("a", 0)),
    ("delete item", delete(0)),
    ("delete negative", delete(-1)),
    ("delete past end", delete(6)),
    ("concat list", lambda l: l + [1]),
    ("concat tuple", lambda l: l + (1,)),
    ("concat str", lambda l: l + "ab"),
    ("repeat", lambda l: l * 2),
    ("repeat negative", lambda l: l * -1),
    ("+= keeps identity", inplace("+=", [7])),
    ("+= a tuple", inplace("+=", (7, 8))),
    ("*= keeps identity", inplace("*=", 2)),
    ("*= zero", inplace("*=", 0)),
    ("equal", lambda l: l == [3, "a", 1.5, [4, 5], None, 3]),
    ("unequal", lambda l: l != [3]),
    ("less", lambda l: l < [3, "b"]),
    ("less unorderable", lambda l: l < [3, 2]),
    ("bool", bool),
    ("list", list),
    ("iter", lambda l: [x for x in l]),
    ("reversed", lambda l: list(reversed(l))),
    ("repr", repr),
    ("hash", hash),
]

SLICE_ASSIGNMENTS = [
    (slice(1, 3), [7]),
    (slice(1, 3), []),
    (slice(1, 1), [8, 9]),
    (slice(None), []),
    (slice(None), range(10)),
    (slice(4, 1), ["x"]),
    (slice(-2, None), ("a", "b", "c")),
    (slice(None, None, 2), [1, 2, 3]),
    (slice(None, None, 2), [1]),
    (slice(None, None, -1), list(range(6))),
    (slice(None, None, -2), [0, 0]),
    (slice(1, 3), 5),
    (slice(1, 3), "xy"),
    (slice(2**70, None), [1]),
]

SLICE_DELETIONS = [slice(1, 3), slice(None, None, 2), slice(None, None, -2), slice(None),
                   slice(5, 1), slice(1, None, 3), slice(-3, None, -1)]


def check_list_operation(operation, items=LIST):
    plain = list(items)
    with native.held(list(items)) as value:
        proxy = value.show()
        assert outcome(operation, proxy) == outcome(operation, plain)
        assert list(value.show()) == plain
        assert value.show() is proxy


@pytest.mark.parametrize("operation", [op for _, op in LIST_OPERATIONS],
                         ids=[name for name, _ in LIST_OPERATIONS])
def test_a_list_proxy_does_what_a_list_does(operation):
    check_list_operation(operation)


@pytest.mark.parametrize("key, value", SLICE_ASSIGNMENTS, ids=map(repr, SLICE_ASSIGNMENTS))
def test_slice_assignment_as_a_list_does_it(key, value):
    check_list_operation(assign(key, value))


@pytest.mark.parametrize("key", SLICE_DELETIONS, ids=map(repr, SLICE_DELETIONS))
def test_slice_deletion_as_a_list_does_it(key):
    check_list_operation(delete(key), items=[0, 1, 2, 3, 4, 5, 6])


@pytest.mark.parametrize("operation", [lambda l: l.pop(), lambda l: l[-1], lambda l: l.sort()],
                         ids=["pop", "item", "sort"])
def test_an_empty_list_proxy_as_an_empty_list(operation):
    check_list_operation(operation, items=[])


def test_pop_from_an_empty_proxy_is_refused_before_its_argument_is_read():
    proxy = native.proxy([])
    with pytest.raises(IndexError, match="^pop from empty list$"):
        proxy.pop("not an index")


def test_a_list_proxy_is_a_list_to_isinstance_but_its_own_type():
    proxy = native.proxy([1])
    assert isinstance(proxy, list) and type(proxy) is wuna.List
    assert proxy.__class__ is list
    assert type(proxy).__doc__ == ("A list of compiled code, shared with it "
                                   "(isinstance(x, list) is true).")


def test_a_plain_list_plus_a_proxy_is_a_new_proxy():
    proxy = native.proxy([2])
    total = [1] + proxy
    assert type(total) is wuna.List and total == [1, 2] and total is not proxy


def test_a_proxy_keeps_its_items_after_native_code_drops_them():
    with native.held([[1, 2], "x"]) as value:
        proxy = value.show()
        inner = proxy[0]
    assert proxy == [[1, 2], "x"] and inner == [1, 2]
    assert proxy[0] is inner


def test_a_list_that_holds_itself_shows_the_recursion_marker():
    proxy = native.proxy([1])
    proxy.append(proxy)
    assert repr(proxy) == "[1, [...]]"
    assert proxy[1] is proxy
    proxy.clear()  # the cycle is broken, so the blocks go when the test ends


def test_sort_stores_the_sorted_items_in_the_native_list():
    with native.held(["ccc", "a", "bb"]) as value:
        value.show().sort(key=len, reverse=True)
        assert list(value.show()) == ["ccc", "bb", "a"]


def test_a_key_function_that_changes_the_list_makes_sort_fail_and_keeps_the_items():
    proxy = native.proxy([3, 1, 2])

    def key(item):
        proxy.append(0)
        return item

    with pytest.raises(ValueError, match="^list modified during sort$"):
        proxy.sort(key=key)
    assert proxy == [3, 1, 2, 0, 0, 0]


def test_a_failing_conversion_leaves_the_slice_as_it_was():
    class Bad:
        def __iter__(self):
            raise RuntimeError("no items")

    proxy = native.proxy([1, 2, 3])
    with pytest.raises(RuntimeError):
        proxy[0:2] = Bad()
    assert proxy == [1, 2, 3]


def test_comparisons_that_raise_end_the_search_with_their_error():
    class Raises:
        def __eq__(self, other):
            raise ArithmeticError("no")

    proxy = native.proxy([1, 2])
    for operation in (lambda: Raises() in proxy, lambda: proxy.index(Raises()),
                      lambda: proxy.count(Raises()), lambda: proxy.remove(Raises())):
        with pytest.raises(ArithmeticError):
            operation()
    assert proxy == [1, 2]


# ---- Dicts -----------------------------------------------------------------------------------

DICT = {"a": 1, "b": [2, 3], 4: "four", (5, 6): None}

DICT_OPERATIONS = [
    ("len", len),
    ("item", lambda d: d["b"]),
    ("int key", lambda d: d[4]),
    ("tuple key", lambda d: d[(5, 6)]),
    ("equal float key", lambda d: d[4.0]),
    ("missing key", lambda d: d["z"]),
    ("missing tuple key", lambda d: d[(1, 2)]),
    ("list key", lambda d: d[[1]]),
    ("dict key", lambda d: d[{}]),
    ("contains", lambda d: "a" in d),
    ("not contains", lambda d: "z" in d),
    ("contains unhashable", lambda d: [1] in d),
    ("get", lambda d: d.get("a")),
    ("get missing", lambda d: d.get("z")),
    ("get default", lambda d: d.get("z", 5)),
    ("get unhashable", lambda d: d.get([1], 5)),
    ("get no argument", lambda d: d.get()),
    ("pop", lambda d: d.pop("a")),
    ("pop missing", lambda d: d.pop("z")),
    ("pop default", lambda d: d.pop("z", 5)),
    ("setdefault present", lambda d: d.setdefault("a", 9)),
    ("setdefault new", lambda d: d.setdefault("n", [9])),
    ("setdefault none", lambda d: d.setdefault("n")),
    ("update mapping and keywords", lambda d: d.update({"x": 1, "a": 0}, y=2)),
    ("update pairs", lambda d: d.update([("k", 1), ("l", 2)])),
    ("update int", lambda d: d.update(5)),
    ("update bad pair", lambda d: d.update([(1, 2, 3)])),
    ("update unhashable", lambda d: d.update([([1], 2)])),
    ("clear", lambda d: d.clear()),
    ("copy", lambda d: d.copy()),
    ("popitem", lambda d: d.popitem()),
    ("keys", lambda d: list(d.keys())),
    ("values", lambda d: list(d.values())),
    ("items", lambda d: list(d.items())),
    ("set existing", assign("a", 10)),
    ("set new", assign("new", [1])),
    ("set unhashable", assign([1], 0)),
    ("delete", delete("b")),
    ("delete missing", delete("z")),
    ("equal", lambda d: d == {"a": 1, "b": [2, 3], 4: "four", (5, 6): None}),
    ("unequal", lambda d: d != {"a": 1}),
    ("less", lambda d: d < {}),
    ("iter", list),
    ("bool", bool),
    ("repr", repr),
    ("hash", hash),
]


def check_dict_operation(operation, items=DICT):
    plain = dict(items)
    with native.held(dict(items)) as value:
        proxy = value.show()
        assert outcome(operation, proxy) == outcome(operation, plain)
        assert list(value.show().items()) == list(plain.items())
        assert value.show() is proxy


@pytest.mark.parametrize("operation", [op for _, op in DICT_OPERATIONS],
                         ids=[name for name, _ in DICT_OPERATIONS])
def test_a_dict_proxy_does_what_a_dict_does(operation):
    check_dict_operation(operation)


@pytest.mark.parametrize("operation", [lambda d: d.popitem(), lambda d: d.clear(), len],
                         ids=["popitem", "clear", "len"])
def test_an_empty_dict_proxy_as_an_empty_dict(operation):
    check_dict_operation(operation, items={})


def test_the_unhashable_key_text_is_the_running_versions():
    proxy = native.proxy({})
    with pytest.raises(TypeError) as caught:
        proxy[[1]] = 0
    if sys.version_info >= (3, 14):
        assert str(caught.value) == "cannot use 'list' as a dict key (unhashable type: 'list')"
    else:
        assert str(caught.value) == "unhashable type: 'list'"


def test_iterating_a_dict_proxy_takes_its_keys_first():
    proxy = native.proxy({"a": 1})
    keys = iter(proxy)
    proxy["z"] = 0
    assert list(keys) == ["a"]


def test_replacing_a_value_keeps_the_keys_place():
    proxy = native.proxy({"a": 1, "b": 2})
    proxy["a"] = 3
    assert proxy.keys() == ["a", "b"] and proxy["a"] == 3


def test_popitem_takes_the_last_live_entry():
    proxy = native.proxy({"a": 1, "b": 2, "c": 3})
    del proxy["c"]
    assert proxy.popitem() == ("b", 2)
    assert proxy == {"a": 1}


def test_a_dict_that_holds_itself_shows_the_recursion_marker():
    proxy = native.proxy({})
    proxy["me"] = proxy
    assert repr(proxy) == "{'me': {...}}"
    proxy.clear()


def test_a_dict_proxy_is_a_dict_to_isinstance():
    proxy = native.proxy({})
    assert isinstance(proxy, dict) and type(proxy) is wuna.Dict
    with pytest.raises(TypeError):
        hash(proxy)


def test_a_raising_key_hash_is_the_operations_failure():
    class Key:
        def __hash__(self):
            raise ArithmeticError("no hash")

    proxy = native.proxy({"a": 1})
    with pytest.raises(ArithmeticError):
        proxy[Key()] = 1
    assert proxy == {"a": 1}


# ---- Shared constants are read-only ----------------------------------------------------------

READ_ONLY_LIST = [
    lambda l: l.append(1), lambda l: l.extend([1]), lambda l: l.insert(0, 1),
    lambda l: l.pop(), lambda l: l.remove(1), lambda l: l.clear(), lambda l: l.reverse(),
    lambda l: l.sort(), assign(0, 5), delete(0), assign(slice(0, 1), []),
    inplace("+=", [1]), inplace("*=", 2),
]
READ_ONLY_DICT = [
    assign("a", 2), delete("a"), lambda d: d.pop("a"), lambda d: d.popitem(),
    lambda d: d.clear(), lambda d: d.update(a=3), lambda d: d.setdefault("n", 1),
]


@pytest.mark.parametrize("operation", READ_ONLY_LIST)
def test_a_shared_list_refuses_every_change(operation):
    with native.held([1, 2], frozen=True) as value:
        with pytest.raises(TypeError, match="shared by compiled code"):
            operation(value.show())
        assert value.show() == [1, 2]


@pytest.mark.parametrize("operation", READ_ONLY_DICT)
def test_a_shared_dict_refuses_every_change(operation):
    with native.held({"a": 1}, frozen=True) as value:
        with pytest.raises(TypeError, match="shared by compiled code"):
            operation(value.show())
        assert value.show() == {"a": 1}


def test_a_shared_list_still_reads():
    with native.held([3, 1], frozen=True) as value:
        proxy = value.show()
        assert (proxy[0], proxy.index(1), proxy + [2], sorted(proxy)) == (3, 1, [3, 1, 2], [1, 3])


# ---- Records ---------------------------------------------------------------------------------

@dataclasses.dataclass
class Point:
    x: int
    y: list

    def doubled(self):
        return self.x * 2

    @property
    def size(self):
        return len(self.y)


@dataclasses.dataclass(frozen=True)
class Frozen:
    x: int
    y: str


@dataclasses.dataclass(eq=False)
class Plain:
    x: int


class Slots:
    __slots__ = ("x", "y")

    def __init__(self, x):
        self.x = x


def test_a_record_proxy_reads_fields_and_calls_its_class_methods_on_itself():
    with native.held(Point(3, [1, 2])) as value:
        record = value.show()
        assert type(record) is wuna.Record
        assert record.__class__ is Point and isinstance(record, Point)
        assert (record.x, record.y, record.doubled(), record.size) == (3, [1, 2], 6, 2)
        assert repr(record) == "Point(x=3, y=[1, 2])" == str(record)
        record.x = 10
        assert value.show().x == 10 and value.show() is record


def test_record_attribute_errors_are_the_running_versions():
    with native.held(Slots(1)) as value:
        record = value.show()
        real = Slots(1)
        for obj in (record, real):
            with pytest.raises(AttributeError) as caught:
                obj.z = 1
            if obj is real:
                assert str(caught.value) == expected
            else:
                expected = str(caught.value)
        with pytest.raises(AttributeError) as caught:
            record.nothing
        assert str(caught.value) == "'Slots' object has no attribute 'nothing'"


def attribute_errors(obj):
    """The texts of reading x, deleting it again and reading y, after deleting x."""
    del obj.x
    texts = []
    for operation in (lambda: obj.x, lambda: delattr(obj, "x"), lambda: obj.y):
        with pytest.raises(AttributeError) as caught:
            operation()
        texts.append(str(caught.value))
    return texts


def test_deleting_a_slots_field_unsets_it_as_python_does():
    with native.held(Slots(1)) as value:
        assert attribute_errors(value.show()) == attribute_errors(Slots(1))


@pytest.mark.parametrize("operation", [lambda r: setattr(r, "x", 1), lambda r: delattr(r, "x")],
                         ids=["assign", "delete"])
def test_a_frozen_record_refuses_changes_as_a_frozen_dataclass(operation):
    with native.held(Frozen(1, "a")) as value:
        with pytest.raises(dataclasses.FrozenInstanceError, match="^cannot assign to field 'x'$"):
            operation(value.show())


def test_record_equality_and_hashing_follow_the_class():
    with native.held(Frozen(1, "a")) as a, native.held(Frozen(1, "a")) as b:
        assert a.show() == b.show() and hash(a.show()) == hash((1, "a"))
        assert a.show() == Frozen(1, "a")
    with native.held(Point(1, [])) as p:
        with pytest.raises(TypeError):
            hash(p.show())
        assert p.show() != 5
    with native.held(Plain(1)) as a, native.held(Plain(1)) as b:
        assert a.show() != b.show() and a.show() == a.show()
        assert hash(a.show()) == hash(a.show()) and a.show() != Plain(1)


def test_an_attribute_name_must_be_a_str():
    with native.held(Point(1, [])) as value:
        record = value.show()
        with pytest.raises(TypeError, match="^attribute must be a str$"):
            wuna.Record.__getattribute__(record, 5)


# ---- Proxies and the native collector --------------------------------------------------------

def test_a_cycle_whose_proxy_python_holds_survives_the_collector_and_goes_after():
    with native.held([1]) as value:
        proxy = value.show()
        proxy.append(proxy)
    assert wuna.collect() == 0
    assert proxy[0] == 1 and proxy[1] is proxy
    del proxy
    gc.collect()
    assert wuna.collect() == 1


def test_a_proxy_that_owns_its_list_hands_it_back_to_native_code_and_takes_it_again():
    owned = native.proxy(["kept"])
    with native.held([]) as value:
        value.show().append(owned)
        assert value.show()[0] is owned
    # The outer list is gone: the inner one is the proxy's again, still readable.
    assert owned == ["kept"]
    owned.append(1)
    assert owned == ["kept", 1]
