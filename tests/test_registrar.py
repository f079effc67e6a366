"""Registering semantics and host functions: the registrars lang.eval, lang.exec and lang.host
return, the reasons python_semantics() reports, strict languages' CompileErrors, ir(), and
native host functions from "wuna.native.v1" capsules."""
import ctypes
import gc
import linecache

import pytest

import wuna
from support.parsers import small_parser
from support.processes import run_python

REFUSED = "a nested `class` can't be compiled"


@pytest.fixture(scope="module")
def parser():
    return small_parser()


@pytest.fixture
def lang(parser):
    return wuna.Language(parser)


@pytest.fixture
def strict(parser):
    return wuna.Language(parser, strict=True)


def front_reason(fn):
    """The reason the front end refuses a semantic below: its nested class, on the line after
    the def, indented by four spaces."""
    code = fn.__code__
    return f"{code.co_filename}:{code.co_firstlineno + 1}:5: in {fn.__name__}(): {REFUSED}"


def print_semantic(node, rt):
    class Refused:
        pass
    return None


def show_semantic(node, rt):
    class Refused:
        pass
    return None


# ---- lang.eval / lang.exec ---------------------------------------------------------------

@pytest.mark.parametrize("method", ["eval", "exec"])
@pytest.mark.parametrize("args, kwargs, error, message", [
    (("Print", True, 3), {}, TypeError, "{}() takes at most 2 positional arguments (3 given)"),
    ((), {}, TypeError, "{}() missing required argument 'kind'"),
    ((), {"native": False}, TypeError, "{}() missing required argument 'kind'"),
    (("Print",), {"kind": "Print"}, TypeError, "{}() got multiple values for argument 'kind'"),
    (("Print", False), {"native": False}, TypeError,
     "{}() got multiple values for argument 'native'"),
    (("Print",), {"compiled": False}, TypeError,
     "{}() got an unexpected keyword argument 'compiled'"),
    (("Nope",), {}, ValueError, "the grammar has no rule or -> class named 'Nope'"),
    ((["Print", "Nope", 5],), {}, ValueError, "the grammar has no rule or -> class named 'Nope'"),
    ((5,), {}, TypeError, "a kind is a str or a list of them"),
    ((["Print", 5],), {}, TypeError, "a kind is a str or a list of them"),
    (({"Print": 1},), {}, TypeError, "a kind is a str or a list of them"),
])
def test_registrar_argument_errors(lang, method, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(lang, method)(*args, **kwargs)
    assert str(caught.value) == message.format(method)


@pytest.mark.parametrize("kind, registered", [
    ("Print", True),
    ("FuncDef", True),
    (["Print", "Def"], True),
    (("Print",), True),
    ([], False),     # a registrar that registers nothing
])
@pytest.mark.parametrize("method", ["eval", "exec"])
def test_registrars_register_and_give_the_function_back(lang, method, kind, registered):
    registrar = getattr(lang, method)(kind)
    assert type(registrar) is wuna.Registrar and repr(registrar) == "Registrar()"
    assert registrar(print_semantic) is print_semantic
    expected = {"print_semantic": front_reason(print_semantic)} if registered else {}
    assert lang.python_semantics() == expected


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"fn": print})])
def test_a_registrar_takes_one_positional_argument(lang, args, kwargs):
    with pytest.raises(TypeError, match="^WrongArgumentCount$"):
        lang.eval("Print")(*args, **kwargs)


def test_semantics_must_be_callable(lang):
    with pytest.raises(TypeError) as caught:
        lang.exec("Print")(5)
    assert str(caught.value) == "semantics must be callable: fn(node, rt)"


def test_a_registrar_made_directly_is_bound_to_nothing(lang):
    registrar = wuna.Registrar()
    assert repr(registrar) == "Registrar()"
    with pytest.raises(TypeError, match="bound to no language"):
        registrar(print_semantic)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "Registrar() takes at most 0 arguments (1 given)"),
    ((), {"kind": "Print"}, "Registrar() got an unexpected keyword argument 'kind'"),
])
def test_the_registrar_class_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        wuna.Registrar(*args, **kwargs)
    assert str(caught.value) == message


def test_a_registration_whose_kinds_changed_stores_nothing(lang):
    kinds = ["Print"]
    registrar = lang.exec(kinds)
    lang.exec("Print", native=False)(print_semantic)
    assert lang.python_semantics() == {"print_semantic": "native=False"}
    kinds.append([])                         # no kind, put in after the registrar checked them
    with pytest.raises(TypeError) as caught:
        registrar(show_semantic)
    assert str(caught.value) == "a kind is a str or a list of them"
    lang.eval("Def", native=False)(print_semantic)   # the tables are built again
    assert lang.python_semantics() == {"print_semantic": "native=False"}


