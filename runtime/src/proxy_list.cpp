// wuna.List: a list block of compiled code seen from Python (see wuna/runtime/proxies.h).
//
// Items go to Python through value::toPython and come in through value::convert. Anything
// that converts or compares can run Python, and Python can change the list through this
// same proxy meanwhile, so loops read the count again at every step, and a change is made
// whole (items moved, count set) before any old item is released: a release runs Python
// too (a finaliser, a proxy's end), and must find the list consistent.
#include <cstdlib>
#include <cstring>

#include "proxy_common.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/introspect.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::proxies {

namespace {

using value::List;
using value::Value;

List* listOf(PyObject* self) { return blockOf<List>(self); }

bool isListLike(PyObject* o) { return Py_TYPE(o) == types.list || PyList_Check(o); }

PyObject* itemFor(PyObject* self, uint64_t i) {
    helpers::ConversionContext cx = contextOf(self);
    return convert::toPython(listOf(self)->items[i], &cx);
}

// Stores v at i in place of the item there; the old item is released after the store.
void replaceItem(List* l, uint64_t i, Value v) {
    Value old = l->items[i];
    l->items[i] = v;
    value::noteItem(l, v.tag);
    value::decref(old);
}

void releaseValues(Value* values, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) value::decref(values[i]);
}

// A temporary array of values; the holder releases what it still holds.
struct Values {
    Value* items = nullptr;
    uint64_t count = 0;
    ~Values() {
        releaseValues(items, count);
        std::free(items);
    }
    bool reserve(uint64_t n) {
        if (!n) return true;
        items = static_cast<Value*>(std::calloc(size_t(n), sizeof(Value)));
        return items != nullptr;
    }
};

// Each item of the sequence converted, in a temporary array. 0, or -1 with the exception
// (nothing kept).
int convertAll(PyObject* fast, Values* out) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    if (!out->reserve(uint64_t(n))) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(fast); i++) {
        if (takeIn(PySequence_Fast_GET_ITEM(fast, i), &out->items[i]) < 0) return -1;
        out->count++;
    }
    return 0;
}

// Appends a converted item; the item's reference goes to the list, or is released.
int appendValue(List* l, Value v) {
    if (value::listAppend(l, v)) return 0;
    value::decref(v);
    PyErr_NoMemory();
    return -1;
}

int extendFrom(PyObject* self, PyObject* iterable) {
    PyObject* items = PySequence_List(iterable);
    if (!items) return -1;
    int result = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items) && result == 0; i++) {
        Value v;
        result = takeIn(PyList_GET_ITEM(items, i), &v);
        if (result == 0) result = appendValue(listOf(self), v);
    }
    Py_DECREF(items);
    return result;
}

// A new list block with room for n items, or null with MemoryError.
List* newBlock(uint64_t n) {
    List* l = value::newList(n);
    if (!l) PyErr_NoMemory();
    return l;
}

// Adds o's items to l: a wuna.List's values themselves (each with a new reference), any
// other sequence as extend takes it. 0, or -1 with the exception.
int addItemsOf(List* l, PyObject* o) {
    if (Py_TYPE(o) == types.list) {
        List* from = listOf(o);
        for (uint64_t i = 0; i < from->count; i++) {
            value::incref(from->items[i]);
            if (appendValue(l, from->items[i]) < 0) return -1;
        }
        return 0;
    }
    PyObject* items = PySequence_List(o);
    if (!items) return -1;
    int result = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items) && result == 0; i++) {
        Value v;
        result = takeIn(PyList_GET_ITEM(items, i), &v);
        if (result == 0) result = appendValue(l, v);
    }
    Py_DECREF(items);
    return result;
}

