// Python functions called from compiled code (see pyfunc.h), and wn_specialize.
#include "wuna/runtime/helpers/pyfunc.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/value.h"

namespace wuna::bridge {

using helpers::Ctx;
using value::Value;

// One cache entry, immutable once published.
struct CodeEntry {
    PyObject* key;
    uint64_t n;
    uint64_t mask;
    void* code;  // null: the function cannot be compiled
};

struct CodeTable {
    uint64_t capacity;  // a power of two
    uint64_t count;     // written under the lock only
    CodeTable* retired;
    std::atomic<CodeEntry*> slots[1];  // capacity slots
};

namespace {

constexpr gil::Location kCompiledMethodAt{"runtime", "bridge", "compiledMethod", 1045, 18};
constexpr gil::Location kCompiledCallAt{"runtime", "bridge", "compiledCall", 924, 26};

// A function takes at most 62 arguments, a bound method's function 63 with its self.
constexpr uint64_t kMaxArguments = 63;
constexpr char kCallJump[] =
    "rt.Return, rt.Break or rt.Continue raised out of a function called with rt.call";

// The registry of uncompiled functions: {function: reason}, insertion-ordered.
PyObject* registry = nullptr;

uint64_t codeHash(PyObject* key, uint64_t n, uint64_t mask) {
    uint64_t h = (uint64_t(uintptr_t(key)) >> 4) * 0x9E3779B97F4A7C15ull;
    h ^= n * 0xBF58476D1CE4E5B9ull;
    h ^= mask * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

CodeTable* newTable(uint64_t capacity) {
    size_t size = sizeof(CodeTable) + (capacity - 1) * sizeof(std::atomic<CodeEntry*>);
    auto* t = static_cast<CodeTable*>(std::calloc(1, size));
    if (t) t->capacity = capacity;
    return t;
}

// The entry of the key, or null; safe without the lock (see pyfunc.h).
CodeEntry* findCode(ModuleTables* tables, PyObject* key, uint64_t n, uint64_t mask) {
    CodeTable* t = tables->codes.load(std::memory_order_acquire);
    if (!t) return nullptr;
    uint64_t m = t->capacity - 1;
    for (uint64_t i = codeHash(key, n, mask) & m;; i = (i + 1) & m) {
        CodeEntry* e = t->slots[i].load(std::memory_order_acquire);
        if (!e) return nullptr;
        if (e->key == key && e->n == n && e->mask == mask) return e;
    }
}

void placeEntry(CodeTable* t, CodeEntry* e) {
    uint64_t m = t->capacity - 1;
    uint64_t i = codeHash(e->key, e->n, e->mask) & m;
    while (t->slots[i].load(std::memory_order_relaxed)) i = (i + 1) & m;
    // The entry is whole before its pointer is stored.
    t->slots[i].store(e, std::memory_order_release);
    t->count++;
}

// Publishes an entry (the lock held). False when memory runs out.
bool addCode(ModuleTables* tables, CodeEntry* e) {
    CodeTable* t = tables->codes.load(std::memory_order_relaxed);
    if (!t || (t->count + 1) * 5 > t->capacity * 4) {
        CodeTable* bigger = newTable(t ? t->capacity * 2 : 16);
        if (!bigger) return false;
        for (uint64_t i = 0; t && i < t->capacity; i++)
            if (CodeEntry* old = t->slots[i].load(std::memory_order_relaxed))
                placeEntry(bigger, old);
        if (t) {
            // Readers may still walk the old table: it lives until the module is freed.
            t->retired = tables->retired;
            tables->retired = t;
        }
        tables->codes.store(bigger, std::memory_order_release);
        t = bigger;
    }
    placeEntry(t, e);
    return true;
}

// Holds the key object for the module's life. False with the exception.
bool keep(ModuleTables* tables, PyObject* key) {
    if (!tables->kept && !(tables->kept = PyList_New(0))) return false;
    return PyList_Append(tables->kept, key) == 0;
}

// The mask of record-method entries: rt masks have bits below kMaxArguments only.
constexpr uint64_t kRecordMethodMask = uint64_t(1) << 63;
static_assert(kMaxArguments <= 63);

}  // namespace

bool cachedRecordMethod(ModuleTables* tables, const value::RecordClass* cls,
                        const value::Str* name, PyObject** f) {
    // The description's address is the key object: descriptions live as long as the process.
    CodeEntry* e = findCode(tables, reinterpret_cast<PyObject*>(const_cast<value::RecordClass*>(cls)),
                            uint64_t(uintptr_t(name)), kRecordMethodMask);
    if (!e) return false;
    *f = static_cast<PyObject*>(e->code);
    return true;
}

void cacheRecordMethod(ModuleTables* tables, const value::RecordClass* cls,
                       const value::Str* name, PyObject* f) {
    auto* e = static_cast<CodeEntry*>(std::malloc(sizeof(CodeEntry)));
    // The function is held before its address goes into the cache.
    if (!e || (f && !keep(tables, f))) {
        std::free(e);
        PyErr_Clear();
        return;
    }
    *e = {reinterpret_cast<PyObject*>(const_cast<value::RecordClass*>(cls)),
          uint64_t(uintptr_t(name)), kRecordMethodMask, f};
    if (!addCode(tables, e)) std::free(e);
}

void freeCodes(ModuleTables* tables) {
    CodeTable* t = tables->codes.exchange(nullptr);
    for (uint64_t i = 0; t && i < t->capacity; i++)
        std::free(t->slots[i].load(std::memory_order_relaxed));
    std::free(t);
    while (CodeTable* old = tables->retired) {
        tables->retired = old->retired;
        std::free(old);
    }
    Py_CLEAR(tables->kept);
}

void noteNotCompiled(PyObject* f, const char* reason, size_t length) {
    if (!registry && !(registry = PyDict_New())) {
        PyErr_Clear();
        return;
    }
    PyObject* text = PyUnicode_DecodeUTF8(reason, Py_ssize_t(length), "replace");
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_FromStringAndSize("", 0);
    }
    if (!text || PyDict_SetItem(registry, f, text) < 0) PyErr_Clear();
    Py_XDECREF(text);
}

PyObject* uncompiledFunctions() { return registry; }

PyObject* whyPython(const PyObject* f) {
    // Identity only: f may be an address whose object is gone, which hashing would read. A
    // key of the registry is held by it, so a match is a live object.
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* why = nullptr;
    while (f && registry && PyDict_Next(registry, &at, &key, &why))
        if (key == f) return why;
    return nullptr;
}

void tallyPythonFunction(Ctx* ctx, const char* name, size_t length) {
    if (!reporting(ctx)) return;
    TallyText text;
    text.add("python function ");
    text.add(name, length);
    countCrossing(ctx, text);
}

void* pythonCode(Ctx* ctx, PyObject* f, uint64_t n, uint64_t mask, bool closure) {
    ModuleTables* tables = ctx->run->tables;
    PyObject* code = PyObject_GetAttrString(f, "__code__");
    if (!code) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* key = closure ? code : f;
    if (CodeEntry* e = findCode(tables, key, n, mask)) {
        Py_DECREF(code);
        return e->code;
    }
    void* compiled = nullptr;
    if (compilerApi.python) {
        char reason[257];
        size_t length = 0;
        compiled = compilerApi.python(ctx->run->module, f, n, mask, closure, reason, &length);
        if (!compiled) noteNotCompiled(f, reason, length < sizeof reason ? length : 256);
        PyErr_Clear();
    }
    auto* e = static_cast<CodeEntry*>(std::malloc(sizeof(CodeEntry)));
    // The key is held before its address goes into the cache: no later object can have it.
    if (e && keep(tables, key)) {
        *e = {key, n, mask, compiled};
        if (!addCode(tables, e)) std::free(e);
    } else {
        std::free(e);
        PyErr_Clear();
    }
    Py_DECREF(code);
    return compiled;
}

void* siteCode(Ctx* ctx, PyObject* f, uint64_t n) {
    if (!ctx->run || !ctx->run->tables || n > kMaxArguments) return nullptr;
    // Read without the lock, as compiledCall reads them: the function is the module's own
    // object, held by it.
    if (Py_TYPE(f) != &PyFunction_Type || PyFunction_GET_CLOSURE(f) != nullptr) return nullptr;
    if (CodeEntry* e = findCode(ctx->run->tables, f, n, 0)) return e->code;
    gil::Record* r = gil::enter();
    void* code = pythonCode(ctx, f, n, 0, false);
    gil::leave(r);
    return code;
}

Offer compiledCall(Ctx* ctx, int32_t site, PyObject* f, const Value* args, uint64_t n, bool host,
                   Value* out) {
    if (!ctx->run || !ctx->run->tables || n > kMaxArguments) return {false, false};
    if (Py_TYPE(f) != &PyFunction_Type) return {false, false};
    Value array[kMaxArguments + 2];
    uint64_t count = 0;
    uint64_t mask = 0;
    void* rt = nullptr;
    uint32_t rtDetail = 0;
    for (uint64_t i = 0; i < n; i++) {
        Value v = args[i];
        if (uint32_t(v.tag) == value::TagRuntime) {
            mask |= uint64_t(1) << i;
            rt = reinterpret_cast<void*>(uintptr_t(v.payload));
            rtDetail = uint32_t(v.tag >> 32);
            continue;
        }
        if (host && v.tag == value::TagPint) v.tag = value::TagInt;
        array[count++] = v;
    }
    // Read without the lock (see pyfunc.h): a function with free variables is keyed by its
    // code object.
    bool closure = PyFunction_GET_CLOSURE(f) != nullptr;
    PyObject* key = closure ? PyFunction_GET_CODE(f) : f;
    void* code = nullptr;
    if (CodeEntry* e = findCode(ctx->run->tables, key, n, mask)) {
        code = e->code;
    } else {
        gil::Record* r = gil::enter();
        PyObject* cells = PyObject_GetAttrString(f, "__closure__");
        if (!cells) {
            PyErr_Clear();
            gil::leave(r);
            return {false, false};
        }
        closure = cells != Py_None;
        Py_DECREF(cells);
        code = pythonCode(ctx, f, n, mask, closure);
        gil::leave(r);
    }
    if (!code) {
        if (reporting(ctx)) {
            helpers::claimAt(&kCompiledCallAt, site, f);
            char name[kTallyText];
            size_t length = helpers::pyName(f, "__qualname__", name, sizeof name, "?");
            tallyPythonFunction(ctx, name, length);
        }
        return {false, false};
    }
    if (closure) array[count++] = Value::of(value::TagPy, f);
    Value got = Value::none();
    int32_t result =
        reinterpret_cast<PythonCode>(code)(ctx, rt, array, site, rtDetail, nullptr, nullptr, &got);
    if (result == 1) {
        if (host && got.tag == value::TagPint) got.tag = value::TagInt;
        *out = got;
        return {true, true};
    }
    if (result == 0) {
        if (host) helpers::hostCodeFailed(ctx, f);
    } else {
        helpers::fail(ctx, site, kCallJump, sizeof kCallJump - 1);
    }
    return {false, true};
}

Offer compiledMethod(Ctx* ctx, int32_t site, PyObject* f, const Value* args, uint64_t n,
                     bool host, Value* out) {
    if (n >= kMaxArguments) return {false, false};
    if (!PyMethod_Check(f)) return compiledCall(ctx, site, f, args, n, host, out);
    helpers::claimAt(&kCompiledMethodAt, site, f);
    PyObject* function = PyMethod_GET_FUNCTION(f);
    Value self = Value::none();
    if (convert::convert(PyMethod_GET_SELF(f), false, &self) < 0) {
        PyErr_Clear();
        return {false, false};
    }
    Py_INCREF(function);
    Value array[kMaxArguments + 1];
    array[0] = self;
    for (uint64_t i = 0; i < n; i++) array[i + 1] = args[i];
    Offer offer = compiledCall(ctx, site, function, array, n + 1, host, out);
    value::decref(self);
    Py_DECREF(function);
    return offer;
}

}  // namespace wuna::bridge

extern "C" void wn_specialize(void* c, int64_t site) {
    auto* ctx = static_cast<wuna::helpers::Ctx*>(c);
    wuna::gil::Record* r = wuna::gil::enter();
    if (wuna::bridge::compilerApi.specialize && ctx->run)
        wuna::bridge::compilerApi.specialize(ctx->run->module, site);
    PyErr_Clear();
    wuna::gil::leave(r);
}