# Kinds given as a str subclass whose __hash__ (run as the kind is stored) or __eq__ (run
# when a dict compares it with a name looked up) empties the kind list or constructs the
# language again with a bad limit, which leaves it without a grammar.
MEDDLING_KIND = """
    import gc, wuna
    from support.parsers import small_parser

    parser = small_parser()
    lang = wuna.Language(parser)
    armed = False

    def meddle():
        if armed:
            kinds.clear()
            gc.collect()
            try:
                lang.__init__(parser, max_depth=0)
            except ValueError:
                pass

    class Kind(str):
        def __hash__(self):
            if WHEN == "hash":
                meddle()
            return str.__hash__(self)

        def __eq__(self, other):
            if WHEN == "eq":
                meddle()
            return str.__eq__(self, other)

    def run_print(node, rt):
        pass

    kinds = [Kind("Print"), Kind("Def")]
    registrar = lang.exec(kinds, native=False)
    armed = True
    try:
        registrar(run_print)
        print(lang.python_semantics())
    except RuntimeError as error:
        print("RuntimeError", error)
"""


# The dicts keep plain strs: neither storing nor looking up ever runs the kind's methods.
@pytest.mark.parametrize("when", ["hash", "eq"])
def test_kinds_that_meddle_as_they_are_stored_or_compared(when):
    out = run_python(MEDDLING_KIND.replace("WHEN", repr(when)))
    assert (out.returncode, out.stdout, out.stderr) == (0, "{'run_print': 'native=False'}\n", "")


# ---- python_semantics() and the why map ----------------------------------------------------

def test_reasons_by_how_a_semantic_was_registered(lang):
    lang.exec("Print", native=False)(print_semantic)
    lang.eval("Def")(show_semantic)
    assert lang.python_semantics() == {"print_semantic": "native=False",
                                       "show_semantic": front_reason(show_semantic)}


def test_the_first_reason_of_a_function_is_kept(lang):
    lang.exec("Print", native=False)(print_semantic)
    lang.exec("Print")(show_semantic)              # replaces print_semantic for Print
    assert lang.python_semantics() == {"show_semantic": front_reason(show_semantic)}
    lang.eval("Def")(print_semantic)               # read by the front end now, too
    assert lang.python_semantics()["print_semantic"] == "native=False"


def test_a_semantic_shared_by_kinds_and_tables_appears_once(lang):
    lang.eval(["Print", "Def"])(print_semantic)
    lang.exec("Block")(print_semantic)
    assert list(lang.python_semantics()) == ["print_semantic"]


def test_host_functions_have_no_reasons(lang):
    lang.host(print_semantic)
    assert lang.python_semantics() == {}


def test_reasons_belong_to_their_own_function(lang):
    # A function dropped by the language frees its address, which the next function made
    # often reuses: its reason must not pass to the new function.
    for i in range(100):
        native = i % 3 == 0  # unlike the reasons of the last functions, whichever it reuses
        fn = eval("lambda node, rt: None")
        # Another test in this process may have left lines for "<string>" in linecache.
        linecache.cache.pop("<string>", None)
        lang.exec("Print", native=native)(fn)
        no_source = "<string>:1:0: in <lambda>(): the source of <lambda>() isn't available"
        expected = no_source if native else "native=False"
        assert lang.python_semantics() == {"<lambda>": expected}
        lang.exec("Print", native=False)(print_semantic)   # drops fn
        del fn
        gc.collect()


def test_a_function_without_a_name_fails_python_semantics(lang):
    class Nameless:
        def __call__(self, node, rt):
            return None

    lang.exec("Print", native=False)(Nameless())
    with pytest.raises(AttributeError):
        lang.python_semantics()


# ---- strict languages -----------------------------------------------------------------------

def test_strict_registration_raises_the_front_ends_compile_error(strict):
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(print_semantic)
    error = caught.value
    code = print_semantic.__code__
    assert str(error) == front_reason(print_semantic)
    assert (error.file, error.line, error.column, error.reason) == (
        code.co_filename, code.co_firstlineno + 1, 5, REFUSED)
    assert strict.python_semantics() == {}  # nothing registered