// i read as list.insert and list.pop read it: an index whose value leaves 64 bits is
// list's OverflowError, with list's text. 0, or -1 with the exception.
int positionArg(PyObject* o, Py_ssize_t* out) {
    PyObject* index = PyNumber_Index(o);
    if (!index) return -1;
    Py_ssize_t i = PyLong_AsSsize_t(index);
    Py_DECREF(index);
    if (i == -1 && PyErr_Occurred()) return -1;
    *out = i;
    return 0;
}

// ---- Slots --------------------------------------------------------------------------------------

PyObject* listItem(PyObject* self, Py_ssize_t i) {
    if (i < 0 || uint64_t(i) >= listOf(self)->count) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return itemFor(self, uint64_t(i));
}

void raiseBadIndexType(PyObject* key) {
    char name[129];
    size_t n = typeNameText(key, name);
    char text[200];
    static constexpr char head[] = "list indices must be integers or slices, not ";
    std::memcpy(text, head, sizeof head - 1);
    std::memcpy(text + sizeof head - 1, name, n);
    pyhelp::raiseText(PyExc_TypeError, text, sizeof head - 1 + n);
}

PyObject* listSubscript(PyObject* self, PyObject* key) {
    List* l = listOf(self);
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        Py_ssize_t n = PySlice_AdjustIndices(Py_ssize_t(l->count), &start, &stop, step);
        List* part = newBlock(uint64_t(n));
        if (!part) return nullptr;
        for (Py_ssize_t k = 0; k < n; k++) {
            Value v = l->items[start + k * step];
            value::incref(v);
            part->items[k] = v;
            part->count++;
            value::noteItem(part, v.tag);
        }
        helpers::ConversionContext cx = contextOf(self);
        return owningProxy(Value::of(value::TagList, part), &cx);
    }
    if (!PyIndex_Check(key)) {
        raiseBadIndexType(key);
        return nullptr;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0) i += Py_ssize_t(l->count);
    return listItem(self, i);
}

int assignItem(PyObject* self, PyObject* key, PyObject* item) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return -1;
    Value v = Value::none();
    // The value is converted before the index is checked against the count: converting can
    // change the list.
    if (item && takeIn(item, &v) < 0) return -1;
    List* l = listOf(self);
    if (i < 0) i += Py_ssize_t(l->count);
    if (i < 0 || uint64_t(i) >= l->count) {
        if (item) value::decref(v);
        PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
        return -1;
    }
    if (item) {
        replaceItem(l, uint64_t(i), v);
    } else {
        value::decref(value::listTake(l, uint64_t(i)));
    }
    return 0;
}

// Slice assignment with step 1: room for the result is reserved before anything is taken
// out, so a failure to grow leaves the list as it was.
int assignRun(List* l, Py_ssize_t start, Py_ssize_t n, Values* values) {
    uint64_t m = values->count;
    uint64_t count = l->count;
    if (!value::listReserve(l, count - uint64_t(n) + m)) {
        PyErr_NoMemory();
        return -1;
    }
    Values old;
    if (!old.reserve(uint64_t(n))) {
        PyErr_NoMemory();
        return -1;
    }
    // An insertion takes nothing out, and old has no array then.
    if (n) std::memcpy(old.items, l->items + start, size_t(n) * sizeof(Value));
    old.count = uint64_t(n);
    std::memmove(l->items + start + m, l->items + start + n,
                 size_t(count - uint64_t(start + n)) * sizeof(Value));
    for (uint64_t k = 0; k < m; k++) {
        l->items[uint64_t(start) + k] = values->items[k];
        value::noteItem(l, values->items[k].tag);
    }
    values->count = 0;  // the list holds them now
    l->count = count - uint64_t(n) + m;
    return 0;  // old releases the items taken out
}

int deleteExtended(List* l, Py_ssize_t start, Py_ssize_t step, Py_ssize_t n) {
    Values old;
    if (!old.reserve(uint64_t(n))) {
        PyErr_NoMemory();
        return -1;
    }
    // Positions in descending order, so that each removal leaves those still to come alone.
    for (Py_ssize_t k = 0; k < n; k++) {
        Py_ssize_t j = step > 0 ? n - 1 - k : k;
        old.items[old.count++] = value::listTake(l, uint64_t(start + j * step));
    }
    return 0;
}

