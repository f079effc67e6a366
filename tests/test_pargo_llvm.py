"""pargo.llvm_capsule(): the record behind the capsule read back with ctypes (ABI, LLVM version,
the function lookup), and the code engine driven end to end from Python through it."""
import ctypes
import subprocess
import sys
import textwrap

import pytest

import pargo
from support.abi import LLVM_ABI, LlvmCapsule

CAPSULE_NAME = b"pargo.llvm.v1"

get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype = ctypes.c_void_p
get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
get_name = ctypes.pythonapi.PyCapsule_GetName
get_name.restype = ctypes.c_char_p
get_name.argtypes = [ctypes.py_object]

def record():
    return get_pointer(pargo.llvm_capsule(), CAPSULE_NAME)


def members():
    """The record through its mirror (the capsule record lives for the process)."""
    return LlvmCapsule.from_address(record())


def lookup(name):
    return members().lookup(name.encode())


def loaded_llvm():
    """The LLVM shared library this process loaded with pargo."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "libLLVM" in line}
    assert len(paths) == 1, paths
    return ctypes.CDLL(paths.pop())


def test_capsule_is_named_and_stays_the_same_record():
    c = pargo.llvm_capsule()
    assert type(c).__name__ == "PyCapsule"
    assert get_name(c) == CAPSULE_NAME
    assert record() == get_pointer(c, CAPSULE_NAME)


def test_abi_word_is_2_and_version_is_the_loaded_llvm():
    assert members().abi == LLVM_ABI == 2
    version = members().version.decode()
    major, minor, patch = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
    loaded_llvm().LLVMGetVersion(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(patch))
    assert version == f"{major.value}.{minor.value}.{patch.value}"


@pytest.mark.parametrize("member", ["unused24", "unused72", "unused80"])
def test_unused_words_are_null(member):
    assert getattr(members(), member) is None


@pytest.mark.parametrize("member", ["symbolAddress", "defineSymbols", "release", "emitObject",
                                    "freeBytes", "loadObject"])
def test_engine_members_are_set(member):
    assert getattr(members(), member)


def test_lookup_is_set():
    assert ctypes.cast(members().lookup, ctypes.c_void_p).value


def test_lookup_gives_llvm_functions_and_null_for_unknown_names():
    llvm = loaded_llvm()
    assert lookup("LLVMBuildSelect") == ctypes.cast(llvm.LLVMBuildSelect, ctypes.c_void_p).value
    assert lookup("LLVMAddAlias2") == ctypes.cast(llvm.LLVMAddAlias2, ctypes.c_void_p).value
    assert lookup("NoSuchFunction") is None
    assert lookup("") is None


# Builds i64 t_py_answer() { return cos(0) * 42 } through looked-up functions, emits it at
# level 0, loads it, calls it, releases it. Runs in a subprocess: a broken engine may crash.
END_TO_END = textwrap.dedent(r"""
    import ctypes, pargo
    P = ctypes.c_void_p
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = P, [ctypes.py_object, ctypes.c_char_p]
    rec = get(pargo.llvm_capsule(), b"pargo.llvm.v1")
    member = lambda off, *sig: ctypes.CFUNCTYPE(*sig)(P.from_address(rec + off).value)
    lookup = member(16, P, ctypes.c_char_p)
    symbol_address = member(32, ctypes.c_uint64, ctypes.c_char_p)
    release = member(48, None, P)
    emit = member(56, P, P, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                  ctypes.POINTER(ctypes.c_uint64), ctypes.c_char_p, ctypes.c_uint64)
    free_bytes = member(64, None, P)
    load = member(88, P, P, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_uint64)
    def llvm(name, ret, *args):
        return ctypes.CFUNCTYPE(ret, *args)(lookup(name.encode()))
    ctx = llvm("LLVMContextCreate", P)()
    mod = llvm("LLVMModuleCreateWithNameInContext", P, ctypes.c_char_p, P)(b"m", ctx)
    i64 = llvm("LLVMInt64TypeInContext", P, P)(ctx)
    dbl = llvm("LLVMDoubleTypeInContext", P, P)(ctx)
    fn_type = llvm("LLVMFunctionType", P, P, ctypes.POINTER(P), ctypes.c_uint, ctypes.c_int)
    add_function = llvm("LLVMAddFunction", P, P, ctypes.c_char_p, P)
    cos_type = fn_type(dbl, (P * 1)(dbl), 1, 0)
    cos = add_function(mod, b"cos", cos_type)
    f = add_function(mod, b"t_py_answer", fn_type(i64, None, 0, 0))
    b = llvm("LLVMCreateBuilderInContext", P, P)(ctx)
    entry = llvm("LLVMAppendBasicBlockInContext", P, P, P, ctypes.c_char_p)(ctx, f, b"entry")
    llvm("LLVMPositionBuilderAtEnd", None, P, P)(b, entry)
    zero = llvm("LLVMConstNull", P, P)(dbl)
    one = llvm("LLVMBuildCall2", P, P, P, P, ctypes.POINTER(P), ctypes.c_uint, ctypes.c_char_p)(
        b, cos_type, cos, (P * 1)(zero), 1, b"")
    as_int = llvm("LLVMBuildFCmp", P, P, ctypes.c_int, P, P, ctypes.c_char_p)(b, 1, one, one, b"")  # oeq: 1
    wide = llvm("LLVMBuildZExt", P, P, P, P, ctypes.c_char_p)(b, as_int, i64, b"")
    k = llvm("LLVMConstInt", P, P, ctypes.c_ulonglong, ctypes.c_int)(i64, 42, 0)
    llvm("LLVMBuildRet", P, P, P)(b, llvm("LLVMBuildMul", P, P, P, P, ctypes.c_char_p)(b, wide, k, b""))
    llvm("LLVMDisposeBuilder", None, P)(b)
    err = ctypes.create_string_buffer(2048)
    size = ctypes.c_uint64()
    obj = emit(mod, 0, None, None, None, ctypes.byref(size), err, 2048)
    assert obj, err.value
    assert ctypes.string_at(obj, 4) == b"\x7fELF"
    handle = load(obj, size.value, err, 2048)
    free_bytes(obj)
    assert handle, err.value
    address = symbol_address(b"t_py_answer")
    print(ctypes.CFUNCTYPE(ctypes.c_int64)(address)())
    release(handle)
    print(symbol_address(b"t_py_answer"))
    junk = b"\xab" * 64
    assert not load(junk, len(junk), err, 2048)
    print(err.value.decode())
""")


def test_engine_emits_loads_and_releases_code_from_python():
    out = subprocess.run([sys.executable, "-c", END_TO_END], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    answer, after_release, junk_error = out.stdout.splitlines()
    assert answer == "42"
    assert after_release == "0"
    assert junk_error.startswith("not an object file")
