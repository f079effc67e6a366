// The makes-jumps analysis over the IR.
#include "compiler/front/jumps.h"

#include <cstdio>
#include <cstring>

#include "compiler/backend/compile.h"
#include "compiler/front/cache.h"
#include "compiler/front/lookup.h"
#include "compiler/front/stable.h"

namespace wuna::front {

namespace {

using compile::Compiler;

constexpr uint32_t kNoMark = 0xFFFFFFFFu;

constexpr const char* kJumpNames[] = {"exec", "eval", "loop", "Break", "Return", "Continue",
                                      "tail_call"};

// The classes whose instances, raised, are jumps (TailCall is what rt.tail_call raises).
constexpr const char* kJumpClasses[] = {"Return", "Break", "Continue", "TailCall"};

uint64_t keyOf(const FunctionIR* f) { return uint64_t(reinterpret_cast<uintptr_t>(f)); }

// Each expression of the list in order, stopping at the first jump or error.
Status listJumps(Compiler* c, const FunctionIR* f, ExprList list, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < list.count && !*out; i++)
        if (Status s = exprJumps(c, f, list.items[i], out); s != Status::ok) return s;
    return Status::ok;
}

// An optional expression: absent makes no jump.
Status optionalJumps(Compiler* c, const FunctionIR* f, const Expr* e, bool* out) {
    *out = false;
    return e ? exprJumps(c, f, e, out) : Status::ok;
}

// Runs the steps in order until one answers true or fails.
template <typename... Steps>
Status anyJumps(bool* out, Steps... steps) {
    *out = false;
    Status s = Status::ok;
    ((s == Status::ok && !*out ? (void)(s = steps()) : (void)0), ...);
    return s;
}

// The answer for calling a Python function object: its reading's, or true when the front end
// refuses it (it then runs as Python, where nothing is known of what it raises).
Status functionJumps(Compiler* c, PyObject* fn, bool* out) {
    FunctionIR* ir = nullptr;
    Status s = frontOf(c, fn, &ir);
    if (s == Status::unsupported) {
        *out = true;
        return Status::ok;
    }
    if (s != Status::ok) return s;
    return makesJumps(c, ir, out);
}

// The answer for calling an object known while compiling (a global's or a module attribute's
// value; null: the name is not bound, nor a builtin). Classes and objects of stable types
// (builtin functions, method descriptors...) make no jump; Python functions and bound methods
// of them are analysed; anything else may run any code with any argument: a possible jump.
Status calledValueJumps(Compiler* c, PyObject* value, bool* out) {
    *out = true;
    if (!value) return Status::ok;
    int plain = isPlainFunction(value);
    if (plain < 0) return Status::pythonError;
    if (plain) return functionJumps(c, value, out);
    if (PyMethod_Check(value)) {
        PyObject* fn = PyMethod_GET_FUNCTION(value);
        plain = isPlainFunction(fn);
        if (plain < 0) return Status::pythonError;
        if (plain) {
            Py_INCREF(fn);  // reading it runs Python, which may drop the method
            Status s = functionJumps(c, fn, out);
            Py_DECREF(fn);
            return s;
        }
        return Status::ok;
    }
    if (isClass(Py_TYPE(value))) {
        *out = false;
        return Status::ok;
    }
    int stable = isStable(value);
    if (stable < 0) return Status::pythonError;
    *out = stable == 0;
    return Status::ok;
}

// The value a global name of f has now, else the builtin of that name: a new reference, or
// null when neither is bound.
Status nameValue(const FunctionIR* f, Text name, PyObject** out) {
    *out = nullptr;
    PyObject* globals = globalsOf(f);
    if (!globals) return Status::pythonError;
    Status s = globalValue(globals, name, out);
    Py_DECREF(globals);
    if (s != Status::ok || *out) return s;
    return builtinValue(name, out);
}

// The module a global name of f is bound to, new reference; null (no error) when it is not a
// module.
Status moduleOfName(const FunctionIR* f, const Expr* e, PyObject** out) {
    *out = nullptr;
    if (e->kind != ExprKind::global) return Status::ok;
    PyObject* value = nullptr;
    if (Status s = nameValue(f, e->global, &value); s != Status::ok) return s;
    if (value && !PyModule_Check(value)) Py_CLEAR(value);
    *out = value;
    return Status::ok;
}

// The attribute of a module, new reference, or null (no error) when it has none.
PyObject* moduleAttr(PyObject* module, Text name) {
    PyObject* key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), nullptr);
    PyObject* value = key ? PyObject_GetAttr(module, key) : nullptr;
    Py_XDECREF(key);
    if (!value) PyErr_Clear();
    return value;
}

