// nomos's Python module: the native half of its face. The Python half (face.py, embedded at
// build time and run in the module's namespace at import) turns a rules description into the
// numeric tables `_config` takes, and wraps `_analyze`'s result in the Analysis class. Here:
// `_config` builds an analyze::Config kept in a capsule; `_analyze` reads a "pargo.tree.v1"
// capsule, runs the analysis and returns a `_Result`, which owns the memory the
// "nomos.analysis.v2" capsule points to (each such capsule holds a reference to its _Result).
//
// PyInit_nomos only hands the interpreter the module definition; its exec slot does the
// start-up, once per process: `_Result` is a process-wide class, so a module executed again
// (imported anew after being dropped from sys.modules) is given the objects the first
// start-up made.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

#include "analyze.h"
#include "face_py.h"
#include "version.h"

namespace nomos {
namespace {

const char* configName = "nomos.config";
const char* analysisName = "nomos.analysis.v2";

// The record behind a "pargo.tree.v1" capsule.
using TreeRecord = pargo::layout::TreeRecord;

struct ResultObject {
    PyObject_HEAD analyze::Result* result;
};

// The class of the results, made at start-up from resultSpec.
PyTypeObject* resultType = nullptr;

void resultDealloc(PyObject* self) {
    delete reinterpret_cast<ResultObject*>(self)->result;
    // A heap type's instances hold a reference to it.
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

analyze::Result& resultOf(PyObject* self) { return *reinterpret_cast<ResultObject*>(self)->result; }

void analysisCapsuleFree(PyObject* capsule) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
}

PyObject* resultCapsule(PyObject* self, PyObject*) {
    analyze::Result& r = resultOf(self);
    PyObject* capsule = PyCapsule_New(&r.capsule, analysisName, analysisCapsuleFree);
    if (!capsule) return nullptr;
    Py_INCREF(self);
    if (PyCapsule_SetContext(capsule, self) != 0) {
        Py_DECREF(self);
        Py_DECREF(capsule);
        return nullptr;
    }
    return capsule;
}

PyObject* resultSymbolCount(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(resultOf(self).symbols.size());
}

PyObject* resultSymbol(PyObject* self, PyObject* arg) {
    analyze::Result& r = resultOf(self);
    Py_ssize_t i = PyLong_AsSsize_t(arg);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0 || size_t(i) >= r.symbols.size()) {
        PyErr_SetString(PyExc_IndexError, "symbol index out of range");
        return nullptr;
    }
    const analyze::Symbol& s = r.symbols[size_t(i)];
    PyObject* refs = PyTuple_New(Py_ssize_t(s.references.size()));
    if (!refs) return nullptr;
    for (size_t k = 0; k < s.references.size(); ++k) {
        PyObject* v = PyLong_FromUnsignedLong(s.references[k]);
        if (!v) {
            Py_DECREF(refs);
            return nullptr;
        }
        PyTuple_SET_ITEM(refs, Py_ssize_t(k), v);
    }
    PyObject* name = PyUnicode_DecodeUTF8(s.name.data(), Py_ssize_t(s.name.size()), "replace");
    PyObject* kind = PyUnicode_DecodeUTF8(s.kind.data(), Py_ssize_t(s.kind.size()), "replace");
    if (!name || !kind) {
        Py_XDECREF(name);
        Py_XDECREF(kind);
        Py_DECREF(refs);
        return nullptr;
    }
    return Py_BuildValue("(NNkkkN)", name, kind, (unsigned long)s.declaringNode,
                         (unsigned long)s.scopeNode, (unsigned long)s.flags, refs);
}

// The node index argument: an int in range, else -1 (no answer) with no exception; -2 with one.
long nodeArg(const analyze::Result& r, PyObject* arg) {
    if (!PyLong_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "a node index must be an int");
        return -2;
    }
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(arg, &overflow);
    if (i == -1 && PyErr_Occurred()) return -2;
    if (overflow || i < 0 || uint64_t(i) >= r.nodes.size()) return -1;
    return long(i);
}

