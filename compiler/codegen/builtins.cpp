// Builtin calls compiled at the call site. A call of a builtin known while compiling is tried
// against a fixed order of forms, by the callee's identity: evaluated now when its arguments
// are constants (and the result is the same in every process that later loads the cached
// code), int() with a base, float.hex, the library functions of wn_lib, the containers made
// empty, min/max of several values, the math functions, len inline, the one-argument builtins
// of wn_builtin, type(), isinstance(), len of a container known while compiling, zip,
// enumerate and range. A callee none of these takes is left to the general roads.
//
// Runtime helpers that may call the builtin itself (wn_builtin, wn_math, wn_min_max, the int
// parsers, float.hex) receive the callee's address through a key global; the callee is pinned
// in the module's object list, which keeps it alive as long as the code.
#include <cstring>
#include <initializer_list>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/builtins_shared.h"
#include "compiler/codegen/statements_flow.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/helpers/builtins.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using llvmapi::ValueRef;

// The builtins folded while compiling when every argument is a constant, in lookup order.
constexpr const char* kFoldSet[18] = {"int",  "float", "str", "bool", "len",  "abs",
                                      "min",  "max",   "round", "repr", "ord", "chr",
                                      "hex",  "oct",   "bin", "divmod", "pow", "hash"};

// The encoding names len(s.encode(name)) counts without making the bytes, compared exactly.
constexpr const char* kUtf8Names[5] = {"utf-8", "UTF-8", "utf_8", "utf8", "UTF8"};

// The one-argument builtins of wn_builtin taken for a run-time or constant argument, in order.
struct OneArgument {
    const char* module;  // null: builtins
    const char* name;
    helpers::BuiltinCode code;
    KnownKind kind;
};
constexpr OneArgument kOneArgument[11] = {
    {nullptr, "int", helpers::BuiltinCode::int_, KnownKind::unknown},
    {nullptr, "float", helpers::BuiltinCode::float_, KnownKind::unknown},
    {nullptr, "len", helpers::BuiltinCode::len, KnownKind::int_},
    {nullptr, "abs", helpers::BuiltinCode::abs, KnownKind::unknown},
    {nullptr, "str", helpers::BuiltinCode::str, KnownKind::unknown},
    {nullptr, "bool", helpers::BuiltinCode::bool_, KnownKind::bool_},
    {nullptr, "list", helpers::BuiltinCode::list, KnownKind::list},
    {"math", "floor", helpers::BuiltinCode::floor, KnownKind::unknown},
    {"math", "ceil", helpers::BuiltinCode::ceil, KnownKind::unknown},
    {nullptr, "chr", helpers::BuiltinCode::chr, KnownKind::unknown},
    {nullptr, "ord", helpers::BuiltinCode::ord, KnownKind::unknown},
};

// The library functions lowerBuiltin hands to wn_lib, in the order they are tried.
struct Library {
    const char* module;  // null: builtins
    const char* name;
    LibCall code;
};
constexpr Library kLibrary[6] = {
    {"struct", "unpack", LibCall::structUnpack}, {"struct", "unpack_from", LibCall::structUnpackFrom},
    {"struct", "pack", LibCall::structPack},     {"zlib", "crc32", LibCall::crc32},
    {"zlib", "adler32", LibCall::adler32},       {nullptr, nullptr, LibCall::pythonOnly},
};

bool isCallee(PyObject* callee, const char* module, const char* name) {
    return module ? front::isModuleAttr(callee, module, name) : front::isBuiltin(callee, name);
}

// Whether callee is the method name of the type: the type's attribute itself, or an object
// whose __self__ is the type and whose __name__ is name (a class method is bound anew on every
// read). Never fails: errors are cleared and count as no match.
bool isTypeMethod(PyObject* callee, PyTypeObject* type, const char* name) {
    auto* cls = reinterpret_cast<PyObject*>(type);
    PyObject* attribute = PyObject_GetAttrString(cls, name);
    bool same = attribute == callee;
    Py_XDECREF(attribute);
    if (!same) {
        PyObject* self = PyObject_GetAttrString(callee, "__self__");
        PyObject* named = self == cls ? PyObject_GetAttrString(callee, "__name__") : nullptr;
        const char* text = named && PyUnicode_Check(named) ? PyUnicode_AsUTF8(named) : nullptr;
        same = text && strcmp(text, name) == 0;
        Py_XDECREF(named);
        Py_XDECREF(self);
    }
    PyErr_Clear();
    return same;
}