def test_strict_languages_refuse_native_false(strict):
    with pytest.raises(wuna.CompileError) as caught:
        strict.exec("Print", native=False)(print_semantic)
    assert str(caught.value) == "strict: a semantic marked native=False (it would run in Python)"
    assert strict.python_semantics() == {}


@pytest.mark.parametrize("fn, file, name", [
    (print, "<unknown>", "print"),                     # no __code__
    (type("Callable", (), {"__call__": lambda self, node, rt: 0})(), "<unknown>", "?"),
])
def test_compile_errors_of_functions_without_source_places(strict, fn, file, name):
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(fn)
    reason = f"the source of {name}() isn't available"
    assert str(caught.value) == f"{file}:0:0: in {name}(): {reason}"
    assert (caught.value.file, caught.value.line) == (file, 0)


# ---- ir() -----------------------------------------------------------------------------------

@pytest.mark.parametrize("strictness", [False, True])
def test_ir_raises_the_compile_error_in_any_language(parser, strictness):
    lang = wuna.Language(parser, strict=strictness)
    for _ in range(2):
        with pytest.raises(wuna.CompileError) as caught:
            lang.ir(print_semantic)
        assert str(caught.value) == front_reason(print_semantic)


@pytest.mark.parametrize("args", [(), (print_semantic, print_semantic)])
def test_ir_takes_one_positional_argument(lang, args):
    with pytest.raises(TypeError, match="^WrongArgumentCount$"):
        lang.ir(*args)


# ---- lang.host ------------------------------------------------------------------------------

def test_host_forms(lang):
    def show(value):
        return value

    assert lang.host(show) is show                          # @lang.host: by __name__
    registrar = lang.host("print")                          # @lang.host('print')
    assert type(registrar) is wuna.Registrar
    assert registrar(show) is show
    assert lang.host("write", show) is show                 # lang.host('write', fn)
    assert lang.host(func="write", implementation=show) is show
    assert lang.host(show, None) is show                    # None: not given


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("a", print, 3), {}, TypeError, "host() takes at most 2 positional arguments (3 given)"),
    ((), {}, TypeError, "host() missing required argument 'func'"),
    ((print,), {"func": print}, TypeError, "host() got multiple values for argument 'func'"),
    (("a", print), {"implementation": print}, TypeError,
     "host() got multiple values for argument 'implementation'"),
    ((print,), {"name": "p"}, TypeError, "host() got an unexpected keyword argument 'name'"),
    (("x", 3), {}, TypeError, "a host function must be callable"),
    ((5, print), {}, TypeError, "a host function's name must be a str"),
    ((3,), {}, AttributeError, None),                       # no __name__ to register it under
])
def test_host_errors(lang, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        lang.host(*args, **kwargs)
    if message:
        assert str(caught.value) == message


def test_host_names_are_kept_as_plain_strs(lang):
    compared = []

    class Name(str):
        def __eq__(self, other):
            compared.append(other)
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    def show(value):
        return value

    lang.host(Name("show"), show)
    lang.host(Name("show"))(show)
    lib = Library(b":n")
    lang.native_host(Name("show"), lib.capsule)
    lang.host("show", show)       # replaces the host of that name: compared as plain strs
    assert compared == []


def test_a_host_registrar_needs_a_callable(lang):
    with pytest.raises(TypeError) as caught:
        lang.host("print")(3)
    assert str(caught.value) == "a host function must be callable"


# ---- native hosts ---------------------------------------------------------------------------

class Record(ctypes.Structure):
    _fields_ = [("abi", ctypes.c_uint32), ("unused", ctypes.c_uint32),
                ("signature", ctypes.c_char_p), ("call", ctypes.c_void_p),
                ("user", ctypes.c_void_p), ("error", ctypes.c_void_p)]


CALL = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32,
                        ctypes.c_void_p)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


@CALL
def add(user, args, count, result):
    return 0


def capsule(signature, abi=1, name=b"wuna.native.v1"):
    """A capsule over a record kept alive by the returned holder."""
    record = Record(abi, 0, signature, ctypes.cast(add, ctypes.c_void_p), None, None)
    return new_capsule(ctypes.addressof(record), name, None), record


