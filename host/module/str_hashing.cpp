// String-hashing set-up (see module/str_hashing.h). The key is read from the interpreter's own
// symbol table through the dynamic loader; nothing of the interpreter is written.
#include "host/module/str_hashing.h"

#include "host/support/python.h"

#include <dlfcn.h>

#include <cstring>

#include "wuna/runtime/set.h"

namespace wuna::host {

namespace {

struct Algorithm {
    const char* name;
    uint8_t rounds;
};
const Algorithm sipAlgorithms[] = {{"siphash24", 1}, {"siphash13", 2}};

// The rounds for the interpreter's algorithm, 0 when the runtime cannot hash as it does or
// the facts could not be read (a Python exception may then be pending).
uint8_t readRounds() {
    uint8_t rounds = 0;
    PyObject* sys = PyImport_ImportModule("sys");
    if (!sys) return 0;
    PyObject* info = PyObject_GetAttrString(sys, "hash_info");
    PyObject* algorithm = info ? PyObject_GetAttrString(info, "algorithm") : nullptr;
    PyObject* cutoff = algorithm ? PyObject_GetAttrString(info, "cutoff") : nullptr;
    if (cutoff) {
        long n = PyLong_AsLong(cutoff);
        const char* text = n == 0 ? PyUnicode_AsUTF8(algorithm) : nullptr;
        if (text)
            for (const Algorithm& a : sipAlgorithms)
                if (std::strcmp(text, a.name) == 0) rounds = a.rounds;
    }
    Py_XDECREF(cutoff);
    Py_XDECREF(algorithm);
    Py_XDECREF(info);
    Py_DECREF(sys);
    return rounds;
}

}  // namespace

void setupStrHashing() {
    Py_hash_t none = PyObject_Hash(Py_None);
    if (none == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    set::noneHash = none;
    uint8_t rounds = readRounds();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    if (!rounds) return;
    void* self = dlopen(nullptr, RTLD_LAZY);
    void* secret = self ? dlsym(self, "_Py_HashSecret") : nullptr;
    if (!secret) return;
    std::memcpy(set::hashKey, secret, sizeof set::hashKey);
    set::sip_rounds = rounds;
}

}  // namespace wuna::host
