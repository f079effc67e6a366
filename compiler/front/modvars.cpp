// The scan cache, the shapes of only-read module tables, and the strict rebind text (see
// modvars.h).
#include "compiler/front/modvars.h"

#include "compiler/backend/compile.h"
#include "compiler/backend/compile_error.h"
#include "compiler/front/analyzer.h"
#include "host/support/idmap.h"

namespace wuna::compile {

namespace {

// How deep scanGlobals looks into the module's classes for their functions, as the analyzer's
// scan does.
constexpr int kClassDepth = 4;

// One cached scan: the answer, and the functions it was keyed on (one reference each, in the
// order functionsOf finds them).
struct Scanned {
    front::ScanEntry entry;
    backend::List<PyObject*> functions;
};

// globals dict -> its scan; the cache holds one reference to each dict. Entries live for the
// process.
idmap::IdMap<Scanned> scans;
uint64_t analyzerCalls = 0;

// The function objects whose code the analyzer's scan reads: the module's functions, those in
// its classes (as methods, static and class methods, property accessors), and so on into
// nested classes, each bound to these globals. Reading members and class dicts runs no
// Python. Appends borrowed pointers; false when memory runs out.
bool addFunctions(PyObject* g, PyObject* name, PyObject* v, int depth,
                  backend::List<PyObject*>* out) {
    if (PyFunction_Check(v)) {
        if (PyFunction_GET_GLOBALS(v) != g) return true;
        return out->push(v);
    }
    if (Py_IS_TYPE(v, &PyStaticMethod_Type) || Py_IS_TYPE(v, &PyClassMethod_Type) ||
        Py_IS_TYPE(v, &PyProperty_Type)) {
        static const char* const kMembers[] = {"__func__", "fget", "fset", "fdel"};
        for (const char* member : kMembers) {
            PyObject* f = PyObject_GetAttrString(v, member);
            if (!f) {
                PyErr_Clear();
                continue;
            }
            // Borrowed from here on: the descriptor keeps its function.
            Py_DECREF(f);
            if (PyFunction_Check(f) && !addFunctions(g, name, f, depth, out)) return false;
        }
        return true;
    }
    if (!PyType_Check(v) || depth >= kClassDepth || !name) return true;
    auto* type = reinterpret_cast<PyTypeObject*>(v);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !type->tp_dict) return true;
    PyObject* module = PyDict_GetItemString(type->tp_dict, "__module__");
    // Exact strs compare without running Python, so the dicts being read can't change.
    if (!module || !PyUnicode_CheckExact(module) || PyUnicode_Compare(module, name) != 0)
        return true;
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* item;
    while (PyDict_Next(type->tp_dict, &at, &key, &item))
        if (!addFunctions(g, name, item, depth + 1, out)) return false;
    return true;
}

// The functions of the module of g, in the order of its dict. ok or outOfMemory.
Status functionsOf(PyObject* g, backend::List<PyObject*>* out) {
    PyObject* name = PyDict_GetItemString(g, "__name__");
    if (name && !PyUnicode_CheckExact(name)) name = nullptr;
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* v;
    while (PyDict_Next(g, &at, &key, &v))
        if (!addFunctions(g, name, v, 0, out)) return Status::outOfMemory;
    return Status::ok;
}

bool sameFunctions(const backend::List<PyObject*>& a, const backend::List<PyObject*>& b) {
    if (a.count != b.count) return false;
    for (size_t i = 0; i < a.count; i++)
        if (a[i] != b[i]) return false;
    return true;
}

void releaseFunctions(backend::List<PyObject*>* functions) {
    for (size_t i = 0; i < functions->count; i++) Py_DECREF((*functions)[i]);
    functions->free();
}

// The analyzer's scan of g: two new frozenset references, or pythonError.
Status runScan(PyObject* g, PyObject** rebound, PyObject** onlyRead) {
    if (Status s = front::loadAnalyzer(); s != Status::ok) return s;
    analyzerCalls++;
    PyObject* answer = PyObject_CallOneArg(front::analyzer().scan, g);
    if (!answer) return Status::pythonError;
    if (!PyTuple_CheckExact(answer) || PyTuple_GET_SIZE(answer) != 2 ||
        !PyFrozenSet_Check(PyTuple_GET_ITEM(answer, 0)) ||
        !PyFrozenSet_Check(PyTuple_GET_ITEM(answer, 1))) {
        Py_DECREF(answer);
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: the analyzer's scan answered no pair of frozensets (a wuna bug)");
        return Status::pythonError;
    }
    *rebound = Py_NewRef(PyTuple_GET_ITEM(answer, 0));
    *onlyRead = Py_NewRef(PyTuple_GET_ITEM(answer, 1));
    Py_DECREF(answer);
    return Status::ok;
}

}  // namespace

uint64_t scanCalls() { return analyzerCalls; }

