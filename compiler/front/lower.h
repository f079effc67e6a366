// The lowering context and the steps of the front end that share it.
//
// One Lowering lives on the stack of the step that reads a function; a nested function gets a
// context of its own linked to its parent's. Every allocation goes to the arena of the
// outermost context (arenaOf), so one arena holds the whole reading. The syntax tree is read
// through the Python attribute API only, and a node is known by its class's __name__.
//
// Every step returns a Status: ok; outOfMemory; unsupported, with the reason and position
// written into the shared Failure record (only the first refusal of a reading is written,
// and it ends the reading); or pythonError, with a Python exception pending. Nodes made before
// a failure stay in the arena, which the front entry frees.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "compiler/front/ir.h"
#include "compiler/front/script.h"
#include "wuna/runtime/status.h"

namespace wuna::front {

// A growable array in the arena: growing copies into a larger piece (the old one stays in the
// arena until it is freed). push is false when memory runs out.
template <typename T>
struct Growing {
    T* items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;

    bool push(Arena& arena, const T& item) {
        if (count == capacity) {
            uint32_t grown = capacity ? capacity * 2 : 8;
            T* moved = takeArray<T>(arena, grown);
            if (!moved) return false;
            for (uint32_t i = 0; i < count; i++) moved[i] = items[i];
            items = moved;
            capacity = grown;
        }
        items[count++] = item;
        return true;
    }
    List<T> list() const { return List<T>{items, count}; }
};

// A comprehension variable in scope.
struct ScopedName {
    Text name;
    uint32_t local;
};

struct Lowering;

// A nested function that code can call by name.
struct NestedDef {
    Text name;
    FunctionIR* function;
    uint64_t paramCount;  // its own parameters
    List<Text> captured;
    // The context the def was read in. Code can call the def only from that function or from
    // functions nested in it, whose contexts are lowered on top of it: it is alive then.
    const Lowering* definer;
};

struct Lowering {
    Arena arena;  // used only by the outermost context
    Failure* failure;
    Growing<Text> locals;
    Growing<ScopedName> scoped;  // searched from the top before the locals
    Lowering* parent;            // null for the outermost
    Growing<NestedDef> visibleDefs;
    PyObject* function;  // the outermost Python function (borrowed)
    Text fileName;
    Growing<Text> defNames;
    Growing<FunctionIR*> nested;
    Text qualname;
    Growing<Text> globals;
    Growing<Text> nonlocals;
    uint32_t lineBase;
    uint32_t columnBase;
    uint32_t exprCount;
    uint32_t depth;  // syntax nesting being lowered now, bounded to spare the native stack
    // Locals only a comprehension binds: found through scoped while it is in scope, never by
    // the plain search of locals (after it, the name is the function's or a global again).
    Growing<uint32_t> comprehensionLocals;
    // A nested function's names taken from the functions around it (their slots follow the
    // unnamed one); empty for the outermost.
    List<Text> captured;
    // How many if, loop or try bodies the statement being lowered is in: a def there may or
    // may not run.
    uint32_t blockDepth;
};

// The function that owns the variable a name means in context: the nearest one out from it
// that has the name as a local of its own (not one it captured). Null when the name is a
// global there.
const Lowering* variableOwner(const Lowering& context, Text name);

// --- Context and node reading (read.cpp) ---

// One owned reference, dropped when it goes out of scope.
struct Owned {
    PyObject* object = nullptr;
    Owned() = default;
    explicit Owned(PyObject* o) : object(o) {}
    ~Owned() { Py_XDECREF(object); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

// The attribute as a Python list (new reference in *out). ok or pythonError.
Status listAttr(PyObject* node, const char* name, Owned* out);

// The arena of the outermost context.
Arena& arenaOf(Lowering& lowering);

// A zeroed expression node of that kind and position, counted in the context's node count.
// ok or outOfMemory.
Status newExpr(Lowering& lowering, ExprKind kind, Position position, Expr** out);

// An integer attribute of a node: fallback when absent or None. ok, or pythonError (not an
// int, or does not fit 64 bits).
Status intAttr(PyObject* node, const char* name, int64_t fallback, int64_t* out);

// The position of a syntax node from its lineno and col_offset with the context's bases.
// ok or pythonError.
Status nodePosition(Lowering& lowering, PyObject* node, Position* out);

// Scoped names from the top, then the locals from index 0. Adds nothing.
bool findLocal(const Lowering& lowering, Text name, uint32_t* out);
// The function's own variable of that name, whatever comprehension is in scope. Adds nothing.
bool findFunctionLocal(const Lowering& lowering, Text name, uint32_t* out);

// Whether two texts hold the same bytes.
bool sameText(Text a, Text b);

// Whether names holds name (byte for byte).
bool hasName(List<Text> names, Text name);
inline bool hasName(const Growing<Text>& names, Text name) { return hasName(names.list(), name); }

// A str attribute copied into the arena; TypeError "<name> must be a str" otherwise. ok,
// outOfMemory or pythonError.
Status nameAttr(Lowering& lowering, PyObject* node, const char* name, Text* out);

// A str copied into the arena; TypeError "<what> must be a str" otherwise.
Status strText(Lowering& lowering, PyObject* value, const char* what, Text* out);
// After strText failed: whether it failed because the str has lone surrogates (no UTF-8; the
// error is cleared then). Such a str is kept as the Python object it is. Cannot fail.
bool droppedNoUtf8();

// The __name__ of a node's class, cut to fit. ok or pythonError.
struct ClassName {
    char text[96];
    size_t length;
    std::string_view view() const { return std::string_view(text, length); }
    bool is(std::string_view name) const { return view() == name; }
};
Status className(PyObject* node, ClassName* out);

// An attribute lowered as an expression, or null when it is None. Missing: pythonError.
Status optionalExprAttr(Lowering& lowering, PyObject* node, const char* name, Expr** out);

// An attribute (a list of statements: the body of an if, a loop, a try) lowered with
// lowerStmts, one block deeper.
Status lowerStmtsAttr(Lowering& lowering, PyObject* node, const char* name, StmtList* out);

// The assignment-expression targets of a node's own expressions enter the locals table.
Status collectWalrusTargets(Lowering& lowering, PyObject* node);

// Refusals: the first one of a reading is written into the failure record (cut to 256 bytes
// on a character boundary) with the position; all return unsupported.
Status refuse(Lowering& lowering, Position position, std::string_view text);
Status refuse(Lowering& lowering, Position position, std::initializer_list<std::string_view> parts);
// "<words> can't be compiled".
Status constructRefused(Lowering& lowering, Position position, std::string_view words);

// --- Scope analysis (scope.cpp) ---

// The local of that name, appended when absent. ok or outOfMemory.
Status localIndex(Lowering& lowering, Text name, uint32_t* out);
Status collectDeclarations(Lowering& lowering, PyObject* statements);
Status collectLocals(Lowering& lowering, PyObject* statements);
Status collectTargetNames(Lowering& lowering, PyObject* target);

// --- Statements, targets, with (stmt.cpp, target.cpp, with.cpp) ---

Status lowerStmts(Lowering& lowering, PyObject* statements, StmtList* out);
Status lowerTarget(Lowering& lowering, PyObject* node, Target* out);
Status lowerWith(Lowering& lowering, PyObject* items, Py_ssize_t index, PyObject* body,
                 Position position, StmtList* out);
std::string_view statementWord(std::string_view className);

// --- Expressions (expr.cpp) ---

Status lowerExpr(Lowering& lowering, PyObject* node, Expr** out);
Status lowerExprAttr(Lowering& lowering, PyObject* node, const char* name, Expr** out);
// A list attribute lowered item by item; a Starred item is refused.
Status lowerExprList(Lowering& lowering, PyObject* node, const char* name, ExprList* out);
// The code of an operator object's class; MatMult and the like are refused at position.
Status binaryOpCode(Lowering& lowering, PyObject* op, Position position, BinaryOp* out);
// ok, or pythonError (an unknown comparison has no code: a ValueError).
Status compareOpCode(PyObject* op, CompareOp* out);
std::string_view exprWord(std::string_view className);

// --- Nested functions (nested.cpp), closures (closure.cpp), calls, f-strings,
// comprehensions, sets (expr.cpp) ---

bool findNestedDef(const Lowering& lowering, Text name, const NestedDef** out);
Status lowerNestedDef(Lowering& lowering, PyObject* node, Position position);
Status lowerNestedFunction(Lowering& lowering, PyObject* node, Text name, Position position,
                           bool isLambda, FunctionIR** out);
Status namesRead(Lowering& lowering, PyObject* node, List<Text>* out);
Status nestedQualname(Arena& arena, Text parent, Text name, Text* out);
// The function and then, recursively, its nested functions: the tree in pre-order. ok or
// outOfMemory.
Status collectFunctions(FunctionIR* function, Arena& arena, Growing<FunctionIR*>* out);
// Frame closures, the locals that live in frames and their slots, capture references. ok or
// outOfMemory.
Status analyzeClosures(FunctionIR* outermost, Arena& arena);
Status lowerCall(Lowering& lowering, PyObject* node, Position position, Expr** out);
Status lowerCallArgs(Lowering& lowering, PyObject* node, ExprList* out);
Status lowerFStringParts(Lowering& lowering, PyObject* node, FStringPartList* out);
Status lowerFormattedPart(Lowering& lowering, PyObject* node, FStringPart* out);
Status lowerGenerators(Lowering& lowering, PyObject* node, Position position, GeneratorList* out);
Status comprehensionTarget(Lowering& lowering, PyObject* node, Target* out);
Status isLiteral(PyObject* node, bool* out);
// *order: n indexes in the arena, or null when no order was found.
Status foldedOrder(Lowering& lowering, PyObject* elts, size_t n, uint64_t** order);

}  // namespace wuna::front