int assignSlice(PyObject* self, PyObject* key, PyObject* item) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return -1;
    Values values;
    if (item) {
        // The running version's wording of list's own refusal.
        PyObject* fast = PySequence_Fast(item, runtime::interpreterMinor >= 13
                                                   ? "must assign iterable to extended slice"
                                                   : "can only assign an iterable");
        if (!fast) return -1;
        int converted = convertAll(fast, &values);
        Py_DECREF(fast);
        if (converted < 0) return -1;
    }
    // The slice is fitted to the count after the conversions, which may have changed it.
    List* l = listOf(self);
    Py_ssize_t n = PySlice_AdjustIndices(Py_ssize_t(l->count), &start, &stop, step);
    if (step == 1) return assignRun(l, start, n, &values);
    if (!item) return deleteExtended(l, start, step, n);
    if (values.count != uint64_t(n)) {
        char text[160];
        int length = snprintf(text, sizeof text,
                              "attempt to assign sequence of size %llu to extended slice of size "
                              "%zd",
                              (unsigned long long)values.count, n);
        pyhelp::raiseText(PyExc_ValueError, text, uint64_t(length));
        return -1;
    }
    Values old;
    if (!old.reserve(uint64_t(n))) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t k = 0; k < n; k++) {
        uint64_t at = uint64_t(start + k * step);
        old.items[old.count++] = l->items[at];
        l->items[at] = values.items[k];
        value::noteItem(l, values.items[k].tag);
    }
    values.count = 0;
    return 0;
}

int listAssSubscript(PyObject* self, PyObject* key, PyObject* item) {
    if (refuseReadOnly(self) < 0) return -1;
    if (PySlice_Check(key)) return assignSlice(self, key, item);
    if (!PyIndex_Check(key)) {
        raiseBadIndexType(key);
        return -1;
    }
    return assignItem(self, key, item);
}

// Whether item i equals x as Python compares them: 1, 0, or -1 with the exception.
int itemEquals(PyObject* self, uint64_t i, PyObject* x) {
    PyObject* item = itemFor(self, i);
    if (!item) return -1;
    int same = PyObject_RichCompareBool(item, x, Py_EQ);
    Py_DECREF(item);
    return same;
}

// The first position whose item equals x: >= 0, -2 when none does, -1 with the exception.
Py_ssize_t firstEqual(PyObject* self, PyObject* x) {
    for (uint64_t i = 0; i < listOf(self)->count; i++) {
        int same = itemEquals(self, i, x);
        if (same < 0) return -1;
        if (same) return Py_ssize_t(i);
    }
    return -2;
}

int listContains(PyObject* self, PyObject* x) {
    Py_ssize_t at = firstEqual(self, x);
    return at == -1 ? -1 : at >= 0;
}

PyObject* listAdd(PyObject* a, PyObject* b) {
    if (!isListLike(a) || !isListLike(b)) Py_RETURN_NOTIMPLEMENTED;
    List* l = newBlock(0);
    if (!l) return nullptr;
    Value v = Value::of(value::TagList, l);
    if (addItemsOf(l, a) < 0 || addItemsOf(l, b) < 0) {
        value::decref(v);
        return nullptr;
    }
    helpers::ConversionContext cx = contextOf(Py_TYPE(a) == types.list ? a : b);
    return owningProxy(v, &cx);
}

PyObject* listCopyMethod(PyObject* self, PyObject*);

