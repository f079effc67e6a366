// What the files of the call lowering share among themselves (the entries other groups call
// are in lower.h): the compile-error writer of calls, the live temporaries' mark, the
// builtins looked up by identity, the gathered positional arguments of a call, and the
// builtin roads taken at the call site.
//
// Failure contract as in lower.h: ok; outOfMemory; unsupported with the compile-error text in
// the compiler's message buffer; pythonError with a Python exception pending. Everything runs
// under the interpreter lock on the compiling thread.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/codegen/lower.h"

namespace wuna::compile::calls {

// Writes "<location prefix at the semantic and position><before><name><after>" (name and
// after may be absent) and returns unsupported (outOfMemory when the text can't be written).
[[nodiscard]] Status callError(Emitter* e, Semantic* s, front::Position at, const char* before,
                               front::Text name = front::Text{nullptr, 0},
                               const char* after = nullptr);

// Appends a shape to the live temporaries: ok or outOfMemory.
[[nodiscard]] Status keepLive(Emitter* e, const Shape& shape);

// Cuts the live temporaries back to their length at a call's entry, on every way out.
struct LiveMark {
    Emitter* e;
    uint64_t count;
    explicit LiveMark(Emitter* emitter) : e(emitter), count(emitter->temporaries.count) {}
    void cut() const {
        if (e->temporaries.count > count) e->temporaries.count = count;
    }
    ~LiveMark() { cut(); }
};

// Whether o is the builtin of that name (looked up now; a failed lookup is no match and
// leaves no error). Cannot fail.
bool isBuiltinNamed(PyObject* o, const char* name);

// The positional arguments of a call as gathered: shapes, or (once a starred argument known
// only at run time was met) a run-time list holding them all.
struct Gathered {
    backend::List<Shape> shapes;  // when !runTime
    Operand list;                 // when runTime: known kind list, owned
    bool runTime;
    void free() { shapes.free(); }
};

// Compiles the positional arguments in source order (Part of the call lowering: starred
// arguments known while compiling spread, others gathered into a run-time list). A generator
// expression goes to drainedGenerator with the callee (null when not known while compiling).
// Every value is added to the live temporaries.
[[nodiscard]] Status gatherArguments(Emitter* e, Semantic* s, const front::ExprList& arguments,
                                     PyObject* callee, front::Position at, Gathered* out);

// print(...) when its keywords allow it: *handled false leaves the call to the keyword
// binding (nothing compiled then).
[[nodiscard]] Status tryPrint(Emitter* e, Semantic* s, const front::KeywordList& keywords,
                              Gathered* args, const LiveMark& live, bool* handled, Shape* out);
// sorted(x, key=, reverse=) with its one argument.
[[nodiscard]] Status lowerSortedCall(Emitter* e, Semantic* s, const front::KeywordList& keywords,
                                     Shape* items, const LiveMark& live, front::Position at,
                                     Shape* out);
// o.sort(key=, reverse=).
[[nodiscard]] Status lowerSortMethod(Emitter* e, Semantic* s, Shape* receiver,
                                     const front::KeywordList& keywords, const LiveMark& live,
                                     front::Position at, Shape* out);
// len(s.encode()) / all(g) / any(g): *handled false when the call is not of that form (nothing
// compiled then).
[[nodiscard]] Status tryOneArgumentBuiltin(Emitter* e, Semantic* s, PyObject* callee,
                                           const front::Expr* argument, const LiveMark& live,
                                           front::Position at, bool* handled, Shape* out);

// What a consumer does with a generator expression given to it: nothing at once (it may keep
// the generator, or stop early), drains it into a list (list, tuple, set, sum, sorted, min,
// max, and str.join), or reads it only up to the first deciding element (any, all).
enum class GeneratorUse : uint8_t { kept = 0, list = 1, any = 2, all = 3 };
// callee: the callee known while compiling, or null; method: the name of a method called on a
// str known while compiling, or null. Cannot fail.
GeneratorUse generatorUse(PyObject* callee, const char* method);
// A generator expression argument as its consumer uses it: the list of its items, or the bool
// of any()/all(); refused when the consumer may keep it (the semantic runs as Python).
[[nodiscard]] Status drainedGenerator(Emitter* e, Semantic* s, const front::Expr* generator,
                                      PyObject* callee, const char* method, Shape* out);

// Keyword binding of a call whose positional arguments are shapes: Python functions,
// dataclass records, int.from_bytes; rt methods' receiver=, code= and rt.parse slots. On ok
// the call is complete in *out.
// live: the call's mark, cut before the call is emitted.
[[nodiscard]] Status bindKeywords(Emitter* e, Semantic* s, Shape* callee, Shape* args,
                                  uint64_t count, const front::KeywordList& keywords,
                                  const LiveMark& live, front::Position at, Shape* out);
// A Python function's parameters bound by name: keyword values compiled in order (values
// null) or given (consumed), defaults filled in, then the planned call.
[[nodiscard]] Status bindFunction(Emitter* e, Semantic* s, front::FunctionIR* f, Shape* args,
                                  uint64_t count, const front::Keyword* keywords,
                                  uint64_t keywordCount, Shape* values, const LiveMark* live,
                                  front::Position at, Shape* out);
// The final dispatch of a call without keywords (or with the rt keywords bound): rt methods,
// Python objects, run-time values; any other callee is a compile error.
[[nodiscard]] Status dispatchCall(Emitter* e, Semantic* s, Shape* callee, Shape* args,
                                  uint64_t count, Shape* receiver, Shape* parseSlots,
                                  uint8_t parseSet, front::Position at, Shape* out);

// A call of a Python object known while compiling, without keywords: a bound method of a
// Python function as the function with its self, a Python function as the planner plans it,
// a record class, len and isinstance, and anything else through Python at run time.
[[nodiscard]] Status lowerCall(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                               uint64_t count, front::Position at, Shape* out);

// A runtime helper called where the builder is, then a branch to join: *ok the helper's
// result and *end the block that branches (a helper call may add blocks).
[[nodiscard]] Status helperThen(Emitter* e, const char* name, llvmapi::ValueRef* args,
                                unsigned count, llvmapi::BasicBlockRef join,
                                llvmapi::ValueRef* ok, llvmapi::BasicBlockRef* end);
// A phi of n incoming values (value i from block i) at the builder's place. Cannot fail.
llvmapi::ValueRef phiOf(Emitter* e, llvmapi::TypeRef type, llvmapi::ValueRef* values,
                        llvmapi::BasicBlockRef* from, unsigned n);
// The tag with the int tag 18 made the plain int tag 2. Cannot fail.
llvmapi::ValueRef plainIntTag(Emitter* e, llvmapi::ValueRef tag);

// The rt.parse slot names, in slot order.
inline constexpr const char* kParseSlots[4] = {"grammar", "text", "start", "recover"};

}  // namespace wuna::compile::calls
