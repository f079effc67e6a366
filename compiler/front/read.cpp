// Reading a function: the context's shared operations on syntax nodes, refusals, and the
// front entry.
#include <cstdlib>
#include <cstring>

#include "compiler/front/front.h"
#include "compiler/front/lower.h"

namespace wuna::front {

Arena& arenaOf(Lowering& lowering) {
    Lowering* outermost = &lowering;
    while (outermost->parent) outermost = outermost->parent;
    return outermost->arena;
}

Status newExpr(Lowering& lowering, ExprKind kind, Position position, Expr** out) {
    *out = static_cast<Expr*>(take(arenaOf(lowering), sizeof(Expr)));
    if (!*out) return Status::outOfMemory;
    (*out)->kind = kind;
    (*out)->position = position;
    lowering.exprCount++;
    return Status::ok;
}

Status listAttr(PyObject* node, const char* name, Owned* out) {
    out->object = PyObject_GetAttrString(node, name);
    if (!out->object) return Status::pythonError;
    if (PyList_Check(out->object)) return Status::ok;
    PyErr_Format(PyExc_TypeError, "%s must be a list", name);
    return Status::pythonError;
}

Status intAttr(PyObject* node, const char* name, int64_t fallback, int64_t* out) {
    *out = fallback;
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::pythonError;
        PyErr_Clear();
        return Status::ok;
    }
    if (value != Py_None) {
        long long number = PyLong_AsLongLong(value);
        if (number == -1 && PyErr_Occurred()) {
            Py_DECREF(value);
            return Status::pythonError;
        }
        *out = number;
    }
    Py_DECREF(value);
    return Status::ok;
}

Status nodePosition(Lowering& lowering, PyObject* node, Position* out) {
    int64_t line, column;
    if (Status s = intAttr(node, "lineno", 0, &line); s != Status::ok) return s;
    if (Status s = intAttr(node, "col_offset", 0, &column); s != Status::ok) return s;
    if (line < 0) line = 0;
    if (column < 0) column = 0;
    *out = makePosition(uint32_t(line + lowering.lineBase),
                        uint32_t(column + lowering.columnBase + 1));
    return Status::ok;
}

bool sameText(Text a, Text b) {
    return a.length == b.length && (a.length == 0 || memcmp(a.data, b.data, a.length) == 0);
}

bool hasName(List<Text> names, Text name) {
    for (uint64_t i = 0; i < names.count; i++)
        if (sameText(names.items[i], name)) return true;
    return false;
}

namespace {

bool comprehensionOnly(const Lowering& lowering, uint32_t local) {
    for (uint32_t i = 0; i < lowering.comprehensionLocals.count; i++)
        if (lowering.comprehensionLocals.items[i] == local) return true;
    return false;
}

}  // namespace

bool findLocal(const Lowering& lowering, Text name, uint32_t* out) {
    for (uint32_t i = lowering.scoped.count; i > 0; i--) {
        if (sameText(lowering.scoped.items[i - 1].name, name)) {
            *out = lowering.scoped.items[i - 1].local;
            return true;
        }
    }
    return findFunctionLocal(lowering, name, out);
}

bool findFunctionLocal(const Lowering& lowering, Text name, uint32_t* out) {
    for (uint32_t i = 0; i < lowering.locals.count; i++) {
        if (sameText(lowering.locals.items[i], name) && !comprehensionOnly(lowering, i)) {
            *out = i;
            return true;
        }
    }
    return false;
}

Status strText(Lowering& lowering, PyObject* value, const char* what, Text* out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str", what);
        return Status::pythonError;
    }
    Py_ssize_t length;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &length);
    if (!bytes) return Status::pythonError;
    return copyText(arenaOf(lowering), bytes, size_t(length), out) ? Status::ok
                                                                   : Status::outOfMemory;
}

bool droppedNoUtf8() {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return true;
}

Status nameAttr(Lowering& lowering, PyObject* node, const char* name, Text* out) {
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = strText(lowering, value, name, out);
    Py_DECREF(value);
    return s;
}

