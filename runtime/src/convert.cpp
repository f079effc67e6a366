// Conversion between values and Python objects, the record descriptions and the scripts the
// runtime runs. See convert.h.
#include "wuna/runtime/convert.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/bridge.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna::convert {

using value::Value;

// Where a report-mode run names its first crossing into Python.
constexpr gil::Location kToPython{"runtime", "runtime/src/convert.cpp", "toPython", 0, 0};
constexpr gil::Location kConvert{"runtime", "runtime/src/convert.cpp", "convert", 0, 0};
constexpr gil::Location kBigObject{"runtime", "runtime/src/convert.cpp", "bigObject", 0, 0};

Hooks hooks;

namespace {

// ---- The default context --------------------------------------------------------------

PyObject* defaultNode(void*, int64_t index) {
    helpers::Ctx* ctx = helpers::currentCtx();
    if (ctx && ctx->conversion.node) return ctx->conversion.node(ctx->conversion.userData, index);
    PyErr_SetString(PyExc_TypeError,
                    "a node kept in module state is only usable while its program runs");
    return nullptr;
}

const helpers::ConversionContext defaults{nullptr, defaultNode, nullptr, nullptr};

// The module's I64 type, borrowed (the module keeps it for the process), or null before the
// module is imported.
PyObject* i64Type() {
    static PyObject* found = nullptr;
    if (found) return found;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* wuna = modules ? PyDict_GetItemString(modules, "wuna") : nullptr;
    PyObject* type = wuna ? PyObject_GetAttrString(wuna, "I64") : nullptr;
    if (!type) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(type);
    if (PyType_Check(type)) found = type;
    return found;
}

// Recursion over nested values goes through the interpreter's own check, so that a value
// nested deeper than Python's limit fails as Python fails instead of exhausting the stack.
struct Nested {
    bool entered;
    explicit Nested(const char* where) : entered(Py_EnterRecursiveCall(where) == 0) {}
    ~Nested() {
        if (entered) Py_LeaveRecursiveCall();
    }
};

// ---- Values to Python -----------------------------------------------------------------

PyObject* tupleToPython(value::Tuple* t, const helpers::ConversionContext* cx) {
    Nested guard(" while converting a value to Python");
    if (!guard.entered) return nullptr;
    PyObject* tuple = PyTuple_New(Py_ssize_t(t->count));
    if (!tuple) return nullptr;
    for (uint64_t i = 0; i < t->count; i++) {
        PyObject* item = toPython(t->items()[i], cx);
        if (!item) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    return tuple;
}

PyObject* setToPython(value::Set* s, const helpers::ConversionContext* cx) {
    Nested guard(" while converting a value to Python");
    if (!guard.entered) return nullptr;
    PyObject* set = PySet_New(nullptr);
    if (!set || !s->table) return set;
    for (uint64_t i = 0; i <= s->mask; i++) {
        Value key = s->table[i].key;
        if (key.tag == value::TagDeleted || key.tag == value::TagUnset) continue;
        PyObject* item = toPython(key, cx);
        int added = item ? PySet_Add(set, item) : -1;
        Py_XDECREF(item);
        if (added < 0) {
            Py_DECREF(set);
            return nullptr;
        }
    }
    return set;
}

int setAttribute(PyObject* o, const char* name, Value v, const helpers::ConversionContext* cx) {
    PyObject* item = toPython(v, cx);
    int done = item ? PyObject_SetAttrString(o, name, item) : -1;
    Py_XDECREF(item);
    return done;
}

PyObject* excToPython(value::Exc* e, const helpers::ConversionContext* cx) {
    Nested guard(" while converting a value to Python");
    if (!guard.entered) return nullptr;
    errors::Kind kind = errors::Kind(e->kind);
    if (kind == errors::Kind::Error && e->message.tag == value::TagStr && cx->error) {
        value::Str* m = e->message.as<value::Str>();
        return cx->error(cx->userData, e->site, reinterpret_cast<const char*>(m->bytes()),
                         m->length);
    }
    PyObject* cls = errors::pyClass(kind);
    if (!cls) {
        char text[128];
        std::string_view name = errors::name(kind);
        int n = snprintf(text, sizeof text, "wuna: the class of %.*s wasn't found",
                         int(name.size()), name.data());
        pyhelp::raiseText(PyExc_RuntimeError, text, uint64_t(n));
        return nullptr;
    }
    PyObject* args = toPython(e->args, cx);
    if (!args) return nullptr;
    PyObject* o =
        PyTuple_Check(args) ? PyObject_Call(cls, args, nullptr) : PyObject_CallOneArg(cls, args);
    Py_DECREF(args);
    if (!o) return nullptr;
    if (kind == errors::Kind::ParseError && e->value.tag == value::TagTuple) {
        value::Tuple* t = e->value.as<value::Tuple>();
        static const char* const names[] = {"line", "column", "offset", "message"};
        for (uint64_t i = 0; i < 4 && i < t->count; i++)
            if (setAttribute(o, names[i], t->items()[i], cx) < 0) {
                Py_DECREF(o);
                return nullptr;
            }
    }
    if (e->cause.tag != value::TagNone) {
        PyObject* cause = toPython(e->cause, cx);
        if (!cause) {
            Py_DECREF(o);
            return nullptr;
        }
        if (!PyExceptionInstance_Check(o)) {
            Py_DECREF(cause);
            return o;
        }
        PyException_SetCause(o, cause);  // takes the reference
    }
    return o;
}

PyObject* bytesToPython(value::Bytes* b) {
    const char* data = reinterpret_cast<const char*>(b->data);
    if (b->h.flags & value::FlagImmutable) {
        PyObject* owner = b->owner;
        if (owner && PyBytes_CheckExact(owner) && PyBytes_AS_STRING(owner) == data &&
            uint64_t(PyBytes_GET_SIZE(owner)) == b->length)
            return Py_NewRef(owner);
        return PyBytes_FromStringAndSize(data, Py_ssize_t(b->length));
    }
    if (hooks.bytesView) return hooks.bytesView(b);
    return PyBytes_FromStringAndSize(data, Py_ssize_t(b->length));
}

PyObject* strToPython(value::Str* s) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s->bytes()), Py_ssize_t(s->length),
                                "replace");
}

}  // namespace

