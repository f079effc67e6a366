// What the proxy types share (see wuna/runtime/proxies.h): the conversion context a proxy
// hands values to Python with, taking Python objects in, the Python copies of a list and a
// dict, the slots wuna.List and wuna.Dict have in common, and the texts they compose.
#pragma once
#include "wuna/runtime/proxies.h"

#include <initializer_list>
#include <string_view>

#include "wuna/runtime/value.h"

namespace wuna::proxies {

inline ProxyObject* asProxy(PyObject* o) { return reinterpret_cast<ProxyObject*>(o); }
template <class B>
inline B* blockOf(PyObject* o) {
    return reinterpret_cast<B*>(asProxy(o)->block);
}

// The conversion context of values the proxy hands to Python: its user data, node callback
// and owner, no error callback. Cannot fail.
helpers::ConversionContext contextOf(PyObject* proxy);

// A Python object as a value to store (one reference in *out): value::convert, deep exactly
// when the caller holds the only reference. 0, or -1 with the exception.
[[nodiscard]] int takeIn(PyObject* o, value::Value* out);

// A new proxy that owns its block: v's own reference is given up once the proxy is made
// (also when making it failed). New reference, or null with the exception.
[[nodiscard]] PyObject* owningProxy(value::Value v, const helpers::ConversionContext* cx);

// The Python list of a list block's items / dict of a dict block's entries, each item
// converted for Python. New reference, or null with the exception.
[[nodiscard]] PyObject* listCopy(value::List* l, const helpers::ConversionContext* cx);
[[nodiscard]] PyObject* dictCopy(value::Dict* d, const helpers::ConversionContext* cx);

// TypeError for a mutator of an immortal block: -1 when refused (the exception set), else 0.
[[nodiscard]] int refuseReadOnly(PyObject* proxy);

// Writes the __name__ of o's type, at most 128 bytes ("object" when it cannot be read), into
// buf (129 bytes) with a NUL; the length. Clears any error of the reading.
size_t typeNameText(PyObject* o, char* buf);

// A Python failure noted by native equality or hashing (value::faulted) raised now: true
// with the exception set, false when nothing was noted.
bool raiseNoted();

// The repr of a list or dict proxy (tag), or marker when it is already being printed. New
// reference, or null with the exception.
[[nodiscard]] PyObject* proxyRepr(PyObject* self, uint64_t tag, const char* marker);

// Slots wuna.List and wuna.Dict share, and the end of all three proxy types.
Py_ssize_t sharedLength(PyObject* self);
PyObject* sharedRichCompare(PyObject* a, PyObject* b, int op);
void proxyDealloc(PyObject* self);

// A slot function as a type specification takes it.
template <class F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}
// A method taking keywords as a method table takes it.
inline PyCFunction withKeywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Raises cls with the texts joined (cut as pyhelp::raiseText cuts). Cannot fail beyond
// setting MemoryError instead.
void raiseJoined(PyObject* cls, std::initializer_list<std::string_view> parts);

}  // namespace wuna::proxies
