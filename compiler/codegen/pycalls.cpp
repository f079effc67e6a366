// Calls of Python objects known while compiling: the os and time functions go to wn_lib, a
// bound method of a Python function becomes a call of the function with its self, a Python
// function is compiled as the call planner plans it (inlined with its arguments' shapes, or its
// value known while compiling), builtins go to the builtin lowering, a native host function is
// called directly, an exception class is built by the runtime, and anything else is called
// through Python at run time (refused in a strict language).
//
// The planner may send a call out of line (recursion, too many inlined sites) or inline only
// its guard, whose other path calls the helper out of line (outofline_calls.cpp).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/calls_shared.h"
#include "compiler/front/cache.h"
#include "compiler/front/comptime.h"
#include "compiler/front/records.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

// The kinds 0 to 5, compared with the interpreter's builtins by name; the rest with the
// class each kind stands for.
constexpr const char* kBuiltinKinds[6] = {"BaseException",   "Exception",
                                          "ArithmeticError", "ZeroDivisionError",
                                          "OverflowError",   "FloatingPointError"};

uint32_t exceptionCode(PyObject* cls) {
    for (uint32_t k = 0; k < errors::kKindCount; k++) {
        PyObject* kind = nullptr;
        if (k < 6) {
            PyObject* builtins = PyEval_GetBuiltins();  // borrowed
            kind = builtins ? PyDict_GetItemString(builtins, kBuiltinKinds[k]) : nullptr;
        } else {
            kind = errors::pyClass(errors::Kind(k));
        }
        if (kind && kind == cls) return k;
    }
    return errors::kPythonClass;
}