const helpers::ConversionContext* defaultContext() { return &defaults; }

PyObject* bigObject(value::i128 v) {
    value::claimLock(&kBigObject);
    char text[value::kWideDigits + 1];
    size_t n = value::printWide(text, v);
    text[n] = 0;
    return PyLong_FromString(text, nullptr, 10);
}

int intBits(PyObject* o, value::i128* out) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (small == -1 && PyErr_Occurred()) return -1;
    if (!overflow) {
        *out = small;
        return 1;
    }
    // o = hi * 2**64 + lo with lo the low 64 bits: o fits 128 bits exactly when hi fits 64.
    PyObject* shift = PyLong_FromLong(64);
    PyObject* high = shift ? PyNumber_Rshift(o, shift) : nullptr;
    Py_XDECREF(shift);
    if (!high) return -1;
    long long hi = PyLong_AsLongLongAndOverflow(high, &overflow);
    Py_DECREF(high);
    if (hi == -1 && PyErr_Occurred()) return -1;
    if (overflow) return 0;
    PyObject* mask = PyLong_FromUnsignedLongLong(~0ull);
    PyObject* low = mask ? PyNumber_And(o, mask) : nullptr;
    Py_XDECREF(mask);
    if (!low) return -1;
    unsigned long long lo = PyLong_AsUnsignedLongLong(low);
    Py_DECREF(low);
    if (lo == ~0ull && PyErr_Occurred()) return -1;
    *out = value::i128((unsigned __int128)(uint64_t(hi)) << 64 | lo);
    return 1;
}

