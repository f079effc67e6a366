// Module globals and closure cells: the Python names a semantic reads that are not its own
// locals, decided while compiling from the live Python objects.
//
// A free variable of the semantic's enclosing function becomes its cell's content now; a
// module variable a module function rebinds (`global`) is read at run time through wn_global;
// a table the module only reads becomes a constant; a list, dict or record the module's own
// names alone refer to becomes native module state; anything else a constant; a builtin the
// builtin object. Every decision about a module variable is noted for
// Program.report()["module_state"], under the variable's name, in the order of first reading.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/front/adopt.h"
#include "compiler/front/modvars.h"

namespace wuna::compile {

namespace {

constexpr char kNative[] = "native";
constexpr char kOnlyRead[] = "constant (only read)";

// Puts the decision for the name: a name already noted keeps its place with the new text.
Status noteModuleState(Compiler* c, const char* name, size_t nameLength, const char* text,
                       size_t textLength) {
    char* copy = backend::copyText(text, textLength);
    if (!copy) return Status::outOfMemory;
    for (size_t i = 0; i < c->moduleState.count; i++) {
        ModuleStateNote& note = c->moduleState[i];
        if (note.nameLength != nameLength || memcmp(note.name, name, nameLength) != 0) continue;
        free(note.text);
        note.text = copy;
        note.textLength = textLength;
        return Status::ok;
    }
    char* nameCopy = backend::copyText(name, nameLength);
    ModuleStateNote note{nameCopy, nameLength, copy, textLength};
    if (!nameCopy || !c->moduleState.push(note)) {
        free(nameCopy);
        free(copy);
        return Status::outOfMemory;
    }
    return Status::ok;
}

// The container emission of the only-read tables: read-only native constants, and the native
// set taken over for a Python set.
Status emitConstantContainer(void* user, PyObject* container, Shape* out) {
    auto* e = static_cast<Emitter*>(user);
    KnownKind kind = PyDict_Check(container)   ? KnownKind::dict
                     : PyList_Check(container) ? KnownKind::list
                                               : KnownKind::unknown;
    Operand o;
    if (Status err = comptimeResult(e, container, kind, &o); err != Status::ok) return err;
    *out = dynShape(o);
    return Status::ok;
}

Status emitAdoptedSet(void* user, PyObject* set, Shape* out) {
    Operand o;
    if (Status err = adoptedContainer(static_cast<Emitter*>(user), set, KnownKind::unknown, &o);
        err != Status::ok)
        return err;
    *out = dynShape(o);
    return Status::ok;
}

KnownKind kindOfTag(uint64_t tag) { return tag <= 9 ? KnownKind(tag + 1) : KnownKind::unknown; }

// The index of the name in the code's co_freevars, or -1; -2 with TypeError "name must be a
// str" (an entry that is not a str) or another Python error.
Py_ssize_t freeVariableIndex(PyObject* function, PyObject* name) {
    PyObject* code = PyObject_GetAttrString(function, "__code__");
    if (!code) return -2;
    PyObject* freevars = PyObject_GetAttrString(code, "co_freevars");
    Py_DECREF(code);
    if (!freevars) return -2;
    Py_ssize_t found = -1;
    if (PyTuple_Check(freevars)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(freevars); i++) {
            PyObject* entry = PyTuple_GET_ITEM(freevars, i);
            if (!PyUnicode_Check(entry)) {
                PyErr_SetString(PyExc_TypeError, "name must be a str");
                found = -2;
                break;
            }
            if (PyUnicode_Compare(entry, name) == 0) {
                found = i;
                break;
            }
        }
    }
    Py_DECREF(freevars);
    return found;
}

// The content of the function's closure cell for the name, a new reference: *found false when
// the name is no free variable with a cell; null with found set and an error when the cell is
// empty.
Status cellContent(PyObject* function, PyObject* name, PyObject** out, bool* found) {
    *found = false;
    *out = nullptr;
    PyObject* closure = PyFunction_Check(function) ? PyFunction_GetClosure(function) : nullptr;
    if (!closure || closure == Py_None || !PyTuple_Check(closure)) return Status::ok;
    Py_ssize_t i = freeVariableIndex(function, name);
    if (i == -2) return Status::pythonError;
    if (i < 0 || i >= PyTuple_GET_SIZE(closure)) return Status::ok;
    *found = true;
    PyObject* content = PyObject_GetAttrString(PyTuple_GET_ITEM(closure, i), "cell_contents");
    if (!content) return Status::pythonError;
    *out = content;
    return Status::ok;
}

// The function whose module the semantic reads: the outermost function of its reading.
PyObject* pythonFunctionOf(const Emitter* e, const Semantic* s) {
    if (!s && e->semantics.count) s = e->semantics[e->semantics.count - 1];
    return s && s->function ? s->function->function : nullptr;
}

const front::FunctionIR* readingOf(const Emitter* e, const Semantic* s) {
    if (!s && e->semantics.count) s = e->semantics[e->semantics.count - 1];
    return s ? s->function : nullptr;
}

int32_t siteOf(const Emitter* e, const Semantic* s) {
    if (!s && e->semantics.count) s = e->semantics[e->semantics.count - 1];
    return s ? s->site : -1;
}

// Whether the name is in the frozenset (borrowed). -1 with the Python error.
int inSet(PyObject* set, PyObject* name) { return set ? PySet_Contains(set, name) : 0; }

// A read at run time: wn_global of the globals dict, the variable's value now each time.
Status readAtRunTime(Emitter* e, Semantic* s, PyObject* globals, front::Text name, Shape* out) {
    Compiler* c = e->compiler;
    if (c->strict && !e->strictSuppressed) {
        Status err = beginConstructError(e);
        if (err == Status::ok) err = strictRebindMessage(&c->message, name.data, name.length);
        return err == Status::ok ? Status::unsupported : err;
    }
    uint32_t index;
    if (Status err = pinObject(c, globals, &index); err != Status::ok) return err;
    ValueRef dict, literal;
    if (Status err = objectConstant(e, index, &dict); err != Status::ok) return err;
    if (Status err = literalGlobal(&c->module, name.data, name.length, &literal); err != Status::ok)
        return err;
    ValueRef args[5] = {e->runContext, siteValue(e, siteOf(e, s)), dict, literal, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_global", args, 5, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

// A module variable's value now (v borrowed from globals).
Status moduleValue(Emitter* e, PyObject* globals, const front::ScanEntry& scan, PyObject* key,
                   front::Text name, PyObject* v, Shape* out) {
    Compiler* c = e->compiler;
    int onlyRead = inSet(scan.onlyRead, key);
    if (onlyRead < 0) return Status::pythonError;
    if (onlyRead) {
        Status err = noteModuleState(c, name.data, name.length, kOnlyRead, sizeof kOnlyRead - 1);
        if (err != Status::ok)
            return err;
        return walkPythonContainer(c, ContainerEmission{e, emitConstantContainer, emitAdoptedSet},
                                   v, out);
    }
    AdoptOutcome adopted{};
    if (Status err = adoptModuleState(c, v, globals, &adopted); err != Status::ok) return err;
    if (adopted.outcome == Adopted::yes) {
        uint64_t tag = adopted.value.tag, key64 = adopted.value.payload;
        if (Status err = noteModuleState(c, name.data, name.length, kNative, sizeof kNative - 1);
            err != Status::ok)
            return err;
        if (!c->nativeState.push(NativeState{tag, key64})) return Status::outOfMemory;
        ValueRef payload;
        KeyOrigin origin{{tag, 0}, KeyOriginKind::constant};
        if (Status err = keyConstant(&c->module, key64, origin, &payload); err != Status::ok)
            return err;
        Operand o = constantOperand(e, tag, 0, kindOfTag(tag));
        o.payload = payload;
        *out = dynShape(o);
        return Status::ok;
    }
    if (adopted.outcome == Adopted::refused) {
        if (Status err = noteModuleState(c, name.data, name.length, adopted.reason.text,
                                         adopted.reason.length);
            err != Status::ok)
            return err;
    }
    return fromPython(c, v, out);
}

// A name in no module dict: the builtin of that name (*found), kept alive by builtins.
Status builtinObject(PyObject* key, PyObject** out, bool* found) {
    *found = false;
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return Status::pythonError;
    PyObject* object = PyObject_GetAttr(builtins, key);
    Py_DECREF(builtins);
    if (!object) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::pythonError;
        PyErr_Clear();
        return Status::ok;
    }
    *out = object;
    *found = true;
    return Status::ok;
}

Status pyShape(Compiler* c, PyObject* object, Shape* out) {
    if (Status err = pinObject(c, object, nullptr); err != Status::ok) return err;
    *out = Shape{};
    out->kind = ShapeKind::py;
    out->py = object;
    return Status::ok;
}

Status nameNotDefined(Compiler* c, const front::FunctionIR* function, front::Position at,
                      front::Text name) {
    Status err = Status::ok;
    c->message.clear();
    if (function) err = beginError(&c->message, ErrorSite{function, at});
    if (err == Status::ok) err = writeNameNotDefined(&c->message, name.data, name.length);
    return err == Status::ok ? Status::unsupported : err;
}

// The globals dict and the name as a str of the semantic's function: new references.
Status globalsAndName(Emitter* e, Semantic* s, front::Text name, PyObject** globals,
                      PyObject** key) {
    PyObject* function = pythonFunctionOf(e, s);
    *globals = nullptr;
    *key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), "replace");
    if (!*key) return Status::pythonError;
    if (function) *globals = PyObject_GetAttrString(function, "__globals__");
    if (!*globals) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "wuna: a global read outside a semantic");
        Py_CLEAR(*key);
        return Status::pythonError;
    }
    return Status::ok;
}

