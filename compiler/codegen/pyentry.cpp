// Python functions compiled for calls from compiled code (see pyentry.h).
#include "compiler/codegen/pyentry.h"

#include "compiler/backend/compile_error.h"
#include "compiler/backend/operand.h"
#include "compiler/codegen/lower.h"
#include "compiler/front/cache.h"

namespace wuna::compile {

namespace {

// The specialisation's shapes: rt at each masked position below n, an unknown run-time value
// everywhere else (the function object, when it has free variables, last). In the arena.
Shape* entryShapes(Compiler* c, uint64_t n, uint64_t mask, bool closure) {
    uint64_t count = closure ? n + 1 : n;
    Shape* shapes = takeArray<Shape>(c, count ? count : 1);
    if (!shapes) return nullptr;
    for (uint64_t i = 0; i < count; i++) {
        bool rt = i < n && i < 64 && (mask >> i & 1);
        shapes[i].kind = rt ? ShapeKind::rt : ShapeKind::dyn;
        if (!rt) shapes[i].dyn.functionNode = kNoFunctionNode;
    }
    return shapes;
}

// A function whose call this entry can't make keeps running as Python, with the reason.
Status refuse(Compiler* c, const front::FunctionIR* f, const char* what) {
    ErrorSite at{f, front::makePosition(f->firstLine, 0)};
    if (beginError(&c->message, at) != Status::ok || appendText(&c->message, what) != Status::ok)
        return Status::outOfMemory;
    return Status::unsupported;
}

// Whether the entry can read f's free variables from its cells at run time (one entry serves
// every closure of the def): not when it writes one (nonlocal) or has nested functions, and
// not when a free name is also a global or builtin name, which the analyses that look at
// calls while compiling would take for that global. ok, unsupported with the reason,
// outOfMemory or pythonError.
Status cellsReadable(Compiler* c, PyObject* f, const front::FunctionIR* ir) {
    // A nested function is compiled with an emitter of its own, which sees the cells only
    // while compiling.
    if (ir->nested.count)
        return refuse(c, ir,
                      "a nested function in a function with free variables can't be "
                      "compiled");
    if (ir->declaresNonlocal)
        return refuse(c, ir,
                      "`nonlocal` in a function called from compiled code can't be compiled");
    PyObject* code = PyObject_GetAttrString(f, "__code__");
    PyObject* names = code ? PyObject_GetAttrString(code, "co_freevars") : nullptr;
    PyObject* globals = PyObject_GetAttrString(f, "__globals__");
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    Py_XDECREF(code);
    Status s = names && globals && builtins && PyTuple_Check(names) && PyDict_Check(globals)
                   ? Status::ok
                   : Status::pythonError;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyTuple_GET_SIZE(names); i++) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        int shadowed = PyDict_Contains(globals, name);
        if (shadowed == 0) shadowed = PyDict_Contains(builtins, name);
        if (shadowed < 0) s = Status::pythonError;
        if (shadowed == 1)
            s = refuse(c, ir, "a free variable named like a global or builtin can't be compiled");
    }
    if (s == Status::pythonError && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "wuna: a function without readable free variables");
    Py_XDECREF(names);
    Py_XDECREF(globals);
    return s;
}

}  // namespace

Status arityMessage(Compiler* c, front::Text name, uint32_t minimum, uint32_t maximum,
                    uint64_t count) {
    c->message.clear();
    if (appendText(&c->message, name.data, size_t(name.length)) != Status::ok ||
        appendText(&c->message, "() takes ") != Status::ok ||
        appendDecimal(&c->message, minimum) != Status::ok ||
        appendText(&c->message, " to ") != Status::ok ||
        appendDecimal(&c->message, maximum) != Status::ok ||
        appendText(&c->message, " arguments, called with ") != Status::ok ||
        appendDecimal(&c->message, count) != Status::ok)
        return Status::outOfMemory;
    return Status::unsupported;
}

Status queuePythonEntry(Compiler* c, PyObject* f, uint64_t n, uint64_t mask, bool closure,
                        HelperSpec** out) {
    *out = nullptr;
    front::FunctionIR* ir = nullptr;
    if (Status s = front::frontOf(c, f, &ir); s != Status::ok) return s;
    // paramCount counts a *args parameter as one more positional.
    uint32_t positional = ir->hasVarargs ? ir->paramCount - 1 : ir->paramCount;
    if (n < ir->requiredCount || (!ir->hasVarargs && n > positional))
        return arityMessage(c, ir->name, ir->requiredCount, positional, n);
    if (closure)
        if (Status s = cellsReadable(c, f, ir); s != Status::ok) return s;
    // A specialisation's *args parameter takes one tuple the caller made; the runtime passes
    // the arguments one by one.
    if (ir->hasVarargs)
        return refuse(c, ir, "a function with *args called from compiled code can't be compiled");
    Shape* shapes = entryShapes(c, n, mask, closure);
    if (!shapes) return Status::outOfMemory;
    // The module's code refers to f (its reading does too): held for the compiler's life.
    if (Status s = pinObject(c, f, nullptr); s != Status::ok) return s;
    HelperSpec* spec;
    if (Status s = listSpecialisation(c, ir, shapes, closure ? n + 1 : n, nullptr, nullptr,
                                      SpecLetter::call, &spec);
        s != Status::ok)
        return s;
    // Names made for this process are numbers: the form flags, set after naming, change none.
    spec->entryForm = 1;
    spec->freeVariables = closure ? 1 : 0;
    if (!c->helperWorklist.push(spec)) return Status::outOfMemory;
    *out = spec;
    return Status::ok;
}

}  // namespace wuna::compile
