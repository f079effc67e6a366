"""Time of pargo's code engine on a small module: emission at levels 0, 1 and 2, and loading.
The module (built through the capsule's looked-up LLVM functions, as compiled-code generators
do) has FUNCTIONS functions of a few blocks each: a compare, a branch, a call of an external
helper, an inlined internal helper and a phi. Only the engine calls are timed; building the
module is not. Prints the median and the spread per level. No assertions on time.

    PYTHONPATH=<build dir> python bench/llvm_emit.py [functions] [rounds]
"""
import ctypes
import statistics
import sys
import time

import pargo

P = ctypes.c_void_p
S = ctypes.c_char_p

get = ctypes.pythonapi.PyCapsule_GetPointer
get.restype, get.argtypes = P, [ctypes.py_object, S]
REC = get(pargo.llvm_capsule(), b"pargo.llvm.v1")


def member(offset, *sig):
    return ctypes.CFUNCTYPE(*sig)(P.from_address(REC + offset).value)


lookup = member(16, P, S)
define_symbols = member(40, ctypes.c_int, ctypes.POINTER(S), ctypes.POINTER(ctypes.c_uint64), ctypes.c_uint64, S,
                        ctypes.c_uint64)
release = member(48, None, P)
emit = member(56, P, P, ctypes.c_uint32, S, S, S, ctypes.POINTER(ctypes.c_uint64), S, ctypes.c_uint64)
free_bytes = member(64, None, P)
load = member(88, P, P, ctypes.c_uint64, S, ctypes.c_uint64)


def llvm(name, ret, *args):
    return ctypes.CFUNCTYPE(ret, *args)(lookup(name.encode()))


ContextCreate = llvm("LLVMContextCreate", P)
ModuleCreate = llvm("LLVMModuleCreateWithNameInContext", P, S, P)
Int64 = llvm("LLVMInt64TypeInContext", P, P)
FunctionType = llvm("LLVMFunctionType", P, P, ctypes.POINTER(P), ctypes.c_uint, ctypes.c_int)
AddFunction = llvm("LLVMAddFunction", P, P, S, P)
SetLinkage = llvm("LLVMSetLinkage", None, P, ctypes.c_int)
AttrKind = llvm("LLVMGetEnumAttributeKindForName", ctypes.c_uint, S, ctypes.c_size_t)
CreateAttr = llvm("LLVMCreateEnumAttribute", P, P, ctypes.c_uint, ctypes.c_uint64)
AddAttr = llvm("LLVMAddAttributeAtIndex", None, P, ctypes.c_uint, P)
GetParam = llvm("LLVMGetParam", P, P, ctypes.c_uint)
ConstInt = llvm("LLVMConstInt", P, P, ctypes.c_ulonglong, ctypes.c_int)
AppendBlock = llvm("LLVMAppendBasicBlockInContext", P, P, P, S)
CreateBuilder = llvm("LLVMCreateBuilderInContext", P, P)
DisposeBuilder = llvm("LLVMDisposeBuilder", None, P)
PositionAtEnd = llvm("LLVMPositionBuilderAtEnd", None, P, P)
Ret = llvm("LLVMBuildRet", P, P, P)
Br = llvm("LLVMBuildBr", P, P, P)
CondBr = llvm("LLVMBuildCondBr", P, P, P, P, P)
Add = llvm("LLVMBuildAdd", P, P, P, P, S)
Mul = llvm("LLVMBuildMul", P, P, P, P, S)
ICmp = llvm("LLVMBuildICmp", P, P, ctypes.c_int, P, P, S)
Call = llvm("LLVMBuildCall2", P, P, P, P, ctypes.POINTER(P), ctypes.c_uint, S)
Phi = llvm("LLVMBuildPhi", P, P, P, S)
AddIncoming = llvm("LLVMAddIncoming", None, P, ctypes.POINTER(P), ctypes.POINTER(P), ctypes.c_uint)

LLVM_INTERNAL = 8
LLVM_INT_SLT = 40
FUNCTION_INDEX = 0xFFFFFFFF


def helper(x):
    return x * 3


HELPER = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_int64)(helper)
HELPER_NAME = b"bench_emit_helper"


def build(functions, tag):
    ctx = ContextCreate()
    mod = ModuleCreate(b"bench", ctx)
    i64 = Int64(ctx)
    one_arg = FunctionType(i64, (P * 1)(i64), 1, 0)
    two_args = FunctionType(i64, (P * 2)(i64, i64), 2, 0)
    b = CreateBuilder(ctx)
    ext = AddFunction(mod, HELPER_NAME, one_arg)
    inc = AddFunction(mod, b"bench_inc", one_arg)
    SetLinkage(inc, LLVM_INTERNAL)
    AddAttr(inc, FUNCTION_INDEX, CreateAttr(ctx, AttrKind(b"alwaysinline", 12), 0))
    PositionAtEnd(b, AppendBlock(ctx, inc, b"entry"))
    Ret(b, Add(b, GetParam(inc, 0), ConstInt(i64, 1, 0), b""))
    for i in range(functions):
        f = AddFunction(mod, f"bench_{tag}_f{i}".encode(), two_args)
        entry, then, other, join = (AppendBlock(ctx, f, n) for n in (b"entry", b"then", b"else", b"join"))
        a, c = GetParam(f, 0), GetParam(f, 1)
        PositionAtEnd(b, entry)
        CondBr(b, ICmp(b, LLVM_INT_SLT, a, c, b""), then, other)
        PositionAtEnd(b, then)
        x = Call(b, one_arg, ext, (P * 1)(a), 1, b"")
        x = Mul(b, Call(b, one_arg, inc, (P * 1)(x), 1, b""), ConstInt(i64, i + 1, 0), b"")
        Br(b, join)
        PositionAtEnd(b, other)
        y = Add(b, Add(b, a, c, b""), ConstInt(i64, i, 0), b"")
        Br(b, join)
        PositionAtEnd(b, join)
        phi = Phi(b, i64, b"")
        AddIncoming(phi, (P * 2)(x, y), (P * 2)(then, other), 2)
        Ret(b, phi)
    DisposeBuilder(b)
    return mod


def main():
    functions = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    err = ctypes.create_string_buffer(2048)
    names = (S * 1)(HELPER_NAME)
    addresses = (ctypes.c_uint64 * 1)(ctypes.cast(HELPER, P).value)
    if define_symbols(names, addresses, 1, err, 2048) != 0:
        sys.exit(err.value.decode())
    size = ctypes.c_uint64()
    serial = 0
    print(f"{functions} functions of 4 blocks, {rounds} rounds per level")
    for level in (0, 1, 2):
        emit_times, load_times, sizes = [], [], []
        for _ in range(rounds):
            serial += 1
            mod = build(functions, serial)
            t0 = time.perf_counter()
            obj = emit(mod, level, None, None, None, ctypes.byref(size), err, 2048)
            t1 = time.perf_counter()
            if not obj:
                sys.exit(err.value.decode())
            handle = load(obj, size.value, err, 2048)
            t2 = time.perf_counter()
            free_bytes(obj)
            if not handle:
                sys.exit(err.value.decode())
            release(handle)
            emit_times.append(t1 - t0)
            load_times.append(t2 - t1)
            sizes.append(size.value)
        q = statistics.quantiles(emit_times, n=10)
        print(f"level {level}: emit median {statistics.median(emit_times) * 1e3:.3f} ms "
              f"(p10 {q[0] * 1e3:.3f}, p90 {q[-1] * 1e3:.3f}), "
              f"load median {statistics.median(load_times) * 1e3:.3f} ms, object {sizes[0]} bytes")


if __name__ == "__main__":
    main()