PyObject* toPython(Value v, const helpers::ConversionContext* cx) {
    if (!cx) cx = &defaults;
    value::claimLock(&kToPython);
    // An rt value keeps its scope in the tag word's high half.
    uint64_t tag = uint32_t(v.tag) == value::TagRuntime ? uint64_t(value::TagRuntime) : v.tag;
    switch (tag) {
    case value::TagNone: return Py_NewRef(Py_None);
    case value::TagBool: return PyBool_FromLong(long(v.payload != 0));
    case value::TagInt:
        return bridge::checkedIntResult(PyLong_FromLongLong((long long)int64_t(v.payload)));
    case value::TagPint: return PyLong_FromLongLong((long long)int64_t(v.payload));
    case value::TagFloat: {
        double d;
        std::memcpy(&d, &v.payload, 8);
        return PyFloat_FromDouble(d);
    }
    case value::TagStr: return strToPython(v.as<value::Str>());
    case value::TagList:
    case value::TagDict:
    case value::TagRecord:
        if (hooks.makeProxy) return hooks.makeProxy(v, cx);
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: lists, dicts and records can't be shown to Python in this build");
        return nullptr;
    case value::TagTuple: return tupleToPython(v.as<value::Tuple>(), cx);
    case value::TagFunction:
        if (hooks.function) return hooks.function(v.as<value::Function>(), cx);
        PyErr_SetString(PyExc_TypeError, "a function can't be given to Python in this build");
        return nullptr;
    case value::TagPy: return Py_NewRef(v.as<PyObject>());
    case value::TagNodeIndex:
        if (cx->node) return cx->node(cx->userData, int64_t(v.payload));
        return defaultNode(nullptr, int64_t(v.payload));
    case value::TagRuntime:
        if (hooks.runtime) return hooks.runtime(v);
        PyErr_SetString(PyExc_RuntimeError, "an rt outside the run it belongs to");
        return nullptr;
    case value::TagBig: return bigObject(v.as<value::Big>()->get());
    case value::TagBytes: return bytesToPython(v.as<value::Bytes>());
    case value::TagClosure:
        if (hooks.closure) return hooks.closure(v.as<value::Closure>(), cx);
        PyErr_SetString(PyExc_TypeError,
                        "a function compiled code made (a lambda, a nested def) "
                        "can't be given to Python");
        return nullptr;
    case value::TagSet: return setToPython(v.as<value::Set>(), cx);
    case value::TagExc: return excToPython(v.as<value::Exc>(), cx);
    case value::TagNode:
        if (hooks.treeNode) return hooks.treeNode(v.as<value::Node>());
        PyErr_SetString(PyExc_TypeError,
                        "a node of a parsed tree can't be given to Python in "
                        "this build");
        return nullptr;
    default: PyErr_SetString(PyExc_TypeError, "an unknown value"); return nullptr;
    }
}

// ---- Python objects to values ------------------------------------------------------------

namespace {

inline bool deepItem(bool deep, PyObject* item) { return deep && Py_REFCNT(item) == 1; }

int tupleOf(PyObject* o, bool deep, Value* out) {
    Nested guard(" while converting a Python object");
    if (!guard.entered) return -1;
    Py_ssize_t n = PyTuple_GET_SIZE(o);
    value::Tuple* t = value::newTuple(uint64_t(n));
    if (!t) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyTuple_GET_ITEM(o, i);
        if (convert(item, deepItem(deep, item), &t->items()[i]) < 0) {
            t->items()[i] = Value::none();
            value::decref(Value::of(value::TagTuple, t));
            return -1;
        }
    }
    *out = Value::of(value::TagTuple, t);
    return 0;
}