@pytest.mark.parametrize("signature, abi, error", [
    (b"ii", 1, "a native host function's signature is its arguments' kinds, ':', its result's "
               "(\"bi:i\"; at most 8 arguments), not 'ii'"),
    (b"iiiiiiiii:i", 1, "a native host function's signature is its arguments' kinds, ':', its "
                        "result's (\"bi:i\"; at most 8 arguments), not 'iiiiiiiii:i'"),
    (b"ii:ii", 1, "a native host function's signature is its arguments' kinds, ':', its "
                  "result's (\"bi:i\"; at most 8 arguments), not 'ii:ii'"),
    (b"", 1, "a native host function's signature is its arguments' kinds, ':', its result's "
             "(\"bi:i\"; at most 8 arguments), not ''"),
    (b"ix:i", 1, "'x' isn't a kind of argument (i, f, ?, b)"),
    (b"n:i", 1, "'n' isn't a kind of argument (i, f, ?, b)"),
    (b"i:b", 1, "'b' isn't a kind of result (i, f, ?, n)"),
    (b"\xc3\xa9:i", 1, "'\xc3' isn't a kind of argument (i, f, ?, b)"),   # a byte, not text
    (b"i:\xff", 1, "'\xff' isn't a kind of result (i, f, ?, n)"),
    (b"ii:i", 2, "a native host function of ABI 2: wuna knows ABI 1"),
    (b"ii:i", 0, "a native host function of ABI 0: wuna knows ABI 1"),
])
def test_native_host_signature_errors(lang, signature, abi, error):
    made, _record = capsule(signature, abi)
    with pytest.raises(ValueError) as caught:
        lang.native_host("add", made)
    assert str(caught.value) == error


@pytest.mark.parametrize("signature, count", [
    (b"ii:i", 2), (b":n", 0), (b"bf?i:?", 4), (b"iiiiiiii:f", 8)])
def test_native_hosts_of_good_signatures(lang, signature, count):
    made, _record = capsule(signature)
    host = lang.native_host("add", made)
    assert type(host) is wuna.NativeHost
    assert host.__name__ == "add"


@pytest.mark.parametrize("name, make, error", [
    (5, lambda: capsule(b"ii:i"), TypeError),
    ("add", lambda: capsule(b"ii:i", name=b"other.v1"), ValueError),   # the interpreter's error
    ("add", lambda: (object(), None), ValueError),
])
def test_native_host_needs_a_name_and_the_right_capsule(lang, name, make, error):
    made, _record = make()     # the record outlives the capsule that points at it
    with pytest.raises(error):
        lang.native_host(name, made)


def test_a_native_host_record_without_a_call_function_is_refused(lang):
    made, record = capsule(b"ii:i")
    record.call = None
    with pytest.raises(ValueError) as caught:
        lang.native_host("add", made)
    assert str(caught.value) == "a native host function's record has no call function (it is null)"


def test_a_native_host_made_without_a_record_refuses_to_be_called():
    out = run_python("""
        import wuna
        host = wuna.NativeHost()
        print(host.__name__, repr(host).startswith("<wuna.NativeHost object at "))
        for args in [(), (1, 2)]:
            try:
                host(*args)
            except TypeError as error:
                print(error)
    """)
    bare = ("this NativeHost is bound to no native function: Language.native_host(name, "
            "capsule) makes the ones that call\n")
    assert (out.returncode, out.stdout, out.stderr) == (0, "None True\n" + bare * 2, "")


@pytest.mark.parametrize("args, kwargs", [(("add",), {}), (("add", None, None), {}),
                                          (("add",), {"capsule": None})])
def test_native_host_takes_two_positional_arguments(lang, args, kwargs):
    with pytest.raises(TypeError, match="^WrongArgumentCount$"):
        lang.native_host(*args, **kwargs)


# ---- calling a native host from Python ------------------------------------------------------

SLOTS = ctypes.c_uint64 * 16
ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32)


class Library:
    """A native host function made with ctypes: it records the slot words it was called with
    and answers with the given code and result word."""

    def __init__(self, signature, code=0, word=0, error_text=None):
        self.seen = []
        self.code, self.word = code, word

        @CALL
        def call(user, slots, count, result):
            words = ctypes.cast(slots, ctypes.POINTER(SLOTS)).contents
            self.seen.append(list(words[: 2 * count]))
            ctypes.cast(result, ctypes.POINTER(ctypes.c_uint64))[0] = self.word
            return self.code

        text = ctypes.create_string_buffer(error_text or b"")

        @ERROR
        def error(user, code):
            return ctypes.addressof(text)

        self.call, self.error, self.text = call, error, text
        self.record = Record(1, 0, signature, ctypes.cast(call, ctypes.c_void_p), None,
                             ctypes.cast(error, ctypes.c_void_p) if error_text is not None else None)
        self.capsule = new_capsule(ctypes.addressof(self.record), b"wuna.native.v1", None)