PyObject* resultNodeSymbol(PyObject* self, PyObject* arg) {
    analyze::Result& r = resultOf(self);
    long i = nodeArg(r, arg);
    if (i == -2) return nullptr;
    if (i < 0 || r.nodeSymbols[size_t(i)] == analyze::none) return PyLong_FromLong(-1);
    return PyLong_FromUnsignedLong(r.nodeSymbols[size_t(i)]);
}

PyObject* resultTypeOf(PyObject* self, PyObject* arg) {
    analyze::Result& r = resultOf(self);
    long i = nodeArg(r, arg);
    if (i == -2) return nullptr;
    std::string type;
    if (i < 0 || !analyze::typeOf(r, uint32_t(i), type)) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(type.data(), Py_ssize_t(type.size()), "replace");
}

// The problems found, as (code, message, start, end, line, column) tuples.
PyObject* resultProblems(PyObject* self, PyObject*) {
    analyze::Result& r = resultOf(self);
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (const analyze::Problem& p : r.problems) {
        const analyze::Node& n = r.nodes[p.node];
        uint32_t line = 0, column = 0;
        analyze::lineColumn(r, n.start, line, column);
        PyObject* item =
            Py_BuildValue("(s#s#kkkk)", p.code.data(), Py_ssize_t(p.code.size()), p.message.data(),
                          Py_ssize_t(p.message.size()), (unsigned long)n.start,
                          (unsigned long)n.end, (unsigned long)line, (unsigned long)column);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

PyObject* resultNodeCount(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(resultOf(self).nodes.size());
}

PyMethodDef resultMethods[] = {
    {"capsule", resultCapsule, METH_NOARGS,
     "A new \"nomos.analysis.v2\" capsule over this result."},
    {"symbol_count", resultSymbolCount, METH_NOARGS, "The number of symbols."},
    {"symbol", resultSymbol, METH_O,
     "(name, kind, declaring node, scope node, flags, references) of a symbol."},
    {"node_symbol", resultNodeSymbol, METH_O, "The symbol a node declares or refers to, or -1."},
    {"type_of", resultTypeOf, METH_O, "The type text of a node, or None."},
    {"problems", resultProblems, METH_NOARGS, "The name problems found, as tuples."},
    {"node_count", resultNodeCount, METH_NOARGS, "The number of nodes of the analysed tree."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot resultSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resultDealloc)},
    {Py_tp_methods, resultMethods},
    {Py_tp_doc, const_cast<char*>("The native result of one analysis.")},
    {0, nullptr},
};

// Only _analyze makes results: one made from Python would have no analysis behind it.
PyType_Spec resultSpec = {
    .name = "nomos._Result",
    .basicsize = int(sizeof(ResultObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = resultSlots,
};

void configFree(PyObject* capsule) {
    delete static_cast<analyze::Config*>(PyCapsule_GetPointer(capsule, configName));
}

// Reads a list of u8 values from a bytes object.
bool bytesInto(PyObject* obj, std::vector<uint8_t>& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
    out.assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + size);
    return true;
}

bool stringsInto(PyObject* list, std::vector<std::string>& out) {
    PyObject* seq = PySequence_Fast(list, "expected a list of str");
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(seq, i), &size);
        if (!s) {
            Py_DECREF(seq);
            return false;
        }
        out.emplace_back(s, size_t(size));
    }
    Py_DECREF(seq);
    return true;
}

