// The Python types that stand for native things: wuna.List, wuna.Dict and wuna.Record show a
// list, dict or record block of compiled code without copying it, and wuna.Bytes is a
// read-only view of memory that Python owns.
//
// A proxy is a live view: changes made through it change the block that compiled code keeps
// using, and it sees every change compiled code makes. A block has at most one proxy at a
// time: the registry maps the block's address to its proxy and holds one reference to it,
// and the block's FlagProxy bit says it is registered, so converting the same list twice
// gives the same Python object. While native code holds the block the proxy holds no count
// of it; when the block's last native reference goes and Python still holds the proxy, the
// proxy takes the block over (ownsBlock) and frees it when Python drops the proxy. When
// native code takes such a block again (the proxy converted back into a value), the block
// is handed back and the registry holds the proxy again, so the two ways of ending stay one.
//
// Immortal blocks (constants of compiled code, values shared with threads) are read-only
// through a proxy: every mutator refuses them with TypeError (value::readOnlyText) instead
// of changing a value other code relies on.
//
// The types are made by the module's start-up from the specs here, into `types`; until then
// (and in a runtime linked without the module) no proxy can be made and conversion raises as
// if the layer were absent. Everything here runs under the interpreter lock, which also
// guards the registry.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::proxies {

// The proxy record of wuna.List, wuna.Dict and wuna.Record.
struct ProxyObject {
    PyObject_HEAD value::Obj* block;
    void* userData;                             // the maker's conversion user data
    PyObject* (*node)(void* userData, int64_t);  // and node callback
    PyObject* owner;                            // kept alive; may be null
    uint8_t ownsBlock;  // 1 once the proxy alone keeps the block (its count is then 0)
};

// The wuna.Bytes record. A view made through the buffer protocol holds the buffer (owner
// null); a slice or a view of a runtime bytes value holds its owner instead (view all zero).
struct BytesObject {
    PyObject_HEAD PyObject* owner;
    Py_buffer view;
    const uint8_t* data;  // never null: 1 stands for the data of an empty view
    uint64_t length;
    uint8_t writable;  // the memory can change under the view: it has no hash
};

struct Types {
    PyTypeObject* list;
    PyTypeObject* dict;
    PyTypeObject* record;
    PyTypeObject* bytes;
};
// Filled by the module's start-up (each member holds its own reference), null before.
extern Types types;

extern PyType_Spec listSpec;
extern PyType_Spec dictSpec;
extern PyType_Spec recordSpec;
extern PyType_Spec bytesSpec;

// The block's proxy for a list, dict or record value (one more reference when it exists);
// otherwise a new one registered with the context's user data, node callback and owner.
// New reference, or null with the exception (MemoryError when the registry can't grow).
[[nodiscard]] PyObject* make(value::Value v, const helpers::ConversionContext* cx);
// The registry's verdict for a block whose last native reference went away: true when the
// block is to be freed now (its proxy, if any, is gone); false when the proxy took it over.
// Under the interpreter lock. Cannot fail.
bool released(value::Obj* block);
// Whether a proxied block without native references must stay: its proxy owns it or Python
// holds the proxy. Under the interpreter lock. Cannot fail.
bool inUse(void* block);

// Whether o is exactly a wuna.Bytes.
inline bool isBytes(PyObject* o) { return types.bytes && Py_TYPE(o) == types.bytes; }
// wuna.Bytes(data) for one argument: data itself when it is a wuna.Bytes, else a new view
// over data's buffer. New reference, or null with the exception (the buffer protocol's).
[[nodiscard]] PyObject* bytesOf(PyObject* data);
// A wuna.Bytes over memory that owner keeps valid (one reference taken). New reference, or
// null with the exception.
[[nodiscard]] PyObject* bytesOver(PyObject* owner, const uint8_t* data, uint64_t length,
                                  bool writable);

// The arguments of a call into a program with every bytes, bytearray, memoryview or mmap
// among them replaced by a new wuna.Bytes over its buffer, so that compiled code gets them
// as views, without copying. New tuple, or null with the exception (a buffer's own error).
[[nodiscard]] PyObject* wrapData(PyObject* arguments);

// The text of a value in a proxy's repr. Joined later with the native str/repr of values;
// until then the value is converted and Python's repr() is asked. New reference, or null
// with the exception.
[[nodiscard]] PyObject* reprOf(value::Value v, const helpers::ConversionContext* cx);

}  // namespace wuna::proxies