// Whether the callee is a function of the math module (by its __name__, at most 63 bytes).
bool isMathFunction(PyObject* callee) {
    PyObject* named = PyObject_GetAttrString(callee, "__name__");
    Py_ssize_t length = 0;
    const char* text =
        named && PyUnicode_Check(named) ? PyUnicode_AsUTF8AndSize(named, &length) : nullptr;
    bool same = text && length <= 63 && front::isModuleAttr(callee, "math", text);
    Py_XDECREF(named);
    PyErr_Clear();
    return same;
}

bool inFoldSet(PyObject* callee) {
    for (const char* name : kFoldSet)
        if (front::isBuiltin(callee, name)) return true;
    return isMathFunction(callee) || front::isModuleAttr(callee, "os", "fspath");
}

// Whether a constant's hash is the same in every process. Compiled code is cached on disk and
// loaded by other processes: a str's or bytes' hash depends on the process's hash secret, a
// NaN's on its address, and None's (before 3.12) on its address too, so only these fold.
bool hashIsStable(const Shape& shape) {
    switch (shape.kind) {
    case ShapeKind::bool_:
    case ShapeKind::int_:
    case ShapeKind::pint:
        return true;
    case ShapeKind::float_:
        return shape.float_ == shape.float_;
    case ShapeKind::none:
        return PY_VERSION_HEX >= 0x030C0000;
    case ShapeKind::py:
        return PyLong_CheckExact(shape.py);
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (!hashIsStable(shape.tuple.items[i])) return false;
        return true;
    default:
        return false;
    }
}

// Bits of an int constant's magnitude, or 0 for other shapes.
uint64_t magnitudeBits(const Shape& shape) {
    if (shape.kind == ShapeKind::int_ || shape.kind == ShapeKind::pint) {
        uint64_t v = shape.int_ < 0 ? 0 - uint64_t(shape.int_) : uint64_t(shape.int_);
        uint64_t bits = 0;
        while (v) {
            bits++;
            v >>= 1;
        }
        return bits;
    }
    if (shape.kind == ShapeKind::py && PyLong_CheckExact(shape.py)) {
        int64_t bits = int64_t(_PyLong_NumBits(shape.py));
        if (bits < 0) PyErr_Clear();
        return bits < 0 ? UINT64_MAX : uint64_t(bits);
    }
    return 0;
}

// The value of an int constant that fits 64 bits (else INT64_MAX), for the size guards.
int64_t smallValue(const Shape& shape) {
    if (shape.kind == ShapeKind::int_ || shape.kind == ShapeKind::pint) return shape.int_;
    if (shape.kind == ShapeKind::bool_) return shape.bool_;
    return INT64_MAX;
}

// Results too big to make while compiling: a fold must not take the compiler's memory or
// time (pow(2, 10**12), math.factorial(10**9)); such calls run when the program does.
constexpr uint64_t kFoldResultBits = 1u << 16;
constexpr int64_t kFoldCombinatorics = 20000;

bool foldTooBig(PyObject* callee, const Shape* args, uint64_t count) {
    if ((front::isBuiltin(callee, "pow") || front::isModuleAttr(callee, "math", "pow")) &&
        count == 2) {
        uint64_t base = magnitudeBits(args[0]);
        int64_t exponent = smallValue(args[1]);
        if (args[1].kind == ShapeKind::py) return true;
        if (exponent > 0 && base > 1 && (uint64_t(exponent) > kFoldResultBits ||
                                         base * uint64_t(exponent) > kFoldResultBits))
            return true;
    }
    for (const char* name : {"factorial", "comb", "perm", "lcm", "prod"})
        if (front::isModuleAttr(callee, "math", name))
            for (uint64_t i = 0; i < count; i++)
                if (args[i].kind == ShapeKind::py || smallValue(args[i]) > kFoldCombinatorics)
                    return true;
    return false;
}