// The callee of a call of f.
Status calleeJumps(Compiler* c, const FunctionIR* f, const Expr* callee, bool* out) {
    *out = false;
    switch (callee->kind) {
    case ExprKind::global: {
        PyObject* value = nullptr;
        Status s = nameValue(f, callee->global, &value);
        if (s == Status::ok) s = calledValueJumps(c, value, out);
        Py_XDECREF(value);
        return s;
    }
    case ExprKind::attribute: {
        if (isJumpName(callee->attribute.name)) {
            *out = true;
            return Status::ok;
        }
        if (Status s = exprJumps(c, f, callee->attribute.object, out); s != Status::ok || *out)
            return s;
        // A function of an imported module is known, and is no method of the module's classes.
        PyObject* module = nullptr;
        if (Status s = moduleOfName(f, callee->attribute.object, &module); s != Status::ok)
            return s;
        if (module) {
            PyObject* value = moduleAttr(module, callee->attribute.name);
            Py_DECREF(module);
            Status s = calledValueJumps(c, value, out);
            Py_XDECREF(value);
            return s;
        }
        return methodJumps(c, f, callee->attribute.name, out);
    }
    case ExprKind::closure:
        // A lambda called where it stands.
        return makesJumps(c, callee->closure, out);
    default:
        // A local (a parameter handed a function), a subscript of a table of handlers, the
        // result of a call: what runs is not known while compiling.
        if (Status s = exprJumps(c, f, callee, out); s != Status::ok) return s;
        *out = true;
        return Status::ok;
    }
}

Status callJumps(Compiler* c, const FunctionIR* f, const Expr* e, bool* out) {
    if (Status s = listJumps(c, f, e->call.arguments, out); s != Status::ok || *out) return s;
    for (uint64_t i = 0; i < e->call.keywords.count; i++)
        if (Status s = exprJumps(c, f, e->call.keywords.items[i].value, out);
            s != Status::ok || *out)
            return s;
    return calleeJumps(c, f, e->call.callee, out);
}

// The positional arguments, then the keyword values of a raised call.
Status raisedArgumentsJumps(Compiler* c, const FunctionIR* f, const Expr* e, bool* out) {
    if (Status s = listJumps(c, f, e->call.arguments, out); s != Status::ok || *out) return s;
    for (uint64_t i = 0; i < e->call.keywords.count; i++)
        if (Status s = exprJumps(c, f, e->call.keywords.items[i].value, out);
            s != Status::ok || *out)
            return s;
    return Status::ok;
}

// Whether raising what calling value gives may be a jump: a jump class (under any name); a
// class that is no jump class makes an instance of itself; a builtin function or other object
// of a stable type makes no jump object; any other callable (a Python function making an
// exception to raise, say) may return one. Null: the name is not bound.
Status raisedValueJumps(PyObject* value, bool* out) {
    *out = true;
    if (!value) return Status::ok;
    if (isClass(Py_TYPE(value))) {
        int jump = isJumpClass(value);
        if (jump < 0) return Status::pythonError;
        *out = jump == 1;
        return Status::ok;
    }
    // Python code (a function, a bound method) may return any object, a jump among them.
    int plain = isPlainFunction(value);
    if (plain < 0) return Status::pythonError;
    if (plain || PyMethod_Check(value)) return Status::ok;
    int stable = isStable(value);
    if (stable < 0) return Status::pythonError;
    *out = stable == 0;
    return Status::ok;
}

// Adds F's settled answer to the done map.
Status settle(Compiler* c, const FunctionIR* f, bool answer) {
    return c->jumpsDone.put(keyOf(f), answer ? 1 : 0) ? Status::ok : Status::outOfMemory;
}

}  // namespace

bool isJumpName(Text name) {
    for (const char* jump : kJumpNames)
        if (textIs(name, jump)) return true;
    return false;
}

bool isClass(PyTypeObject* type) { return PyType_HasFeature(type, Py_TPFLAGS_TYPE_SUBCLASS); }

int isJumpClass(PyObject* o) {
    if (!PyType_Check(o)) return 0;
    PyObject* name = PyUnicode_FromString("wuna");
    if (!name) return -1;
    // Not imported: no program of this process can hold one of its classes.
    PyObject* wuna = PyImport_GetModule(name);
    Py_DECREF(name);
    if (!wuna) return PyErr_Occurred() ? -1 : 0;
    int found = 0;
    for (const char* cls : kJumpClasses) {
        PyObject* jump = PyObject_GetAttrString(wuna, cls);
        if (!jump) {
            PyErr_Clear();
            continue;
        }
        found = PyType_Check(jump) ? PyObject_IsSubclass(o, jump) : 0;
        Py_DECREF(jump);
        if (found != 0) break;
    }
    Py_DECREF(wuna);
    return found;
}