// _config(kind_count, field_count, kind_flags, labels_of, decls, assigns, implicits, builtins,
//         undeclared_is_error, redeclare_is_error, literal_types, annotation_label, infer_label)
// decls: (kind, label, sub, symbol kind, enclosing, hoist, visible 0/1/2, from label) tuples;
// assigns: (kind, label, sub, symbol kind) tuples; implicits: (kind, label, name, symbol kind).
PyObject* makeConfig(PyObject*, PyObject* args) {
    unsigned int kindCount = 0, fieldCount = 0, annotation = 0, infer = 0;
    int undeclaredIsError = 0, redeclareIsError = 0;
    PyObject *flags, *labelsOf, *decls, *assigns, *implicits, *builtins, *literals;
    if (!PyArg_ParseTuple(args, "IISOOOOOppOII", &kindCount, &fieldCount, &flags, &labelsOf, &decls,
                          &assigns, &implicits, &builtins, &undeclaredIsError, &redeclareIsError,
                          &literals, &annotation, &infer))
        return nullptr;
    auto* config = new (std::nothrow) analyze::Config();
    if (!config) return PyErr_NoMemory();
    config->kindCount = kindCount;
    config->fieldCount = fieldCount;
    config->undeclaredIsError = undeclaredIsError;
    config->redeclareIsError = redeclareIsError;
    config->annotationLabel = annotation;
    config->inferLabel = infer;
    bool good = bytesInto(flags, config->kindFlags) && stringsInto(builtins, config->builtins) &&
                stringsInto(literals, config->literalTypes);
    PyObject* seq = good ? PySequence_Fast(labelsOf, "labels_of must be a list of bytes") : nullptr;
    if (seq) {
        for (Py_ssize_t i = 0; good && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            config->labelsOf.emplace_back();
            good = bytesInto(PySequence_Fast_GET_ITEM(seq, i), config->labelsOf.back());
        }
        Py_DECREF(seq);
    } else {
        good = false;
    }
    seq = good ? PySequence_Fast(decls, "decls must be a list") : nullptr;
    if (seq) {
        for (Py_ssize_t i = 0; good && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            analyze::Decl d;
            const char* kind = nullptr;
            Py_ssize_t kindSize = 0;
            int enclosing = 0, hoist = 0;
            unsigned int visible = 0;
            good = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "IIIs#ppII", &d.kind,
                                    &d.label, &d.sub, &kind, &kindSize, &enclosing, &hoist,
                                    &visible, &d.fromLabel);
            if (!good) break;
            d.symbolKind.assign(kind, size_t(kindSize));
            d.enclosing = enclosing;
            d.hoist = hoist;
            d.visible = visible == 1   ? analyze::Visible::after
                        : visible == 2 ? analyze::Visible::from
                                       : analyze::Visible::now;
            config->decls.push_back(std::move(d));
        }
        Py_DECREF(seq);
    } else {
        good = false;
    }
    seq = good ? PySequence_Fast(assigns, "assigns must be a list") : nullptr;
    if (seq) {
        for (Py_ssize_t i = 0; good && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            analyze::Assign a;
            const char* kind = nullptr;
            Py_ssize_t kindSize = 0;
            good = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "IIIs#", &a.kind, &a.label,
                                    &a.sub, &kind, &kindSize);
            if (good) {
                a.symbolKind.assign(kind, size_t(kindSize));
                config->assigns.push_back(std::move(a));
            }
        }
        Py_DECREF(seq);
    } else {
        good = false;
    }
    seq = good ? PySequence_Fast(implicits, "implicits must be a list") : nullptr;
    if (seq) {
        for (Py_ssize_t i = 0; good && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            analyze::Implicit im;
            const char *name = nullptr, *kind = nullptr;
            Py_ssize_t nameSize = 0, kindSize = 0;
            good = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "IIs#s#", &im.kind, &im.label,
                                    &name, &nameSize, &kind, &kindSize);
            if (good) {
                im.name.assign(name, size_t(nameSize));
                im.symbolKind.assign(kind, size_t(kindSize));
                config->implicits.push_back(std::move(im));
            }
        }
        Py_DECREF(seq);
    } else {
        good = false;
    }
    if (!good) {
        delete config;
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(config, configName, configFree);
    if (!capsule) delete config;
    return capsule;
}