// Step 1: the call evaluated now; *handled false when it raised (cleared: the compiled call
// raises it again when it runs) or does not qualify.
Status foldCall(Emitter* e, PyObject* callee, Shape* args, uint64_t count, bool* handled,
                Shape* out) {
    Compiler* c = e->compiler;
    *handled = false;
    for (uint64_t i = 0; i < count; i++)
        if (!isConstant(args[i])) return Status::ok;
    if (front::isBuiltin(callee, "print") || front::isBuiltin(callee, "input")) return Status::ok;
    if (!inFoldSet(callee)) return Status::ok;
    if (front::isBuiltin(callee, "hash"))
        for (uint64_t i = 0; i < count; i++)
            if (!hashIsStable(args[i])) return Status::ok;
    if (foldTooBig(callee, args, count)) return Status::ok;
    PyObject* tuple = PyTuple_New(Py_ssize_t(count));
    if (!tuple) return Status::pythonError;
    for (uint64_t i = 0; i < count; i++) {
        PyObject* item = nullptr;
        if (Status err = toPython(c, args[i], &item); err != Status::ok) {
            Py_DECREF(tuple);
            return err;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    PyObject* result = PyObject_Call(callee, tuple, nullptr);
    Py_DECREF(tuple);
    if (!result) {
        PyErr_Clear();
        return Status::ok;
    }
    // A py shape's object lives as long as the compiler's object list holds it.
    Status err = pinObject(c, result, nullptr);
    if (err == Status::ok) err = fromPython(c, result, out);
    Py_DECREF(result);
    *handled = err == Status::ok;
    return err;
}

bool dynOrConstant(const Shape& shape) { return shape.kind == ShapeKind::dyn || isConstant(shape); }

// The helper-call recipe of a one-argument builtin: wn_builtin(ctx, site, code, callee, tag,
// payload, result), the argument released before the success test.
Status builtinHelper(Emitter* e, Semantic* s, helpers::BuiltinCode code, PyObject* callee,
                     const Shape& argument, KnownKind kind, Shape* out) {
    Operand x;
    if (Status err = materialize(e, argument, s->site, &x); err != Status::ok) return err;
    ValueRef fn;
    if (Status err = builtins::pinnedConstant(e, callee, &fn); err != Status::ok) return err;
    ValueRef call[7] = {e->runContext, siteValue(e, s->site), constI32(e, int32_t(code)), fn,
                        x.tag,         x.payload,             e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_builtin", call, 7, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(x)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, kind));
    return Status::ok;
}

// A helper of (ctx, site, <words>, result) whose words come from the operands given.
Status wordsHelper(Emitter* e, Semantic* s, const char* helper, ValueRef* words, unsigned count,
                   const Operand* held, unsigned heldCount, KnownKind kind, Shape* out) {
    ValueRef call[10];
    call[0] = e->runContext;
    call[1] = siteValue(e, s->site);
    for (unsigned i = 0; i < count; i++) call[2 + i] = words[i];
    call[2 + count] = e->scratch;
    ValueRef ok;
    if (Status err = callHelper(e, helper, call, count + 3, &ok); err != Status::ok) return err;
    for (unsigned i = 0; i < heldCount; i++)
        if (Status err = release(e, dynShape(held[i])); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, kind));
    return Status::ok;
}

// Step 2: int(x, base).
Status intWithBase(Emitter* e, Semantic* s, PyObject* callee, Shape* args, bool* handled,
                   Shape* out) {
    const Shape& base = args[1];
    bool known = base.kind == ShapeKind::int_ || base.kind == ShapeKind::pint ||
                 base.kind == ShapeKind::bool_;
    int64_t value = base.kind == ShapeKind::bool_ ? base.bool_ : base.int_;
    bool inRange = known && (value == 0 || (value >= 2 && value <= 36));
    if (!dynOrConstant(args[0]) || (known && !inRange) || (!known && base.kind != ShapeKind::dyn))
        return Status::ok;
    *handled = true;
    ValueRef fn;
    if (Status err = builtins::pinnedConstant(e, callee, &fn); err != Status::ok) return err;
    Operand held[2];
    if (Status err = materialize(e, args[0], s->site, &held[0]); err != Status::ok) return err;
    if (inRange) {
        ValueRef words[4] = {fn, held[0].tag, held[0].payload, constI32(e, int32_t(value))};
        return wordsHelper(e, s, "wn_int_base", words, 4, held, 1, KnownKind::unknown, out);
    }
    if (Status err = materialize(e, base, s->site, &held[1]); err != Status::ok) return err;
    ValueRef words[5] = {fn, held[0].tag, held[0].payload, held[1].tag, held[1].payload};
    return wordsHelper(e, s, "wn_int_base_of", words, 5, held, 2, KnownKind::unknown, out);
}

// Step 5: list(), dict(), tuple(), set(), set(x), min/max of several values.
Status byCount(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
               bool* handled, Shape* out) {
    Compiler* c = e->compiler;
    if (count == 0 && front::isBuiltin(callee, "list")) {
        *handled = true;
        front::ListRecord* list = front::newListRecord(c);
        if (!list) return Status::outOfMemory;
        *out = Shape{};
        out->kind = ShapeKind::list;
        out->list = list;
        return trackContainer(s, *out);
    }
    if (count == 0 && front::isBuiltin(callee, "dict")) {
        *handled = true;
        front::DictRecord* dict = front::newDictRecord(c);
        if (!dict) return Status::outOfMemory;
        *out = Shape{};
        out->kind = ShapeKind::dict;
        out->dict = dict;
        return trackContainer(s, *out);
    }
    if (count == 0 && front::isBuiltin(callee, "tuple")) {
        *handled = true;
        *out = Shape{};
        out->kind = ShapeKind::tuple;
        return Status::ok;
    }
    if (count <= 1 && front::isBuiltin(callee, "set")) {
        *handled = true;
        if (count == 0) {
            ValueRef words[3] = {T.LLVMConstNull(c->module.ptr), constI64(e, 0), constI32(e, 0)};
            return wordsHelper(e, s, "wn_set", words, 3, nullptr, 0, KnownKind::unknown, out);
        }
        Operand x;
        if (Status err = materialize(e, args[0], s->site, &x); err != Status::ok) return err;
        ValueRef words[2] = {x.tag, x.payload};
        return wordsHelper(e, s, "wn_to_set", words, 2, &x, 1, KnownKind::unknown, out);
    }
    if (count < 2) return Status::ok;
    int32_t which = front::isBuiltin(callee, "min") ? 0 : front::isBuiltin(callee, "max") ? 1 : -1;
    if (which < 0) return Status::ok;
    *handled = true;
    ValueRef fn, values;
    if (Status err = builtins::pinnedConstant(e, callee, &fn); err != Status::ok) return err;
    if (Status err = valueArray(e, args, count, s->site, &values); err != Status::ok) return err;
    ValueRef call[7] = {e->runContext, siteValue(e, s->site), constI32(e, which), fn,
                        values,        constI64(e, count),    e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_min_max", call, 7, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, values, count); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

// Step 10: type(x).
Status typeOf(Emitter* e, const Shape& argument, bool* handled, Shape* out) {
    Compiler* c = e->compiler;
    switch (argument.kind) {
    case ShapeKind::rt:
    case ShapeKind::rtMethod:
    case ShapeKind::control:
    case ShapeKind::method:
        return Status::ok;
    default:
        break;
    }
    *handled = true;
    if (argument.kind == ShapeKind::dyn) {
        ValueRef call[3] = {argument.dyn.tag, argument.dyn.payload, e->scratch};
        // wn_type cannot fail: no success test follows.
        if (Status err = callHelper(e, "wn_type", call, 3, nullptr); err != Status::ok) return err;
        if (Status err = release(e, argument); err != Status::ok) return err;
        *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
        return Status::ok;
    }
    PyObject* object = nullptr;
    if (Status err = toPython(c, argument, &object); err != Status::ok) return err;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Status err = pinObject(c, type, nullptr);
    Py_DECREF(object);
    if (err != Status::ok) return err;
    *out = Shape{};
    out->kind = ShapeKind::py;
    out->py = type;
    return Status::ok;
}

// Step 12: len of a container known while compiling, or Python's len at run time.
Status lenKnown(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                Shape* out) {
    if (count == 1) {
        const Shape& x = args[0];
        bool known = true;
        uint64_t length = 0;
        if (x.kind == ShapeKind::list && x.list)
            length = x.list->length;
        else if (x.kind == ShapeKind::tuple)
            length = x.tuple.count;
        else if (x.kind == ShapeKind::dict && x.dict)
            length = x.dict->keyLength;
        else
            known = false;
        if (known) {
            // A tuple's run-time items are given up with it; a container made while compiling
            // stays with the body that tracks it.
            if (x.kind == ShapeKind::tuple)
                if (Status err = release(e, x); err != Status::ok) return err;
            *out = Shape{};
            out->kind = ShapeKind::pint;
            out->int_ = int64_t(length);
            return Status::ok;
        }
    }
    return callPythonObject(e, s, callee, args, count, out);
}

// Steps 6 to 15, after the forms that take any argument count.
Status laterSteps(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                  front::Position at, bool* handled, Shape* out) {
    if (Status err = builtins::lowerMathCall(e, s, callee, args, count, handled, out);
        err != Status::ok || *handled)
        return err;
    bool isLen = front::isBuiltin(callee, "len");
    if (count == 1 && isLen && args[0].kind == ShapeKind::dyn) {
        *handled = true;
        Operand x = args[0].dyn, length;
        if (Status err = emitLen(e, s, callee, &x, &length); err != Status::ok) return err;
        *out = dynShape(length);
        return Status::ok;
    }
    if (count == 1 && dynOrConstant(args[0]))
        for (const OneArgument& b : kOneArgument)
            if (isCallee(callee, b.module, b.name)) {
                *handled = true;
                return builtinHelper(e, s, b.code, callee, args[0], b.kind, out);
            }
    if (count == 1) {
        bool madeList = args[0].kind == ShapeKind::list || args[0].kind == ShapeKind::dict;
        if (dynOrConstant(args[0]) || madeList) {
            helpers::BuiltinCode code = helpers::BuiltinCode::count;
            if (front::isBuiltin(callee, "id"))
                code = helpers::BuiltinCode::id;
            else if (!madeList && front::isModuleAttr(callee, "os", "fspath"))
                code = helpers::BuiltinCode::fspath;
            else if (front::isBuiltin(callee, "repr"))
                code = helpers::BuiltinCode::repr;
            if (code != helpers::BuiltinCode::count) {
                *handled = true;
                KnownKind kind = code == helpers::BuiltinCode::id ? KnownKind::int_
                                                                  : KnownKind::unknown;
                return builtinHelper(e, s, code, callee, args[0], kind, out);
            }
        }
        if (front::isBuiltin(callee, "type"))
            if (Status err = typeOf(e, args[0], handled, out); err != Status::ok || *handled)
                return err;
    }
    if (front::isBuiltin(callee, "isinstance")) {
        *handled = true;
        if (count != 2) return isinstanceArityError(e, s, at);
        return emitIsinstance(e, s, &args[0], &args[1], at, out);
    }
    if (isLen) {
        *handled = true;
        return lenKnown(e, s, callee, args, count, out);
    }
    bool zip = front::isBuiltin(callee, "zip");
    if (zip || front::isBuiltin(callee, "enumerate")) {
        *handled = true;
        return builtins::lowerZipOrEnumerate(e, s, zip, args, count, at, out);
    }
    if (front::isBuiltin(callee, "range"))
        return builtins::lowerConstantRange(e, s, args, count, handled, out);
    return Status::ok;
}

}  // namespace

namespace builtins {

Status pinnedConstant(Emitter* e, PyObject* object, ValueRef* out) {
    uint32_t index;
    if (Status err = pinObject(e->compiler, object, &index); err != Status::ok) return err;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(object));
    return keyConstant(&e->compiler->module, key,
                       KeyOrigin{{index, 0}, KeyOriginKind::pythonCallable}, out);
}

}  // namespace builtins

Status lowerBuiltin(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                    front::Position at, bool* handled, Shape* out) {
    *handled = false;
    if (Status err = foldCall(e, callee, args, count, handled, out); err != Status::ok || *handled)
        return err;
    if (count == 2 && front::isBuiltin(callee, "int"))
        if (Status err = intWithBase(e, s, callee, args, handled, out); err != Status::ok || *handled)
            return err;
    if (count == 1 && dynOrConstant(args[0]) && isTypeMethod(callee, &PyFloat_Type, "hex")) {
        *handled = true;
        ValueRef fn;
        if (Status err = builtins::pinnedConstant(e, callee, &fn); err != Status::ok) return err;
        Operand x;
        if (Status err = materialize(e, args[0], s->site, &x); err != Status::ok) return err;
        ValueRef words[3] = {fn, x.tag, x.payload};
        return wordsHelper(e, s, "wn_float_hex", words, 3, &x, 1, KnownKind::unknown, out);
    }
    LibCall library = LibCall::pythonOnly;
    if (front::isBuiltin(callee, "bytes"))
        library = LibCall::bytes;
    else if (isTypeMethod(callee, &PyBytes_Type, "fromhex"))
        library = LibCall::bytesFromhex;
    else if (front::isIntFromBytes(callee))
        library = LibCall::intFromBytes;
    for (const Library* l = kLibrary; library == LibCall::pythonOnly && l->name; l++)
        if (isCallee(callee, l->module, l->name)) library = l->code;
    if (library != LibCall::pythonOnly) {
        *handled = true;
        return emitLibCall(e, s, library, callee, args, count, kLibNoFlag, out);
    }
    if (Status err = byCount(e, s, callee, args, count, handled, out); err != Status::ok || *handled)
        return err;
    return laterSteps(e, s, callee, args, count, at, handled, out);
}

Status lowerUtf8Len(Emitter* e, Semantic* s, const front::Expr* argument, bool* handled,
                    Shape* out) {
    *handled = false;
    if (argument->kind != front::ExprKind::call) return Status::ok;
    const front::Expr* callee = argument->call.callee;
    const front::ExprList& given = argument->call.arguments;
    if (callee->kind != front::ExprKind::attribute ||
        !front::textIs(callee->attribute.name, "encode") || argument->call.keywords.count ||
        given.count > 1)
        return Status::ok;
    if (given.count == 1) {
        const front::Expr* name = given.items[0];
        bool utf8 = false;
        for (const char* accepted : kUtf8Names)
            utf8 = utf8 || (name->kind == front::ExprKind::str && front::textIs(name->str, accepted));
        if (!utf8) return Status::ok;
    }
    *handled = true;
    uint64_t live = e->temporaries.count;
    Shape text;
    if (Status err = emitExpr(e, s, callee->attribute.object, &text); err != Status::ok)
        return err;
    if (!e->temporaries.push(text)) return Status::outOfMemory;
    e->temporaries.count = live;
    Operand x;
    if (Status err = materialize(e, text, s->site, &x); err != Status::ok) return err;
    ValueRef words[2] = {x.tag, x.payload};
    return wordsHelper(e, s, "wn_utf8_len", words, 2, &x, 1, KnownKind::int_, out);
}

Status noArgumentsMessage(backend::List<char>* w, const char* name, size_t length) {
    if (Status err = appendText(w, name, length); err != Status::ok) return err;
    return appendText(w, "() takes no arguments");
}

}  // namespace wuna::compile