namespace {

// A class deriving from BaseException; a failed test is false and leaves no error.
bool isExceptionClass(PyObject* object) {
    if (!PyType_Check(object)) return false;
    int sub = PyObject_IsSubclass(object, PyExc_BaseException);
    if (sub < 0) PyErr_Clear();
    return sub == 1;
}

// "<prefix><name>() compiled out of line behind an inlined guard isn't compiled yet".
Status refuseGuarded(Emitter* e, const front::FunctionIR* f) {
    if (Status s = beginConstructError(e); s != Status::ok) return s;
    backend::List<char>* message = &e->compiler->message;
    Status s = appendText(message, f->name.data, size_t(f->name.length));
    if (s == Status::ok)
        s = appendText(message,
                       "() compiled out of line behind an inlined guard isn't compiled yet");
    return s == Status::ok ? Status::unsupported : s;
}

// The process's cache of wuna.comptime results: (function, arguments) -> result. Only
// successful calls are kept; used under the interpreter lock only.
PyObject* comptimeCache = nullptr;

// Whether the callee is marked wuna.comptime (its attribute is the object True; a missing
// attribute is no mark).
bool isComptime(PyObject* callee) {
    PyObject* mark = PyObject_GetAttrString(callee, "__wuna_comptime__");
    if (!mark) PyErr_Clear();
    bool marked = mark == Py_True;
    Py_XDECREF(mark);
    return marked;
}

// Runs a wuna.comptime function now with arguments known while compiling: ok with *done and
// the result's shape, or *done false when it raised in a language that is not strict (the
// call is then compiled as any call; the exception is dropped).
Status runComptime(Emitter* e, PyObject* callee, Shape* args, uint64_t count, bool* done,
                   Shape* out) {
    Compiler* c = e->compiler;
    *done = false;
    PyObject* tuple = PyTuple_New(Py_ssize_t(count));
    if (!tuple) return Status::pythonError;
    for (uint64_t i = 0; i < count; i++) {
        PyObject* item = nullptr;
        if (Status err = toArgument(c, args[i], &item); err != Status::ok) {
            Py_DECREF(tuple);
            return err;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    if (!comptimeCache && !(comptimeCache = PyDict_New())) {
        Py_DECREF(tuple);
        return Status::pythonError;
    }
    PyObject* key = PyTuple_Pack(2, callee, tuple);
    if (!key) {
        Py_DECREF(tuple);
        return Status::pythonError;
    }
    bool cacheable = true;
    PyObject* result = PyDict_GetItemWithError(comptimeCache, key);  // borrowed
    if (result) {
        Py_INCREF(result);
    } else if (PyErr_Occurred()) {
        // An unhashable argument: called each time, never kept.
        PyErr_Clear();
        cacheable = false;
    }
    if (!result) {
        result = PyObject_Call(callee, tuple, nullptr);
        if (result && cacheable && PyDict_SetItem(comptimeCache, key, result) < 0) PyErr_Clear();
    }
    Py_DECREF(key);
    Py_DECREF(tuple);
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Status::pythonError;
        char text[512];
        size_t length = front::exceptionText(text, sizeof text);
        if (!c->strict || e->strictSuppressed) return Status::ok;
        front::Text name;
        if (Status err = objectName(e, callee, &name); err != Status::ok) return err;
        (void)beginConstructError(e);
        (void)front::strictComptimeRaised(&c->message, name.data, size_t(name.length), text,
                                          length);
        return Status::unsupported;
    }
    Status err = pinObject(c, result, nullptr);
    if (err == Status::ok) err = front::comptimeResult(c, result, out);
    Py_DECREF(result);
    *done = err == Status::ok;
    return err;
}

// A wuna.comptime function that a strict language calls with values known only at run time
// (or whose run while compiling raised where strict errors are suppressed): compiled as the
// planner compiles any Python function, else the refusal says why it can't be.
Status comptimeAtRunTime(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                         front::Position at, Shape* out) {
    Compiler* c = e->compiler;
    front::FunctionIR* f = nullptr;
    Status err = front::frontOf(c, callee, &f);
    if (err == Status::ok) return callPlanned(e, s, f, args, count, out);
    if (err != Status::unsupported) return err;
    // The front end's reason, copied out of the buffer the refusal is written into.
    size_t length = c->message.count;
    char* reason = takeArray<char>(c, length);
    if (!reason) return Status::outOfMemory;
    if (length) memcpy(reason, c->message.items, length);
    c->message.clear();
    front::Text name;
    if ((err = objectName(e, callee, &name)) != Status::ok) return err;
    err = calls::callError(e, s, at, "strict: calls the wuna.comptime function ", name,
                           "() with values known only at run time, and it can't be compiled: ");
    if (err == Status::unsupported) err = appendText(&c->message, reason, length);
    return err == Status::ok ? Status::unsupported : err;
}

// A field's default factory called with no arguments, as any call of a Python object.
struct FactoryLowering {
    Emitter* e;
    Semantic* s;
};

Status lowerFactory(void* user, PyObject* factory, front::Position at, Shape* out) {
    auto* f = static_cast<FactoryLowering*>(user);
    return calls::lowerCall(f->e, f->s, factory, nullptr, 0, at, out);
}

// The key global standing for a record class's description, as a pointer argument.
Status recordClassKey(Emitter* e, value::RecordClass* description, ValueRef* out) {
    ModuleRecord* m = &e->compiler->module;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(description));
    if (Status err = noteKeyOrigin(m, key, KeyOrigin{{key, 0}, KeyOriginKind::recordClass});
        err != Status::ok)
        return err;
    return keyGlobal(m, key, out);
}

// A dataclass record built from its fields: the given shapes, then the defaults of the
// fields left out.
Status buildDataclass(Emitter* e, Semantic* s, PyObject* cls, value::RecordClass* description,
                      Shape* args, uint64_t count, front::Position at, Shape* out) {
    Compiler* c = e->compiler;
    ErrorSite site{s->function, at};
    if (count > description->fieldCount)
        return recordArityMessage(c, site, description->name, description->fieldCount, count);
    Shape* fields = takeArray<Shape>(c, description->fieldCount);
    if (!fields) return Status::outOfMemory;
    // A default factory is a call that may fail when it runs: the fields made before it are
    // live until the record takes them.
    uint64_t live = e->temporaries.count;
    Status err = Status::ok;
    for (uint64_t i = 0; i < count && err == Status::ok; i++) {
        fields[i] = args[i];
        err = calls::keepLive(e, fields[i]);
    }
    FactoryLowering lowering{e, s};
    for (uint64_t i = count; i < description->fieldCount && err == Status::ok; i++) {
        err = recordFieldDefault(c, FactoryCall{&lowering, lowerFactory}, site, cls, *description,
                                 i, &fields[i]);
        if (err == Status::ok) err = calls::keepLive(e, fields[i]);
    }
    e->temporaries.count = live;
    if (err != Status::ok) return err;
    ValueRef values, key;
    if (Status err = valueArray(e, fields, description->fieldCount, s->site, &values);
        err != Status::ok)
        return err;
    if (Status err = recordClassKey(e, description, &key); err != Status::ok) return err;
    ValueRef call[5] = {e->runContext, siteValue(e, s->site), key, values, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_record", call, 5, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::record));
    return Status::ok;
}

// A __slots__ record: made empty, then its own Python __init__ compiled on it.
Status buildSlotsRecord(Emitter* e, Semantic* s, PyObject* cls, value::RecordClass* description,
                        Shape* args, uint64_t count, Shape* out) {
    Compiler* c = e->compiler;
    PyObject* init = PyObject_GetAttrString(cls, "__init__");
    if (!init) return Status::pythonError;
    int plain = front::isPlainFunction(init);
    if (plain != 1) {
        Py_DECREF(init);
        if (plain < 0) return Status::pythonError;
        // object.__init__: a call with arguments fails at run time, which is not built here.
        if (count)
            return refuseConstruct(e, "a record class without __init__ called with arguments");
    }
    Status err = plain == 1 ? pinObject(c, init, nullptr) : Status::ok;
    front::FunctionIR* f = nullptr;
    if (err == Status::ok && plain == 1) err = front::frontOf(c, init, &f);
    if (plain == 1) Py_DECREF(init);  // pinned: the object list keeps it alive
    if (err != Status::ok) return err;
    ValueRef key;
    if ((err = recordClassKey(e, description, &key)) != Status::ok) return err;
    ValueRef call[4] = {e->runContext, siteValue(e, s->site), key, e->scratch};
    ValueRef ok;
    if ((err = callHelper(e, "wn_record_new", call, 4, &ok)) != Status::ok) return err;
    if ((err = checkOk(e, ok)) != Status::ok) return err;
    Operand record = loadOperand(e, e->scratch, KnownKind::record);
    if (!f) {
        *out = dynShape(record);
        return Status::ok;
    }
    // The __init__ body gets its own reference to self; the call's value is the record.
    Operand self = record;
    if ((err = addReference(e, &self)) != Status::ok) return err;
    Shape* withSelf = takeArray<Shape>(c, count + 1);
    if (!withSelf) return Status::outOfMemory;
    withSelf[0] = dynShape(self);
    for (uint64_t i = 0; i < count; i++) withSelf[i + 1] = args[i];
    uint64_t live = e->temporaries.count;
    if ((err = calls::keepLive(e, dynShape(record))) != Status::ok) return err;
    Shape result;
    if ((err = callPlanned(e, s, f, withSelf, count + 1, &result)) != Status::ok) return err;
    e->temporaries.count = live;
    if ((err = release(e, result)) != Status::ok) return err;
    *out = dynShape(record);
    return Status::ok;
}

// Whether the dataclass's __init__ is the one the dataclass machinery generated (made from
// text, so its code's file is "<string>"), which binds the fields in order; a class body's own
// __init__ may do anything. A failed test is false and leaves no error.
bool generatedInit(PyObject* cls) {
    PyObject* init = PyObject_GetAttrString(cls, "__init__");
    PyObject* code = init ? PyObject_GetAttrString(init, "__code__") : nullptr;
    PyObject* file = code ? PyObject_GetAttrString(code, "co_filename") : nullptr;
    const char* text = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    bool generated = text && text[0] == '<';
    Py_XDECREF(file);
    Py_XDECREF(code);
    Py_XDECREF(init);
    PyErr_Clear();
    return generated;
}

// A record class's construction; *handled false for any other class.
Status lowerRecordClass(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                        front::Position at, bool* handled, Shape* out) {
    *handled = false;
    if (!PyType_Check(callee)) return Status::ok;
    value::RecordClass* description = nullptr;
    if (Status err = recordClassOf(e->compiler, callee, &description); err != Status::ok)
        return err;
    if (!description) return Status::ok;
    *handled = true;
    if (!description->slots) {
        if (!generatedInit(callee))
            return refuseConstruct(e, "a dataclass with an __init__ of its own");
        return buildDataclass(e, s, callee, description, args, count, at, out);
    }
    return buildSlotsRecord(e, s, callee, description, args, count, out);
}

}  // namespace

Status callPlanned(Emitter* e, Semantic* s, front::FunctionIR* callee, Shape* args, uint64_t count,
                   Shape* out) {
    CallPlan plan;
    if (Status err = callPythonFunction(e->compiler, &e->inlining, callee, uint32_t(s->site), args,
                                        count, &plan);
        err != Status::ok)
        return err;
    switch (plan.road) {
    case CallRoad::evaluated:
        // Every argument was a plain constant: nothing to release.
        *out = plan.result;
        return Status::ok;
    case CallRoad::guarded:
        // With this road the Lua example's semantics compile whole and its programs run right,
        // but a program's top level becomes one function of a few hundred thousand lines (a
        // 60-line Lua test makes 270 000): its optimized build, which the process waits for at
        // exit, spends over a minute in the register allocator, many under the sanitizers. Until
        // functions that big are cut up, such a call is refused and the semantic runs as Python,
        // which is always right.
        return refuseGuarded(e, callee);
    case CallRoad::inlined: {
        // inlineHelper binds the shapes to the callee's locals: a copy the callee may change.
        Shape* bound = takeArray<Shape>(e->compiler, plan.count);
        if (!bound) return Status::outOfMemory;
        if (plan.count)
            memcpy(static_cast<void*>(bound), plan.arguments, plan.count * sizeof(Shape));
        if (Status err = pushInline(&e->inlining, InlineRecord{callee, bound, plan.count});
            err != Status::ok)
            return err;
        Status err = inlineHelper(e, callee, plan.body, s->site, bound, uint32_t(plan.count), out);
        popInline(&e->inlining);
        return err;
    }
    case CallRoad::outOfLine: {
        // emitHelperCall keeps the shapes in the specialisation's key: a copy of its own.
        Shape* passed = takeArray<Shape>(e->compiler, plan.count);
        if (!passed) return Status::outOfMemory;
        if (plan.count)
            memcpy(static_cast<void*>(passed), plan.arguments, plan.count * sizeof(Shape));
        e->outOfLineNesting++;
        Status err = emitHelperCall(e, callee, s->site, passed, uint32_t(plan.count), out);
        e->outOfLineNesting--;
        return err;
    }
    }
    return refuseConstruct(e, "a call planned on a road not known here");
}

Status callPythonObject(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                        Shape* out) {
    Compiler* c = e->compiler;
    bool exception = isExceptionClass(callee);
    if (c->strict && !exception && e->strictSuppressed == 0) {
        front::Text name;
        if (Status err = objectName(e, callee, &name); err != Status::ok) return err;
        (void)beginConstructError(e);
        (void)writeStrictPythonCall(&c->message, name.data, size_t(name.length));
        return Status::unsupported;
    }
    uint32_t index = 0;
    if (Status err = pinObject(c, callee, &index); err != Status::ok) return err;
    ValueRef values;
    if (Status err = valueArray(e, args, count, s->site, &values); err != Status::ok) return err;
    ValueRef object;
    if (Status err = objectConstant(e, index, &object); err != Status::ok) return err;
    ValueRef ok;
    if (exception) {
        ValueRef call[7] = {e->runContext, siteValue(e, s->site),
                            object,        constI32(e, int32_t(exceptionCode(callee))),
                            values,        constI64(e, count),
                            e->scratch};
        if (Status err = callHelper(e, "wn_new_exception", call, 7, &ok); err != Status::ok)
            return err;
    } else {
        ValueRef call[6] = {e->runContext, siteValue(e, s->site), object,
                            values,        constI64(e, count),    e->scratch};
        if (Status err = callHelper(e, "wn_call_python", call, 6, &ok); err != Status::ok)
            return err;
    }
    if (Status err = releaseSlots(e, values, count); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

namespace calls {

Status lowerCall(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                 front::Position at, Shape* out) {
    if (isComptime(callee)) {
        bool known = true;
        for (uint64_t i = 0; i < count && known; i++) known = isComptimeArgument(args[i]);
        if (known) {
            bool done = false;
            if (Status err = runComptime(e, callee, args, count, &done, out);
                err != Status::ok || done)
                return err;
        }
        if (e->compiler->strict) return comptimeAtRunTime(e, s, callee, args, count, at, out);
    }
    bool handled = false;
    if (Status err = lowerLibraryFunction(e, s, callee, args, count, &handled, out);
        err != Status::ok || handled)
        return err;
    front::StableTypes types{};
    if (Status err = front::stableTypes(&types); err != Status::ok) return err;
    int method = PyObject_IsInstance(callee, types.method);
    if (method < 0) return Status::pythonError;
    if (method == 1) {
        PyObject* function = PyObject_GetAttrString(callee, "__func__");
        PyObject* self = function ? PyObject_GetAttrString(callee, "__self__") : nullptr;
        int plain = self ? PyObject_IsInstance(function, types.function) : -1;
        Status err = plain < 0 ? Status::pythonError : Status::ok;
        if (plain == 1) {
            // The method object keeps function and self alive for the compiled module.
            err = pinObject(e->compiler, callee, nullptr);
            Shape* withSelf =
                err == Status::ok ? takeArray<Shape>(e->compiler, count + 1) : nullptr;
            if (err == Status::ok && !withSelf) err = Status::outOfMemory;
            if (err == Status::ok) err = fromPython(e->compiler, self, &withSelf[0]);
            if (err == Status::ok) {
                for (uint64_t i = 0; i < count; i++) withSelf[i + 1] = args[i];
                err = lowerCall(e, s, function, withSelf, count + 1, at, out);
            }
        }
        Py_XDECREF(function);
        Py_XDECREF(self);
        if (err != Status::ok || plain == 1) return err;
    }
    int function = PyObject_IsInstance(callee, types.function);
    if (function < 0) return Status::pythonError;
    if (function == 1) {
        front::FunctionIR* f = nullptr;
        if (Status err = front::frontOf(e->compiler, callee, &f); err != Status::ok) return err;
        return callPlanned(e, s, f, args, count, out);
    }
    if (Status err = lowerRecordClass(e, s, callee, args, count, at, &handled, out);
        err != Status::ok || handled)
        return err;
    if (Status err = lowerBuiltin(e, s, callee, args, count, at, &handled, out);
        err != Status::ok || handled)
        return err;
    if (isNativeHost(callee)) return lowerNativeHostCall(e, s, callee, args, count, out);
    return callPythonObject(e, s, callee, args, count, out);
}

}  // namespace calls

Shape normalizeInt(Emitter* e, const Shape& shape) {
    if (shape.kind == ShapeKind::pint) {
        Shape out = shape;
        out.kind = ShapeKind::int_;
        return out;
    }
    if (shape.kind != ShapeKind::dyn) return shape;
    if (shape.dyn.kind != KnownKind::unknown && shape.dyn.kind != KnownKind::int_) return shape;
    Shape out = shape;
    out.dyn.tag = calls::plainIntTag(e, shape.dyn.tag);
    return out;
}

}  // namespace wuna::compile