int listOf(PyObject* o, Value* out) {
    Nested guard(" while converting a Python object");
    if (!guard.entered) return -1;
    Py_ssize_t n = PyList_GET_SIZE(o);
    value::List* l = value::newList(uint64_t(n));
    if (!l) {
        PyErr_NoMemory();
        return -1;
    }
    Value list = Value::of(value::TagList, l);
    // The list may change under a conversion that runs Python (none does today, but the
    // size is read again each time so that a shrinking list is never read past its end).
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); i++) {
        PyObject* item = PyList_GET_ITEM(o, i);
        Value v;
        if (convert(item, deepItem(true, item), &v) < 0) {
            value::decref(list);
            return -1;
        }
        if (!value::listAppend(l, v)) {
            value::decref(v);
            value::decref(list);
            PyErr_NoMemory();
            return -1;
        }
    }
    *out = list;
    return 0;
}

int dictOf(PyObject* o, Value* out) {
    Nested guard(" while converting a Python object");
    if (!guard.entered) return -1;
    value::Dict* d = value::newDict();
    if (!d) {
        PyErr_NoMemory();
        return -1;
    }
    Value dict = Value::of(value::TagDict, d);
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (PyDict_Next(o, &position, &key, &item)) {
        Value k, v;
        if (convert(key, deepItem(true, key), &k) < 0) {
            value::decref(dict);
            return -1;
        }
        if (convert(item, deepItem(true, item), &v) < 0) {
            value::decref(k);
            value::decref(dict);
            return -1;
        }
        bool stored = value::dictSet(d, k, v);
        value::decref(k);
        value::decref(v);
        if (!stored) {
            value::decref(dict);
            PyErr_NoMemory();
            return -1;
        }
    }
    *out = dict;
    return 0;
}

int pythonValue(PyObject* o, Value* out) {
    Py_INCREF(o);
    *out = Value::of(value::TagPy, o);
    return 0;
}

// Rule for exact ints and I64s: 1 done, 0 too big for a native int, -1 with the exception.
int intOf(PyObject* o, bool checked, Value* out) {
    value::i128 wide;
    int fits = intBits(o, &wide);
    if (fits <= 0) return fits;
    if (wide >= INT64_MIN && wide <= INT64_MAX) {
        *out = checked ? Value::integer(int64_t(wide)) : Value::pint(int64_t(wide));
        return 1;
    }
    value::Big* b = value::newBig(wide);
    if (!b) {
        PyErr_NoMemory();
        return -1;
    }
    *out = Value::of(value::TagBig, b);
    return 1;
}

}  // namespace

int convert(PyObject* o, bool deep, Value* out) {
    value::claimLock(&kConvert);
    if (o == Py_None) {
        *out = Value::none();
        return 0;
    }
    if (hooks.unwrapProxy && hooks.unwrapProxy(o, out)) return 0;
    if (o == Py_True || o == Py_False) {
        *out = Value::boolean(o == Py_True);
        return 0;
    }
    if (PyBytes_CheckExact(o)) {
        value::Bytes* b =
            value::newBytesView(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o)),
                                uint64_t(PyBytes_GET_SIZE(o)), o);
        if (!b) {
            PyErr_NoMemory();
            return -1;
        }
        b->h.flags |= value::FlagImmutable;
        *out = Value::of(value::TagBytes, b);
        return 0;
    }
    PyObject* i64 = i64Type();
    bool isI64 = i64 && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(i64);
    if (PyLong_CheckExact(o) || isI64) {
        int done = intOf(o, isI64, out);
        if (done) return done < 0 ? -1 : 0;
        return pythonValue(o, out);
    }
    if (PyFloat_CheckExact(o)) {
        *out = Value::real(PyFloat_AS_DOUBLE(o));
        return 0;
    }
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &length);
        if (!text) {
            // Lone surrogates have no UTF-8: such a str stays a Python object.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            PyErr_Clear();
            return pythonValue(o, out);
        }
        value::Str* s = value::newStr(text, size_t(length));
        if (!s) {
            PyErr_NoMemory();
            return -1;
        }
        *out = Value::of(value::TagStr, s);
        return 0;
    }
    if (PyTuple_CheckExact(o)) return tupleOf(o, deep, out);
    if (deep && PyList_CheckExact(o)) return listOf(o, out);
    if (deep && PyDict_CheckExact(o)) return dictOf(o, out);
    if (hooks.bytesValue) {
        int taken = hooks.bytesValue(o, out);
        if (taken) return taken < 0 ? -1 : 0;
    }
    if (hooks.hostValue) {
        int taken = hooks.hostValue(o, out);
        if (taken) return taken < 0 ? -1 : 0;
    }
    return pythonValue(o, out);
}