Status className(PyObject* node, ClassName* out) {
    out->length = 0;
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(node)), "__name__");
    if (!name) return Status::pythonError;
    Py_ssize_t length;
    const char* bytes = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!bytes) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a class name must be a str");
        Py_DECREF(name);
        return Status::pythonError;
    }
    size_t kept = size_t(length) < sizeof out->text ? size_t(length) : sizeof out->text;
    memcpy(out->text, bytes, kept);
    out->length = kept;
    Py_DECREF(name);
    return Status::ok;
}

Status optionalExprAttr(Lowering& lowering, PyObject* node, const char* name, Expr** out) {
    *out = nullptr;
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = value == Py_None ? Status::ok : lowerExpr(lowering, value, out);
    Py_DECREF(value);
    return s;
}

Status lowerStmtsAttr(Lowering& lowering, PyObject* node, const char* name, StmtList* out) {
    *out = StmtList{nullptr, 0};
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    lowering.blockDepth++;
    Status s = lowerStmts(lowering, value, out);
    lowering.blockDepth--;
    Py_DECREF(value);
    return s;
}

Status refuse(Lowering& lowering, Position position,
              std::initializer_list<std::string_view> parts) {
    Failure* failure = lowering.failure;
    if (failure->length) return Status::unsupported;  // the first refusal stands
    size_t length = 0;
    for (std::string_view part : parts) {
        size_t room = kFailureText - length;
        size_t kept = part.size() < room ? part.size() : room;
        memcpy(failure->text + length, part.data(), kept);
        length += kept;
    }
    // A cut inside a UTF-8 character drops the character's first bytes too.
    if (length == kFailureText) {
        size_t end = length;
        while (end > 0 && (uint8_t(failure->text[end - 1]) & 0xC0) == 0x80) end--;
        if (end > 0 && uint8_t(failure->text[end - 1]) >= 0xC0) {
            size_t need = uint8_t(failure->text[end - 1]) >= 0xF0   ? 4
                          : uint8_t(failure->text[end - 1]) >= 0xE0 ? 3
                                                                    : 2;
            if (length - (end - 1) < need) length = end - 1;
        }
    }
    failure->length = length;
    failure->position = position;
    return Status::unsupported;
}

Status refuse(Lowering& lowering, Position position, std::string_view text) {
    return refuse(lowering, position, {text});
}

Status constructRefused(Lowering& lowering, Position position, std::string_view words) {
    return refuse(lowering, position, {words, " can't be compiled"});
}

namespace {

// Python objects taken during a reading, released together whatever the outcome.
struct Taken {
    PyObject* objects[16] = {};
    int count = 0;
    PyObject* keep(PyObject* object) {
        if (object) objects[count++] = object;
        return object;
    }
    ~Taken() {
        for (int i = count; i > 0; i--) Py_DECREF(objects[i - 1]);
    }
};

// The source text through source_of; a missing source is a refusal.
Status sourceOf(Lowering& lowering, PyObject* fn, PyObject** out) {
    *out = nullptr;
    PyObject* globals = storedScript();
    PyObject* sourceOf = globals ? PyDict_GetItemString(globals, "source_of") : nullptr;
    if (globals && !sourceOf)
        PyErr_SetString(PyExc_RuntimeError, "the stored script defines no source_of");
    if (sourceOf) *out = PyObject_CallOneArg(sourceOf, fn);
    if (*out) return Status::ok;
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_TypeError))
        return Status::pythonError;
    PyErr_Clear();
    PyObject* qualname = PyObject_GetAttrString(fn, "__qualname__");
    Text text{"?", 1};
    Status s = qualname ? strText(lowering, qualname, "__qualname__", &text) : Status::ok;
    Py_XDECREF(qualname);
    if (s == Status::pythonError || !qualname) PyErr_Clear();
    if (s == Status::outOfMemory) return s;
    return refuse(
        lowering, 0,
        {"the source of ", std::string_view(text.data, text.length), "() isn't available"});
}

// Leading spaces and tabs of the source as source_of gave it.
Status columnBase(Lowering& lowering, PyObject* source, uint32_t* out) {
    Text text;
    if (Status s = strText(lowering, source, "source", &text); s != Status::ok) return s;
    uint32_t count = 0;
    while (count < text.length && (text.data[count] == ' ' || text.data[count] == '\t')) count++;
    *out = count;
    return Status::ok;
}

