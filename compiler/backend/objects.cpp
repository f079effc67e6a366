// The compiler's compile-time memory and Python objects (see compile.h): the arena that shapes
// and records live in, the object list of what compiled code refers to, and the held list of
// the sources of compile-time containers.
#include "compiler/backend/compile.h"
#include "host/support/arena.h"

namespace wuna::compile {

void* take(Compiler* c, size_t size) {
    if (!c->arena) c->arena = arena::newArena();
    if (!c->arena) return nullptr;
    return arena::take(c->arena, size);
}

Status pinObject(Compiler* c, PyObject* object, uint32_t* index) {
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(object));
    if (uint32_t* there = c->objectIndex.find(key)) {
        if (index) *index = *there;
        return Status::ok;
    }
    uint32_t at = uint32_t(c->objects.count);
    if (c->objects.count >= UINT32_MAX || !c->objects.push(object)) return Status::outOfMemory;
    if (!c->objectIndex.put(key, at)) {
        c->objects.count--;
        return Status::outOfMemory;
    }
    Py_INCREF(object);
    if (index) *index = at;
    return Status::ok;
}

Status holdObject(Compiler* c, PyObject* object) {
    if (!c->held.push(object)) return Status::outOfMemory;
    Py_INCREF(object);
    return Status::ok;
}

}  // namespace wuna::compile
