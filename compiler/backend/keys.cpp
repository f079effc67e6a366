// The definition hash, program keys and module keys (see keys.h).
#include "compiler/backend/keys.h"

#include <cstring>
#include <initializer_list>

#include "compiler/backend/messages.h"
#include "compiler/backend/sha256.h"
#include "compiler/backend/compile_error.h"
#include "compiler/backend/containers.h"
#include "host/tree/function_kind.h"
#include "wuna/runtime/convert.h"

namespace wuna::driver {

namespace {

// Every item goes in as repr(item) in UTF-8 and one NUL. Code goes in field by field, its
// file name cut to the last path component (moving the semantics' directory keeps the hash).
//
// What the compiler folds into code while it compiles is hashed with the function it belongs
// to, so that a changed value never finds code made with the old one: the defaults, the
// contents of closure cells, and every module global a function's code (nested code
// included) names, described by folded(). A function reached that way is hashed like a
// semantic, once (seen). Nothing that shows an address goes in: an object whose repr does is
// described by its type's name alone.
constexpr const char* kScript = R"PY(
import hashlib

FIELDS = ("co_name", "co_filename", "co_firstlineno", "co_argcount", "co_posonlyargcount",
          "co_kwonlyargcount", "co_flags", "co_varnames", "co_freevars", "co_cellvars",
          "co_names", "co_code", "co_linetable", "co_exceptiontable")

_PLAIN = (type(None), bool, int, float, complex, str, bytes)


def definition(parser, tables, hosts, rest):
    h = hashlib.sha256()

    def put(item):
        h.update(repr(item).encode("utf-8", "replace"))
        h.update(b"\0")

    seen = set()

    def code(c):
        for name in FIELDS:
            value = getattr(c, name, None)
            if name == "co_filename" and isinstance(value, str):
                value = value.replace("\\", "/").rsplit("/", 1)[-1]
            put(value)
        for const in c.co_consts:
            if hasattr(const, "co_code"):
                code(const)
            elif isinstance(const, frozenset):
                put(("frozenset", sorted(repr(x) for x in const)))
            else:
                put((type(const).__name__, const))

    def names(c, out):
        out.extend(c.co_names)
        for const in c.co_consts:
            if hasattr(const, "co_code"):
                names(const, out)
        return out

    def folded(v, depth):
        if isinstance(v, _PLAIN):
            return (type(v).__name__, v)
        if depth > 16 or id(v) in seen:
            return (type(v).__name__, "...")
        if isinstance(v, type):
            return ("class", getattr(v, "__module__", None), getattr(v, "__qualname__", None))
        if type(v).__name__ == "module":
            return ("module", getattr(v, "__name__", None))
        if isinstance(v, (tuple, list, set, frozenset, dict)):
            seen.add(id(v))
            try:
                if isinstance(v, dict):
                    return (type(v).__name__,
                            [(folded(k, depth + 1), folded(x, depth + 1)) for k, x in v.items()])
                items = [folded(x, depth + 1) for x in v]
                if isinstance(v, (set, frozenset)):
                    items.sort(key=repr)
                return (type(v).__name__, items)
            finally:
                seen.discard(id(v))
        if hasattr(v, "__code__"):
            fn(v)
            return ("function", getattr(v, "__qualname__", None))
        try:
            text = repr(v)
        except Exception:
            text = None
        if text is not None and " at 0x" in text:
            text = None
        return (type(v).__qualname__, text)

    def fn(f):
        c = getattr(f, "__code__", None)
        if c is None:
            put((type(f).__name__, getattr(f, "__name__", None), getattr(f, "signature", None)))
            return
        if id(f) in seen:
            put(("function again", getattr(f, "__qualname__", None)))
            return
        seen.add(id(f))
        code(c)
        put(folded(getattr(f, "__defaults__", None), 0))
        put(folded(getattr(f, "__kwdefaults__", None), 0))
        cells = []
        for cell in getattr(f, "__closure__", None) or ():
            try:
                cells.append(folded(cell.cell_contents, 0))
            except ValueError:
                cells.append("empty cell")
        put(cells)
        g = getattr(f, "__globals__", None)
        if isinstance(g, dict):
            for name in sorted(set(names(c, []))):
                if name in g:
                    put((name, folded(g[name], 0)))
        put(("comptime", bool(getattr(f, "__wuna_comptime__", False))))