PyObject* listConcat(PyObject* self, PyObject* other) {
    if (!isListLike(other)) {
        char name[129];
        size_t n = typeNameText(other, name);
        char text[200];
        int head = snprintf(text, sizeof text, "can only concatenate list (not \"");
        std::memcpy(text + head, name, n);
        static constexpr char tail[] = "\") to list";
        std::memcpy(text + head + n, tail, sizeof tail - 1);
        pyhelp::raiseText(PyExc_TypeError, text, uint64_t(head) + n + sizeof tail - 1);
        return nullptr;
    }
    PyObject* copy = listCopyMethod(self, nullptr);
    if (!copy) return nullptr;
    if (extendFrom(copy, other) < 0) {
        Py_DECREF(copy);
        return nullptr;
    }
    return copy;
}

PyObject* listInplaceConcat(PyObject* self, PyObject* other) {
    if (refuseReadOnly(self) < 0 || extendFrom(self, other) < 0) return nullptr;
    return Py_NewRef(self);
}

// += extends in place, as for a list: without this slot the interpreter would answer += with
// nb_add's new list and leave this one as it was.
PyObject* listInplaceAdd(PyObject* self, PyObject* other) {
    if (Py_TYPE(self) != types.list) Py_RETURN_NOTIMPLEMENTED;
    return listInplaceConcat(self, other);
}

PyObject* listRepeat(PyObject* self, Py_ssize_t n) {
    List* l = listOf(self);
    uint64_t times = n > 0 ? uint64_t(n) : 0;
    uint64_t count = l->count;
    if (count && times > (UINT64_MAX / sizeof(Value)) / count) return PyErr_NoMemory();
    List* r = newBlock(times * count);
    if (!r) return nullptr;
    for (uint64_t t = 0; t < times; t++)
        for (uint64_t i = 0; i < count; i++) {
            Value v = l->items[i];
            value::incref(v);
            r->items[r->count++] = v;
            value::noteItem(r, v.tag);
        }
    helpers::ConversionContext cx = contextOf(self);
    return owningProxy(Value::of(value::TagList, r), &cx);
}

// *= repeats in place, as for a list (without it the interpreter would answer with
// sq_repeat's new list).
PyObject* listInplaceRepeat(PyObject* self, Py_ssize_t n) {
    if (refuseReadOnly(self) < 0) return nullptr;
    List* l = listOf(self);
    if (n <= 0) {
        while (l->count) value::decref(value::listTake(l, l->count - 1));
        return Py_NewRef(self);
    }
    uint64_t count = l->count;
    if (count && uint64_t(n) > (UINT64_MAX / sizeof(Value)) / count) return PyErr_NoMemory();
    if (!value::listReserve(l, count * uint64_t(n))) return PyErr_NoMemory();
    for (Py_ssize_t t = 1; t < n; t++)
        for (uint64_t i = 0; i < count; i++) {
            value::incref(l->items[i]);
            l->items[l->count++] = l->items[i];
        }
    return Py_NewRef(self);
}

PyObject* listRepr(PyObject* self) { return proxyRepr(self, value::TagList, "[...]"); }

// ---- Methods ------------------------------------------------------------------------------------