Status nonEmptyList(PyObject* node, const char* name, bool* out) {
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Py_ssize_t size = PyObject_Length(value);
    Py_DECREF(value);
    if (size < 0) return Status::pythonError;
    *out = size > 0;
    return Status::ok;
}

Status attrIsNone(PyObject* node, const char* name, bool* out) {
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    *out = value == Py_None;
    Py_DECREF(value);
    return Status::ok;
}

constexpr std::string_view kPlainParams =
    "only plain parameters can be compiled (no keyword-only or positional-only ones)";

// The parameter checks, then the parameters and *args enter the locals table.
Status readParameters(Lowering& lowering, PyObject* def, Position position, uint32_t* params,
                      uint32_t* defaults, bool* varargs) {
    PyObject* args = PyObject_GetAttrString(def, "args");
    if (!args) return Status::pythonError;
    Taken taken;
    taken.keep(args);
    for (const char* name : {"posonlyargs", "kwonlyargs", "kw_defaults"}) {
        bool nonEmpty;
        if (Status s = nonEmptyList(args, name, &nonEmpty); s != Status::ok) return s;
        if (nonEmpty) return refuse(lowering, position, kPlainParams);
    }
    PyObject* defaultList = taken.keep(PyObject_GetAttrString(args, "defaults"));
    if (!defaultList) return Status::pythonError;
    Py_ssize_t defaultCount = PyObject_Length(defaultList);
    if (defaultCount < 0) return Status::pythonError;
    bool noKwarg;
    if (Status s = attrIsNone(args, "kwarg", &noKwarg); s != Status::ok) return s;
    if (!noKwarg) return refuse(lowering, position, "**kwargs can't be compiled");
    PyObject* list = taken.keep(PyObject_GetAttrString(args, "args"));
    if (!list) return Status::pythonError;
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "args must be a list");
        return Status::pythonError;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        Text name;
        uint32_t local;
        if (Status s = nameAttr(lowering, PyList_GET_ITEM(list, i), "arg", &name); s != Status::ok)
            return s;
        if (Status s = localIndex(lowering, name, &local); s != Status::ok) return s;
    }
    *params = uint32_t(PyList_GET_SIZE(list));
    *defaults = uint32_t(defaultCount);
    PyObject* vararg = taken.keep(PyObject_GetAttrString(args, "vararg"));
    if (!vararg) return Status::pythonError;
    *varargs = vararg != Py_None;
    if (*varargs) {
        Text name;
        uint32_t local;
        if (Status s = nameAttr(lowering, vararg, "arg", &name); s != Status::ok) return s;
        if (Status s = localIndex(lowering, name, &local); s != Status::ok) return s;
    }
    return Status::ok;
}

constexpr char kOnlyDef[] = "only functions defined with def can be compiled";