    for method in ("rules", "actions", "fields", "labels", "literals"):
        try:
            put(getattr(parser, method)())
        except Exception:
            put(method)
    for table in tables:
        for key in sorted(table, key=repr):
            put(key)
            value = table[key]
            for f in value if isinstance(value, (list, tuple)) else (value,):
                fn(f)
    for key in sorted(hosts, key=repr):
        put(key)
        fn(hosts[key])
    put(rest)
    return h.digest()
)PY";

// The script's definition function, kept for the process once it ran.
PyObject* definitionFunction = nullptr;

PyObject* loadDefinition() {
    if (definitionFunction) return definitionFunction;
    PyObject* ns = convert::runScript(kScript);
    if (!ns) return nullptr;
    PyObject* f = PyDict_GetItemString(ns, "definition");
    if (f) {
        definitionFunction = Py_NewRef(f);
    } else {
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: the definition script has no definition() (a wuna bug)");
    }
    Py_DECREF(ns);
    return definitionFunction;
}

const char* missingName(host::MissingArgs m) {
    return m == host::MissingArgs::none ? "none" : "error";
}

const char* extraName(host::ExtraArgs e) {
    switch (e) {
    case host::ExtraArgs::error: return "error";
    case host::ExtraArgs::drop: return "drop";
    case host::ExtraArgs::keep: return "keep";
    }
    return "keep";
}

// The pieces in order: texts, and numbers (written in decimal).
struct Piece {
    const char* text;  // null: the number
    uint64_t number;
};

bool appendPieces(backend::List<char>* out, std::initializer_list<Piece> pieces) {
    for (const Piece& p : pieces) {
        Status s = p.text ? compile::appendText(out, p.text) : compile::appendDecimal(out, p.number);
        if (s != Status::ok) return false;
    }
    return true;
}

bool writeSettings(const host::FunctionKind* kinds, uint32_t count, uint32_t maxDepth,
                   uint64_t hotCalls, bool strict, backend::List<char>* out) {
    for (uint32_t i = 0; kinds && i < count; i++) {
        const host::FunctionKind& k = kinds[i];
        if (!k.isFunction) continue;
        bool ok = appendPieces(out, {{nullptr, i},
                                     {":.{ .params = ", 0},
                                     {nullptr, k.paramsLabel},
                                     {", .body = ", 0},
                                     {nullptr, k.bodyLabel},
                                     {", .body_rule = ", 0},
                                     {nullptr, k.bodyRule},
                                     {", .name = ", 0},
                                     {nullptr, k.nameLabel},
                                     {", .hoist = ", 0},
                                     {k.hoist ? "true" : "false", 0},
                                     {", .missing = .", 0},
                                     {missingName(k.missing), 0},
                                     {", .extra = .", 0},
                                     {extraName(k.extra), 0},
                                     {" };", 0}});
        if (!ok) return false;
    }
    return appendPieces(out, {{"max_depth=", 0},
                              {nullptr, maxDepth},
                              {";hot_calls=", 0},
                              {nullptr, hotCalls},
                              {";strict=", 0},
                              {strict ? "true" : "false", 0}});
}

}  // namespace

void badDefinitionHash(PyObject* cls) {
    PyErr_SetString(cls, "the language's definition hash isn't 32 bytes");
}

PyObject* settingsText(const host::FunctionKind* kinds, uint32_t count, uint32_t maxDepth,
                       uint64_t hotCalls, bool strict) {
    backend::List<char> text{};
    if (!writeSettings(kinds, count, maxDepth, hotCalls, strict, &text)) {
        text.free();
        return PyErr_NoMemory();
    }
    PyObject* s = PyUnicode_DecodeUTF8(text.items ? text.items : "", Py_ssize_t(text.count),
                                       "replace");
    text.free();
    return s;
}

int definitionHash(PyObject* parser, PyObject* evals, PyObject* execs, PyObject* hosts,
                   PyObject* settings, PyObject* types, uint8_t out[kKeyBytes]) {
    PyObject* definition = loadDefinition();
    if (!definition) return -1;
    PyObject* result = PyObject_CallFunction(definition, "O(OO)O(OO)", parser, evals, execs,
                                             hosts, settings, types ? types : Py_None);
    if (!result) return -1;
    if (!PyBytes_Check(result)) {
        PyErr_Format(PyExc_TypeError, "the language's definition hash must be bytes, not '%s'",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return -1;
    }
    if (PyBytes_GET_SIZE(result) != Py_ssize_t(kKeyBytes)) {
        Py_DECREF(result);
        badDefinitionHash(PyExc_RuntimeError);
        return -1;
    }
    memcpy(out, PyBytes_AS_STRING(result), kKeyBytes);
    Py_DECREF(result);
    return 0;
}

int programKey(const uint8_t hash[kKeyBytes], PyObject* source, uint8_t out[kKeyBytes]) {
    Py_ssize_t length = 0;
    const char* text = convert::strArg(source, "source", &length);
    if (!text) return -1;
    sha256::Hasher h;
    h.update(hash, kKeyBytes);
    h.update(text, size_t(length));
    h.finish(out);
    return 0;
}

bool moduleKey(const uint8_t key[kKeyBytes], const void* language, PyObject* path,
               uint8_t out[kKeyBytes]) {
    const char* text = nullptr;
    Py_ssize_t length = 0;
    if (path && path != Py_None) {
        text = convert::strArg(path, "path", &length);
        if (!text) {
            PyErr_Clear();
            return false;
        }
    }
    uint8_t address[8];
    uint64_t a = uint64_t(reinterpret_cast<uintptr_t>(language));
    for (int i = 0; i < 8; i++) address[i] = uint8_t(a >> (8 * i));
    sha256::Hasher h;
    h.update(key, kKeyBytes);
    h.update(address, sizeof address);
    if (text) h.update(text, size_t(length));
    h.finish(out);
    return true;
}

}  // namespace wuna::driver
