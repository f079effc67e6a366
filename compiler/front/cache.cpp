// The front cache and the compiler's way to it.
#include "compiler/front/cache.h"

#include "compiler/backend/compile.h"
#include "compiler/front/front.h"

namespace wuna::front {

FunctionIR* cachedFront(const Cache& cache, PyObject* fn) {
    FunctionIR* const* found = cache.map.find(fn);
    return found ? *found : nullptr;
}

Status enterFront(Cache& cache, PyObject* fn, FunctionIR* ir) {
    if (cache.map.put(fn, ir)) return Status::ok;
    freeFunction(ir);
    return Status::outOfMemory;
}

void clearFronts(Cache& cache) {
    // Taken out first: freeing a reading releases Python objects, which may run any code.
    idmap::IdMap<FunctionIR*> map = cache.map;
    cache.map = {};
    map.forEach([](const void*, FunctionIR* ir) { freeFunction(ir); });
    map.clear();
}

Status keepReason(compile::Compiler* c, const char* text, size_t length) {
    c->message.clear();
    for (size_t i = 0; i < length; i++)
        if (!c->message.push(text[i])) return Status::outOfMemory;
    return Status::ok;
}

Status frontOf(compile::Compiler* c, PyObject* fn, FunctionIR** out) {
    *out = nullptr;
    if (c->frontCache) *out = cachedFront(*c->frontCache, fn);
    if (*out) return Status::ok;
    Failure failure{};
    FunctionIR* ir = nullptr;
    Status s = lowerFunction(&ir, fn, &failure);
    if (s == Status::unsupported) {
        Status kept = keepReason(c, failure.text, size_t(failure.length));
        return kept == Status::ok ? Status::unsupported : kept;
    }
    if (s != Status::ok) return s;
    if (!c->frontCache) {
        // A compiler without a language keeps nothing: the reading has nowhere to live.
        static constexpr char kNoCache[] = "wuna: a compiler without a front cache (a wuna bug)";
        freeFunction(ir);
        Status kept = keepReason(c, kNoCache, sizeof kNoCache - 1);
        return kept == Status::ok ? Status::unsupported : kept;
    }
    // Reading ran Python code, which may have read fn through this cache already.
    if (FunctionIR* known = cachedFront(*c->frontCache, fn)) {
        freeFunction(ir);
        *out = known;
        return Status::ok;
    }
    if (Status entered = enterFront(*c->frontCache, fn, ir); entered != Status::ok) return entered;
    *out = ir;
    return Status::ok;
}

}  // namespace wuna::front