// Steps after the source is known: the tree, the bases, the def, the names, the body.
Status readDefinition(Lowering& lowering, PyObject* fn, PyObject* source, FunctionIR** out) {
    Taken taken;
    PyObject* textwrap = taken.keep(PyImport_ImportModule("textwrap"));
    PyObject* ast = textwrap ? taken.keep(PyImport_ImportModule("ast")) : nullptr;
    if (!ast) return Status::pythonError;
    PyObject* dedented = taken.keep(PyObject_CallMethod(textwrap, "dedent", "(O)", source));
    PyObject* tree =
        dedented ? taken.keep(PyObject_CallMethod(ast, "parse", "(O)", dedented)) : nullptr;
    // The lines of a lambda written inside a display or a call (`{"+": lambda a, b: a + b,`)
    // are no statement of their own: such a function is refused, not a failure of the run.
    if (!tree && dedented && PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        PyErr_Clear();
        return refuse(lowering, 0, kOnlyDef);
    }
    if (!tree) return Status::pythonError;

    PyObject* code = taken.keep(PyObject_GetAttrString(fn, "__code__"));
    if (!code) return Status::pythonError;
    PyObject* filename = taken.keep(PyObject_GetAttrString(code, "co_filename"));
    if (!filename) return Status::pythonError;
    if (Status s = strText(lowering, filename, "co_filename", &lowering.fileName); s != Status::ok)
        return s;
    int64_t firstLine;
    if (Status s = intAttr(code, "co_firstlineno", 0, &firstLine); s != Status::ok) return s;
    Text name;
    if (Status s = nameAttr(lowering, fn, "__name__", &name); s != Status::ok) return s;
    if (Status s = nameAttr(lowering, fn, "__qualname__", &lowering.qualname); s != Status::ok)
        return s;

    PyObject* body = taken.keep(PyObject_GetAttrString(tree, "body"));
    if (!body) return Status::pythonError;
    if (!PyList_Check(body) || PyList_GET_SIZE(body) == 0) {
        PyErr_SetString(PyExc_ValueError, "the source holds no statement");
        return Status::pythonError;
    }
    PyObject* def = PyList_GET_ITEM(body, 0);
    ClassName kind;
    if (Status s = className(def, &kind); s != Status::ok) return s;
    if (!kind.is("FunctionDef"))
        return refuse(lowering, 0, kOnlyDef);

    lowering.lineBase = uint32_t((firstLine > 1 ? firstLine : 1) - 1);
    if (Status s = columnBase(lowering, source, &lowering.columnBase); s != Status::ok) return s;
    Position position;
    if (Status s = nodePosition(lowering, def, &position); s != Status::ok) return s;

    uint32_t params = 0, defaults = 0;
    bool varargs = false;
    if (Status s = readParameters(lowering, def, position, &params, &defaults, &varargs);
        s != Status::ok)
        return s;
    PyObject* statements = taken.keep(PyObject_GetAttrString(def, "body"));
    if (!statements) return Status::pythonError;
    if (Status s = collectDeclarations(lowering, statements); s != Status::ok) return s;
    if (lowering.nonlocals.count)
        return refuse(lowering, position, "`nonlocal` outside a nested function");
    if (Status s = collectLocals(lowering, statements); s != Status::ok) return s;
    StmtList lowered;
    if (Status s = lowerStmts(lowering, statements, &lowered); s != Status::ok) return s;

    auto* ir = static_cast<FunctionIR*>(calloc(1, sizeof(FunctionIR)));
    if (!ir) return Status::outOfMemory;
    ir->name = name;
    ir->fileName = lowering.fileName;
    ir->locals = lowering.locals.list();
    ir->body = lowered;
    ir->qualname = lowering.qualname;
    ir->nested = lowering.nested.list();
    ir->firstLine = uint32_t(firstLine < 0 ? 0 : firstLine);
    ir->paramCount = params + (varargs ? 1 : 0);
    ir->requiredCount = params > defaults ? params - defaults : 0;
    ir->exprCount = lowering.exprCount;
    ir->hasVarargs = varargs;
    for (uint64_t i = 0; i < ir->nested.count; i++) ir->nested.items[i]->parent = ir;
    if (Status s = analyzeClosures(ir, lowering.arena); s != Status::ok) {
        free(ir);
        return s;
    }
    *out = ir;
    return Status::ok;
}

}  // namespace

Status lowerFunction(FunctionIR** out, PyObject* fn, Failure* failure) {
    *out = nullptr;
    Lowering lowering{};
    lowering.failure = failure;
    lowering.function = fn;
    PyObject* inspect = PyImport_ImportModule("inspect");
    if (!inspect) return Status::pythonError;
    Py_DECREF(inspect);
    PyObject* source;
    Status s = sourceOf(lowering, fn, &source);
    FunctionIR* ir = nullptr;
    if (s == Status::ok) {
        s = readDefinition(lowering, fn, source, &ir);
        Py_DECREF(source);
    }
    if (s != Status::ok) {
        freeArena(lowering.arena);
        return s;
    }
    // The arena moves into the record, which now holds the function too.
    ir->arena = lowering.arena;
    Py_INCREF(fn);
    ir->function = fn;
    *out = ir;
    return Status::ok;
}

}  // namespace wuna::front