// ---- Texts and scripts ---------------------------------------------------------------------

const char* strArg(PyObject* o, const char* name, Py_ssize_t* length) {
    if (PyUnicode_Check(o)) return PyUnicode_AsUTF8AndSize(o, length);
    char text[pyhelp::kMessageBuffer];
    size_t n = std::strlen(name);
    static constexpr char tail[] = " must be a str";
    if (n > sizeof text - sizeof tail) n = sizeof text - sizeof tail;
    std::memcpy(text, name, n);
    std::memcpy(text + n, tail, sizeof tail - 1);
    pyhelp::raiseText(PyExc_TypeError, text, n + sizeof tail - 1);
    return nullptr;
}

PyObject* runScript(const char* source) {
    PyObject* globals = PyDict_New();
    if (!globals) return nullptr;
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
        Py_DECREF(globals);
        return nullptr;
    }
    PyObject* code = Py_CompileString(source, "<wuna>", Py_file_input);
    PyObject* result = code ? PyEval_EvalCode(code, globals, globals) : nullptr;
    Py_XDECREF(code);
    if (!result) {
        Py_DECREF(globals);
        return nullptr;
    }
    Py_DECREF(result);
    return globals;
}

// ---- Record classes ------------------------------------------------------------------------

namespace {

// The script that decides which classes compiled code keeps as records. Native equality,
// hashing and truth of records use their fields, so a class whose own __eq__, __hash__,
// __bool__ or __len__ would answer differently is refused; dataclass-made __eq__ and
// __hash__ are recognised by their generated code (made inside dataclasses' __create_fn__).
constexpr char kRecordScript[] = R"PY(
import dataclasses

_ALLOWED = frozenset((
    '__module__', '__qualname__', '__doc__', '__slots__', '__init__', '__repr__', '__str__',
    '__annotations__', '__match_args__', '__firstlineno__', '__static_attributes__',
))
_NATIVE = ('__eq__', '__hash__', '__bool__', '__len__')


def _full_name(cls):
    if cls.__module__ in ('builtins', '__main__'):
        return cls.__qualname__
    return cls.__module__ + '.' + cls.__qualname__


def _generated(fn):
    code = getattr(fn, '__code__', None)
    if code is None:
        return False
    qualname = getattr(code, 'co_qualname', None)
    if qualname is not None:
        return qualname.startswith('__create_fn__.')
    # Before 3.11 only the place tells: dataclasses runs 'def __create_fn__(...):' with the
    # method on the second line of a '<string>'. A method of a class run from a string is
    # almost never there.
    return code.co_filename == '<string>' and code.co_firstlineno == 2


def _own_native_methods(cls):
    for klass in cls.__mro__[:-1]:
        own = klass.__dict__
        for name in _NATIVE:
            if name not in own:
                continue
            fn = own[name]
            if name == '__hash__' and fn is None:
                continue
            if name in ('__eq__', '__hash__') and dataclasses.is_dataclass(klass) \
                    and _generated(fn):
                continue
            return True
    return False


def _mangle(cls, name):
    if name.startswith('__') and not name.endswith('__'):
        return '_' + cls.__name__.lstrip('_') + name
    return name


def describe(cls):
    if type(cls) is not type:
        return None
    mro = cls.__mro__
    if mro[-1] is not object or len(cls.__bases__) != 1:
        return None
    base = cls.__bases__[0]
    if dataclasses.is_dataclass(cls):
        params = cls.__dataclass_params__
        if params.order or '__post_init__' in dir(cls):
            return None
        if _own_native_methods(cls):
            return None
        names = tuple(f.name for f in dataclasses.fields(cls))
        return (names, False, bool(params.eq), bool(params.frozen),
                base if dataclasses.is_dataclass(base) else None, _full_name(cls))
    names = []
    for klass in reversed(mro[:-1]):
        own = klass.__dict__
        if '__slots__' not in own:
            return None
        slots = own['__slots__']
        if isinstance(slots, str):
            slots = (slots,)
        for name in slots:
            if name in ('__dict__', '__weakref__'):
                return None
            names.append(_mangle(klass, name))
        for name in own:
            if name.startswith('__') and name.endswith('__') and name not in _ALLOWED:
                return None
    return (tuple(names), True, False, False, None if base is object else base,
            _full_name(cls))
)PY";