def test_a_native_host_passes_data_as_pointer_and_length(lang):
    lib = Library(b"bi:i", word=2**64 - 5)
    host = lang.native_host("add", lib.capsule)
    data = b"xy"
    assert host(data, 3) == -5
    pointer, length, three, _ = lib.seen[0]
    assert (length, three) == (2, 3)
    assert ctypes.string_at(pointer, length) == b"xy"


def test_a_native_host_passes_a_wuna_bytes_as_its_own_memory(lang):
    lib = Library(b"bi:i")
    host = lang.native_host("add", lib.capsule)
    data = bytearray(b"..xyz..")
    part = wuna.Bytes(data)[2:5]
    host(part, 0)
    pointer, length, _, _ = lib.seen[0]
    base = ctypes.addressof((ctypes.c_char * len(data)).from_buffer(data))
    assert (pointer, length) == (base + 2, 3)


def test_a_native_host_gives_back_the_buffers_it_took(lang):
    lib = Library(b"bi:i")
    host = lang.native_host("add", lib.capsule)
    data = bytearray(b"xy")
    host(data, 1)
    with pytest.raises(TypeError):
        host(data, True)
    data.append(0)   # no export left: the data can change size again


class BytesSubclass(bytes):
    pass


def anonymous_mmap(data):
    import mmap
    mapped = mmap.mmap(-1, len(data))
    mapped.write(data)
    return mapped


# The same types as the rt readers take: exactly these, not whatever offers a buffer.
@pytest.mark.parametrize("make, accepted", [
    (bytes, True),
    (bytearray, True),
    (memoryview, True),
    (anonymous_mmap, True),
    (BytesSubclass, False),
    (lambda data: __import__("array").array("B", data), False),
])
def test_a_native_host_takes_the_data_types_the_readers_take(lang, make, accepted):
    lib = Library(b"bi:i")
    host = lang.native_host("add", lib.capsule)
    data = make(b"xy")
    if not accepted:
        with pytest.raises(TypeError, match=r"add\(\) takes data"):
            host(data, 1)
        assert lib.seen == []
        return
    host(data, 1)
    pointer, length, _, _ = lib.seen[0]
    assert ctypes.string_at(pointer, length) == b"xy"


@pytest.mark.parametrize("signature, word, want", [
    (b"?:?", 1, True), (b"?:?", 0, False), (b"f:f", 0x3FF8000000000000, 1.5), (b":n", 7, None)])
def test_native_host_results_by_kind(lang, signature, word, want):
    lib = Library(signature, word=word)
    host = lang.native_host("h", lib.capsule)
    args = {b"?:?": (True,), b"f:f": (2.0,), b":n": ()}[signature]
    assert host(*args) == want and type(host(*args)) is type(want)


@pytest.mark.parametrize("args, kwargs, message", [
    ((b"ab", 2**63), {}, "add() takes an int of 64 bits as argument 2"),
    ((b"ab", True), {}, "add() takes an int as argument 2"),
    ((b"ab",), {}, "add() takes 2 arguments, 1 given"),
    (("ab", 1), {}, "add() takes data (wuna.Bytes, bytes...) as argument 1"),
    ((b"ab", 1), {"x": 1}, "add() takes no keyword arguments"),
])
def test_native_host_argument_errors(lang, args, kwargs, message):
    lib = Library(b"bi:i")
    host = lang.native_host("add", lib.capsule)
    with pytest.raises(TypeError) as caught:
        host(*args, **kwargs)
    assert str(caught.value) == message
    assert lib.seen == []


@pytest.mark.parametrize("name, message", [
    ("a\0b", "a\0b() takes 2 arguments, 0 given"),     # named whole
    ("\ud800", "native() takes 2 arguments, 0 given"),  # no UTF-8 to name it by
])
def test_native_host_names_in_messages(lang, name, message):
    lib = Library(b"bi:i")
    host = lang.native_host(name, lib.capsule)
    with pytest.raises(TypeError) as caught:
        host()
    assert str(caught.value) == message


@pytest.mark.parametrize("error_text, message", [(b"no room", "no room"), (None, "failed"),
                                                 (b"x" * 2000, "x" * 1020 + "...")])
def test_a_failing_native_host_raises_its_library_text(lang, error_text, message):
    lib = Library(b"f?:n", code=3, error_text=error_text)
    host = lang.native_host("h", lib.capsule)
    with pytest.raises(RuntimeError) as caught:
        host(1.0, False)
    assert str(caught.value) == message