// _analyze(config capsule, tree capsule, extra builtins) -> _Result; a tree that does not fit
// the rules' grammar raises ValueError.
PyObject* runAnalysis(PyObject*, PyObject* args) {
    PyObject *configCapsule, *treeCapsule, *extra;
    if (!PyArg_ParseTuple(args, "OOO", &configCapsule, &treeCapsule, &extra)) return nullptr;
    auto* config = static_cast<analyze::Config*>(PyCapsule_GetPointer(configCapsule, configName));
    if (!config) return nullptr;
    if (!PyCapsule_IsValid(treeCapsule, "pargo.tree.v1")) {
        PyErr_SetString(PyExc_TypeError, "analyze() takes a pargo tree (parser.parse_tree()'s)");
        return nullptr;
    }
    auto* tree = static_cast<const TreeRecord*>(PyCapsule_GetPointer(treeCapsule, "pargo.tree.v1"));
    if (!tree) return nullptr;
    if (tree->abi != pargo::layout::treeAbi) {
        PyErr_Format(PyExc_ValueError, "nomos reads pargo trees with ABI 1, this tree has %u",
                     tree->abi);
        return nullptr;
    }
    if (!tree->nodes && tree->nodeCount != 0) {
        PyErr_SetString(PyExc_ValueError, "the tree has no node array");
        return nullptr;
    }
    std::vector<std::string> extraBuiltins;
    if (!stringsInto(extra, extraBuiltins)) return nullptr;
    auto* self = PyObject_New(ResultObject, resultType);
    if (!self) return nullptr;
    self->result = new (std::nothrow) analyze::Result();
    if (!self->result) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    std::string detail;
    int status = analyze::run(*config, tree->nodes, tree->nodeCount, tree->text, tree->textLength,
                              extraBuiltins, *self->result, detail);
    if (status != analyze::ok) {
        Py_DECREF(self);
        PyErr_Format(PyExc_ValueError, "the tree doesn't fit these rules' grammar: %s",
                     detail.c_str());
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

PyObject* nomosVersion(PyObject*, PyObject*) { return PyUnicode_FromString(version::nomos); }

PyMethodDef methods[] = {
    {"version", nomosVersion, METH_NOARGS, "version()\n--\n\nThe package's version."},
    {"_config", makeConfig, METH_VARARGS, "Native tables of a rules description."},
    {"_analyze", runAnalysis, METH_VARARGS, "Analyse a tree capsule under a native config."},
    {nullptr, nullptr, 0, nullptr}};

// Runs face.py in the module's namespace: 0, or -1 with a Python exception.
int runFace(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    PyObject* code = Py_CompileString(nomos_face_py, "<nomos face>", Py_file_input);
    if (!code) return -1;
    PyObject* r = PyEval_EvalCode(code, ns, ns);
    Py_DECREF(code);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Makes _Result and adds it to the module: 0, or -1 with a Python exception.
int addResultType(PyObject* module) {
    PyObject* type = PyType_FromSpec(&resultSpec);
    if (!type) return -1;
    resultType = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "_Result", type);
}

// What the first successful start-up put in its module, for any later module object.
PyObject* startupNames = nullptr;

// Adds to a newly executed module every name start-up gave the first one that it lacks (its
// own functions and import attributes it has already): 0, or -1 with a Python exception.
int shareStartup(PyObject* module) {
    PyObject* names = PyModule_GetDict(module);  // borrowed
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(startupNames, &pos, &key, &value)) {
        int has = PyDict_Contains(names, key);
        if (has < 0 || (!has && PyDict_SetItem(names, key, value) < 0)) return -1;
    }
    return 0;
}

// The exec slot: 0, or -1 with a Python exception (the import then fails; what was made
// before the failing step stays made, and the next import starts over).
int moduleExec(PyObject* module) {
    if (startupNames) return shareStartup(module);
    if (addResultType(module) < 0 || runFace(module) < 0) return -1;
    startupNames = PyDict_Copy(PyModule_GetDict(module));
    return startupNames ? 0 : -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
#if PY_VERSION_HEX >= 0x030C0000
    // _Result and the face's objects are process-wide, shared by every module object.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Start-up's globals and the results' references have no locks of their own: they rely on
    // the interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "nomos",
    .m_doc = "Scope, symbol and type rules over pargo trees.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = moduleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace nomos

PyMODINIT_FUNC PyInit_nomos(void) { return PyModuleDef_Init(&nomos::moduleDef); }