PyObject* describeFunction = nullptr;
std::unordered_map<PyObject*, value::RecordClass*>* descriptions = nullptr;
PyObject* notRecords = nullptr;  // a set of the classes known not to be record classes

bool copyText(PyObject* o, const char* name, value::Text* out) {
    Py_ssize_t length = 0;
    const char* text = strArg(o, name, &length);
    if (!text) return false;
    char* copy = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (!copy) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(copy, text, size_t(length));
    copy[length] = 0;
    *out = {copy, uint64_t(length)};
    return true;
}

void freeDescription(value::RecordClass* d) {
    if (!d) return;
    std::free(const_cast<char*>(d->name.data));
    if (d->fullName.data != d->name.data) std::free(const_cast<char*>(d->fullName.data));
    for (uint64_t i = 0; d->fields && i < d->fieldCount; i++)
        std::free(const_cast<char*>(d->fields[i].data));
    std::free(d->fields);
    Py_XDECREF(d->pyClass);
    std::free(d);
}

Described notRecord(PyObject* cls) {
    if (PySet_Add(notRecords, cls) < 0) return Described::Failed;
    return Described::NotRecord;
}

bool loadDescribe() {
    if (describeFunction) return true;
    if (!notRecords && !(notRecords = PySet_New(nullptr))) return false;
    if (!descriptions)
        descriptions = new (std::nothrow) std::unordered_map<PyObject*, value::RecordClass*>();
    if (!descriptions) {
        PyErr_NoMemory();
        return false;
    }
    PyObject* globals = runScript(kRecordScript);
    if (!globals) return false;
    PyObject* fn = PyDict_GetItemString(globals, "describe");
    describeFunction = Py_XNewRef(fn);
    Py_DECREF(globals);
    if (!describeFunction)
        PyErr_SetString(PyExc_RuntimeError, "wuna: the record script has no describe");
    return describeFunction != nullptr;
}

// Fills d from describe's answer (fields, slots, eq, frozen, base, full name).
bool fill(value::RecordClass* d, PyObject* cls, PyObject* answer, value::RecordClass* base) {
    PyObject* names = PyTuple_GET_ITEM(answer, 0);
    Py_ssize_t n = PyTuple_Check(names) ? PyTuple_GET_SIZE(names) : -1;
    if (n < 0) {
        PyErr_SetString(PyExc_TypeError, "wuna: the record script answered no field names");
        return false;
    }
    d->fields = static_cast<value::Text*>(std::calloc(size_t(n) + 1, sizeof(value::Text)));
    if (!d->fields) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!copyText(PyTuple_GET_ITEM(names, i), "field", &d->fields[i])) return false;
        d->fieldCount = uint64_t(i + 1);
    }
    PyObject* name = PyObject_GetAttrString(cls, "__name__");
    bool named = name && copyText(name, "name", &d->name);
    Py_XDECREF(name);
    if (!named) return false;
    if (PY_VERSION_HEX >= 0x030D0000) {
        if (!copyText(PyTuple_GET_ITEM(answer, 5), "name", &d->fullName)) return false;
    } else {
        d->fullName = d->name;
    }
    d->pyClass = Py_NewRef(cls);
    d->base = base;
    d->slots = uint8_t(PyObject_IsTrue(PyTuple_GET_ITEM(answer, 1)) == 1);
    d->eq = uint8_t(PyObject_IsTrue(PyTuple_GET_ITEM(answer, 2)) == 1);
    d->frozen = uint8_t(PyObject_IsTrue(PyTuple_GET_ITEM(answer, 3)) == 1);
    return true;
}

}  // namespace