Status scanGlobals(PyObject* g, front::ScanEntry* out) {
    Py_ssize_t size = PyDict_Size(g);
    if (size < 0) return Status::pythonError;
    backend::List<PyObject*> functions;
    if (functionsOf(g, &functions) != Status::ok) {
        functions.free();
        PyErr_NoMemory();
        return Status::pythonError;
    }
    Scanned* hit = scans.find(g);
    if (hit && hit->entry.size == uint64_t(size) && sameFunctions(hit->functions, functions)) {
        functions.free();
        *out = hit->entry;
        return Status::ok;
    }
    PyObject* rebound = nullptr;
    PyObject* onlyRead = nullptr;
    if (Status s = runScan(g, &rebound, &onlyRead); s != Status::ok) {
        functions.free();
        return s;
    }
    // The functions are compared by identity from now on: the cache keeps them alive.
    for (size_t i = 0; i < functions.count; i++) Py_INCREF(functions[i]);
    Scanned fresh{front::ScanEntry{uint64_t(size), rebound, onlyRead}, functions};
    // The scan ran Python, which may have dropped or replaced the entry found before.
    hit = scans.find(g);
    if (hit) {
        Py_DECREF(hit->entry.rebound);
        Py_DECREF(hit->entry.onlyRead);
        releaseFunctions(&hit->functions);
        *hit = fresh;
    } else if (scans.put(g, fresh)) {
        Py_INCREF(g);
    } else {
        Py_DECREF(rebound);
        Py_DECREF(onlyRead);
        releaseFunctions(&fresh.functions);
        PyErr_NoMemory();
        return Status::pythonError;
    }
    *out = fresh.entry;
    return Status::ok;
}

namespace {

// Whether an exact dict, list or set holds something that is no immutable constant; -1 with
// the exception when iterating the set failed.
int holdsMutable(PyObject* object) {
    if (PyDict_CheckExact(object)) {
        Py_ssize_t at = 0;
        PyObject* key;
        PyObject* v;
        while (PyDict_Next(object, &at, &key, &v))
            if (!front::isImmutableConstant(key) || !front::isImmutableConstant(v)) return 1;
        return 0;
    }
    if (PyList_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); i++)
            if (!front::isImmutableConstant(PyList_GET_ITEM(object, i))) return 1;
        return 0;
    }
    PyObject* it = PyObject_GetIter(object);
    if (!it) return -1;
    int found = 0;
    while (PyObject* item = PyIter_Next(it)) {
        bool constant = front::isImmutableConstant(item);
        Py_DECREF(item);
        if (!constant) {
            found = 1;
            break;
        }
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : found;
}

// The shape of one item, converted while the walk holds a reference to it (fromPython may
// run Python, which could drop the container's).
Status itemShape(Compiler* c, PyObject* item, Shape* out) {
    Py_INCREF(item);
    Status s = fromPython(c, item, out);
    Py_DECREF(item);
    return s;
}

Status dictShape(Compiler* c, PyObject* dict, Shape* out) {
    front::DictRecord* record = front::newDictRecord(c);
    if (!record) return Status::outOfMemory;
    record->source = dict;
    // The items are taken first: converting them may run Python, which may change the dict.
    PyObject* items = PyDict_Items(dict);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(items); i++) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        Shape key{};
        Shape v{};
        s = fromPython(c, PyTuple_GET_ITEM(pair, 0), &key);
        if (s == Status::ok) s = fromPython(c, PyTuple_GET_ITEM(pair, 1), &v);
        if (s == Status::ok) s = front::appendEntry(c, record, key, v);
    }
    Py_DECREF(items);
    if (s != Status::ok) return s;
    out->kind = ShapeKind::dict;
    out->dict = record;
    return Status::ok;
}

Status listShape(Compiler* c, PyObject* list, Shape* out) {
    front::ListRecord* record = front::newListRecord(c);
    if (!record) return Status::outOfMemory;
    record->source = list;
    // The length is read at every step: converting an item may run Python.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        Shape item{};
        if (Status s = itemShape(c, PyList_GET_ITEM(list, i), &item); s != Status::ok) return s;
        if (Status s = front::appendItem(c, record, item); s != Status::ok) return s;
    }
    out->kind = ShapeKind::list;
    out->list = record;
    return Status::ok;
}

}  // namespace

Status walkPythonContainer(Compiler* c, const ContainerEmission& emission, PyObject* object,
                           Shape* out) {
    bool container =
        PyDict_CheckExact(object) || PyList_CheckExact(object) || PySet_CheckExact(object);
    if (c->strict && container) {
        int mutableItems = holdsMutable(object);
        if (mutableItems < 0) return Status::pythonError;
        if (mutableItems) return emission.constant(emission.user, object, out);
    }
    if (PyDict_CheckExact(object)) return dictShape(c, object, out);
    if (PyList_CheckExact(object)) return listShape(c, object, out);
    if (PySet_CheckExact(object)) return emission.adopted(emission.user, object, out);
    return fromPython(c, object, out);
}

Status strictRebindMessage(backend::List<char>* message, const char* name, size_t length) {
    if (appendText(message, "strict: reads the module variable ") != Status::ok ||
        appendText(message, name, length) != Status::ok ||
        appendText(message, ", which a function rebinds (`global ") != Status::ok ||
        appendText(message, name, length) != Status::ok ||
        appendText(message, "`) (it would run in Python)") != Status::ok)
        return Status::outOfMemory;
    return Status::ok;
}

}  // namespace wuna::compile