bool containsReturn(StmtList statements) {
    for (uint64_t i = 0; i < statements.count; i++) {
        const Stmt& s = statements.items[i];
        switch (s.kind) {
        case StmtKind::return_:
            return true;
        case StmtKind::if_:
        case StmtKind::while_:
            if (containsReturn(s.if_.body) || containsReturn(s.if_.orelse)) return true;
            break;
        case StmtKind::for_:
            if (containsReturn(s.for_.body) || containsReturn(s.for_.orelse)) return true;
            break;
        case StmtKind::try_:
            if (containsReturn(s.try_.body) || containsReturn(s.try_.orelse) ||
                containsReturn(s.try_.finally))
                return true;
            for (uint64_t h = 0; h < s.try_.handlers.count; h++)
                if (containsReturn(s.try_.handlers.items[h].body)) return true;
            break;
        case StmtKind::block:
            if (containsReturn(s.block)) return true;
            break;
        default:
            break;
        }
    }
    return false;
}

Status makesJumps(Compiler* c, const FunctionIR* f, bool* out) {
    *out = false;
    uint64_t key = keyOf(f);
    if (const uint8_t* done = c->jumpsDone.find(key)) {
        *out = *done != 0;
        return Status::ok;
    }
    if (const uint32_t* mark = c->jumpsOpen.find(key)) {
        // f calls itself, directly or round a cycle: its own walk decides.
        if (*mark < c->jumpLow) c->jumpLow = *mark;
        return Status::ok;
    }
    uint32_t d = c->jumpDepth;
    if (!c->jumpsOpen.put(key, d + 1)) return Status::outOfMemory;
    c->jumpDepth = d + 1;
    uint32_t saved = c->jumpLow;
    c->jumpLow = kNoMark;
    Status s = walkJumps(c, f, f->body, out);
    uint32_t low = c->jumpLow;
    // Met no open reading but f and those entered after it: the answer does not rest on an
    // assumption about a function still being analysed.
    bool final = *out || low > d;
    if (s == Status::ok && final) s = settle(c, f, *out);
    c->jumpLow = low > d ? saved : (saved < low ? saved : low);
    c->jumpsOpen.remove(key);
    c->jumpDepth = d;
    if (s != Status::ok) *out = false;
    return s;
}

Status walkJumps(Compiler* c, const FunctionIR* f, StmtList statements, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < statements.count && !*out; i++) {
        const Stmt& st = statements.items[i];
        Status s = Status::ok;
        switch (st.kind) {
        case StmtKind::assign:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.assign.value, out); },
                [&] { return targetsJumps(c, f, st.assign.targets, out); });
            break;
        case StmtKind::augAssign:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.augAssign.value, out); },
                [&] { return targetsJumps(c, f, TargetList{const_cast<Target*>(&st.augAssign.target), 1}, out); });
            break;
        case StmtKind::expr:
            s = exprJumps(c, f, st.expr, out);
            break;
        case StmtKind::if_:
        case StmtKind::while_:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.if_.test, out); },
                [&] { return walkJumps(c, f, st.if_.body, out); },
                [&] { return walkJumps(c, f, st.if_.orelse, out); });
            break;
        case StmtKind::for_:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.for_.iterable, out); },
                [&] { return walkJumps(c, f, st.for_.body, out); },
                [&] { return walkJumps(c, f, st.for_.orelse, out); });
            break;
        case StmtKind::return_:
            s = optionalJumps(c, f, st.return_, out);
            break;
        case StmtKind::raise:
            // A bare raise may re-raise a jump caught further out.
            if (!st.raise) *out = true;
            else s = raiseJumps(c, f, st.raise, out);
            break;
        case StmtKind::assert_:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.assert_.test, out); },
                [&] { return optionalJumps(c, f, st.assert_.message, out); });
            break;
        case StmtKind::try_:
            s = anyJumps(
                out, [&] { return walkJumps(c, f, st.try_.body, out); },
                [&] { return walkJumps(c, f, st.try_.orelse, out); },
                [&] { return walkJumps(c, f, st.try_.finally, out); });
            for (uint64_t h = 0; s == Status::ok && !*out && h < st.try_.handlers.count; h++)
                s = walkJumps(c, f, st.try_.handlers.items[h].body, out);
            break;
        case StmtKind::delItem:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, st.delItem.object, out); },
                [&] { return exprJumps(c, f, st.delItem.index, out); });
            break;
        case StmtKind::raiseFrom:
            s = anyJumps(
                out, [&] { return raiseJumps(c, f, st.raiseFrom.exception, out); },
                [&] { return exprJumps(c, f, st.raiseFrom.cause, out); });
            break;
        case StmtKind::block:
            s = walkJumps(c, f, st.block, out);
            break;
        case StmtKind::break_:
        case StmtKind::continue_:
        case StmtKind::pass:
        case StmtKind::delLocal:
            break;
        }
        if (s != Status::ok) {
            *out = false;
            return s;
        }
    }
    return Status::ok;
}