Described describeClass(PyObject* cls, value::RecordClass** out) {
    gil::ensure(gil::current());
    if (!loadDescribe()) return Described::Failed;
    auto found = descriptions->find(cls);
    if (found != descriptions->end()) {
        *out = found->second;
        return Described::Record;
    }
    int known = PySet_Contains(notRecords, cls);
    if (known < 0) return Described::Failed;
    if (known) return Described::NotRecord;
    PyObject* answer = PyObject_CallOneArg(describeFunction, cls);
    if (!answer) return Described::Failed;
    if (answer == Py_None) {
        Py_DECREF(answer);
        return notRecord(cls);
    }
    if (!PyTuple_Check(answer) || PyTuple_GET_SIZE(answer) != 6) {
        Py_DECREF(answer);
        PyErr_SetString(PyExc_TypeError, "wuna: the record script answered no description");
        return Described::Failed;
    }
    value::RecordClass* base = nullptr;
    PyObject* baseClass = PyTuple_GET_ITEM(answer, 4);
    if (baseClass != Py_None) {
        // A class and its bases are few (one base each); the recursion is as deep as the MRO.
        Described b = describeClass(baseClass, &base);
        if (b != Described::Record) {
            Py_DECREF(answer);
            return b == Described::Failed ? b : notRecord(cls);
        }
    }
    auto* d = static_cast<value::RecordClass*>(std::calloc(1, sizeof(value::RecordClass)));
    if (!d) {
        Py_DECREF(answer);
        PyErr_NoMemory();
        return Described::Failed;
    }
    bool filled = fill(d, cls, answer, base);
    Py_DECREF(answer);
    if (!filled) {
        freeDescription(d);
        return Described::Failed;
    }
    // describe ran Python, which could have described this class meanwhile (a metaclass or
    // a field's __set_name__ calling back): the first description stays.
    found = descriptions->find(cls);
    if (found != descriptions->end()) {
        freeDescription(d);
        *out = found->second;
        return Described::Record;
    }
    descriptions->emplace(cls, d);
    *out = d;
    return Described::Record;
}

namespace {

// hash() of the tuple of a comparing record's fields as Python objects: what a dataclass that
// compares and is frozen answers, so a record and its Python counterpart hash alike.
bool recordPyHash(value::Record* r, int64_t* out) {
    uint64_t count = r->cls->fieldCount;
    PyObject* fields = PyTuple_New(Py_ssize_t(count));
    if (!fields) return false;
    for (uint64_t i = 0; i < count; i++) {
        PyObject* field = toPython(r->fields()[i], defaultContext());
        if (!field) {
            Py_DECREF(fields);
            return false;
        }
        PyTuple_SET_ITEM(fields, Py_ssize_t(i), field);
    }
    Py_hash_t h = PyObject_Hash(fields);
    Py_DECREF(fields);
    if (h == -1 && PyErr_Occurred()) return false;
    *out = int64_t(h);
    return true;
}

[[maybe_unused]] const bool installed = (value::services.recordPyHash = recordPyHash, true);

}  // namespace

}  // namespace wuna::convert
