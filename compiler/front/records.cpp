// Record classes while compiling (see records.h).
#include "compiler/front/records.h"

#include "compiler/backend/compile.h"
#include "wuna/runtime/convert.h"

namespace wuna::compile {

namespace {

// A Status that stands for a finished message: unsupported, unless writing it failed.
Status written(Status s) { return s == Status::ok ? Status::unsupported : s; }

// The field's dataclasses.Field in the class's __dataclass_fields__: a new reference in *out,
// or null when the class has no such field.
Status fieldObject(PyObject* cls, const value::Text& name, PyObject** out) {
    *out = nullptr;
    PyObject* fields = PyObject_GetAttrString(cls, "__dataclass_fields__");
    if (!fields) return Status::pythonError;
    PyObject* key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), "replace");
    if (!key) {
        Py_DECREF(fields);
        return Status::pythonError;
    }
    // A mapping of any kind: the lookup may run Python code, which is why the class and
    // description are not read again afterwards, only the answer.
    PyObject* field = PyObject_GetItem(fields, key);
    Py_DECREF(key);
    Py_DECREF(fields);
    if (!field) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Status::pythonError;
        PyErr_Clear();
        return Status::ok;
    }
    *out = field;
    return Status::ok;
}

// dataclasses.MISSING: a new reference, or null with the exception.
PyObject* missingMarker() {
    PyObject* module = PyImport_ImportModule("dataclasses");
    if (!module) return nullptr;
    PyObject* missing = PyObject_GetAttrString(module, "MISSING");
    Py_DECREF(module);
    return missing;
}

}  // namespace

Status recordClassOf(Compiler* c, PyObject* cls, value::RecordClass** out) {
    *out = nullptr;
    value::RecordClass* description = nullptr;
    switch (convert::describeClass(cls, &description)) {
    case convert::Described::NotRecord:
        return Status::ok;
    case convert::Described::Failed:
        return Status::pythonError;
    case convert::Described::Record:
        break;
    }
    if (Status s = pinObject(c, cls, nullptr); s != Status::ok) return s;
    *out = description;
    return Status::ok;
}

Status recordFieldDefault(Compiler* c, const FactoryCall& factoryCall, const ErrorSite& site,
                          PyObject* cls, const value::RecordClass& description, uint64_t index,
                          Shape* out) {
    const value::Text& name = description.fields[index];
    PyObject* field = nullptr;
    if (Status s = fieldObject(cls, name, &field); s != Status::ok) return s;
    if (!field) return recordFieldMissing(c, site, description.name, name);
    PyObject* missing = missingMarker();
    PyObject* value = missing ? PyObject_GetAttrString(field, "default") : nullptr;
    PyObject* factory = nullptr;
    if (value && value == missing) factory = PyObject_GetAttrString(field, "default_factory");
    Py_DECREF(field);
    Status s = Status::ok;
    if (!value || (value == missing && !factory)) {
        s = Status::pythonError;
    } else if (value != missing) {
        s = fromPython(c, value, out);
    } else if (factory == missing) {
        s = recordFieldMissing(c, site, description.name, name);
    } else {
        s = pinObject(c, factory, nullptr);
        if (s == Status::ok) s = factoryCall.lower(factoryCall.user, factory, site.position, out);
    }
    Py_XDECREF(factory);
    Py_XDECREF(value);
    Py_XDECREF(missing);
    return s;
}

Status recordArityMessage(Compiler* c, const ErrorSite& site, const value::Text& className,
                          uint64_t fields, uint64_t given) {
    Status s = beginError(&c->message, site);
    if (s == Status::ok) s = appendText(&c->message, className.data, size_t(className.length));
    if (s == Status::ok) s = appendText(&c->message, "() takes ");
    if (s == Status::ok) s = appendDecimal(&c->message, fields);
    if (s == Status::ok) s = appendText(&c->message, " fields, given ");
    if (s == Status::ok) s = appendDecimal(&c->message, given);
    return written(s);
}

Status recordFieldMissing(Compiler* c, const ErrorSite& site, const value::Text& className,
                          const value::Text& field) {
    Status s = beginError(&c->message, site);
    if (s == Status::ok) s = appendText(&c->message, className.data, size_t(className.length));
    if (s == Status::ok) s = appendText(&c->message, "() missing its field ");
    if (s == Status::ok) s = appendText(&c->message, field.data, size_t(field.length));
    return written(s);
}

}  // namespace wuna::compile