PyObject* listAppendMethod(PyObject* self, PyObject* x) {
    if (refuseReadOnly(self) < 0) return nullptr;
    Value v;
    if (takeIn(x, &v) < 0 || appendValue(listOf(self), v) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* listExtendMethod(PyObject* self, PyObject* iterable) {
    if (refuseReadOnly(self) < 0 || extendFrom(self, iterable) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* listInsertMethod(PyObject* self, PyObject* args) {
    PyObject *where, *x;
    if (!PyArg_UnpackTuple(args, "insert", 2, 2, &where, &x)) return nullptr;
    if (refuseReadOnly(self) < 0) return nullptr;
    Py_ssize_t i;
    if (positionArg(where, &i) < 0) return nullptr;
    Value v;
    if (takeIn(x, &v) < 0) return nullptr;
    List* l = listOf(self);
    Py_ssize_t count = Py_ssize_t(l->count);
    if (i < 0) {
        i += count;
        if (i < 0) i = 0;
    }
    if (i > count) i = count;
    if (!value::listInsert(l, uint64_t(i), v)) {
        value::decref(v);
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* listPopMethod(PyObject* self, PyObject* args) {
    PyObject* where = nullptr;
    if (!PyArg_UnpackTuple(args, "pop", 0, 1, &where)) return nullptr;
    if (refuseReadOnly(self) < 0) return nullptr;
    if (!listOf(self)->count) {
        PyErr_SetString(PyExc_IndexError, "pop from empty list");
        return nullptr;
    }
    Py_ssize_t i = -1;
    if (where && positionArg(where, &i) < 0) return nullptr;
    List* l = listOf(self);
    if (i < 0) i += Py_ssize_t(l->count);
    if (i < 0 || uint64_t(i) >= l->count) {
        PyErr_SetString(PyExc_IndexError, "pop index out of range");
        return nullptr;
    }
    Value v = value::listTake(l, uint64_t(i));
    helpers::ConversionContext cx = contextOf(self);
    PyObject* o = convert::toPython(v, &cx);
    value::decref(v);
    return o;
}

PyObject* listRemoveMethod(PyObject* self, PyObject* x) {
    if (refuseReadOnly(self) < 0) return nullptr;
    Py_ssize_t at = firstEqual(self, x);
    if (at == -1) return nullptr;
    if (at == -2) {
        PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
        return nullptr;
    }
    value::decref(value::listTake(listOf(self), uint64_t(at)));
    Py_RETURN_NONE;
}

PyObject* listIndexMethod(PyObject* self, PyObject* x) {
    Py_ssize_t at = firstEqual(self, x);
    if (at >= 0) return PyLong_FromSsize_t(at);
    if (at == -1) return nullptr;
    PyObject* text = PyObject_Repr(x);
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_FromString("?");
        if (!text) return nullptr;
    }
    PyObject* message = PyUnicode_FromFormat("%U is not in list", text);
    Py_DECREF(text);
    PyObject* cut = message ? pyhelp::cutStr(message) : nullptr;
    Py_XDECREF(message);
    if (cut) PyErr_SetObject(PyExc_ValueError, cut);
    Py_XDECREF(cut);
    return nullptr;
}

PyObject* listCountMethod(PyObject* self, PyObject* x) {
    Py_ssize_t n = 0;
    for (uint64_t i = 0; i < listOf(self)->count; i++) {
        int same = itemEquals(self, i, x);
        if (same < 0) return nullptr;
        n += same;
    }
    return PyLong_FromSsize_t(n);
}

PyObject* listClearMethod(PyObject* self, PyObject*) {
    if (refuseReadOnly(self) < 0) return nullptr;
    List* l = listOf(self);
    while (l->count) value::decref(value::listTake(l, l->count - 1));
    Py_RETURN_NONE;
}

PyObject* listReverseMethod(PyObject* self, PyObject*) {
    if (refuseReadOnly(self) < 0) return nullptr;
    List* l = listOf(self);
    for (uint64_t i = 0, j = l->count; i + 1 < j; i++, j--) {
        Value t = l->items[i];
        l->items[i] = l->items[j - 1];
        l->items[j - 1] = t;
    }
    Py_RETURN_NONE;
}

PyObject* listCopyMethod(PyObject* self, PyObject*) {
    List* l = listOf(self);
    List* c = newBlock(l->count);
    if (!c) return nullptr;
    for (uint64_t i = 0; i < l->count; i++) {
        Value v = l->items[i];
        value::incref(v);
        c->items[c->count++] = v;
        value::noteItem(c, v.tag);
    }
    helpers::ConversionContext cx = contextOf(self);
    return owningProxy(Value::of(value::TagList, c), &cx);
}

// The Python copy sorted by list.sort, then stored back whole. A key function or comparison
// that changed the list's length meanwhile makes it an error, as list.sort makes it one.
PyObject* listSortMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (refuseReadOnly(self) < 0) return nullptr;
    helpers::ConversionContext cx = contextOf(self);
    PyObject* copy = listCopy(listOf(self), &cx);
    if (!copy) return nullptr;
    uint64_t count = uint64_t(PyList_GET_SIZE(copy));
    PyObject* sort = PyObject_GetAttrString(copy, "sort");
    PyObject* done = sort ? PyObject_Call(sort, args, kwargs) : nullptr;
    Py_XDECREF(sort);
    Values sorted;
    int result = done ? 0 : -1;
    Py_XDECREF(done);
    if (result == 0 && !sorted.reserve(count)) {
        PyErr_NoMemory();
        result = -1;
    }
    for (uint64_t i = 0; result == 0 && i < count; i++) {
        result = takeIn(PyList_GET_ITEM(copy, Py_ssize_t(i)), &sorted.items[i]);
        if (result == 0) sorted.count++;
    }
    Py_DECREF(copy);
    if (result < 0) return nullptr;
    List* l = listOf(self);
    if (l->count != count) {
        PyErr_SetString(PyExc_ValueError, "list modified during sort");
        return nullptr;
    }
    Values old;
    if (!old.reserve(count)) return PyErr_NoMemory();
    for (uint64_t i = 0; i < count; i++) {
        old.items[old.count++] = l->items[i];
        l->items[i] = sorted.items[i];
        value::noteItem(l, sorted.items[i].tag);
    }
    sorted.count = 0;
    Py_RETURN_NONE;
}

Py_hash_t listHash(PyObject*) {
    PyErr_SetString(PyExc_TypeError, "unhashable type: 'list'");
    return -1;
}

PyObject* listClass(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyList_Type)); }

PyMethodDef listMethods[] = {
    {"append", listAppendMethod, METH_O, nullptr},
    {"extend", listExtendMethod, METH_O, nullptr},
    {"insert", listInsertMethod, METH_VARARGS, nullptr},
    {"pop", listPopMethod, METH_VARARGS, nullptr},
    {"remove", listRemoveMethod, METH_O, nullptr},
    {"index", listIndexMethod, METH_O, nullptr},
    {"count", listCountMethod, METH_O, nullptr},
    {"clear", listClearMethod, METH_NOARGS, nullptr},
    {"reverse", listReverseMethod, METH_NOARGS, nullptr},
    {"copy", listCopyMethod, METH_NOARGS, nullptr},
    {"sort", withKeywords(listSortMethod),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef listGetSet[] = {
    {"__class__", listClass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot listSlots[] = {
    {Py_tp_dealloc, slot(proxyDealloc)},
    {Py_sq_length, slot(sharedLength)},
    {Py_mp_length, slot(sharedLength)},
    {Py_sq_item, slot(listItem)},
    {Py_mp_subscript, slot(listSubscript)},
    {Py_mp_ass_subscript, slot(listAssSubscript)},
    {Py_sq_contains, slot(listContains)},
    {Py_sq_concat, slot(listConcat)},
    {Py_nb_add, slot(listAdd)},
    {Py_nb_inplace_add, slot(listInplaceAdd)},
    {Py_sq_inplace_concat, slot(listInplaceConcat)},
    {Py_sq_repeat, slot(listRepeat)},
    {Py_sq_inplace_repeat, slot(listInplaceRepeat)},
    {Py_tp_iter, slot(PySeqIter_New)},
    {Py_tp_repr, slot(listRepr)},
    {Py_tp_richcompare, slot(sharedRichCompare)},
    {Py_tp_hash, slot(listHash)},
    {Py_tp_methods, listMethods},
    {Py_tp_getset, listGetSet},
    {Py_tp_doc,
     const_cast<char*>("A list of compiled code, shared with it (isinstance(x, list) is true).")},
    {0, nullptr},
};

}  // namespace

PyType_Spec listSpec = {"wuna.List", int(sizeof(ProxyObject)), 0, Py_TPFLAGS_DEFAULT, listSlots};

}  // namespace wuna::proxies