// The index of name among the free variables of the compiled entry's function when the
// semantic reads that function, else -1; -2 with the Python error.
Py_ssize_t entryCellIndex(const Emitter* e, const Semantic* s, PyObject* name) {
    PyObject* function = pythonFunctionOf(e, s);
    if (!e->cellOwner || !function || function != e->cellFunction) return -1;
    return freeVariableIndex(function, name);
}

// A free variable of a compiled entry's function, read from the cell of the function object
// the entry was given: each run of the enclosing function makes cells of its own, and one
// entry serves them all.
Status cellAtRunTime(Emitter* e, Semantic* s, Py_ssize_t index, Shape* out) {
    ValueRef args[6] = {e->runContext,  siteValue(e, siteOf(e, s)), constI64(e, 0),
                        e->cellOwner, constI64(e, uint64_t(index)), e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_cell", args, 6, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status emitGlobalWith(Emitter* e, Semantic* s, PyObject* globals, PyObject* key,
                      front::Text name, front::Position at, Shape* out) {
    Compiler* c = e->compiler;
    Py_ssize_t index = entryCellIndex(e, s, key);
    if (index == -2) return Status::pythonError;
    if (index >= 0) return cellAtRunTime(e, s, index, out);
    PyObject* cell = nullptr;
    bool isFree;
    if (Status err = cellContent(pythonFunctionOf(e, s), key, &cell, &isFree); err != Status::ok)
        return err;
    if (isFree) {
        Status err = fromPython(c, cell, out);
        // A py shape's object must outlive the compiler's use of it: the object list holds it.
        if (err == Status::ok && out->kind == ShapeKind::py) err = pinObject(c, out->py, nullptr);
        Py_DECREF(cell);
        return err;
    }
    front::ScanEntry scan{};
    if (Status err = scanGlobals(globals, &scan); err != Status::ok) return err;
    int rebound = inSet(scan.rebound, key);
    if (rebound < 0) return Status::pythonError;
    if (rebound) return readAtRunTime(e, s, globals, name, out);
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (v) return moduleValue(e, globals, scan, key, name, v, out);
    if (PyErr_Occurred()) return Status::pythonError;
    PyObject* builtin = nullptr;
    bool found;
    if (Status err = builtinObject(key, &builtin, &found); err != Status::ok) return err;
    if (!found) return nameNotDefined(c, readingOf(e, s), at, name);
    Status err = pyShape(c, builtin, out);
    Py_DECREF(builtin);
    return err;
}

}  // namespace

