// Calls of Python objects known while compiling: a bound method of a Python function becomes
// a call of the function with its self, a Python function is compiled as the call planner
// plans it (inlined with its arguments' shapes, or its value known while compiling), len and
// isinstance go to their inline lowering, an exception class is built by the runtime, and
// anything else is called through Python at run time (refused in a strict language).
//
// The planner may send a call out of line (recursion, too many inlined sites, a guard); the
// helpers compiled out of line are not built yet, so such a call refuses with its reason and
// the semantic runs as Python.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/calls_shared.h"
#include "compiler/front/cache.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

// The kinds 0 to 5, compared with the interpreter's builtins by name; the rest with the
// class each kind stands for.
constexpr const char* kBuiltinKinds[6] = {"BaseException", "Exception",     "ArithmeticError",
                                          "ZeroDivisionError", "OverflowError",
                                          "FloatingPointError"};

// The runtime's error kind whose Python class is cls, or errors::kPythonClass (the class is
// then called as a Python object). Cannot fail.
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

// A class deriving from BaseException; a failed test is false and leaves no error.
bool isExceptionClass(PyObject* object) {
    if (!PyType_Check(object)) return false;
    int sub = PyObject_IsSubclass(object, PyExc_BaseException);
    if (sub < 0) PyErr_Clear();
    return sub == 1;
}

// "<prefix><name>() called out of line isn't compiled yet".
Status refuseOutOfLine(Emitter* e, const front::FunctionIR* f) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    backend::List<char>* message = &e->compiler->message;
    Status err = appendText(message, f->name.data, size_t(f->name.length));
    if (err == Status::ok)
        err = appendText(message, "() compiled out of line (a recursive or often inlined helper)"
                                  " isn't compiled yet");
    return err == Status::ok ? Status::unsupported : err;
}

// len(x) and isinstance(x, T) through their inline lowering; *handled false otherwise.
Status lowerKnownBuiltin(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                         front::Position at, bool* handled, Shape* out) {
    *handled = false;
    if (count == 1 && calls::isBuiltinNamed(callee, "len")) {
        *handled = true;
        Operand value, length;
        if (Status err = materialize(e, args[0], s->site, &value); err != Status::ok) return err;
        if (Status err = emitLen(e, s, callee, &value, &length); err != Status::ok) return err;
        *out = dynShape(length);
        return Status::ok;
    }
    if (count == 2 && calls::isBuiltinNamed(callee, "isinstance")) {
        *handled = true;
        return emitIsinstance(e, s, &args[0], &args[1], at, out);
    }
    return Status::ok;
}

}  // namespace

Status callPlanned(Emitter* e, Semantic* s, front::FunctionIR* callee, Shape* args,
                   uint64_t count, Shape* out) {
    CallPlan plan;
    if (Status err = callPythonFunction(e->compiler, &e->inlining, callee, uint32_t(s->site),
                                        args, count, &plan);
        err != Status::ok)
        return err;
    switch (plan.road) {
    case CallRoad::evaluated:
        // Every argument was a plain constant: nothing to release.
        *out = plan.result;
        return Status::ok;
    case CallRoad::inlined: {
        // inlineHelper binds the shapes to the callee's locals: a copy the callee may change.
        Shape* bound = takeArray<Shape>(e->compiler, plan.count);
        if (!bound) return Status::outOfMemory;
        if (plan.count) memcpy(static_cast<void*>(bound), plan.arguments, plan.count * sizeof(Shape));
        if (Status err = pushInline(&e->inlining, InlineRecord{callee, bound, plan.count});
            err != Status::ok)
            return err;
        Status err = inlineHelper(e, callee, plan.body, s->site, bound, uint32_t(plan.count), out);
        popInline(&e->inlining);
        return err;
    }
    case CallRoad::guarded:
    case CallRoad::outOfLine:
        break;
    }
    return refuseOutOfLine(e, callee);
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
        ValueRef call[7] = {e->runContext,
                            siteValue(e, s->site),
                            object,
                            constI32(e, int32_t(exceptionCode(callee))),
                            values,
                            constI64(e, count),
                            e->scratch};
        if (Status err = callHelper(e, "wn_new_exception", call, 7, &ok); err != Status::ok)
            return err;
    } else {
        ValueRef call[6] = {e->runContext, siteValue(e, s->site), object, values,
                            constI64(e, count), e->scratch};
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
            Shape* withSelf = err == Status::ok ? takeArray<Shape>(e->compiler, count + 1) : nullptr;
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
    bool handled = false;
    if (Status err = lowerKnownBuiltin(e, s, callee, args, count, at, &handled, out);
        err != Status::ok || handled)
        return err;
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
    Builder* b = &e->builder;
    ValueRef isPint = icmp(b, llvmapi::IntEQ, shape.dyn.tag, constI64(e, 18));
    openBlock(b);
    out.dyn.tag =
        llvmapi::table.LLVMBuildSelect(b->builder, isPint, constI64(e, 2), shape.dyn.tag, "");
    return out;
}

}  // namespace wuna::compile