Status targetsJumps(Compiler* c, const FunctionIR* f, TargetList targets, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < targets.count && !*out; i++) {
        const Target& t = targets.items[i];
        Status s = Status::ok;
        switch (t.kind) {
        case TargetKind::tuple:
            s = targetsJumps(c, f, t.tuple, out);
            break;
        case TargetKind::attribute:
            s = exprJumps(c, f, t.attribute.object, out);
            break;
        case TargetKind::item:
            s = anyJumps(
                out, [&] { return exprJumps(c, f, t.item.object, out); },
                [&] { return exprJumps(c, f, t.item.index, out); });
            break;
        case TargetKind::local:
        case TargetKind::global:
            break;
        }
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status fstringJumps(Compiler* c, const FunctionIR* f, FStringPartList parts, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < parts.count && !*out; i++) {
        const FStringPart& p = parts.items[i];
        if (p.tag != FStringTag::value) continue;
        Status s = anyJumps(
            out, [&] { return exprJumps(c, f, p.value.value, out); },
            [&] { return fstringJumps(c, f, p.value.spec, out); });
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status generatorsJumps(Compiler* c, const FunctionIR* f, GeneratorList generators, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < generators.count && !*out; i++) {
        const Generator& g = generators.items[i];
        Status s = anyJumps(
            out, [&] { return exprJumps(c, f, g.iterable, out); },
            [&] { return listJumps(c, f, g.conditions, out); });
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status exprJumps(Compiler* c, const FunctionIR* f, const Expr* e, bool* out) {
    *out = false;
    switch (e->kind) {
    case ExprKind::int_:
    case ExprKind::bigInt:
    case ExprKind::object:
    case ExprKind::float_:
    case ExprKind::str:
    case ExprKind::bool_:
    case ExprKind::none:
    case ExprKind::local:
    case ExprKind::global:
    case ExprKind::closure:
    case ExprKind::import_:
    case ExprKind::outOfLine:
        return Status::ok;
    case ExprKind::attribute:
        return exprJumps(c, f, e->attribute.object, out);
    case ExprKind::namedExpr:
        return exprJumps(c, f, e->namedExpr.value, out);
    case ExprKind::starred:
        return exprJumps(c, f, e->starred, out);
    case ExprKind::unary:
        return exprJumps(c, f, e->unary.operand, out);
    case ExprKind::subscript:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->subscript.object, out); },
            [&] { return exprJumps(c, f, e->subscript.index, out); });
    case ExprKind::slice:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->slice.object, out); },
            [&] { return optionalJumps(c, f, e->slice.lower, out); },
            [&] { return optionalJumps(c, f, e->slice.upper, out); },
            [&] { return optionalJumps(c, f, e->slice.step, out); });
    case ExprKind::binary:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->binary.left, out); },
            [&] { return exprJumps(c, f, e->binary.right, out); });
    case ExprKind::and_:
        return listJumps(c, f, e->and_, out);
    case ExprKind::or_:
        return listJumps(c, f, e->or_, out);
    case ExprKind::list:
        return listJumps(c, f, e->list, out);
    case ExprKind::tuple:
        return listJumps(c, f, e->tuple, out);
    case ExprKind::set:
        return listJumps(c, f, e->set.elements, out);
    case ExprKind::compare:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->compare.left, out); },
            [&] { return listJumps(c, f, e->compare.comparators, out); });
    case ExprKind::ifExp:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->ifExp.test, out); },
            [&] { return exprJumps(c, f, e->ifExp.body, out); },
            [&] { return exprJumps(c, f, e->ifExp.orelse, out); });
    case ExprKind::dict:
        return anyJumps(
            out, [&] { return listJumps(c, f, e->dict.keys, out); },
            [&] { return listJumps(c, f, e->dict.values, out); });
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->listComp.element, out); },
            [&] { return generatorsJumps(c, f, e->listComp.generators, out); });
    case ExprKind::dictComp:
        return anyJumps(
            out, [&] { return exprJumps(c, f, e->dictComp.key, out); },
            [&] { return exprJumps(c, f, e->dictComp.value, out); },
            [&] { return generatorsJumps(c, f, e->dictComp.generators, out); });
    case ExprKind::fstring:
        return fstringJumps(c, f, e->fstring, out);
    case ExprKind::nestedCall:
        return anyJumps(
            out, [&] { return listJumps(c, f, e->nestedCall.arguments, out); },
            [&] { return makesJumps(c, e->nestedCall.function, out); });
    case ExprKind::call:
        return callJumps(c, f, e, out);
    }
    return Status::ok;
}

