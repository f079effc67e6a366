"""The module's surface after import: classes, exceptions, functions, and what start-up
prepares for the runtime (string hashing, the C math library)."""
import ctypes
import inspect
import sys

import pytest

import wuna
from support.abi import introspection
from support.processes import run_python
from support.version import PROJECT_VERSION


# ---------------------------------------------------------------------------------------
# Classes and exceptions

CLASSES = ["Language", "Registrar", "Program", "Runtime", "Session", "State", "Node",
           "Function", "Frame", "CompiledRuntime", "List", "Dict", "Record", "Bytes",
           "NativeHost"]
SUBCLASSABLE = {"Language", "Registrar", "Program", "Runtime", "Session"}
GC_TRACKED = {"Language", "Registrar", "Program", "Runtime", "Session", "State", "Node", "Function", "Frame"}


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_named_in_the_module(name):
    cls = getattr(wuna, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__module__ == "wuna"
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", CLASSES)
def test_only_the_system_classes_can_be_subclassed(name):
    cls = getattr(wuna, name)
    if name in SUBCLASSABLE:
        assert type(f"My{name}", (cls,), {}).__mro__[1] is cls
    else:
        with pytest.raises(TypeError):
            type(f"My{name}", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_garbage_collector_support(name):
    tracked = bool(getattr(wuna, name).__flags__ & (1 << 14))   # Py_TPFLAGS_HAVE_GC
    assert tracked == (name in GC_TRACKED)


EXCEPTIONS = [
    ("IntegerOverflow", ArithmeticError),
    ("Error", Exception),
    ("LoadError", Exception),
    ("CompileError", Exception),
    ("StrictError", "CompileError"),
    ("Return", Exception),
    ("Break", Exception),
    ("Continue", Exception),
    ("TailCall", Exception),
    ("Throw", Exception),
]


@pytest.mark.parametrize("name, base", EXCEPTIONS)
def test_exception_classes(name, base):
    cls = getattr(wuna, name)
    base = getattr(wuna, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "wuna" and cls.__name__ == name
    assert cls.__doc__
    assert not [n for n in vars(cls) if not n.startswith("__")]


def test_strict_error_is_caught_as_compile_error():
    with pytest.raises(wuna.CompileError):
        raise wuna.StrictError("strict: x (it would run in Python)")


@pytest.mark.parametrize("args, value, message", [
    ((), None, None),
    ((5,), 5, None),
    ((5, "m"), 5, "m"),
    (([1, 2], ""), [1, 2], ""),
])
def test_throw_carries_a_value_and_a_message(args, value, message):
    e = wuna.Throw(*args)
    assert e.value == value and e.message == message
    assert e.args == (value, message)


def test_throw_by_keyword_and_as_exception():
    e = wuna.Throw(message="boom", value=3)
    assert (e.value, e.message) == (3, "boom")
    with pytest.raises(wuna.Throw) as caught:
        raise wuna.Throw(7)
    assert caught.value.value == 7
    assert wuna.Throw.__doc__.startswith("raise rt.Throw(value, message=None)")


def test_program_call_type_is_not_a_module_attribute():
    assert not hasattr(wuna, "ProgramCall")
    assert "ProgramCall" not in dir(wuna)


def test_module_names_nothing_else():
    public = {n for n in dir(wuna) if not n.startswith("__")}
    functions = {"version", "configure", "collect", "clear_cache", "comptime", "build_native",
                 "build_executable", "_blocks"}
    assert public == set(CLASSES) | {"I64"} | {n for n, _ in EXCEPTIONS} | functions


# ---------------------------------------------------------------------------------------
# Functions

FUNCTIONS = [
    ("version", "()"),
    ("_blocks", "()"),
    ("collect", "()"),
    ("clear_cache", "()"),
    ("comptime", "(arg0, /)"),
    ("build_executable",
     "(language, source, output, target=None, path=None, python=None, setup=None)"),
    ("build_native", "(language, source, output, path=None, prune=None, left_out=None, "
                     "setup=None, target=None, shared=None)"),
    ("configure", "(cache=None, cache_size=None, perf_map=None, tiers=None)"),
]


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_function_signatures_and_docstrings(name, signature):
    fn = getattr(wuna, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ and "\n--\n" not in fn.__doc__


def test_module_docstring():
    assert wuna.__doc__.startswith("wuna - execution for languages defined with pargo")


def test_version():
    assert wuna.version() == PROJECT_VERSION


@pytest.mark.parametrize("name, args", [("version", (1,)), ("_blocks", (None,)),
                                        ("comptime", ())])
def test_positional_functions_check_their_argument_count(name, args):
    with pytest.raises(TypeError):
        getattr(wuna, name)(*args)


def test_live_block_count_is_an_int_that_holds_still():
    assert isinstance(wuna._blocks(), int)
    assert wuna._blocks() == wuna._blocks() >= 0


# ---------------------------------------------------------------------------------------
# Import

BLOCK_PARGO = """
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == "pargo":
            raise ModuleNotFoundError("No module named 'pargo'", name="pargo")
sys.meta_path.insert(0, Block())
"""


@pytest.mark.parametrize("setup, error", [
    (BLOCK_PARGO, "ModuleNotFoundError: No module named 'pargo'"),
    ("sys.modules['pargo'] = None", "ModuleNotFoundError: import of pargo halted"),
    ("import pargo; del pargo.Diagnostic", "AttributeError: module 'pargo' has no attribute"),
])
def test_import_fails_with_the_parser_packages_error(setup, error):
    result = run_python("import sys\n" + setup + """
try:
    import wuna
except BaseException as e:
    print(f"{type(e).__name__}: {e}")
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(error)


def test_warning_filters_are_unchanged_by_import():
    result = run_python("""
        import warnings
        warnings.simplefilter("always", UserWarning)
        before = list(warnings.filters)
        import wuna
        assert warnings.filters == before, (warnings.filters, before)
        assert wuna.I64(1) + 1 == 2
    """, "-W", "error::DeprecationWarning")
    assert result.returncode == 0, result.stderr


# ---------------------------------------------------------------------------------------
# What start-up prepares for the runtime, read through the module's one introspection entry

def test_interpreter_minor_version_is_kept():
    assert introspection().interpreterMinor[0] == sys.version_info[1]


MASK = (1 << 64) - 1


def siphash(key, data, c_rounds, d_rounds):
    k0, k1 = int.from_bytes(key[:8], "little"), int.from_bytes(key[8:], "little")
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D,
         k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & MASK

    def rounds(n):
        for _ in range(n):
            v[0] = (v[0] + v[1]) & MASK; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
            v[2] = (v[2] + v[3]) & MASK; v[3] = rotl(v[3], 16) ^ v[2]
            v[0] = (v[0] + v[3]) & MASK; v[3] = rotl(v[3], 21) ^ v[0]
            v[2] = (v[2] + v[1]) & MASK; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    whole = len(data) // 8 * 8
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, whole, 8)]
    words.append((len(data) & 0xFF) << 56 | int.from_bytes(data[whole:], "little"))
    for m in words:
        v[3] ^= m
        rounds(c_rounds)
        v[0] ^= m
    v[2] ^= 0xFF
    rounds(d_rounds)
    h = v[0] ^ v[1] ^ v[2] ^ v[3]
    h = h - (1 << 64) if h >> 63 else h
    return -2 if h == -1 else h


KNOWN = {("siphash24", 0): 1, ("siphash13", 0): 2}


def test_string_hashing_matches_the_interpreter():
    info = sys.hash_info
    record = introspection()
    rounds = record.sipRounds[0]
    assert rounds == KNOWN.get((info.algorithm, info.cutoff), 0)
    assert record.noneHash[0] == hash(None)
    if not rounds:
        pytest.skip("this interpreter's str hash is not a keyed SipHash")
    key = bytes(record.hashKey[0])
    c_rounds, d_rounds = {1: (2, 4), 2: (1, 3)}[rounds]
    for data in [b"a", b"wuna", b"exactly8", b"more than eight bytes", bytes(range(40))]:
        assert siphash(key, data, c_rounds, d_rounds) == hash(data), data


@pytest.mark.parametrize("hash_info, rounds", [
    ("SimpleNamespace(algorithm='siphash24', cutoff=0)", 1),
    ("SimpleNamespace(algorithm='siphash13', cutoff=0)", 2),
    ("SimpleNamespace(algorithm='siphash13', cutoff=7)", 0),
    ("SimpleNamespace(algorithm='fnv', cutoff=0)", 0),
    ("SimpleNamespace(algorithm=b'siphash13', cutoff=0)", 0),
    ("SimpleNamespace(algorithm='siphash13', cutoff='0')", 0),
    ("SimpleNamespace()", 0),
    ("None", 0),
])
def test_string_hashing_follows_the_interpreters_hash_info(hash_info, rounds):
    result = run_python(f"""
        import sys
        from types import SimpleNamespace
        from support.abi import introspection
        sys.hash_info = {hash_info}
        import wuna
        record = introspection()
        print(record.sipRounds[0])
        print(record.noneHash[0] == hash(None))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(rounds), "True"]


def test_c_math_library_is_found_when_loaded():
    with open("/proc/self/maps") as maps:
        if "libm.so.6" not in maps.read():
            pytest.skip("this interpreter has no libm.so.6 loaded")
    record = introspection()
    assert record.libmReady[0] == 1
    table = record.libmTable[0]
    libm = ctypes.CDLL("libm.so.6")
    for index, name in [(0, "fmod"), (5, "sin"), (19, "atan2"), (20, "pow")]:
        assert table[index] == ctypes.cast(getattr(libm, name), ctypes.c_void_p).value, name


IMMORTAL = 0x4000000000000000


class Header(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("kind", ctypes.c_uint32), ("flags", ctypes.c_uint32)]


class TupleBlock(ctypes.Structure):
    _fields_ = [("h", Header), ("length", ctypes.c_uint64)]


class StrBlock(ctypes.Structure):
    _fields_ = [("h", Header), ("length", ctypes.c_uint64), ("chars", ctypes.c_uint64),
                ("hash", ctypes.c_uint64), ("index", ctypes.c_void_p), ("byte", ctypes.c_uint8)]


def test_shared_empty_tuple_is_immortal():
    address = introspection().emptyTuple[0]
    assert address
    block = TupleBlock.from_address(address)
    assert (block.h.count, block.h.kind, block.length) == (IMMORTAL, 6, 0)


def test_one_character_strs_are_immortal():
    table = introspection().asciiChars[0]
    for c in range(128):
        block = StrBlock.from_address(table[c])
        assert (block.h.count, block.h.kind) == (IMMORTAL, 4), c
        assert (block.length, block.chars, block.byte) == (1, 1, c), c


@pytest.mark.parametrize("size_class, blocks_made", [
    (2, 0),   # the empty tuple's class: the first block start-up makes
    (3, 1),   # the one-character strs' class: the empty tuple was made, and stays
])
def test_start_up_out_of_block_memory_raises_memory_error(size_class, blocks_made):
    # Before the import runs start-up, the library is loaded by hand and the importing
    # thread's pool is given a carve region at address 0 for one size class: the next block of
    # that class comes back null, as when the C heap refuses.
    result = run_python(f"""
        import ctypes
        from support.abi import introspection
        record = introspection()
        pool = record.poolCurrent()
        region = (ctypes.c_uint64 * 2).from_address(pool + 32 * 8 + 16 * {size_class})
        region[0], region[1] = 0, 1 << 40
        try:
            import wuna
        except MemoryError as e:
            print(type(e).__name__, record.liveBlocks())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", str(blocks_made)]


def test_importing_again_shares_the_first_start_up():
    result = run_python("""
        import sys
        import wuna as first
        blocks = first._blocks()
        del sys.modules["wuna"]
        import wuna as second
        assert second is not first
        for name in ["I64", "Error", "Throw", "Language", "Node", "List", "NativeHost"]:
            assert getattr(second, name) is getattr(first, name), name
        from support.version import PROJECT_VERSION
        assert second.version() == PROJECT_VERSION
        assert second._blocks() == blocks
        assert isinstance(first.I64(1) + 1, second.I64)
    """)
    assert result.returncode == 0, result.stderr


def test_import_succeeds_once_the_parser_package_is_found():
    result = run_python("import sys\n" + BLOCK_PARGO + """
try:
    import wuna
except ImportError:
    pass
else:
    raise AssertionError("imported without pargo")
sys.meta_path.pop(0)
import wuna
assert wuna.I64(2) * 3 == 6 and issubclass(wuna.StrictError, wuna.CompileError)
""")
    assert result.returncode == 0, result.stderr