Status emitGlobal(Emitter* e, Semantic* s, front::Text name, front::Position at, Shape* out) {
    *out = noneShape();
    PyObject *globals, *key;
    if (Status err = globalsAndName(e, s, name, &globals, &key); err != Status::ok) return err;
    Status err = emitGlobalWith(e, s, globals, key, name, at, out);
    Py_DECREF(globals);
    Py_DECREF(key);
    return err;
}

Status globalIsObject(Emitter* e, Semantic* s, front::Text name, PyObject* object, bool* is) {
    *is = false;
    PyObject *globals, *key;
    if (Status err = globalsAndName(e, s, name, &globals, &key); err != Status::ok) return err;
    PyObject* found = nullptr;
    bool isFree = false;
    // A cell read at run time is never known to hold the object.
    Py_ssize_t index = entryCellIndex(e, s, key);
    Status err = index == -2  ? Status::pythonError
                 : index >= 0 ? Status::ok
                              : cellContent(pythonFunctionOf(e, s), key, &found, &isFree);
    if (index >= 0) isFree = true;
    if (err == Status::ok && !isFree) {
        front::ScanEntry scan{};
        err = scanGlobals(globals, &scan);
        int rebound = err == Status::ok ? inSet(scan.rebound, key) : 0;
        if (rebound < 0) err = Status::pythonError;
        // A rebound name is read at run time: never known to be the object now.
        if (err == Status::ok && !rebound) {
            PyObject* v = PyDict_GetItemWithError(globals, key);
            if (v) {
                found = Py_NewRef(v);
            } else if (PyErr_Occurred()) {
                err = Status::pythonError;
            } else {
                bool inBuiltins;
                err = builtinObject(key, &found, &inBuiltins);
            }
        }
    }
    *is = err == Status::ok && found == object;
    Py_XDECREF(found);
    Py_DECREF(globals);
    Py_DECREF(key);
    return err;
}

}  // namespace wuna::compile