Status raiseJumps(Compiler* c, const FunctionIR* f, const Expr* e, bool* out) {
    // A caught or stored exception may be a jump.
    *out = true;
    if (e->kind != ExprKind::call) return Status::ok;
    const Expr* callee = e->call.callee;
    if (callee->kind == ExprKind::attribute && isJumpName(callee->attribute.name))
        return Status::ok;
    PyObject* value = nullptr;
    bool known = false;
    if (callee->kind == ExprKind::global) {
        // raise Return(v) after `from wuna import Return` is rt.Return by another name.
        if (Status s = nameValue(f, callee->global, &value); s != Status::ok) return s;
        known = true;
    } else if (callee->kind == ExprKind::attribute) {
        PyObject* module = nullptr;
        if (Status s = moduleOfName(f, callee->attribute.object, &module); s != Status::ok)
            return s;
        if (module) {
            value = moduleAttr(module, callee->attribute.name);
            Py_DECREF(module);
            known = true;
        } else {
            // An exception made by a method (self.error(...)): judged by its arguments, as
            // the methods' own raises are judged where they are analysed.
            *out = false;
        }
    } else {
        return Status::ok;
    }
    if (known) {
        Status s = raisedValueJumps(value, out);
        Py_XDECREF(value);
        if (s != Status::ok || *out) return s;
    }
    return raisedArgumentsJumps(c, f, e, out);
}

Status methodJumps(Compiler* c, const FunctionIR* f, Text name, bool* out) {
    *out = false;
    PyObject* globals = globalsOf(f);
    if (!globals) return Status::pythonError;
    char prefix[2 + 16 + 2];
    int n = snprintf(prefix, sizeof prefix, "%llx:",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(globals)));
    size_t length = size_t(n) + name.length;
    char* key = static_cast<char*>(malloc(length ? length : 1));
    if (!key) {
        Py_DECREF(globals);
        return Status::outOfMemory;
    }
    memcpy(key, prefix, size_t(n));
    memcpy(key + n, name.data, name.length);
    if (const uint8_t* done = c->methodJumps.find(backend::Text{key, length})) {
        *out = *done != 0;
        free(key);
        Py_DECREF(globals);
        return Status::ok;
    }
    uint32_t saved = c->jumpLow;
    c->jumpLow = kNoMark;
    // A snapshot: analysing a method runs Python, which may change the namespace.
    PyObject* values = PyDict_Values(globals);
    Py_DECREF(globals);
    PyObject* attrName =
        values ? PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), nullptr) : nullptr;
    Status s = attrName ? Status::ok : Status::pythonError;
    for (Py_ssize_t i = 0; s == Status::ok && !*out && i < PyList_GET_SIZE(values); i++) {
        PyObject* value = PyList_GET_ITEM(values, i);
        if (!isClass(Py_TYPE(value))) continue;
        PyObject* method = PyObject_GetAttr(value, attrName);
        if (!method) {
            PyErr_Clear();
            continue;
        }
        int plain = isPlainFunction(method);
        if (plain < 0) PyErr_Clear();
        // A method the front end refuses runs as Python: a possible jump, as for calls.
        if (plain == 1) s = functionJumps(c, method, out);
        Py_DECREF(method);
    }
    Py_XDECREF(attrName);
    Py_XDECREF(values);
    uint32_t low = c->jumpLow;
    if (s == Status::ok && (*out || low > c->jumpDepth)) {
        if (!c->methodJumps.put(backend::Text{key, length}, *out ? 1 : 0)) s = Status::outOfMemory;
        else key = nullptr;  // the map owns it now
    }
    free(key);
    c->jumpLow = saved < low ? saved : low;
    if (s != Status::ok) *out = false;
    return s;
}

}  // namespace wuna::front
